#pragma once

// Writes archives for tests, benchmarks, fuzz seeds and the sample archive, laid out the way the
// reader expects them: the 80-byte header at 0x140, and every file and directory node stored as
// a chain of `block_size`-byte blocks, each starting with the 4-byte little-endian offset of the
// next block (0 for none) followed by `block_size` - 4 payload bytes. A directory node is 1716
// bytes of content: 62 child slots, an entry count, and up to 61 24-byte entries.
//
// Two layers:
//
//  - `ArchiveBuilder` builds well-formed archives from a list of files: B-tree-shaped directory
//    of the chosen fan-out (so of any depth), blocks scattered over shuffled, non-contiguous
//    offsets with unused junk blocks among them (or, file by file, one contiguous run of blocks
//    after the scattered ones), optional LRS compression. `build()` also hands
//    back the identifier map that opening the archive must produce. Time and memory are linear
//    in the archive's size (plus sorting the identifiers): in an optimised build a million small
//    entries (about 100 MB at a 40-byte block size) take about a second, one 64 MiB file a
//    tenth of that. Every non-empty file takes at least one block, so pick a small block size
//    for archives with very many small files.
//
//        tallowmere_testing::ArchiveBuilder builder({.block_size = 128, .seed = 7});
//        builder.add_file(0x20000001, bytes);
//        builder.add_compressed_file(0x20000002, content);
//        const tallowmere_testing::BuiltArchive archive = builder.build();
//        const tallowmere_testing::TempFile file(archive.bytes);
//
//  - `ArchiveImage` writes bytes, blocks, chains and directory nodes at chosen offsets, and the
//    header as set, with no checks of its own, for the hand-crafted shapes of edge-case and guard
//    tests: loops, chains that run off the end, zero slots, bad entry counts, cycles.
//
//        tallowmere_testing::ArchiveImage image(64);
//        const std::uint32_t leaf = image.append_node({.entries = {entry}});
//        image.header().root_offset = image.append_node({.branches = {leaf}});
//        const tallowmere_testing::TempFile file(image.bytes());
//
// Contract violations by the caller (a block size of 4 or less where blocks have to hold data,
// an archive past 4 GiB, a fan-out outside 1 to 61) abort with a message: this is test code.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "tallowmere_dat/dat_database.h"

namespace tallowmere_testing {

/// Where the header starts and ends in every archive.
inline constexpr std::uint32_t kHeaderOffset = 0x140;
inline constexpr std::uint32_t kHeaderEnd = 0x190;
/// Layout of a directory node's content.
inline constexpr std::uint32_t kNodeSize = 1716;
inline constexpr std::size_t kNodeSlots = 62;
inline constexpr std::size_t kNodeEntries = 61;

/// A directory node as written: its slots, its stored entry count and its entry records.
struct DirectoryNode {
  /// Child offsets; slot 0 being 0 makes the node a leaf.
  std::array<std::uint32_t, kNodeSlots> branches{};
  /// Records written back to back from byte 252; at most 61 fit. (The empty braces here and
  /// below let designated initializers leave the member out without a warning.)
  std::vector<tallowmere_dat::DatFileEntry> entries{};  // NOLINT(readability-redundant-member-init)
  /// The stored count; `entries.size()` when absent. Any value can be stored, so a node can
  /// claim more records than it has or more than fit.
  std::optional<std::uint32_t> entry_count{};  // NOLINT(readability-redundant-member-init)

  /// The node's 1716 bytes of content; bytes after the last record are 0. Aborts on more than
  /// 61 records.
  std::vector<std::uint8_t> encode() const;
};

/// The 24 bytes of `entry` as stored in a node.
std::array<std::uint8_t, tallowmere_dat::DatFileEntry::kSize> encode_entry(
    const tallowmere_dat::DatFileEntry& entry);

/// The 80 bytes of `header` as stored at 0x140.
std::array<std::uint8_t, kHeaderEnd - kHeaderOffset> encode_header(
    const tallowmere_dat::DatHeader& header);

/// An archive built byte by byte, for hand-crafted shapes. It starts as `kHeaderEnd` bytes of
/// `fill`; writes past the end grow it (the gap takes `fill`). `header()` is stamped at 0x140
/// whenever the bytes are taken, so it can be changed at any time before.
class ArchiveImage {
 public:
  /// `block_size` goes into the header and sets how `write_chain` and `append_chain` slice.
  explicit ArchiveImage(std::uint32_t block_size, std::uint8_t fill = 0);

  tallowmere_dat::DatHeader& header() { return header_; }
  const tallowmere_dat::DatHeader& header() const { return header_; }
  /// The slicing block size (the header's may be changed independently to craft mismatches).
  std::uint32_t block_size() const { return block_size_; }
  std::uint64_t size() const { return bytes_.size(); }

  /// Grows the image to at least `size` bytes.
  void resize(std::uint64_t size);
  /// Cuts the image to `size` bytes, e.g. to make a chain run off the end.
  void truncate(std::uint64_t size);
  /// Reserves `count` bytes of `fill` at the end and returns their offset.
  std::uint32_t append(std::size_t count);

  /// Writes `data` at `at`, growing the image as needed.
  void write(std::uint64_t at, std::span<const std::uint8_t> data);
  void write_u32(std::uint64_t at, std::uint32_t value);

  /// One block at `at`: the pointer `next`, then `payload` (any length; a payload longer than
  /// `block_size` - 4 lays out the contiguous run that a 0 pointer reads).
  void write_block(std::uint64_t at, std::uint32_t next, std::span<const std::uint8_t> payload);

  /// Lays `data` over the blocks at `blocks`, in order: `block_size` - 4 bytes per block, each
  /// pointing at the next, and the last block taking whatever is left (all of it, even beyond
  /// one block) with pointer `last_next`. Blocks may repeat to build loops.
  void write_chain(std::span<const std::uint32_t> blocks, std::span<const std::uint8_t> data,
                   std::uint32_t last_next = 0);

  /// Appends just enough new contiguous blocks for `data` (at least one) and writes it over
  /// them as a chain; returns the first block's offset.
  std::uint32_t append_chain(std::span<const std::uint8_t> data);
  /// `append_chain` of the node's content.
  std::uint32_t append_node(const DirectoryNode& node);

  /// The archive, header stamped.
  const std::vector<std::uint8_t>& bytes();
  /// The archive, header stamped, moved out.
  std::vector<std::uint8_t> release() &&;

 private:
  void stamp_header();

  tallowmere_dat::DatHeader header_;
  std::uint32_t block_size_;
  std::uint8_t fill_;
  std::vector<std::uint8_t> bytes_;
};

/// How one file's chain is placed.
enum class ChainLayout : std::uint8_t {
  kScattered,   ///< Blocks taken from the shuffled slots: almost never side by side.
  kContiguous,  ///< One run of adjacent blocks, each pointing at the next.
};

/// How `ArchiveBuilder` lays an archive out.
struct ArchiveOptions {
  /// Bytes per block; at least 5.
  std::uint32_t block_size = 256;
  /// Drives the block shuffle, the junk and the entries' `timestamp` and `version`: the same
  /// seed and files give the same bytes.
  std::uint64_t seed = 1;
  /// Entries per directory node, 1 to 61: 61 gives the flattest tree, 1 a binary tree about
  /// log2(file count) deep.
  std::uint32_t fan_out = kNodeEntries;
  /// Unused blocks scattered among the used ones, as a percentage of the used ones (plus one
  /// when non-zero). They hold junk, so a reader that strays off a chain reads garbage.
  std::uint32_t spare_percent = 10;
  /// Make the last block of every chain point past the end of the archive instead of at 0. The
  /// pointer is read but never followed, so a reader that follows it once all bytes are in
  /// fails.
  bool junk_tail_pointers = false;
  /// The header's other fields; `block_size`, `root_offset` and `file_size` are filled in.
  tallowmere_dat::DatHeader header{};
};

/// An archive and what opening it must give.
struct BuiltArchive {
  std::vector<std::uint8_t> bytes;
  tallowmere_dat::DatHeader header;
  /// The entries that the open must index, in ascending identifier order.
  std::vector<tallowmere_dat::DatFileEntry> entries;

  /// The entry of file `id`, which must be among `entries`.
  const tallowmere_dat::DatFileEntry& entry(std::uint32_t id) const;
};

/// Builds well-formed archives; see the top of this header.
class ArchiveBuilder {
 public:
  explicit ArchiveBuilder(ArchiveOptions options = {});

  /// Adds file `id` with its stored bytes as given. A later file with the same `id` replaces
  /// an earlier one. An empty file takes no block and gets offset 0. Contiguous chains go after
  /// all scattered blocks, in identifier order; with none, the layout is as if the option did
  /// not exist.
  ArchiveBuilder& add_file(std::uint32_t id, std::vector<std::uint8_t> stored,
                           std::uint32_t bit_flags = 0,
                           ChainLayout layout = ChainLayout::kScattered);
  /// Adds file `id` whose stored bytes are the LRS compression of `content`; `bit_flags` should
  /// keep bit 0 set for the reader to decompress it.
  ArchiveBuilder& add_compressed_file(std::uint32_t id, std::span<const std::uint8_t> content,
                                      std::uint32_t bit_flags = 1,
                                      ChainLayout layout = ChainLayout::kScattered);

  const ArchiveOptions& options() const { return options_; }
  /// Files added so far, replaced ones included.
  std::size_t file_count() const { return files_.size(); }

  /// Lays the archive out. With no files the root offset is 0.
  BuiltArchive build() const;

 private:
  struct PendingFile {
    std::uint32_t id;
    std::uint32_t bit_flags;
    std::vector<std::uint8_t> stored;
    ChainLayout layout;
  };

  ArchiveOptions options_;
  std::vector<PendingFile> files_;
};

/// Writes `bytes` to `path`; false if the file can't be written in full.
bool write_archive(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

}  // namespace tallowmere_testing
