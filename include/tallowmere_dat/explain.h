#pragma once

// The annotated dump: every field of the header, and of one file's entry, chain and sound-table
// records, with where it lies.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tallowmere_dat/error.h"

namespace tallowmere_dat {

/// One stored field: where it lies, its bytes as stored, and its value (little-endian; 0 for
/// fields longer than 8 bytes).
struct DumpedField {
  std::string name;
  std::uint64_t offset = 0;
  std::vector<std::uint8_t> bytes;
  std::uint64_t value = 0;
};

/// One step of the directory path to an entry: a node, and the slot taken from it (none for the
/// node that holds the entry).
struct PathStep {
  std::uint32_t node = 0;
  std::optional<std::uint32_t> slot;
};

/// One block of a chain: its pointer and the file range taken as its payload.
struct DumpedBlock {
  std::uint32_t offset = 0;
  std::uint32_t pointer = 0;
  std::uint64_t payload_begin = 0;
  std::uint64_t payload_end = 0;
};

/// One record of a file's content: what it is, where it starts and how long it is, counted in
/// the file's (decompressed) bytes.
struct DumpedRecord {
  std::string what;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

struct EntryDump {
  std::uint32_t id = 0;
  std::vector<PathStep> path;
  /// The entry record's six fields, at their offsets in the archive file.
  std::vector<DumpedField> fields;
  std::vector<DumpedBlock> chain;
  /// Why the chain stops short ("" when it holds every byte the entry declares).
  std::string chain_problem;
  /// For a sound table: its records, then what is left over or where decoding stopped.
  std::vector<DumpedRecord> records;
};

struct Explanation {
  /// The header's seventeen fields at their offsets in the file.
  std::vector<DumpedField> header;
  std::optional<EntryDump> entry;
};

/// Explains the archive at `path`: its header, and with `id` the entry of that identifier (the
/// one the reader returns; where the strict open fails, the one a salvaging open returns). Fails as
/// the header's open does
/// (`PathError`, `Io`, `BinRead`), with `NotFound` when no readable node holds `id`, with `Io`
/// when a read inside the file fails, or with `Io` of kind `OutOfMemory`.
[[nodiscard]] std::expected<Explanation, DatError> explain_archive(
    const std::filesystem::path& path, std::optional<std::uint32_t> id);

/// `explain_archive` of the archive held in `bytes`: the same dump, without `PathError`.
[[nodiscard]] std::expected<Explanation, DatError> explain_archive(
    std::span<const std::uint8_t> bytes, std::optional<std::uint32_t> id);

}  // namespace tallowmere_dat
