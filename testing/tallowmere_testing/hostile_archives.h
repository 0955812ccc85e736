#pragma once

// Small archives whose declarations are as large or as tangled as the format allows: entry sizes
// and LRS prefixes of 4 GiB, chains looping up to 4 GiB, sound-table counts of 2^31 and more,
// directory cycles, subtrees shared by every slot, block sizes of 4 and below. Each is a few KiB; a
// reader must fail or finish on each quickly, using memory in proportion to the file rather than to
// what it declares. The memory-bounds tests run them, and the archive fuzzer starts from them.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tallowmere_dat/dat_database.h"
#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/lrs_codec.h"
#include "tallowmere_testing/sound_table_writer.h"

namespace tallowmere_testing {

struct HostileArchive {
  std::string name;
  std::vector<std::uint8_t> bytes;
};

namespace hostile_detail {

inline constexpr std::uint32_t kBlock = 64;

inline std::vector<std::uint8_t> le32(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8U),
          static_cast<std::uint8_t>(value >> 16U), static_cast<std::uint8_t>(value >> 24U)};
}

/// An ordinary sound table, so that the report has something to print besides the hostile one.
inline std::vector<std::uint8_t> plain_table(std::uint32_t id) {
  SoundTableLayout table_layout{.id = id};
  table_layout.sounds.push_back({.key = 0x80, .data = {.entries = {{0x0A000001, 1, 1, 1}}}});
  table_layout.sounds.push_back({.key = 0x46, .data = {}});
  return encode_sound_table(table_layout);
}

/// A one-leaf archive holding a plain sound table and the entries that `add` appends, whose
/// chains it also lays out.
template <typename Add>
std::vector<std::uint8_t> leaf_archive(Add add, std::uint32_t block_size = kBlock) {
  ArchiveImage image(block_size);
  DirectoryNode root;
  const std::vector<std::uint8_t> plain = plain_table(0x20000001);
  root.entries.push_back({.id = 0x20000001,
                          .offset = image.append_chain(plain),
                          .size = static_cast<std::uint32_t>(plain.size())});
  add(image, root.entries);
  image.header().root_offset = image.append_node(root);
  return std::move(image).release();
}

/// Entry `id` over a chain holding `stored`, flagged compressed when `flags` says so.
inline tallowmere_dat::DatFileEntry stored_entry(ArchiveImage& image, std::uint32_t id,
                                                 const std::vector<std::uint8_t>& stored,
                                                 std::uint32_t flags = 0) {
  return {.bit_flags = flags,
          .id = id,
          .offset = image.append_chain(stored),
          .size = static_cast<std::uint32_t>(stored.size())};
}

/// A sound table whose counts are as given and whose records stop after `records` bytes.
inline std::vector<std::uint8_t> counted_table(std::int32_t hashes, std::int32_t sounds,
                                               std::uint32_t entries) {
  SoundTableLayout table_layout{
      .id = 0x20000002, .declared_hashes = hashes, .declared_sounds = sounds};
  if (sounds > 0) {
    table_layout.sounds.push_back(
        {.key = 0x77, .data = {.entries = {{0x0A000002, 1, 1, 1}}}, .declared_entries = entries});
  }
  return encode_sound_table(table_layout);
}

/// An LRS stream that declares `prefix` bytes and produces the most output its length allows:
/// one literal, then back-references of 17 bytes from 1 back.
inline std::vector<std::uint8_t> greedy_lrs(std::uint32_t prefix, std::size_t groups) {
  std::vector<std::uint8_t> out = le32(prefix);
  out.push_back(0x7F);  // a literal, then seven references
  out.push_back(0x20);
  for (int i = 0; i < 7; ++i) {
    out.push_back(0x01);
    out.push_back(0x0F);
  }
  for (std::size_t g = 0; g < groups; ++g) {
    out.push_back(0xFF);
    for (int i = 0; i < 8; ++i) {
      out.push_back(0x01);
      out.push_back(0x0F);
    }
  }
  return out;
}

}  // namespace hostile_detail

/// Directory nodes overlapping every 12 bytes from `first` to `end`, each one's slot 0 the next,
/// with 0 pointers (so each node is one contiguous run) and 0 entry counts in between: a line as
/// deep as the bytes allow, which only the walk's visit budget stops.
inline ArchiveImage bottomless_line(std::uint32_t first, std::uint32_t end) {
  ArchiveImage image(hostile_detail::kBlock);
  for (std::uint32_t at = first; at + 12 <= end; at += 12) {
    image.write_u32(at, 0);
    image.write_u32(at + 4, at + 12);
    image.write_u32(at + 8, 0);
  }
  image.resize(end + 2048);
  image.header().root_offset = first;
  return image;
}

/// The file of `overlapping_chain_archive`.
inline constexpr std::uint32_t kOverlappingId = 0x06000001;

/// A leaf archive (with the plain sound table) whose file `kOverlappingId` of `size` bytes runs
/// over `count` overlapping blocks 4 bytes apart, each one's pointer naming the next, so that
/// every block's payload of `block_size` - 4 bytes runs over the pointers of those after it: a
/// chain of `count` payloads in about `4 * count + 2 * block_size` bytes of file. The last
/// block points at `last_next`.
inline std::vector<std::uint8_t> overlapping_chain_archive(std::uint32_t block_size,
                                                           std::uint32_t count,
                                                           std::uint32_t last_next,
                                                           std::uint32_t size) {
  return hostile_detail::leaf_archive(
      [&](ArchiveImage& image, std::vector<tallowmere_dat::DatFileEntry>& entries) {
        const std::uint32_t first = image.append(std::size_t{4} * count + block_size);
        for (std::uint32_t i = 0; i < count; ++i) {
          const std::uint32_t at = first + 4 * i;
          image.write_u32(at, i + 1 < count ? at + 4 : last_next);
        }
        entries.push_back({.id = kOverlappingId, .offset = first, .size = size});
      },
      block_size);
}

/// About 200 KB of archive whose chain over overlapping blocks makes a file of 1 GiB: 16384
/// payloads of 64 KiB, all of them within the file.
inline std::vector<std::uint8_t> overlapping_gib_archive() {
  return overlapping_chain_archive(65540, 16384, 0, 1U << 30U);
}

/// About 130 KB of archive whose file declares 1 GiB over a chain of overlapping blocks that,
/// after 512 MiB of payloads, points past the end of the file.
inline std::vector<std::uint8_t> overlapping_past_end_archive() {
  return overlapping_chain_archive(32772, 16384, 0x7FFF0000, 1U << 30U);
}

/// The catalogue. Every archive opens to a leaf (or fails to open by design) whose entries
/// include an ordinary sound table 0x20000001.
inline std::vector<HostileArchive> hostile_archives() {
  using hostile_detail::counted_table;
  using hostile_detail::kBlock;
  using hostile_detail::leaf_archive;
  using hostile_detail::stored_entry;
  using tallowmere_dat::DatFileEntry;
  using Entries = std::vector<DatFileEntry>;
  std::vector<HostileArchive> out;

  // Entry sizes of 4 GiB - 1 over a chain that ends with the file: the data runs out first.
  out.push_back(
      {"entry size 4 GiB, contiguous run to the end", leaf_archive([](auto& image, Entries& e) {
         const std::uint32_t block = image.append_chain(std::vector<std::uint8_t>(60, 1));
         e.push_back({.id = 0x20000002, .offset = block, .size = 0xFFFFFFFF});
       })});
  out.push_back(
      {"entry size 4 GiB, chain pointing past the end", leaf_archive([](auto& image, Entries& e) {
         const std::uint32_t block = image.append(kBlock);
         image.write_block(block, 0x7FFF0000, std::vector<std::uint8_t>(60, 2));
         e.push_back({.bit_flags = 1, .id = 0x20000002, .offset = block, .size = 0xFFFFFFFF});
       })});
  out.push_back({"entry at block offset 0xFFFFFFFC", leaf_archive([](auto&, Entries& e) {
                   e.push_back({.id = 0x20000002, .offset = 0xFFFFFFFC, .size = 100});
                 })});

  // LRS prefixes of 4 GiB - 1: the output is bounded by what the stream can produce.
  out.push_back(
      {"LRS prefix 4 GiB, short stream", leaf_archive([](auto& image, Entries& e) {
         e.push_back(stored_entry(image, 0x20000002, hostile_detail::greedy_lrs(0xFFFFFFFF, 0), 1));
       })});
  out.push_back({"LRS prefix 4 GiB, 8x expanding stream", leaf_archive([](auto& image, Entries& e) {
                   e.push_back(stored_entry(image, 0x20000002,
                                            hostile_detail::greedy_lrs(0xFFFFFFFF, 200), 1));
                 })});
  {
    // A compressed table whose content declares 2^31 - 1 sounds.
    auto content = counted_table(0, 0x7FFFFFFF, 1);
    auto stored = lrs_compress(content);
    stored[0] = stored[1] = stored[2] = stored[3] = 0xFF;
    out.push_back({"LRS prefix 4 GiB over a table declaring 2^31 sounds",
                   leaf_archive([&stored](auto& image, Entries& e) {
                     e.push_back(stored_entry(image, 0x20000002, stored, 1));
                   })});
  }

  // Sound-table counts far beyond the bytes.
  const struct {
    const char* name;
    std::int32_t hashes;
    std::int32_t sounds;
    std::uint32_t entries;
  } counts[] = {
      {"sound table declaring 2^31 - 1 hash records", 0x7FFFFFFF, 0, 0},
      {"sound table declaring 2^31 - 1 sound records", 0, 0x7FFFFFFF, 1},
      {"sound table declaring 2^32 - 1 entries", 0, 1, 0xFFFFFFFF},
      {"sound table declaring 2^31 entries", 0, 1, 0x80000000},
      {"sound table with negative counts", -0x7FFFFFFF - 1, -1, 0},
  };
  for (const auto& c : counts) {
    const auto table = counted_table(c.hashes, c.sounds, c.entries);
    out.push_back({c.name, leaf_archive([&table](auto& image, Entries& e) {
                     e.push_back(stored_entry(image, 0x20000002, table));
                   })});
  }

  // Directory shapes that never end without a guard.
  {
    ArchiveImage image(kBlock);
    const std::uint32_t root = image.append(std::size_t{29} * kBlock);
    DirectoryNode node{.entries = {{.id = 0x20000003, .offset = 0, .size = 0}}};
    node.branches[0] = root;
    image.write_chain(std::vector<std::uint32_t>(1, root), node.encode());
    image.header().root_offset = root;
    out.push_back({"directory node that is its own child", std::move(image).release()});
  }
  {
    ArchiveImage image(kBlock);
    const std::uint32_t root = image.append(std::size_t{29} * kBlock);
    DirectoryNode child;
    child.branches[0] = root;
    const std::uint32_t child_at = image.append_node(child);
    DirectoryNode node;
    node.branches[0] = child_at;
    image.write_chain(std::vector<std::uint32_t>(1, root), node.encode());
    image.header().root_offset = root;
    out.push_back({"directory cycle through a child", std::move(image).release()});
  }
  {
    // Five nodes, each with all 62 slots on the next: 62^4 paths to the last one.
    ArchiveImage image(kBlock);
    std::uint32_t next =
        image.append_node({.entries = {{.id = 0x20000001, .offset = 0x190, .size = 4}}});
    for (int level = 0; level < 4; ++level) {
      DirectoryNode node{.entry_count = 61};
      node.branches.fill(next);
      next = image.append_node(node);
    }
    image.header().root_offset = next;
    out.push_back({"subtrees shared by every slot, four levels", std::move(image).release()});
  }
  {
    // 16 KiB of nodes: room for 1280, past the walk's budget.
    out.push_back(
        {"overlapping nodes in a bottomless line", bottomless_line(0x400, 16 * 1024).release()});
  }
  {
    ArchiveImage image(kBlock);
    DirectoryNode node{.entry_count = 0xFFFFFFFF};
    image.header().root_offset = image.append_node(node);
    out.push_back({"node declaring 2^32 - 1 entries", std::move(image).release()});
  }

  // Block sizes that take nothing per block.
  for (const std::uint32_t block_size : {4U, 3U, 0U}) {
    out.push_back({"block_size " + std::to_string(block_size) + " under a chained directory", [&] {
                     ArchiveImage image(kBlock);
                     image.header().block_size = block_size;
                     DirectoryNode node{.entries = {{.id = 0x20000001, .offset = 0, .size = 8}}};
                     image.header().root_offset = image.append_node(node);
                     return std::move(image).release();
                   }()});
  }
  {
    // block_size 4 where the directory is one contiguous run (pointer 0) but an entry loops.
    ArchiveImage image(kBlock);
    image.header().block_size = 4;
    const std::uint32_t loop = image.append(kBlock);
    image.write_block(loop, loop, std::vector<std::uint8_t>(60, 3));
    DirectoryNode node{.entries = {{.id = 0x20000002, .offset = loop, .size = 0xFFFFFFFF}}};
    const std::uint32_t root = image.append(kBlock);
    image.write_block(root, 0, node.encode());
    image.header().root_offset = root;
    out.push_back({"block_size 4 with a looping entry", std::move(image).release()});
  }

  // A block that points at itself would yield its payload over and over up to the declared
  // 4 GiB - 1, far more than the file holds: refused once the loop is found. With 5-byte blocks,
  // one payload byte each, following it block by block would take billions of reads.
  for (const std::uint32_t block_size : {kBlock, 5U}) {
    out.push_back({"looping chain declaring 4 GiB, block_size " + std::to_string(block_size),
                   leaf_archive(
                       [block_size](auto& image, Entries& e) {
                         const std::uint32_t block = image.append(block_size);
                         image.write_block(block, block,
                                           std::vector<std::uint8_t>(block_size - 4, 4));
                         e.push_back({.id = 0x20000002, .offset = block, .size = 0xFFFFFFFF});
                       },
                       block_size)});
  }
  return out;
}

}  // namespace tallowmere_testing
