#pragma once

// Where an archive's bytes come from, the file or memory, behind the one positional-read
// interface that the directory walk, the chain reader, the check and the dump use; and the
// first steps of every open: the source, its header and its length.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <span>

#include "block_chain.h"
#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/error.h"
#include "tallowmere_dat/file.h"

namespace tallowmere_dat::detail {

/// An archive file, owned, as a block source.
class FileSource final : public BlockSource {
 public:
  /// `length` is the file's length as last seen (see `length_hint`).
  FileSource(File file, std::uint64_t length) : file_(std::move(file)), length_(length) {}

  std::expected<void, IoError> read_at(std::span<std::uint8_t> head, std::span<std::uint8_t> tail,
                                       std::uint64_t offset) const override;
  std::uint64_t length_hint() const override { return length_; }

 private:
  File file_;
  std::uint64_t length_;
};

/// Borrowed bytes as a block source: a read fails as a file's does where the bytes end ("failed
/// to fill whole buffer"), and no other way.
class MemorySource final : public BlockSource {
 public:
  /// `bytes` must outlive the source.
  explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::expected<void, IoError> read_at(std::span<std::uint8_t> head, std::span<std::uint8_t> tail,
                                       std::uint64_t offset) const override;
  std::uint64_t length_hint() const override { return bytes_.size(); }

 private:
  std::span<const std::uint8_t> bytes_;
};

struct OpenedArchive {
  std::unique_ptr<const BlockSource> source;
  DatHeader header;
  /// The archive's length as seen now; unknown counts as empty.
  std::uint64_t length = 0;
};

/// Opens the archive file at `path` and reads its header. Fails with `PathError` (the file
/// can't be opened), `Io` (the seek to the header fails) or `BinRead` (the header is cut short).
[[nodiscard]] std::expected<OpenedArchive, DatError> open_archive(
    const std::filesystem::path& path);

/// Reads the header of the archive held in `bytes`, which must outlive the result. Fails with
/// `BinRead` where the header is cut short, exactly as for a file of those bytes.
[[nodiscard]] std::expected<OpenedArchive, DatError> open_archive(
    std::span<const std::uint8_t> bytes);

}  // namespace tallowmere_dat::detail
