#pragma once

// Integrity checking: what is wrong with an archive, finding by finding, and which structure owns
// each byte of the file.

#include <compare>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tallowmere_dat/error.h"

namespace tallowmere_dat {

/// What a finding is about.
enum class FindingKind : std::uint8_t {
  BlockSizeTooSmall,      ///< The header's block size leaves no room for data after a pointer.
  FileShort,              ///< The file is shorter than the header's `file_size` (cut short).
  DirectoryUnreadable,    ///< A directory node can't be read: the open fails with this error.
  DirectoryCycle,         ///< A slot leads back to a node on its own path.
  SharedNode,             ///< A node is reached from more than one parent slot.
  DuplicateId,            ///< An identifier occurs in more than one entry record.
  IdOrder,                ///< Warning: a node's identifiers are not strictly ascending.
  ChildOutOfRange,        ///< Warning: a child's identifiers lie outside its slot's range.
  ChainPastEnd,           ///< A chain needs bytes past the end of the file.
  ChainLoop,              ///< A chain comes back to a block it has already met.
  ChainBadOffset,         ///< A chain meets a block offset of 0xFFFFFFFC or more.
  ClaimedTwice,           ///< Bytes of the file belong to two different chains (or the header).
  DecompressionShort,     ///< A compressed stream doesn't produce the size its prefix declares.
  SoundTableUndecodable,  ///< A sound table (type 0x20) fails to decode.
  SoundTableTrailing,     ///< A sound table decodes with bytes left over.
  CheckStopped,           ///< The chains overlap so much that the rest was not checked.
};

/// The kind's name as the tool prints it, e.g. "chain-loop".
[[nodiscard]] std::string_view finding_name(FindingKind kind);

enum class Severity : std::uint8_t {
  Error,    ///< The reader fails, or gives bytes other than the writer meant.
  Warning,  ///< The archive breaks a convention that the reader does not rely on.
};

/// One thing wrong with an archive.
struct Finding {
  FindingKind kind = FindingKind::DirectoryUnreadable;
  Severity severity = Severity::Error;
  /// The file offsets it concerns, the main one first (a node, a block, a range's start and end).
  std::vector<std::uint64_t> offsets;
  /// The file identifiers it concerns.
  std::vector<std::uint32_t> ids;
  /// One line for people, offsets and identifiers as "0x" and eight hex digits.
  std::string message;

  friend bool operator==(const Finding&, const Finding&) = default;
};

/// Who owns a range of the archive file.
struct Owner {
  enum class Kind : std::uint8_t { Header, Node, File };
  Kind kind = Kind::Header;
  /// The node's offset, or the file's identifier; 0 for the header.
  std::uint32_t ref = 0;

  friend auto operator<=>(const Owner&, const Owner&) = default;
};

/// A range of the file and how many different owners claim it: 0 (unclaimed), 1 (`owner`) or
/// more (claimed twice or more; `owner` is one of them).
struct Segment {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  Owner owner;
  std::uint32_t claims = 0;
};

/// Who owns each byte of the archive file: the header (the first 0x190 bytes), each directory
/// node's blocks, and each file's blocks (a block counts whole, `block_size` bytes or its run
/// after a 0 pointer, cut at the end of the file).
struct ArchiveLayout {
  std::uint64_t file_length = 0;
  std::uint32_t block_size = 0;
  /// Distinct identifiers in the directory.
  std::uint64_t entry_count = 0;
  /// The whole file, in order, without gaps; adjacent ranges of one owner stay apart.
  std::vector<Segment> segments;
  /// Fragmentation over the files with at least one block: how many, how many of them are one
  /// run of adjacent blocks, and the runs of all of them together.
  std::uint64_t chains = 0;
  std::uint64_t contiguous_chains = 0;
  std::uint64_t runs = 0;
};

struct CheckReport {
  /// In the order found: the header, the directory in pre-order, duplicate identifiers, the
  /// files' chains in identifier order, doubly claimed ranges by offset, the files' contents.
  std::vector<Finding> findings;
  ArchiveLayout layout;
};

/// Checks the archive at `path`: walks its directory as the open does (each distinct node once,
/// without depending on it being a tree), follows every node's and file's chain, and decodes
/// every compressed entry and sound table. A directory that the open would refuse is reported as
/// findings, not as a failure; the files a salvaging open would keep are still checked, and
/// where an identifier repeats, the entry checked is the one the reader returns. Fails
/// only where the open of the header fails (`PathError`, `Io`, `BinRead`), when a read inside
/// the file fails (`Io`), or with `Io` of kind `OutOfMemory`.
[[nodiscard]] std::expected<CheckReport, DatError> check_archive(const std::filesystem::path& path);

/// `check_archive` of the archive held in `bytes`: the same report, without `PathError`.
[[nodiscard]] std::expected<CheckReport, DatError> check_archive(
    std::span<const std::uint8_t> bytes);

}  // namespace tallowmere_dat
