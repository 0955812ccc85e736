// The integrity check on hand-built archives: each flaw raises exactly its findings, a
// well-formed archive raises none, and the layout accounts for every byte.

#include "tallowmere_dat/check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tallowmere_dat/dat_database.h"
#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/lrs_codec.h"
#include "tallowmere_testing/sound_table_writer.h"
#include "tallowmere_testing/temp_file.h"

namespace {

using tallowmere_dat::check_archive;
using tallowmere_dat::DatFileEntry;
using tallowmere_dat::Finding;
using tallowmere_dat::FindingKind;
using tallowmere_dat::Severity;
using tallowmere_testing::ArchiveImage;
using tallowmere_testing::DirectoryNode;
using tallowmere_testing::TempFile;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kBlock = 64;
constexpr std::uint32_t kSlice = kBlock - 4;

DatFileEntry entry(std::uint32_t id, std::uint32_t offset = 0, std::uint32_t size = 0,
                   std::uint32_t flags = 0) {
  return {.bit_flags = flags, .id = id, .offset = offset, .size = size};
}

/// A root leaf holding `entries`.
void root_leaf(ArchiveImage& image, std::vector<DatFileEntry> entries) {
  image.header().root_offset = image.append_node({.entries = std::move(entries)});
}

/// A file of `data` on fresh blocks, as an entry.
DatFileEntry file(ArchiveImage& image, std::uint32_t id, const Bytes& data,
                  std::uint32_t flags = 0) {
  return entry(id, image.append_chain(data), static_cast<std::uint32_t>(data.size()), flags);
}

std::string hex(std::uint32_t value) {
  std::array<char, 11> text{};
  (void)std::snprintf(text.data(), text.size(), "0x%08X", value);
  return text.data();
}

/// The file offset of byte `at` of a node written by `append_node` at `node`: its blocks are
/// contiguous.
std::uint64_t node_byte(std::uint32_t node, std::uint32_t at) {
  return std::uint64_t{node} + std::uint64_t{at / kSlice} * kBlock + 4 + at % kSlice;
}

Bytes sound_table(std::uint32_t id, Bytes trailing = {}) {
  return tallowmere_testing::encode_sound_table(
      {.id = id,
       .sounds = {{.key = 0x76, .data = {.entries = {{0x0A000001, 1, 1, 1}}}}},
       .trailing = std::move(trailing)});
}

struct Case {
  const char* name;
  std::function<void(ArchiveImage&)> build;
  std::vector<FindingKind> expected;
  /// A piece of the first finding's message.
  std::string says;
};

std::vector<Case> cases() {
  using K = FindingKind;
  return {
      {"a well-formed archive",
       [](ArchiveImage& image) {
         const Bytes content(300, 'x');
         root_leaf(image, {file(image, 0x01000001, Bytes(150, 1)),
                           file(image, 0x0D000001, tallowmere_testing::lrs_compress(content), 1),
                           file(image, 0x20000001, sound_table(0x20000001))});
       },
       {},
       ""},
      {"a block size that holds only the pointer",
       [](ArchiveImage& image) { image.header().block_size = 4; },
       {K::BlockSizeTooSmall},
       "block_size 4 leaves no room"},
      {"a node declaring 62 entries",
       [](ArchiveImage& image) {
         image.header().root_offset = image.append_node({.entry_count = 62});
       },
       {K::DirectoryUnreadable},
       "(the root) can't be read: "},
      {"a slot leading back to the root",
       [](ArchiveImage& image) {
         const std::uint32_t leaf = image.append_node({.entries = {entry(1)}});
         image.header().root_offset =
             image.append_node({.branches = {leaf}, .entries = {entry(5)}});
         image.write_u32(leaf + 4, image.header().root_offset);  // the leaf's slot 0
       },
       {K::DirectoryCycle},
       "leads back to node"},
      {"a node under two slots",
       [](ArchiveImage& image) {
         const std::uint32_t leaf = image.append_node({.entries = {entry(1)}});
         image.header().root_offset =
             image.append_node({.branches = {leaf, leaf}, .entries = {entry(5)}});
       },
       {K::SharedNode},
       "as well as from slot 0 of node"},
      {"an identifier in a node and its child",
       [](ArchiveImage& image) {
         const std::uint32_t leaf = image.append_node({.entries = {entry(5, 0, 0, 2)}});
         image.header().root_offset =
             image.append_node({.branches = {leaf}, .entries = {entry(5)}});
       },
       {K::ChildOutOfRange, K::DuplicateId},
       "lies outside its slot's range, between none and 0x00000005"},
      {"identifiers descending in a node",
       [](ArchiveImage& image) {
         root_leaf(image, {entry(2), entry(1)});
       },
       {K::IdOrder},
       "entry 1 (id 0x00000001) does not ascend from entry 0 (id 0x00000002)"},
      {"a child beyond its slot's range",
       [](ArchiveImage& image) {
         const std::uint32_t low = image.append_node({.entries = {entry(7)}});
         const std::uint32_t high = image.append_node({.entries = {entry(9)}});
         image.header().root_offset =
             image.append_node({.branches = {low, high}, .entries = {entry(5)}});
       },
       {K::ChildOutOfRange},
       "id 0x00000007 lies outside"},
      {"a chain that runs off the end",
       [](ArchiveImage& image) {
         const std::uint32_t block = image.append(kBlock);
         image.write_block(block, 0x00FFFF00, Bytes(kSlice, 1));
         root_leaf(image, {entry(0x01000001, block, 2 * kSlice)});
       },
       {K::ChainPastEnd},
       "runs past the end of the file"},
      {"a chain that loops",
       [](ArchiveImage& image) {
         const std::uint32_t a = image.append(kBlock);
         const std::uint32_t b = image.append(kBlock);
         image.write_chain(std::vector<std::uint32_t>{a, b}, Bytes(std::size_t{2} * kSlice, 1), a);
         root_leaf(image, {entry(0x01000001, a, 5 * kSlice)});
       },
       {K::ChainLoop},
       "leads back to block"},
      {"a chain back at its first block just as its size runs out",
       [](ArchiveImage& image) {
         const std::uint32_t a = image.append(kBlock);
         const std::uint32_t b = image.append(kBlock);
         const std::uint32_t c = image.append(kBlock);
         image.write_chain(std::vector<std::uint32_t>{a, b, c}, Bytes(std::size_t{3} * kSlice, 1),
                           a);
         root_leaf(image, {entry(0x01000001, a, 4 * kSlice)});
       },
       {K::ChainLoop},
       "leads back to block"},
      {"a chain reaching 0xFFFFFFFC",
       [](ArchiveImage& image) {
         const std::uint32_t a = image.append(kBlock);
         image.write_block(a, 0xFFFFFFFC, Bytes(kSlice, 1));
         root_leaf(image, {entry(0x01000001, a, 2 * kSlice)});
       },
       {K::ChainBadOffset},
       "meets block offset 0xFFFFFFFC"},
      {"two files on one block",
       [](ArchiveImage& image) {
         const DatFileEntry first = file(image, 0x01000001, Bytes(10, 1));
         root_leaf(image, {first, entry(0x01000002, first.offset, 10)});
       },
       {K::ClaimedTwice},
       "are claimed by file 0x01000001 and by file 0x01000002"},
      {"a file over the header",
       [](ArchiveImage& image) { root_leaf(image, {entry(0x01000001, 0x100, 8)}); },
       {K::ClaimedTwice},
       "bytes 0x00000100 to 0x00000140 are claimed by the header and by file 0x01000001"},
      {"a compressed stream shorter than its prefix says",
       [](ArchiveImage& image) {
         Bytes stored = tallowmere_testing::lrs_compress(Bytes(100, 'y'));
         stored[0] = 200;
         root_leaf(image, {file(image, 0x0D000001, stored, 1)});
       },
       {K::DecompressionShort},
       "compressed stream gives 100 bytes, its prefix declares 200"},
      {"compressed entries of 1 to 3 bytes, too short for their size prefix",
       [](ArchiveImage& image) {
         root_leaf(image, {file(image, 0x0D000001, Bytes{7}, 1), file(image, 0x0D000002, {7, 0}, 1),
                           file(image, 0x0D000003, {7, 0, 0}, 1)});
       },
       {K::DecompressionShort, K::DecompressionShort, K::DecompressionShort},
       "file 0x0D000001: compressed entry of 1 byte is too short for its size prefix"},
      {"a sound table cut short",
       [](ArchiveImage& image) {
         root_leaf(image, {file(image, 0x20000001, Bytes{1, 2, 3})});
       },
       {K::SoundTableUndecodable},
       "sound table 0x20000001: not a complete sound table: data cut short"},
      {"a sound table with bytes over",
       [](ArchiveImage& image) {
         root_leaf(image, {file(image, 0x20000001, sound_table(0x20000001, {9, 9, 9}))});
       },
       {K::SoundTableTrailing},
       "3 bytes left over after its last sound record, from byte 44 of 47"},
      {"flaws in files laid out against identifier order, reported in identifier order",
       [](ArchiveImage& image) {
         const DatFileEntry d = file(image, 0x0D000003, {7, 0}, 1);
         const DatFileEntry c = file(image, 0x0D000002, Bytes{7}, 1);
         const std::uint32_t past_end = image.append(kBlock);
         image.write_block(past_end, 0x00FFFF00, Bytes(kSlice, 1));
         const std::uint32_t loop = image.append(kBlock);
         image.write_block(loop, loop, Bytes(kSlice, 1));
         root_leaf(image, {entry(0x01000001, loop, 3 * kSlice),
                           entry(0x01000002, past_end, 2 * kSlice), c, d});
       },
       {K::ChainLoop, K::ChainPastEnd, K::DecompressionShort, K::DecompressionShort},
       "file 0x01000001: chain loops"},
  };
}

TEST(CheckTest, EachFlawRaisesExactlyItsFindings) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    ArchiveImage image(kBlock);
    c.build(image);
    const TempFile archive(image.bytes());
    const auto report = check_archive(archive.path());
    ASSERT_TRUE(report.has_value()) << report.error().debug();
    std::vector<FindingKind> kinds;
    for (const Finding& finding : report->findings)
      kinds.push_back(finding.kind);
    // Fatal: the message check below reads the first finding, which a missing one would lack.
    ASSERT_EQ(kinds, c.expected);
    if (!c.expected.empty()) {
      EXPECT_NE(report->findings.front().message.find(c.says), std::string::npos)
          << report->findings.front().message;
    }
  }
}

TEST(CheckTest, ChainsSharedManyTimesOverStopTheCheckInsteadOfTakingQuadraticTime) {
  // 61 files on one chain of 2,000 blocks: checking each would claim 61 times the file's blocks.
  ArchiveImage image(kBlock);
  const Bytes data(std::size_t{2000} * kSlice, 7);
  const std::uint32_t chain = image.append_chain(data);
  std::vector<DatFileEntry> entries;
  for (std::uint32_t id = 1; id <= 61; ++id)
    entries.push_back(entry(id, chain, static_cast<std::uint32_t>(data.size())));
  root_leaf(image, entries);
  const TempFile archive(image.bytes());
  const auto report = check_archive(archive.path());
  ASSERT_TRUE(report.has_value()) << report.error().debug();
  const auto stopped =
      std::ranges::find(report->findings, FindingKind::CheckStopped, &Finding::kind);
  ASSERT_NE(stopped, report->findings.end());
  ASSERT_EQ(stopped->ids.size(), 1U);
  EXPECT_GT(stopped->ids.front(), 1U);  // the first files were checked: they share blocks
  EXPECT_LT(stopped->ids.front(), 61U);
  EXPECT_TRUE(std::ranges::any_of(
      report->findings, [](const Finding& f) { return f.kind == FindingKind::ClaimedTwice; }));
}

TEST(CheckTest, AStoppedDirectoryWalkStillCountsEachIdentifierOnce) {
  // One-block nodes in blocks larger than the file: the walk may trace 4 blocks, so it stops
  // within the root's six children, after the root's records of four identifiers.
  ArchiveImage image(2048);
  DirectoryNode root{.entries = {entry(7), entry(7), entry(8), entry(9), entry(10)}};
  for (std::size_t slot = 0; slot < 6; ++slot)
    root.branches.at(slot) = image.append_node({});
  image.header().root_offset = image.append_node(root);
  image.header().block_size = 1U << 20U;
  const TempFile archive(image.bytes());
  const auto report = check_archive(archive.path());
  ASSERT_TRUE(report.has_value()) << report.error().debug();
  EXPECT_TRUE(std::ranges::any_of(
      report->findings, [](const Finding& f) { return f.kind == FindingKind::CheckStopped; }));
  EXPECT_EQ(report->layout.entry_count, 4U);
}

TEST(CheckTest, OrderIsOnlyAWarning) {
  for (const Case& c : cases()) {
    ArchiveImage image(kBlock);
    c.build(image);
    const TempFile archive(image.bytes());
    const auto report = check_archive(archive.path());
    ASSERT_TRUE(report.has_value());
    for (const Finding& finding : report->findings) {
      const bool order =
          finding.kind == FindingKind::IdOrder || finding.kind == FindingKind::ChildOutOfRange;
      EXPECT_EQ(finding.severity, order ? Severity::Warning : Severity::Error) << c.name;
    }
  }
}

TEST(CheckTest, AnUnreadableDirectoryIsReportedWithTheOpensError) {
  ArchiveImage image(kBlock);
  const std::uint32_t bad = image.append_node({.entry_count = 62});
  const std::uint32_t good = image.append_node({.entries = {entry(9)}});
  image.header().root_offset = image.append_node({.branches = {bad, good}, .entries = {entry(5)}});
  const TempFile archive(image.bytes());
  const auto opened = tallowmere_dat::DatDatabase::open(archive.path());
  ASSERT_FALSE(opened.has_value());
  const auto report = check_archive(archive.path());
  ASSERT_TRUE(report.has_value());
  ASSERT_EQ(report->findings.size(), 1U);
  EXPECT_EQ(report->findings[0].offsets, std::vector<std::uint64_t>{bad});
  EXPECT_TRUE(report->findings[0].message.ends_with(": " + opened.error().message()))
      << report->findings[0].message;
}

TEST(CheckTest, TheEntryThatWinsIsTheReaders) {
  ArchiveImage image(kBlock);
  const std::uint32_t leaf = image.append_node({.entries = {entry(5, 0, 0, 2)}});
  const std::uint32_t root = image.append_node({.branches = {leaf}, .entries = {entry(5)}});
  image.header().root_offset = root;
  const TempFile archive(image.bytes());
  const auto report = check_archive(archive.path());
  ASSERT_TRUE(report.has_value());
  ASSERT_EQ(report->findings.size(), 2U);
  const Finding& duplicate = report->findings[1];
  // The child's entry is met last, so it wins; both records are located exactly.
  EXPECT_EQ(duplicate.message, "id 0x00000005 occurs 2 times: node " + hex(root) +
                                   " entry 0, node " + hex(leaf) + " entry 0; node " + hex(leaf) +
                                   " entry 0 wins");
  EXPECT_EQ(duplicate.offsets,
            (std::vector<std::uint64_t>{node_byte(root, 252), node_byte(leaf, 252)}));
}

TEST(CheckTest, TheLayoutCoversTheFileAndCountsRuns) {
  ArchiveImage image(kBlock);
  const DatFileEntry contiguous = file(image, 0x01000001, Bytes(std::size_t{3} * kSlice, 1));
  const std::uint32_t a = image.append(kBlock);
  image.append(kBlock);
  const std::uint32_t c = image.append(kBlock);
  image.write_chain(std::vector<std::uint32_t>{a, c}, Bytes(std::size_t{2} * kSlice, 2));
  root_leaf(image, {contiguous, entry(0x01000002, a, 2 * kSlice)});
  const TempFile archive(image.bytes());
  const auto report = check_archive(archive.path());
  ASSERT_TRUE(report.has_value());
  const tallowmere_dat::ArchiveLayout& layout = report->layout;
  EXPECT_EQ(layout.chains, 2U);
  EXPECT_EQ(layout.contiguous_chains, 1U);
  EXPECT_EQ(layout.runs, 3U);
  EXPECT_EQ(layout.entry_count, 2U);
  ASSERT_FALSE(layout.segments.empty());
  EXPECT_EQ(layout.segments.front().begin, 0U);
  EXPECT_EQ(layout.segments.back().end, image.size());
  for (std::size_t i = 1; i < layout.segments.size(); ++i)
    EXPECT_EQ(layout.segments[i].begin, layout.segments[i - 1].end);
  // The block between the scattered file's two is nobody's.
  const auto gap =
      std::ranges::find_if(layout.segments, [&](const auto& s) { return s.begin == a + kBlock; });
  ASSERT_NE(gap, layout.segments.end());
  EXPECT_EQ(gap->claims, 0U);
  EXPECT_EQ(gap->end, c);
}

}  // namespace
