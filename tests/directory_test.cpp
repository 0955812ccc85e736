#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tallowmere_dat/dat_database.h"
#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/hostile_archives.h"
#include "tallowmere_testing/temp_file.h"

namespace tallowmere_dat {
namespace {

using tallowmere_testing::ArchiveBuilder;
using tallowmere_testing::ArchiveImage;
using tallowmere_testing::DirectoryNode;
using tallowmere_testing::TempFile;
/// What the walk left in `files`, as identifier to `timestamp`: the tests tag each record's
/// timestamp so that the surviving one of a repeated identifier shows.
using Stamps = std::map<std::uint32_t, std::uint32_t>;

constexpr std::uint32_t kBlock = 64;  // a node takes 29 blocks
constexpr std::uint32_t kPastEnd = 0x7FFF0000;

DatFileEntry entry(std::uint32_t id, std::uint32_t stamp) {
  return {.bit_flags = 0, .id = id, .offset = 0, .size = 0, .timestamp = stamp, .version = 0};
}

DirectoryNode leaf(std::vector<DatFileEntry> entries) {
  return {.entries = std::move(entries)};
}

DirectoryNode interior(std::vector<std::uint32_t> slots, std::vector<DatFileEntry> entries,
                       std::optional<std::uint32_t> entry_count = std::nullopt) {
  DirectoryNode node{.entries = std::move(entries), .entry_count = entry_count};
  std::copy(slots.begin(), slots.end(), node.branches.begin());
  return node;
}

/// Points slot `slot` of the node at `node` to `child`; the slot must lie in the node's first
/// block (slot < 15 at this block size). Lets tests make links to nodes appended later.
void set_slot(ArchiveImage& image, std::uint32_t node, std::size_t slot, std::uint32_t child) {
  image.write_u32(node + 4 + 4 * slot, child);
}

std::expected<DatDatabase, DatError> open_bytes(std::span<const std::uint8_t> bytes) {
  const TempFile file(bytes);
  return DatDatabase::open(file.path());  // the open handle keeps the removed file readable
}

Stamps stamps(const DatDatabase& db) {
  Stamps out;
  for (const DatFileEntry& e : db.files())
    out[e.id] = e.timestamp;
  return out;
}

DatError too_many_entries() {
  return DatError(ReadError(ReadError::Backtrace{
      std::make_shared<const ReadError>(IoError::fill_whole_buffer()),
      {BacktraceFrame::Full{"While parsing field 'bit_flags' in DatFileEntry",
                            "crates/tallowmere-dat/src/lib", 222, std::nullopt}}}));
}

DatError corruption(std::string message) {
  return DatError(DatError::Corruption{std::move(message)});
}

struct WalkCase {
  const char* name;
  /// Lays the nodes out and sets the root offset.
  std::function<void(ArchiveImage&)> build;
  std::expected<Stamps, DatError> expected;
};

void run(const std::vector<WalkCase>& cases) {
  for (const WalkCase& c : cases) {
    SCOPED_TRACE(c.name);
    ArchiveImage image(kBlock);
    c.build(image);
    const auto db = open_bytes(image.bytes());
    if (c.expected) {
      ASSERT_TRUE(db.has_value()) << db.error().debug();
      EXPECT_EQ(stamps(*db), *c.expected);
    } else {
      ASSERT_FALSE(db.has_value());
      EXPECT_EQ(db.error(), c.expected.error());
    }
  }
}

TEST(DirectoryWalkTest, NodeShapes) {
  Stamps full;
  for (std::uint32_t i = 0; i < 61; ++i)
    full[1000 + i] = 1;
  for (std::uint32_t i = 0; i < 62; ++i)
    full[2000 + i] = 2;

  run({
      {"root offset 0 gives an empty map", [](ArchiveImage&) {}, Stamps{}},
      {"a leaf with no entries adds nothing",
       [](ArchiveImage& image) { image.header().root_offset = image.append_node(leaf({})); },
       Stamps{}},
      {"61 entries in an interior node, and all 62 slots visited",
       [](ArchiveImage& image) {
         DirectoryNode root;
         for (std::uint32_t i = 0; i < 61; ++i)
           root.entries.push_back(entry(1000 + i, 1));
         for (std::uint32_t i = 0; i < 62; ++i) {
           root.branches[i] = image.append_node(leaf({entry(2000 + i, 2)}));
         }
         image.header().root_offset = image.append_node(root);
       },
       full},
      {"an interior node with no entries has one child, in slot 0",
       [](ArchiveImage& image) {
         const std::uint32_t a = image.append_node(leaf({entry(1, 1)}));
         image.header().root_offset = image.append_node(interior({a, kPastEnd}, {}));
       },
       Stamps{{1, 1}}},
      {"0 slots among the first entry_count + 1 are skipped, later ones followed",
       [](ArchiveImage& image) {
         const std::uint32_t a = image.append_node(leaf({entry(1, 1)}));
         const std::uint32_t b = image.append_node(leaf({entry(2, 1)}));
         image.header().root_offset =
             image.append_node(interior({a, 0, 0, b}, {entry(10, 1), entry(11, 1), entry(12, 1)}));
       },
       Stamps{{1, 1}, {2, 1}, {10, 1}, {11, 1}, {12, 1}}},
      {"slots after the first entry_count + 1 are ignored",
       [](ArchiveImage& image) {
         const std::uint32_t a = image.append_node(leaf({entry(1, 1)}));
         const std::uint32_t b = image.append_node(leaf({entry(2, 1)}));
         image.header().root_offset =
             image.append_node(interior({a, b, kPastEnd, kPastEnd}, {entry(10, 1)}));
       },
       Stamps{{1, 1}, {2, 1}, {10, 1}}},
      {"slot 0 being 0 makes a leaf whatever the other slots hold",
       [](ArchiveImage& image) {
         image.header().root_offset =
             image.append_node(interior({0, kPastEnd, kPastEnd}, {entry(10, 1), entry(11, 1)}));
       },
       Stamps{{10, 1}, {11, 1}}},
      {"the entries past entry_count are not read",
       [](ArchiveImage& image) {
         image.header().root_offset =
             image.append_node(interior({}, {entry(1, 1), entry(2, 1)}, 1));
       },
       Stamps{{1, 1}}},
  });
}

TEST(DirectoryWalkTest, RepeatedIdentifiersKeepTheEntryReadLast) {
  run({
      {"a descendant beats its ancestor",
       [](ArchiveImage& image) {
         const std::uint32_t grandchild = image.append_node(leaf({entry(5, 3)}));
         const std::uint32_t child = image.append_node(interior({grandchild}, {}));
         image.header().root_offset = image.append_node(interior({child}, {entry(5, 1)}, 0));
       },
       Stamps{{5, 3}}},
      {"the second record in a node beats the first",
       [](ArchiveImage& image) {
         image.header().root_offset =
             image.append_node(leaf({entry(5, 1), entry(6, 1), entry(5, 2)}));
       },
       Stamps{{5, 2}, {6, 1}}},
      {"a later slot's subtree beats an earlier one, however deep",
       [](ArchiveImage& image) {
         const std::uint32_t deep = image.append_node(leaf({entry(7, 1), entry(8, 1)}));
         const std::uint32_t a = image.append_node(interior({deep}, {}));
         const std::uint32_t b = image.append_node(leaf({entry(7, 2)}));
         image.header().root_offset = image.append_node(interior({a, b}, {entry(8, 0)}));
       },
       Stamps{{7, 2}, {8, 1}}},
      {"a node reachable from two parents is read twice",
       [](ArchiveImage& image) {
         // root -> a -> c, then root -> b -> c: c's entry, read again after b's, survives.
         const std::uint32_t c = image.append_node(leaf({entry(9, 2)}));
         const std::uint32_t a = image.append_node(interior({c}, {}));
         const std::uint32_t b = image.append_node(interior({c}, {entry(9, 1)}));
         image.header().root_offset = image.append_node(interior({a, b}, {entry(1, 1)}));
       },
       Stamps{{1, 1}, {9, 2}}},
  });
}

TEST(DirectoryWalkTest, FailuresStopTheOpen) {
  run({
      {"62 entries",
       [](ArchiveImage& image) {
         image.header().root_offset = image.append_node(interior({}, {}, 62));
       },
       std::unexpected(too_many_entries())},
      {"0xFFFFFFFF entries in an interior node",
       [](ArchiveImage& image) {
         const std::uint32_t a = image.append_node(leaf({}));
         image.header().root_offset = image.append_node(interior({a}, {}, 0xFFFFFFFF));
       },
       std::unexpected(too_many_entries())},
      {"a failing child stops the walk before the next slot",
       [](ArchiveImage& image) {
         const std::uint32_t bad = image.append_node(interior({}, {}, 62));
         image.header().root_offset = image.append_node(interior({bad, kPastEnd}, {entry(1, 1)}));
       },
       std::unexpected(too_many_entries())},
      {"a root past the end", [](ArchiveImage& image) { image.header().root_offset = kPastEnd; },
       std::unexpected(DatError(IoError::fill_whole_buffer()))},
      {"a node whose chain runs past the end",
       [](ArchiveImage& image) {
         const std::uint32_t root = image.append_node(interior({}, {entry(2, 1)}));
         set_slot(image, root, 0, image.append_node(leaf({entry(1, 1)})));
         // Its last block holds 36 payload bytes and 24 unused: cut the last payload byte.
         image.truncate(image.size() - 25);
         image.header().root_offset = root;
       },
       std::unexpected(DatError(IoError::fill_whole_buffer()))},
      {"a child past the end after good siblings",
       [](ArchiveImage& image) {
         const std::uint32_t a = image.append_node(leaf({entry(1, 1)}));
         image.header().root_offset = image.append_node(interior({a, kPastEnd}, {entry(2, 1)}));
       },
       std::unexpected(DatError(IoError::fill_whole_buffer()))},
  });
}

TEST(DirectoryWalkTest, CyclesOnThePathAreCorruption) {
  // Appended nodes take 29 blocks of 64 bytes each, from 0x190 on: 0x190, 0x8D0, 0x1010, 0x1750.
  run({
      {"a node whose slot leads to itself",
       [](ArchiveImage& image) {
         image.header().root_offset = image.append_node(interior({0x190}, {}));
       },
       std::unexpected(corruption("directory node 0x00000190 slot 0 leads back to node "
                                  "0x00000190 on its own path"))},
      {"a grandchild leading back to the root, after a leaf",
       [](ArchiveImage& image) {
         const std::uint32_t root = image.append_node(interior({}, {entry(1, 1)}));
         const std::uint32_t a = image.append_node(interior({}, {entry(2, 1)}));
         const std::uint32_t leaf_c = image.append_node(leaf({entry(3, 1)}));
         const std::uint32_t b = image.append_node(interior({leaf_c, 0, root}, {}, 2));
         set_slot(image, root, 0, a);
         set_slot(image, a, 0, b);
         image.header().root_offset = root;
         EXPECT_EQ(b, 0x1750U);
       },
       std::unexpected(corruption("directory node 0x00001750 slot 2 leads back to node "
                                  "0x00000190 on its own path"))},
      {"a slot leading back to the parent",
       [](ArchiveImage& image) {
         const std::uint32_t root = image.append_node(interior({}, {}));
         const std::uint32_t a = image.append_node(interior({root}, {}));
         set_slot(image, root, 0, a);
         image.header().root_offset = root;
       },
       std::unexpected(corruption("directory node 0x000008D0 slot 0 leads back to node "
                                  "0x00000190 on its own path"))},
  });
}

std::string hex(std::uint32_t offset) {
  std::array<char, 11> text{};
  (void)std::snprintf(text.data(), text.size(), "0x%08X", offset);
  return text.data();
}

/// The defining walk, plainly recursive, over a model of the nodes by offset: an offset that
/// isn't modelled lies past the end of the file.
std::expected<void, DatError> reference_walk(const std::map<std::uint32_t, DirectoryNode>& nodes,
                                             std::uint32_t offset, std::set<std::uint32_t>& path,
                                             Stamps& out) {
  const auto found = nodes.find(offset);
  if (found == nodes.end()) return std::unexpected(DatError(IoError::fill_whole_buffer()));
  const DirectoryNode& node = found->second;
  const std::uint32_t count = node.entry_count.value_or(node.entries.size());
  if (count > 61) return std::unexpected(too_many_entries());
  for (const DatFileEntry& e : node.entries)
    out[e.id] = e.timestamp;
  if (node.branches[0] == 0) return {};
  path.insert(offset);
  for (std::uint32_t slot = 0; slot <= count && slot < 62; ++slot) {
    const std::uint32_t child = node.branches[slot];
    if (child == 0) continue;
    if (path.contains(child)) {
      return std::unexpected(corruption("directory node " + hex(offset) + " slot " +
                                        std::to_string(slot) + " leads back to node " + hex(child) +
                                        " on its own path"));
    }
    if (auto walked = reference_walk(nodes, child, path, out); !walked) return walked;
  }
  path.erase(offset);
  return {};
}

TEST(DirectoryWalkTest, RandomSharedDirectoriesMatchThePlainRecursiveWalk) {
  // Each node fills one block, so node k lies at a known offset before any is written.
  constexpr std::uint32_t kOneBlock = tallowmere_testing::kNodeSize + 4;
  const auto offset_of = [](std::size_t k) {
    return 0x190 + static_cast<std::uint32_t>(k) * kOneBlock;
  };
  std::mt19937 random(1212);
  const auto roll = [&](std::uint32_t n) {
    return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(random);
  };
  std::uint32_t stamp = 0;
  int failures = 0;
  for (int round = 0; round < 400; ++round) {
    const std::size_t count = 2 + roll(8);
    std::map<std::uint32_t, DirectoryNode> nodes;
    ArchiveImage image(kOneBlock);
    for (std::size_t k = 0; k < count; ++k) {
      DirectoryNode node;
      for (std::uint32_t e = roll(4); e > 0; --e)
        node.entries.push_back(entry(roll(8), ++stamp));
      if (roll(20) == 0) node.entry_count = 62;
      const bool leaf = roll(3) == 0;
      for (std::size_t slot = 0; !leaf && slot <= node.entries.size(); ++slot) {
        const std::uint32_t pick = roll(30);
        node.branches[slot] =
            pick < 5                     ? 0
            : pick < 7 || k + 1 == count ? offset_of(roll(static_cast<std::uint32_t>(k) + 1))
            : pick < 8                   ? kPastEnd
                       : offset_of(k + 1 + roll(static_cast<std::uint32_t>(count - k - 1)));
      }
      ASSERT_EQ(image.append_node(node), offset_of(k));
      nodes.emplace(offset_of(k), node);
    }
    image.header().root_offset = offset_of(0);
    Stamps expected;
    std::set<std::uint32_t> path;
    const auto walked = reference_walk(nodes, offset_of(0), path, expected);
    const auto db = open_bytes(image.bytes());
    SCOPED_TRACE(::testing::Message() << "round " << round);
    if (walked) {
      ASSERT_TRUE(db.has_value()) << db.error().debug();
      EXPECT_EQ(stamps(*db), expected);
    } else {
      ++failures;
      ASSERT_FALSE(db.has_value());
      EXPECT_EQ(db.error(), walked.error());
    }
  }
  // Both outcomes are common enough to be tested.
  EXPECT_GT(failures, 50);
  EXPECT_LT(failures, 350);
}

TEST(DirectoryWalkTest, WalksWithAstronomicallyManyPathsOpenToTheirResult) {
  // 55 levels, each naming the next in both of its slots: 2^54 paths to the last. Ids repeat
  // every third level, and the deepest level holding an id is met last on every path.
  ArchiveImage image(kBlock);
  std::uint32_t next = 0;
  Stamps expected;
  for (std::uint32_t level = 55; level-- > 0;) {
    next = image.append_node(interior({next, next}, {entry(level % 3, level)}, 1));
    expected.try_emplace(level % 3, level);
  }
  image.header().root_offset = next;
  const auto db = open_bytes(image.bytes());
  ASSERT_TRUE(db.has_value()) << db.error().debug();
  EXPECT_EQ(stamps(*db), expected);
}

TEST(DirectoryWalkTest, AHundredThousandLevelsOfOverlappingNodesOpen) {
  const auto db =
      open_bytes(tallowmere_testing::bottomless_line(0x1000, 0x1000 + 100000 * 12).bytes());
  ASSERT_TRUE(db.has_value()) << db.error().debug();
  EXPECT_TRUE(db->files().empty());
}

TEST(DirectoryWalkTest, DeepButRealTreesOpen) {
  // 3000 nodes in a line, each in its own block: as deep as a file this size can hold.
  ArchiveImage image(tallowmere_testing::kNodeSize + 4);
  std::uint32_t child = 0;
  for (std::uint32_t i = 0; i < 3000; ++i) {
    child = image.append_node(interior({child}, {entry(i, i)}));
  }
  image.header().root_offset = child;
  const auto db = open_bytes(image.bytes());
  ASSERT_TRUE(db.has_value()) << db.error().debug();
  EXPECT_EQ(db->files().size(), 3000U);
}

TEST(DirectoryWalkTest, RandomBuiltArchivesOpenToTheMapWritten) {
  std::mt19937 random(4242);
  const auto uniform = [&](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(random);
  };
  for (std::uint32_t round = 0; round < 60; ++round) {
    const std::uint32_t count = round % 10 == 3 ? uniform(2000, 6000) : uniform(0, 400);
    const std::uint32_t fan_out = round % 3 == 0 ? uniform(1, 3) : uniform(1, 61);
    const std::uint32_t block_size = round % 5 == 0 ? uniform(5, 40) : uniform(41, 4000);
    ArchiveBuilder builder({.block_size = block_size,
                            .seed = round,
                            .fan_out = fan_out,
                            .spare_percent = uniform(0, 30),
                            .junk_tail_pointers = round % 2 == 0});
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t id =
          uniform(0, 1) == 0 ? uniform(0, count) : static_cast<std::uint32_t>(random());
      builder.add_file(id, std::vector<std::uint8_t>(uniform(0, 2) == 0 ? uniform(1, 100) : 0, 7),
                       static_cast<std::uint32_t>(random()));
    }
    SCOPED_TRACE(::testing::Message() << "round " << round << " count " << count << " fan_out "
                                      << fan_out << " block_size " << block_size);
    const auto built = builder.build();
    const auto db = open_bytes(built.bytes);
    ASSERT_TRUE(db.has_value()) << db.error().debug();
    EXPECT_EQ(db->header(), built.header);
    EXPECT_TRUE(std::ranges::equal(db->files(), built.entries));
  }
}

}  // namespace
}  // namespace tallowmere_dat
