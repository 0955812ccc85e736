// One open archive read from several threads at once. Run under ThreadSanitizer by the tsan
// preset, which reports any data race on the shared handle.

#include <gtest/gtest.h>

#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/file_type/sound_table.h"
#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/random.h"
#include "tallowmere_testing/sound_table_writer.h"
#include "tallowmere_testing/temp_file.h"

namespace tallowmere_dat {
namespace {

using file_type::SoundTable;
using tallowmere_testing::Random;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kThreads = 4;

/// Everything a reader learns about one identifier.
struct Reading {
  bool listed = false;
  std::expected<Bytes, DatError> bytes;
  std::optional<std::expected<SoundTable, ReadError>> table;  ///< For sound tables only.

  friend bool operator==(const Reading&, const Reading&) = default;
};

bool is_sound_table(std::uint32_t id) {
  return id >> 24U == 0x20;
}

Reading read_one(const DatDatabase& db, std::uint32_t id) {
  Reading reading{db.files().contains(id), db.get_file(id), std::nullopt};
  if (reading.bytes && is_sound_table(id)) {
    Cursor cursor(*reading.bytes);
    reading.table = SoundTable::read(cursor);
  }
  return reading;
}

/// Reads every identifier, starting at `start` and wrapping around, so that threads given
/// different starts meet on different files; the readings are in the order of `ids`.
std::vector<Reading> read_all(const DatDatabase& db, const std::vector<std::uint32_t>& ids,
                              std::size_t start) {
  std::vector<Reading> readings(ids.size());
  for (std::size_t k = 0; k < ids.size(); ++k) {
    const std::size_t i = (start + k) % ids.size();
    readings[i] = read_one(db, ids[i]);
  }
  return readings;
}

SoundTable random_table(std::uint32_t id, Random& random) {
  const auto value = [&] { return static_cast<float>(random.below(64)) / 8; };
  std::vector<std::pair<std::uint32_t, file_type::SoundHashData>> hashes;
  for (std::uint64_t n = random.below(4); n > 0; --n)
    hashes.push_back({random.between(0, 0xFF), {value(), value(), value()}});
  std::vector<std::pair<std::uint32_t, file_type::SoundData>> sounds;
  for (std::uint64_t n = random.below(6); n > 0; --n) {
    file_type::SoundData data{.unknown = static_cast<std::int32_t>(random.below(3))};
    for (std::uint64_t e = random.below(4); e > 0; --e)
      data.entries.push_back({random.between(0x0A000000, 0x0A0000FF), value(), value(), value()});
    sounds.emplace_back(random.between(0x40, 0x90), std::move(data));
  }
  return {.id = id,
          .hash_key = static_cast<std::int32_t>(random.below(1000)),
          .hashes = FlatMap(std::move(hashes)),
          .sounds = FlatMap(std::move(sounds))};
}

/// Content that compresses: runs of a byte pattern with some noise.
Bytes random_content(Random& random) {
  Bytes content(random.below(3000));
  const std::uint64_t period = 1 + random.below(40);
  for (std::size_t i = 0; i < content.size(); ++i)
    content[i] = static_cast<std::uint8_t>(i % period == 0 ? random.next() : i % period);
  return content;
}

TEST(ThreadsTest, ConcurrentReadersSeeWhatOneThreadSees) {
  Random random(2024);
  tallowmere_testing::ArchiveBuilder builder({.block_size = 64, .seed = 5, .fan_out = 8});
  std::map<std::uint32_t, Bytes> contents;
  std::map<std::uint32_t, SoundTable> tables;  // the sound tables that decode
  std::vector<std::uint32_t> ids;
  for (std::uint32_t i = 0; i < 480; ++i) {
    const std::uint32_t id = i % 3 == 0 ? 0x20000000 + i : ((1 + i % 10) << 24U) + i;
    ids.push_back(id);
    if (i % 25 == 0) continue;  // not in the archive: lookups must miss
    Bytes content;
    if (is_sound_table(id)) {
      const SoundTable table = random_table(id, random);
      content = tallowmere_testing::encode_sound_table(table);
      if (i % 21 == 0) {
        content.resize(content.size() / 2);  // cut short: fails to decode
      } else {
        tables[id] = table;
      }
    } else {
      content = random_content(random);
    }
    if (i % 4 == 0) {
      builder.add_compressed_file(id, content);
    } else {
      builder.add_file(id, content);
    }
    contents[id] = std::move(content);
  }
  const tallowmere_testing::TempFile file(builder.build().bytes);
  const auto db = DatDatabase::open(file.path());
  ASSERT_TRUE(db.has_value()) << db.error().debug();

  // One thread first, checked against what went into the archive.
  const std::vector<Reading> expected = read_all(*db, ids, 0);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    SCOPED_TRACE(ids[i]);
    const auto content = contents.find(ids[i]);
    const Reading& reading = expected[i];
    EXPECT_EQ(reading.listed, content != contents.end());
    if (content == contents.end()) {
      EXPECT_EQ(reading.bytes, std::unexpected(DatError(DatError::NotFound{ids[i]})));
    } else {
      EXPECT_EQ(reading.bytes, content->second);
    }
    ASSERT_EQ(reading.table.has_value(), reading.listed && is_sound_table(ids[i]));
    if (!reading.table) continue;
    ASSERT_EQ(reading.table->has_value(), tables.contains(ids[i]));
    if (reading.table->has_value()) {
      EXPECT_EQ(**reading.table, tables.at(ids[i]));
    }
  }

  std::vector<std::vector<Reading>> seen(kThreads);
  {
    std::vector<std::jthread> threads;
    threads.reserve(kThreads);
    for (std::size_t t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] { seen[t] = read_all(*db, ids, t * ids.size() / kThreads); });
  }
  for (std::size_t t = 0; t < kThreads; ++t)
    EXPECT_TRUE(seen[t] == expected) << "thread " << t;
}

}  // namespace
}  // namespace tallowmere_dat
