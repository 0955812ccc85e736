#include "tallowmere_dat/file_type/sound_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <new>
#include <random>
#include <utility>
#include <vector>

#include "tallowmere_dat/file.h"
#include "tallowmere_testing/allocation_tracker.h"
#include "tallowmere_testing/sound_table_writer.h"
#include "tallowmere_testing/temp_file.h"

namespace tallowmere_dat::file_type {
namespace {

using tallowmere_testing::bitwise_equal;
using tallowmere_testing::encode_sound_table;
using tallowmere_testing::SoundTableLayout;
using Bytes = std::vector<std::uint8_t>;

constexpr std::int32_t kMaxCount = std::numeric_limits<std::int32_t>::max();

float float_bits(std::uint32_t bits) {
  return std::bit_cast<float>(bits);
}

/// A 44-byte table with one slot, 0x76, holding one wave; its bytes are spelled out below.
SoundTableLayout one_slot_table_layout() {
  return {.id = 0x20000001,
          .sounds = {{0x76, SoundData{{{0x0A0004D2, 1.0F, 1.0F, 0.5F}}, 0}, std::nullopt}}};
}

/// A table with every kind of record, for cutting short at every length.
SoundTableLayout rich_layout() {
  return {.id = 0x20000042,
          .hash_key = -7,
          .hashes = {{3, {0.25F, 0.5F, 0.75F}}},
          .sounds = {{0x76, SoundData{{{1, 1, 2, 3}, {2, 4, 5, 6}}, -1}, std::nullopt},
                     {0x46, SoundData{{}, 9}, std::nullopt}}};
}

TEST(SoundTableTest, DecodesTheFortyFourByteTableWithOneSlot) {
  const Bytes bytes = {0x01, 0x00, 0x00, 0x20, 0,    0,    0, 0, 0, 0,    0,    0,    0x01, 0, 0,
                       0,    0x76, 0,    0,    0,    0x01, 0, 0, 0, 0xD2, 0x04, 0x00, 0x0A, 0, 0,
                       0x80, 0x3F, 0,    0,    0x80, 0x3F, 0, 0, 0, 0x3F, 0,    0,    0,    0};
  EXPECT_EQ(encode_sound_table(one_slot_table_layout()), bytes);
  Cursor cursor(bytes);
  const auto table = SoundTable::read(cursor);
  ASSERT_TRUE(table.has_value()) << table.error().display();
  EXPECT_EQ(*table, (SoundTable{.id = 0x20000001,
                                .hash_key = 0,
                                .hashes = {},
                                .sounds = {{0x76, {{{0x0A0004D2, 1.0F, 1.0F, 0.5F}}, 0}}}}));
  EXPECT_EQ(cursor.position().value(), 44U);
}

TEST(SoundTableTest, AcceptsWhatTheFormatAllows) {
  const float nan = float_bits(0x7FC01234);
  const float signalling_nan = float_bits(0xFF800001);
  const struct {
    const char* name;
    SoundTableLayout table_layout;
    SoundTable expected;
    std::size_t unread_records = 0;  ///< Bytes of written records beyond the declared counts.
  } cases[] = {
      {"counts 0 and 0",
       {.id = 0xFFFFFFFF, .hash_key = kMaxCount},
       {0xFFFFFFFF, kMaxCount, {}, {}}},
      {"negative counts mean none",
       {.id = 5,
        .declared_hashes = -1,
        .declared_sounds = std::numeric_limits<std::int32_t>::min(),
        .trailing = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE}},
       {5, 0, {}, {}}},
      {"repeated keys keep the later record",
       {.hashes = {{1, {1, 1, 1}}, {2, {2, 2, 2}}, {1, {3, 3, 3}}},
        .sounds = {{9, SoundData{{{7, 0, 0, 0}}, 1}, std::nullopt},
                   {4, SoundData{{}, 2}, std::nullopt},
                   {9, SoundData{{}, 3}, std::nullopt}}},
       {0, 0, {{1, {3, 3, 3}}, {2, {2, 2, 2}}}, {{4, {{}, 2}}, {9, {{}, 3}}}}},
      {"an empty slot, then trailing bytes",
       {.sounds = {{0x80, SoundData{{}, -5}, std::nullopt}}, .trailing = Bytes(9, 0xFF)},
       {0, 0, {}, {{0x80, {{}, -5}}}}},
      {"fewer sound records declared than written",
       {.sounds = {{1, SoundData{{}, 1}, std::nullopt}, {2, SoundData{{}, 2}, std::nullopt}},
        .declared_sounds = 1},
       {0, 0, {}, {{1, {{}, 1}}}},
       12},
      {"NaN bits are kept",
       {.hashes = {{1, {nan, signalling_nan, -0.0F}}},
        .sounds = {{2, SoundData{{{3, signalling_nan, nan, float_bits(0x7F800000)}}, 0},
                    std::nullopt}}},
       {0,
        0,
        {{1, {nan, signalling_nan, -0.0F}}},
        {{2, {{{3, signalling_nan, nan, float_bits(0x7F800000)}}, 0}}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes bytes = encode_sound_table(c.table_layout);
    Cursor cursor(bytes);
    const auto table = SoundTable::read(cursor);
    ASSERT_TRUE(table.has_value()) << table.error().display();
    EXPECT_TRUE(bitwise_equal(*table, c.expected));
    EXPECT_EQ(cursor.position().value(),
              bytes.size() - c.table_layout.trailing.size() - c.unread_records);
  }
}

TEST(SoundTableTest, EveryShortenedInputFailsAtTheNumberItCuts) {
  const Bytes full = encode_sound_table(rich_layout());
  for (std::size_t size = 0; size < full.size(); ++size) {
    SCOPED_TRACE(size);
    const Bytes bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size));
    Cursor cursor(bytes);
    const auto table = SoundTable::read(cursor);
    ASSERT_FALSE(table.has_value());
    // Every number is 4-byte aligned from the table's start, and none is ever skipped.
    EXPECT_EQ(table.error(), ReadError(IoError::fill_whole_buffer()));
    EXPECT_EQ(cursor.position().value(), size / 4 * 4);
  }
}

TEST(SoundTableTest, HugeCountsFailAtTheEndOfDataWithoutAHugeAllocation) {
  const Bytes mebibyte(1 << 20, 0);
  const struct {
    const char* name;
    SoundTableLayout table_layout;
    std::uint64_t failed_at;
  } cases[] = {
      {"H = 2^31 - 1 over 20 bytes", {.declared_hashes = kMaxCount, .trailing = Bytes(4, 1)}, 20},
      {"S = 2^31 - 1", {.declared_sounds = kMaxCount, .trailing = Bytes(4, 1)}, 20},
      {"E = 2^32 - 1",
       {.sounds = {{1, SoundData{{}, 0}, std::numeric_limits<std::uint32_t>::max()}}},
       28},
      {"H = 2^31 - 1 over 1 MiB",
       {.declared_hashes = kMaxCount, .trailing = mebibyte},
       16 + mebibyte.size()},
      {"E = 2^32 - 1 over 1 MiB",
       {.sounds = {{1, SoundData{{}, 0}, std::numeric_limits<std::uint32_t>::max()}},
        .trailing = mebibyte},
       28 + mebibyte.size()},
      {"more hash records declared than written",
       {.hashes = {{1, {1, 1, 1}}}, .declared_hashes = 2},
       32},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes bytes = encode_sound_table(c.table_layout);
    Cursor cursor(bytes);
    tallowmere_testing::allocations::reset();
    const auto table = SoundTable::read(cursor);
    ASSERT_FALSE(table.has_value());
    EXPECT_EQ(table.error(), ReadError(IoError::fill_whole_buffer()));
    EXPECT_EQ(cursor.position().value(), c.failed_at);
    EXPECT_LE(tallowmere_testing::allocations::largest(),
              std::max<std::size_t>(bytes.size(), 1024));
  }
}

TEST(SoundTableTest, RunningOutOfMemoryIsAnErrorValue) {
  // 4096 hash records: 64 KiB of input whose map needs more than the 16 KiB allowed.
  SoundTableLayout table_layout;
  for (std::uint32_t key = 0; key < 4096; ++key)
    table_layout.hashes.push_back({key, {1, 2, 3}});
  const Bytes bytes = encode_sound_table(table_layout);
  Cursor cursor(bytes);
  const auto table = [&] {
    const tallowmere_testing::allocations::Limit limit(std::size_t{16} * 1024);
    return SoundTable::read(cursor);
  }();
  ASSERT_FALSE(table.has_value());
  EXPECT_EQ(table.error(),
            ReadError(IoError::with_message(IoErrorKind::OutOfMemory,
                                            "memory allocation failed decoding a sound table")));
}

TEST(SoundTableTest, RandomTablesRoundTripFromAnyStartingPosition) {
  std::mt19937 rng(20240611);
  const auto bits = [&rng] { return static_cast<std::uint32_t>(rng()); };
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    const std::uint32_t id = bits();
    const auto hash_key = std::bit_cast<std::int32_t>(bits());
    std::vector<std::pair<std::uint32_t, SoundHashData>> hashes;
    for (std::uint32_t n = bits() % 8; n > 0; --n) {
      const std::uint32_t key = bits() % 16;
      hashes.emplace_back(
          key, SoundHashData{float_bits(bits()), float_bits(bits()), float_bits(bits())});
    }
    std::vector<std::pair<std::uint32_t, SoundData>> sounds;
    for (std::uint32_t n = bits() % 8; n > 0; --n) {
      const std::uint32_t key = bits() % 256;
      SoundData data{{}, std::bit_cast<std::int32_t>(bits())};
      for (std::uint32_t e = bits() % 4; e > 0; --e) {
        data.entries.push_back(
            {bits(), float_bits(bits()), float_bits(bits()), float_bits(bits())});
      }
      sounds.emplace_back(key, std::move(data));
    }
    const SoundTable table{id, hash_key, FlatMap(std::move(hashes)), FlatMap(std::move(sounds))};
    Bytes bytes(bits() % 8, 0xEE);
    const std::size_t start = bytes.size();
    tallowmere_testing::append_sound_table(bytes, tallowmere_testing::layout_of(table));
    Cursor cursor(bytes);
    ASSERT_TRUE(cursor.seek(start).has_value());
    const auto decoded = SoundTable::read(cursor);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
    EXPECT_TRUE(bitwise_equal(*decoded, table));
    EXPECT_EQ(cursor.position().value(), bytes.size());
  }
}

TEST(SoundTableTest, KeysChosenToCollideDecodeLikeAnyOthers) {
  // Multiples of 2^16, descending, then every seventh one again with new values: keys that would
  // all share one bucket of a map hashing them by identity, in an order that needs sorting.
  SoundTableLayout table_layout{.id = 1};
  std::map<std::uint32_t, SoundHashData> hashes;
  std::map<std::uint32_t, SoundData> sounds;
  const auto add = [&](std::uint32_t key, float level) {
    const SoundHashData hash{level, level, level};
    const SoundData sound{{{key, level, level, level}}, static_cast<std::int32_t>(level)};
    table_layout.hashes.push_back({key, hash});
    table_layout.sounds.push_back({key, sound});
    hashes.insert_or_assign(key, hash);
    sounds.insert_or_assign(key, sound);
  };
  for (std::uint32_t k = 20000; k > 0; --k)
    add(k << 16U, 1);
  for (std::uint32_t k = 7; k <= 20000; k += 7)
    add(k << 16U, 2);

  const Bytes bytes = encode_sound_table(table_layout);
  Cursor cursor(bytes);
  const auto table = SoundTable::read(cursor);
  ASSERT_TRUE(table.has_value()) << table.error().display();
  const auto same = [](const auto& a, const auto& b) {
    return a.first == b.first && a.second == b.second;
  };
  EXPECT_TRUE(std::ranges::equal(table->hashes, hashes, same));
  EXPECT_TRUE(std::ranges::equal(table->sounds, sounds, same));
}

TEST(SoundTableTest, AFileDecodesAsACursorDoesAtEveryLength) {
  // Starting past a few bytes, so that positions are seen to be the source's own.
  const Bytes prefix = {0xEE, 0xEE, 0xEE};
  SoundTableLayout table_layout = rich_layout();
  table_layout.sounds.push_back(
      {0x46, SoundData{{{9, 9, 9, 9}}, 3}, std::nullopt});  // replaces 0x46
  table_layout.trailing = Bytes(5, 0xAB);
  Bytes full = prefix;
  tallowmere_testing::append_sound_table(full, table_layout);
  for (std::size_t size = 0; size <= full.size(); ++size) {
    SCOPED_TRACE(size);
    const Bytes bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size));
    Cursor cursor(bytes);
    ASSERT_TRUE(cursor.seek(prefix.size()).has_value());
    const auto from_cursor = SoundTable::read(cursor);

    const tallowmere_testing::TempFile temp(bytes);
    auto file = File::open_read_only(temp.path());
    ASSERT_TRUE(file.has_value()) << file.error().display();
    ASSERT_TRUE(file->seek(prefix.size()).has_value());
    const auto from_file = SoundTable::read(*file);

    ASSERT_EQ(from_file.has_value(), from_cursor.has_value());
    if (from_cursor) {
      EXPECT_TRUE(bitwise_equal(*from_file, *from_cursor));
    } else {
      EXPECT_EQ(from_file.error(), from_cursor.error());
    }
    EXPECT_EQ(file->position().value(), cursor.position().value());
  }
}

}  // namespace
}  // namespace tallowmere_dat::file_type
