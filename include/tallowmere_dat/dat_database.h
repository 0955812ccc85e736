#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tallowmere_dat/byte_source.h"
#include "tallowmere_dat/chunk_sink.h"
#include "tallowmere_dat/dat_file_entry.h"
#include "tallowmere_dat/error.h"
#include "tallowmere_dat/file.h"
#include "tallowmere_dat/file_index.h"
#include "tallowmere_dat/read_error.h"

namespace tallowmere_dat {

class BulkReader;

namespace detail {
class BlockSource;
struct OpenedArchive;
}  // namespace detail

/// The archive header: 80 bytes at file offset 320, read but never validated.
struct DatHeader {
  /// Absolute file offset of the header.
  static constexpr std::uint64_t kOffset = 0x140;

  std::uint32_t magic = 0;
  std::uint32_t block_size = 0;
  std::uint32_t file_size = 0;
  std::uint32_t dataset = 0;
  std::uint32_t subset = 0;
  std::uint32_t free_head = 0;
  std::uint32_t free_tail = 0;
  std::uint32_t free_count = 0;
  std::uint32_t root_offset = 0;
  std::uint32_t new_lru = 0;
  std::uint32_t old_lru = 0;
  std::uint32_t use_lru = 0;
  std::uint32_t master_map_id = 0;
  std::uint32_t engine_version = 0;
  std::uint32_t game_version = 0;
  std::array<std::uint8_t, 16> version_string{};
  std::uint32_t version_minor = 0;

  /// Reads the header's fields in order (`kHeaderFields`), little-endian. On failure the source
  /// is back at the header's start and the error carries one frame naming the field.
  /// Instantiated for `Cursor` and `File`.
  template <ByteSource S>
  [[nodiscard]] static std::expected<DatHeader, ReadError> read(S& source);

  friend bool operator==(const DatHeader&, const DatHeader&) = default;
};

/// One field of the header as stored: its name, where it lies and how it is read.
struct HeaderField {
  std::string_view name;
  /// Bytes from the header's start (`DatHeader::kOffset`) to the field.
  std::uint32_t offset = 0;
  /// 4 for a little-endian 32-bit number, 16 for `version_string`'s bytes.
  std::uint32_t width = 0;
  /// The member that holds a number field; null for `version_string`.
  std::uint32_t DatHeader::*number = nullptr;
};

/// The header's seventeen fields in file order: the one list that the header's reader, its
/// printers and the bindings are made from.
inline constexpr std::array<HeaderField, 17> kHeaderFields{{
    {"magic", 0, 4, &DatHeader::magic},
    {"block_size", 4, 4, &DatHeader::block_size},
    {"file_size", 8, 4, &DatHeader::file_size},
    {"dataset", 12, 4, &DatHeader::dataset},
    {"subset", 16, 4, &DatHeader::subset},
    {"free_head", 20, 4, &DatHeader::free_head},
    {"free_tail", 24, 4, &DatHeader::free_tail},
    {"free_count", 28, 4, &DatHeader::free_count},
    {"root_offset", 32, 4, &DatHeader::root_offset},
    {"new_lru", 36, 4, &DatHeader::new_lru},
    {"old_lru", 40, 4, &DatHeader::old_lru},
    {"use_lru", 44, 4, &DatHeader::use_lru},
    {"master_map_id", 48, 4, &DatHeader::master_map_id},
    {"engine_version", 52, 4, &DatHeader::engine_version},
    {"game_version", 56, 4, &DatHeader::game_version},
    {"version_string", 60, 16, nullptr},
    {"version_minor", 76, 4, &DatHeader::version_minor},
}};

/// The header's size in the file: where its last field ends.
inline constexpr std::uint32_t kHeaderSize =
    kHeaderFields.back().offset + kHeaderFields.back().width;

/// How `DatDatabase::open` treats a damaged directory.
struct OpenOptions {
  /// False (the default): the directory's first error fails the open. True: nodes that can't be
  /// read, and slots that lead back onto their own path, are left out with their subtrees, and
  /// the open succeeds with every entry still reachable (`DatDatabase::skipped` lists what was
  /// left out); only the header's errors fail it.
  bool salvage = false;
};

/// A directory node that a salvaging open left out, with its subtree.
struct SkippedNode {
  /// The node's offset in the file.
  std::uint32_t offset = 0;
  /// Why: the error's `message()`.
  std::string message;

  friend bool operator==(const SkippedNode&, const SkippedNode&) = default;
};

/// An open archive: its header, its whole directory as an index sorted by file identifier, and
/// where its bytes come from (the file, or bytes in memory). Read-only after the open; retrieval
/// may run on several threads at once. Move-only.
class DatDatabase {
 public:
  /// Opens the archive at `path`, reads its header and loads its directory. Fails with
  /// `PathError` (the file can't be opened), `Io` (the seek to the header fails), `BinRead` (the
  /// header is cut short), or the directory walk's error; no handle exists on failure.
  ///
  /// The directory holds, for each identifier, the entry that a depth-first, pre-order walk
  /// from the root node would leave last (a node's own entries before its children's, slots in
  /// order, a node reachable from several parents walked under each). That walk's first error
  /// is the open's error: a node's chain that can't be read (`Io` or `Corruption`), a node
  /// declaring more than 61 entries (`BinRead`), or `Corruption` for a slot that leads back
  /// onto its own path. Each distinct node is read once or, where identifiers repeat, twice;
  /// when the index can't get memory the error is `Io` of kind `OutOfMemory`. With
  /// `options.salvage` those directory errors leave nodes out instead (see `OpenOptions`).
  [[nodiscard]] static std::expected<DatDatabase, DatError> open(const std::filesystem::path& path,
                                                                 OpenOptions options = {});

  /// Opens the archive held in `bytes`, borrowed: they must outlive the handle. The results and
  /// errors are those of opening a file of those bytes, except that no `PathError` can occur.
  [[nodiscard]] static std::expected<DatDatabase, DatError> open(
      std::span<const std::uint8_t> bytes, OpenOptions options = {});

  DatDatabase(DatDatabase&&) noexcept;
  DatDatabase& operator=(DatDatabase&&) noexcept;
  ~DatDatabase();

  [[nodiscard]] const DatHeader& header() const { return header_; }
  /// Every entry of the directory, one per identifier, in ascending identifier order.
  [[nodiscard]] const FileIndex& files() const { return files_; }
  /// The directory nodes a salvaging open left out, in the order the walk met them; empty after
  /// a strict open.
  [[nodiscard]] const std::vector<SkippedNode>& skipped() const { return skipped_; }

  /// The bytes of file `id`: its stored bytes, LRS-decompressed when the entry is flagged
  /// compressed. Fails with `NotFound` carrying `id` when the directory doesn't hold it, or with
  /// the error of `read_file_data`, or with `Io` of kind `OutOfMemory` when the decompressed
  /// bytes don't fit in memory. A fresh vector costs a page fault per page it fills: a loop over
  /// many files is several times faster with the overload that reuses a buffer, and faster still
  /// with a `BulkReader`.
  [[nodiscard]] std::expected<std::vector<std::uint8_t>, DatError> get_file(std::uint32_t id) const;

  /// `get_file` into `out`: the same bytes and the same errors, with `out`'s capacity reused, so
  /// that it is reallocated only for a file larger than any it has held. A compressed entry's
  /// stored bytes go to a scratch buffer of the calling thread, kept between calls while it is
  /// 1 MiB or less (larger ones are allocated and released by the call). On failure `out` holds
  /// unspecified bytes.
  [[nodiscard]] std::expected<void, DatError> get_file(std::uint32_t id,
                                                       std::vector<std::uint8_t>& out) const;

  /// `get_file`, except that a compressed entry must decompress to exactly the size its 4-byte
  /// prefix declares: where `get_file` would return fewer bytes, or a compressed entry of 1 to 3
  /// bytes (too short for the prefix) unchanged, this fails with `DecompressionFailed` carrying
  /// `id`. An empty compressed entry is an empty file. Fails otherwise as `get_file` does. As
  /// for `get_file`, the overload that reuses a buffer is faster in a loop.
  [[nodiscard]] std::expected<std::vector<std::uint8_t>, DatError> get_file_verified(
      std::uint32_t id) const;

  /// `get_file_verified` into `out`, reusing its capacity as `get_file` into a buffer does.
  [[nodiscard]] std::expected<void, DatError> get_file_verified(
      std::uint32_t id, std::vector<std::uint8_t>& out) const;

  /// `get_file_verified` of `entry`'s file straight into `out`, which must be exactly
  /// `decompressed_size(entry)` bytes long (a compressed entry's stored bytes go through the
  /// thread's scratch buffer, as for `get_file` into a buffer). Fails as `get_file_verified`
  /// does, or with `Other` when `out`'s size is not the size the file declares (the archive
  /// changed since it was asked). On failure `out` holds unspecified bytes.
  [[nodiscard]] std::expected<void, DatError> get_file_verified_into(
      const DatFileEntry& entry, std::span<std::uint8_t> out) const;

  /// `get_file_verified` of `entry`'s file handed to `sink` in order, a chunk at a time, with
  /// memory of a few hundred KiB whatever the file's size: the chunks joined are the bytes
  /// `get_file_verified(entry.id)` returns, and the error is the one it fails with (a compressed
  /// stream that falls short fails with `DecompressionFailed` once its output is delivered), except
  /// that the bytes never have to fit in memory. Chunks delivered before a failure stand. A chain
  /// that can't be completed, whose size exceeds the archive, fails before anything is delivered
  /// (see `stream_file_data`). A sink that returns false ends the read without an error.
  [[nodiscard]] std::expected<void, DatError> stream_file(const DatFileEntry& entry,
                                                          const ChunkSink& sink) const;

  /// `read_file_data(offset, size)` handed to `sink` a chunk at a time, as `stream_file` hands a
  /// file, with its errors. Where `size` exceeds the archive's length, the chain's pointers are
  /// traced first (up to 32768 blocks), so a chain running past the end, reaching 0xFFFFFFFC or
  /// looping fails with its error before anything is delivered. A sink that returns false ends
  /// the read without an error.
  [[nodiscard]] std::expected<void, DatError> stream_file_data(std::uint32_t offset,
                                                               std::uint32_t size,
                                                               const ChunkSink& sink) const;

  /// The size of `entry`'s file, without reading all of it: `size` for an uncompressed entry,
  /// and for a compressed one the size its prefix declares (one chain read of its first 4
  /// bytes), which is what `get_file_verified` returns on success; 0 for an empty compressed
  /// entry. Fails with `DecompressionFailed` carrying the entry's `id` for a compressed entry of
  /// 1 to 3 bytes, or with the error of `read_file_data` for the prefix.
  [[nodiscard]] std::expected<std::uint32_t, DatError> decompressed_size(
      const DatFileEntry& entry) const;

  /// Exactly `size` bytes of the block chain that starts at `offset`: each block's payload in
  /// chain order, a pointer of 0 making everything still wanted one contiguous run, and a chain
  /// that comes back to a block repeating what it produced since that block's first visit. Fails
  /// with `Io` when a read fails or the archive ends first ("failed to fill whole buffer"), or
  /// with `Corruption` when the chain can't be followed safely (a block at 0xFFFFFFFC or beyond
  /// whose pointer the archive holds, or a `block_size` of 4 or less where a non-zero pointer
  /// must be followed) or when it loops while `size` exceeds the archive's length as seen at
  /// open. Uses positional reads only. Reusing a buffer is faster: see the overload below.
  [[nodiscard]] std::expected<std::vector<std::uint8_t>, DatError> read_file_data(
      std::uint32_t offset, std::uint32_t size) const;

  /// `read_file_data` into `out`: the same bytes and the same errors, with `out`'s capacity
  /// reused, so that it is reallocated only for more bytes than it has held (a fresh vector per
  /// call pays a page fault per page). On failure `out` holds unspecified bytes.
  [[nodiscard]] std::expected<void, DatError> read_file_data(std::uint32_t offset,
                                                             std::uint32_t size,
                                                             std::vector<std::uint8_t>& out) const;

 private:
  friend class BulkReader;

  /// The bytes of `entry`'s file, read from `source`, into `out`, the stored bytes of a
  /// compressed entry read into `stored` first; with `verified`, checked against the declared
  /// size.
  [[nodiscard]] std::expected<void, DatError> retrieve(const detail::BlockSource& source,
                                                       const DatFileEntry& entry,
                                                       std::vector<std::uint8_t>& out,
                                                       std::vector<std::uint8_t>& stored,
                                                       bool verified) const;
  /// `retrieve` from the archive of the entry for `id`; `NotFound` when there is none.
  [[nodiscard]] std::expected<void, DatError> retrieve(std::uint32_t id,
                                                       std::vector<std::uint8_t>& out,
                                                       std::vector<std::uint8_t>& stored,
                                                       bool verified) const;

  DatDatabase(DatHeader header, std::unique_ptr<const detail::BlockSource> source, FileIndex files,
              std::vector<SkippedNode> skipped);
  /// The database of an archive whose header is read: its directory loaded.
  [[nodiscard]] static std::expected<DatDatabase, DatError> load(
      std::expected<detail::OpenedArchive, DatError> opened, OpenOptions options);

  DatHeader header_;
  FileIndex files_;
  std::vector<SkippedNode> skipped_;
  std::unique_ptr<const detail::BlockSource> source_;
};

extern template std::expected<DatHeader, ReadError> DatHeader::read(Cursor&);
extern template std::expected<DatHeader, ReadError> DatHeader::read(File&);

}  // namespace tallowmere_dat
