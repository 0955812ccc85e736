#include "record_reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <vector>

namespace tallowmere_dat {
namespace {

using Bytes = std::vector<std::uint8_t>;

/// A cursor whose seeks can be made to fail, for the rewind-failure path.
class StubbornSource {
 public:
  explicit StubbornSource(const Bytes& data) : cursor_(data) {}
  std::expected<std::size_t, IoError> read(std::span<std::uint8_t> buffer) {
    return cursor_.read(buffer);
  }
  std::expected<std::uint64_t, IoError> position() {
    if (refuse_position) return std::unexpected(IoError::from_os(EBADF));
    return cursor_.position();
  }
  std::expected<void, IoError> seek(std::uint64_t pos) {
    if (refuse_seek) return std::unexpected(IoError::from_os(ESPIPE));
    return cursor_.seek(pos);
  }
  bool refuse_seek = false;
  bool refuse_position = false;

 private:
  Cursor cursor_;
};

struct Pair {
  std::uint32_t a = 0;
  std::uint32_t b = 0;
};

template <ByteSource S>
std::expected<Pair, ReadError> read_pair(S& source) {
  Pair p;
  RecordReader<S> record(source, "Pair", "pair.rs");
  record.field(p.a, "a", 10);
  record.field(p.b, "b", 11);
  return std::move(record).finish(p);
}

TEST(PrimitiveReadTest, LittleEndianValues) {
  const Bytes data = {0x78, 0x56, 0x34, 0x12, 0xFE, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0xC0, 0x7F};
  Cursor cursor(data);
  EXPECT_EQ(read_u32(cursor).value(), 0x12345678U);
  EXPECT_EQ(read_i32(cursor).value(), -2);
  // A NaN with a payload keeps every bit.
  EXPECT_EQ(std::bit_cast<std::uint32_t>(read_f32(cursor).value()), 0x7FC00001U);
  EXPECT_EQ(cursor.position().value(), 12U);
}

TEST(PrimitiveReadTest, ShortReadFailsAndLeavesThePositionAtTheNumber) {
  for (std::size_t available = 0; available < 4; ++available) {
    SCOPED_TRACE(available);
    Bytes data(4 + available, 0xAB);
    Cursor cursor(data);
    ASSERT_TRUE(read_u32(cursor).has_value());
    const auto result = read_u32(cursor);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), ReadError(IoError::fill_whole_buffer()));
    EXPECT_EQ(result.error().display(), "failed to fill whole buffer");
    EXPECT_EQ(cursor.position().value(), 4U);
  }
}

TEST(PrimitiveReadTest, PositionPastTheEndReadsNothing) {
  const Bytes data = {1, 2, 3, 4};
  Cursor cursor(data);
  ASSERT_TRUE(cursor.seek(100).has_value());
  EXPECT_FALSE(read_u32(cursor).has_value());
  EXPECT_EQ(cursor.position().value(), 100U);
}

TEST(RecordReaderTest, ReadsFieldsInOrder) {
  const Bytes data = {1, 0, 0, 0, 2, 0, 0, 0, 9};
  Cursor cursor(data);
  const auto pair = read_pair(cursor);
  ASSERT_TRUE(pair.has_value());
  EXPECT_EQ(pair->a, 1U);
  EXPECT_EQ(pair->b, 2U);
  EXPECT_EQ(cursor.position().value(), 8U);
}

TEST(RecordReaderTest, FailingFieldAddsOneFrameAndRewindsToTheRecordStart) {
  const struct {
    std::size_t size;
    const char* field;
    std::uint32_t line;
  } cases[] = {{2 + 0, "a", 10}, {2 + 3, "a", 10}, {2 + 4, "b", 11}, {2 + 7, "b", 11}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    Bytes data(c.size, 0);
    Cursor cursor(data);
    ASSERT_TRUE(cursor.seek(2).has_value());
    const auto pair = read_pair(cursor);
    ASSERT_FALSE(pair.has_value());
    const ReadError expected = ReadError::Backtrace{
        std::make_shared<const ReadError>(IoError::fill_whole_buffer()),
        {BacktraceFrame::Full{std::string("While parsing field '") + c.field + "' in Pair",
                              "pair.rs", c.line, std::nullopt}}};
    EXPECT_EQ(pair.error(), expected);
    EXPECT_EQ(cursor.position().value(), 2U);
  }
}

TEST(RecordReaderTest, CountedArrayComesUpShortWithItsOwnMessage) {
  const Bytes data(10, 7);
  Cursor cursor(data);
  std::array<std::uint8_t, 16> bytes{};
  RecordReader<Cursor> record(cursor, "R", "r.rs");
  record.field(bytes, "version_string", 5);
  const auto result = std::move(record).finish(bytes);
  ASSERT_FALSE(result.has_value());
  const auto* bt = result.error().get_if<ReadError::Backtrace>();
  ASSERT_NE(bt, nullptr);
  EXPECT_EQ(*bt->error, ReadError(IoError::not_enough_bytes()));
  EXPECT_EQ(cursor.position().value(), 0U);
}

TEST(RecordReaderTest, UnknownPositionFailsWithoutAFrame) {
  const Bytes data(8, 0);
  StubbornSource source(data);
  source.refuse_position = true;
  const auto pair = read_pair(source);
  ASSERT_FALSE(pair.has_value());
  EXPECT_EQ(pair.error(), ReadError(IoError::from_os(EBADF)));
}

TEST(RecordReaderTest, FailedRewindKeepsTheOriginalErrorAsAFrame) {
  const Bytes data(6, 0);
  StubbornSource source(data);
  source.refuse_seek = true;
  const auto pair = read_pair(source);
  ASSERT_FALSE(pair.has_value());
  // The primitive read's rewind fails first, then the record's own rewind.
  const auto seek_error = std::make_shared<const ReadError>(IoError::from_os(ESPIPE));
  const auto* framed = pair.error().get_if<ReadError::Backtrace>();
  ASSERT_NE(framed, nullptr);
  EXPECT_EQ(*framed->error, *seek_error);
  ASSERT_EQ(framed->frames.size(), 5U);
  EXPECT_EQ(framed->frames[0].message(), "rewinding after a failure");
  EXPECT_EQ(framed->frames[1], BacktraceFrame(BacktraceFrame::Custom{seek_error}));
  EXPECT_EQ(framed->frames[2].message(), "rewinding after a failure");
  EXPECT_EQ(framed->frames[3].message(), "failed to fill whole buffer");
  EXPECT_EQ(framed->frames[4].message(), "While parsing field 'b' in Pair");
}

}  // namespace
}  // namespace tallowmere_dat
