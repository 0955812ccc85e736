// The bulk reader against reading each file alone: the same bytes and the same errors for every
// entry, on chains the builder lays out and on hostile ones, on archives larger than its window,
// and on a file cut short after it was opened.

#include "tallowmere_dat/bulk_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <vector>

#include "tallowmere_dat/dat_database.h"
#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/lrs_codec.h"
#include "tallowmere_testing/temp_file.h"
#include "window_source.h"

namespace tallowmere_dat {
namespace {

using tallowmere_testing::ArchiveBuilder;
using tallowmere_testing::ArchiveImage;
using Bytes = std::vector<std::uint8_t>;
using Result = std::expected<Bytes, DatError>;

std::vector<const DatFileEntry*> every_entry(const DatDatabase& db) {
  std::vector<const DatFileEntry*> entries;
  for (const DatFileEntry& entry : db.files())
    entries.push_back(&entry);
  return entries;
}

/// Reads every file of `db` in bulk and checks each against reading it alone, and that the
/// files come in ascending offset order, each once. Returns how many failed.
int expect_bulk_matches_one_by_one(const DatDatabase& db, BulkContent content) {
  BulkReader reader(db, every_entry(db), content);
  std::map<std::uint32_t, int> seen;
  std::uint32_t last_offset = 0;
  int failed = 0;
  while (const auto file = reader.next()) {
    const DatFileEntry& entry = file->entry;
    EXPECT_GE(entry.offset, last_offset);
    last_offset = entry.offset;
    ++seen[entry.id];
    const Result alone = content == BulkContent::Verified
                             ? db.get_file_verified(entry.id)
                             : db.read_file_data(entry.offset, entry.size);
    const Result bulk = file->bytes ? Result(Bytes(file->bytes->begin(), file->bytes->end()))
                                    : Result(std::unexpected(file->bytes.error()));
    EXPECT_EQ(bulk, alone) << "id " << entry.id;
    failed += bulk ? 0 : 1;
  }
  EXPECT_EQ(reader.remaining(), 0U);
  EXPECT_EQ(seen.size(), db.files().size());
  EXPECT_TRUE(std::ranges::all_of(seen, [](const auto& id_count) { return id_count.second == 1; }));
  return failed;
}

// One leaf of entries over random bytes sprinkled with pointers: chains that jump, loop, run off
// the end or meet unusable offsets, sizes up to far beyond the file, compressed or not.
TEST(BulkReaderTest, HostileChainsReadAsTheyDoAlone) {
  std::mt19937 random(2112);
  const auto uniform = [&](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(random);
  };
  int failed = 0;
  for (int round = 0; round < 300; ++round) {
    const std::uint32_t block_size = uniform(5, 80);
    ArchiveImage image(block_size);
    const std::uint32_t length = uniform(600, 6000);
    const std::uint32_t data = image.append(length);
    for (std::uint32_t at = data; at < data + length; ++at)
      image.write(at, std::vector<std::uint8_t>{static_cast<std::uint8_t>(random())});
    for (std::uint32_t n = uniform(0, length / 8); n > 0; --n) {
      const std::uint32_t choice = uniform(0, 9);
      image.write_u32(uniform(data, data + length - 4), choice < 3   ? 0
                                                        : choice < 8 ? uniform(data, data + length)
                                                        : choice < 9
                                                            ? data + length + uniform(0, 64)
                                                            : 0xFFFFFFFC + uniform(0, 3));
    }
    tallowmere_testing::DirectoryNode leaf;
    for (std::uint32_t id = 1, count = uniform(1, 61); id <= count; ++id) {
      const std::uint32_t size = uniform(0, 5) == 0 ? uniform(0, 0xFFFFFFFF) : uniform(0, 3000);
      leaf.entries.push_back({.bit_flags = uniform(0, 1),
                              .id = id,
                              .offset = uniform(0, 9) == 0 ? 0 : uniform(data, data + length),
                              .size = size});
    }
    image.header().root_offset = image.append_node(leaf);
    if (uniform(0, 3) == 0) image.truncate(image.size() - uniform(1, 400));
    const Bytes bytes = std::move(image).release();
    auto db = DatDatabase::open(bytes);
    if (!db) continue;  // a truncation may take the directory with it
    SCOPED_TRACE(::testing::Message() << "round " << round << " block_size " << block_size);
    failed += expect_bulk_matches_one_by_one(*db, BulkContent::Verified);
    failed += expect_bulk_matches_one_by_one(*db, BulkContent::Stored);
  }
  EXPECT_GT(failed, 1000);  // the chains are hostile enough to fail often
}

/// An archive of about 10 MiB, more than two windows, whose chains are partly scattered.
Bytes archive_larger_than_the_window() {
  std::mt19937 random(99);
  ArchiveBuilder builder({.block_size = 512, .seed = 5, .spare_percent = 10});
  for (std::uint32_t id = 0; id < 3600; ++id) {
    Bytes content(std::uniform_int_distribution<std::size_t>(0, 6000)(random));
    for (std::size_t i = 0; i < content.size(); ++i)
      content[i] = static_cast<std::uint8_t>(i % 7 == 0 ? random() : i % 7);
    const auto layout = id % 2 == 0 ? tallowmere_testing::ChainLayout::kContiguous
                                    : tallowmere_testing::ChainLayout::kScattered;
    if (id % 3 == 0) {
      builder.add_compressed_file(id, content, 1, layout);
    } else {
      builder.add_file(id, content, 0, layout);
    }
  }
  return builder.build().bytes;
}

TEST(BulkReaderTest, ArchivesLargerThanTheWindowReadAsTheyDoAlone) {
  const Bytes bytes = archive_larger_than_the_window();
  ASSERT_GT(bytes.size(), 2 * (std::size_t{4} << 20));
  const tallowmere_testing::TempFile file(bytes);
  auto db = DatDatabase::open(file.path());
  ASSERT_TRUE(db) << db.error().debug();
  EXPECT_EQ(expect_bulk_matches_one_by_one(*db, BulkContent::Verified), 0);
  // Cut short after the open: the windows near the end fail, and the files read as alone.
  std::filesystem::resize_file(file.path(), bytes.size() * 2 / 3);
  EXPECT_GT(expect_bulk_matches_one_by_one(*db, BulkContent::Verified), 0);
  EXPECT_GT(expect_bulk_matches_one_by_one(*db, BulkContent::Stored), 0);
}

TEST(BulkReaderTest, ReadsOnlyTheEntriesGivenWithTiesInTheOrderGiven) {
  const Bytes bytes = archive_larger_than_the_window();
  auto db = DatDatabase::open(bytes);
  ASSERT_TRUE(db);
  const std::span<const DatFileEntry> files = db->files().entries();
  // Empty files all lie at offset 0: their order is the order given, here descending ids.
  std::vector<const DatFileEntry*> chosen;
  for (auto it = files.rbegin(); it != files.rend(); ++it) {
    if (it->id % 5 == 0) chosen.push_back(&*it);
  }
  BulkReader reader(*db, chosen);
  std::vector<const DatFileEntry*> read;
  while (const auto file = reader.next())
    read.push_back(&file->entry);
  std::ranges::stable_sort(chosen, {}, &DatFileEntry::offset);
  EXPECT_EQ(read, chosen);
}

/// Bytes in memory behind a length hint that may claim more than they hold, as a file cut short
/// after it was opened does.
class ShortSource final : public detail::BlockSource {
 public:
  ShortSource(Bytes bytes, std::uint64_t hint) : bytes_(std::move(bytes)), hint_(hint) {}

  std::expected<void, IoError> read_at(std::span<std::uint8_t> head, std::span<std::uint8_t> tail,
                                       std::uint64_t offset) const override {
    if (offset + head.size() + tail.size() > bytes_.size()) {
      return std::unexpected(IoError::fill_whole_buffer());
    }
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), head.size(), head.begin());
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset + head.size()), tail.size(),
                tail.begin());
    return {};
  }
  std::uint64_t length_hint() const override { return hint_; }

 private:
  Bytes bytes_;
  std::uint64_t hint_;
};

TEST(WindowSourceTest, ReadsAroundTheWindowGiveTheSourcesBytesAndErrors) {
  std::mt19937 random(4242);
  const auto uniform = [&](std::uint64_t lo, std::uint64_t hi) {
    return std::uniform_int_distribution<std::uint64_t>(lo, hi)(random);
  };
  constexpr std::size_t kCapacity = detail::WindowSource::kCapacity;
  Bytes bytes(kCapacity + kCapacity / 4);
  for (auto& byte : bytes)
    byte = static_cast<std::uint8_t>(random());
  for (const std::uint64_t hint : {bytes.size(), bytes.size() + 4096}) {
    const ShortSource base(bytes, hint);
    detail::WindowSource window(base);
    for (int round = 0; round < 60; ++round) {
      const std::uint64_t at = uniform(0, hint + 8);
      window.cover(at, uniform(0, 3) == 0 ? uniform(0, 2 * kCapacity) : uniform(0, 4096));
      for (int n = 0; n < 200; ++n) {
        // Near the window's two ends, where an off-by-one would show.
        const std::uint64_t edge = uniform(0, 1) == 0 ? at : at + kCapacity;
        const std::uint64_t offset =
            edge - std::min<std::uint64_t>(edge, uniform(0, 40)) + uniform(0, 40);
        Bytes head(uniform(0, 24));
        Bytes tail(uniform(0, 24));
        Bytes expected_head(head.size());
        Bytes expected_tail(tail.size());
        const auto got = window.read_at(head, tail, offset);
        const auto expected = base.read_at(expected_head, expected_tail, offset);
        ASSERT_EQ(got.has_value(), expected.has_value()) << "offset " << offset;
        if (got) {
          ASSERT_EQ(head, expected_head);
          ASSERT_EQ(tail, expected_tail);
        }
      }
    }
  }
}

}  // namespace
}  // namespace tallowmere_dat
