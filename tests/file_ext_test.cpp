#include "file_ext.h"

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <span>
#include <vector>

#include "tallowmere_testing/temp_file.h"

namespace tallowmere_dat {
namespace {

using tallowmere_testing::TempFile;
using Bytes = std::vector<std::uint8_t>;

/// One scripted answer of the fake `pread`: deliver up to `count` bytes, or fail with `error`.
struct Step {
  std::size_t count = 0;
  int error = 0;
};

/// A `pread` over `data` that answers each call by the next step of a script (and by "all you
/// asked for" once the script is exhausted), logging every call.
class ScriptedPread {
 public:
  struct Call {
    std::size_t count;
    std::uint64_t offset;
    friend bool operator==(const Call&, const Call&) = default;
  };

  ScriptedPread(const Bytes& data, std::vector<Step> script)
      : data_(data), script_(std::move(script)) {}

  ssize_t operator()(std::uint8_t* out, std::size_t count, std::uint64_t offset) {
    calls_.push_back({count, offset});
    Step step{count, 0};
    if (next_ < script_.size()) step = script_[next_++];
    if (step.error != 0) {
      errno = step.error;
      return -1;
    }
    const std::size_t available = offset >= data_.size() ? 0 : data_.size() - offset;
    const std::size_t n = std::min({step.count, count, available});
    if (n != 0) std::memcpy(out, data_.data() + offset, n);
    return static_cast<ssize_t>(n);
  }

  const std::vector<Call>& calls() const { return calls_; }

 private:
  const Bytes& data_;
  std::vector<Step> script_;
  std::size_t next_ = 0;
  std::vector<Call> calls_;
};

/// `data[at, at + n)`, cut at the end of `data`.
Bytes slice(const Bytes& data, std::uint64_t at, std::size_t n) {
  const std::size_t from = std::min<std::size_t>(static_cast<std::size_t>(at), data.size());
  const std::size_t to = std::min(from + n, data.size());
  return {data.begin() + static_cast<std::ptrdiff_t>(from),
          data.begin() + static_cast<std::ptrdiff_t>(to)};
}

Bytes counting_bytes(std::size_t n) {
  Bytes bytes(n);
  std::iota(bytes.begin(), bytes.end(), std::uint8_t{1});
  return bytes;
}

TEST(ReadExactAtTest, ScriptedShortReadsInterruptionsAndFailures) {
  const Bytes data = counting_bytes(64);
  using Call = ScriptedPread::Call;
  const struct {
    const char* name;
    std::size_t size;
    std::uint64_t offset;
    std::vector<Step> script;
    std::optional<IoError> error;  // none: the buffer holds data[offset, offset + size)
    std::vector<Call> calls;
  } cases[] = {
      {"whole buffer at once", 10, 5, {}, std::nullopt, {{10, 5}}},
      {"short reads continue where they stopped",
       10,
       5,
       {{3}, {1}, {6}},
       std::nullopt,
       {{10, 5}, {7, 8}, {6, 9}}},
      {"interrupted reads are retried at the same place",
       10,
       5,
       {{4}, {0, EINTR}, {0, EINTR}, {6}},
       std::nullopt,
       {{10, 5}, {6, 9}, {6, 9}, {6, 9}}},
      {"zero bytes while bytes are missing is end of file",
       10,
       58,
       {},
       IoError::fill_whole_buffer(),
       {{10, 58}, {4, 64}}},
      {"end of file on the first call", 4, 64, {}, IoError::fill_whole_buffer(), {{4, 64}}},
      {"other errors come back unchanged",
       8,
       0,
       {{2}, {0, EIO}},
       IoError::from_os(EIO),
       {{8, 0}, {6, 2}}},
      {"EBADF unchanged", 8, 0, {{0, EBADF}}, IoError::from_os(EBADF), {{8, 0}}},
      {"an empty buffer makes no call", 0, 1000, {}, std::nullopt, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPread pread(data, c.script);
    Bytes buffer(c.size, 0xEE);
    const auto result = detail::read_exact_at(pread, buffer, c.offset);
    EXPECT_EQ(pread.calls(), c.calls);
    if (c.error) {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error(), *c.error);
    } else {
      ASSERT_TRUE(result.has_value()) << result.error().debug();
      EXPECT_EQ(buffer, slice(data, c.offset, c.size));
    }
  }
}

TEST(ReadExactAtTest, EndOfFileKindAndText) {
  const IoError eof = IoError::fill_whole_buffer();
  EXPECT_EQ(eof.kind(), IoErrorKind::UnexpectedEof);
  EXPECT_EQ(eof.message(), "failed to fill whole buffer");
  EXPECT_FALSE(eof.os_code().has_value());
}

TEST(ReadExactAtPairTest, ShortReadsAcrossTheTwoPartsFillThemInOrder) {
  const Bytes data = counting_bytes(40);
  // Each call delivers at most `step` bytes, so reads end inside head, on its boundary and
  // inside tail.
  for (const std::size_t step : {1U, 3U, 4U, 5U, 100U}) {
    SCOPED_TRACE(step);
    std::vector<std::pair<std::size_t, std::size_t>> calls;
    const auto preadv = [&](std::span<std::uint8_t> head, std::span<std::uint8_t> tail,
                            std::uint64_t at) -> ssize_t {
      calls.emplace_back(head.size(), tail.size());
      std::size_t n = 0;
      for (auto part : {head, tail}) {
        for (auto& byte : part) {
          if (n == step || at + n >= data.size()) return static_cast<ssize_t>(n);
          byte = data[at + n];
          ++n;
        }
      }
      return static_cast<ssize_t>(n);
    };
    Bytes head(4, 0);
    Bytes tail(9, 0);
    ASSERT_TRUE(detail::read_exact_at_pair(preadv, head, tail, 7).has_value());
    EXPECT_EQ(head, Bytes(data.begin() + 7, data.begin() + 11));
    EXPECT_EQ(tail, Bytes(data.begin() + 11, data.begin() + 20));
    EXPECT_EQ(calls.size(), (13 + step - 1) / step);
    EXPECT_EQ(calls.front(), std::make_pair(std::size_t{4}, std::size_t{9}));

    // The same request at the end of the data fails like a single buffer would.
    calls.clear();
    const auto eof = detail::read_exact_at_pair(preadv, head, tail, 30);
    ASSERT_FALSE(eof.has_value());
    EXPECT_EQ(eof.error(), IoError::fill_whole_buffer());
  }
}

TEST(ReadExactAtPairTest, AnEmptyHeadReadsTheTailAloneAndBothEmptyReadNothing) {
  int calls = 0;
  const auto preadv = [&](std::span<std::uint8_t> head, std::span<std::uint8_t> tail,
                          std::uint64_t) -> ssize_t {
    ++calls;
    EXPECT_TRUE(tail.empty());
    for (auto& byte : head)
      byte = 7;
    return static_cast<ssize_t>(head.size());
  };
  Bytes tail(5, 0);
  ASSERT_TRUE(detail::read_exact_at_pair(preadv, {}, tail, 0).has_value());
  EXPECT_EQ(tail, Bytes(5, 7));
  EXPECT_EQ(calls, 1);
  ASSERT_TRUE(detail::read_exact_at_pair(preadv, {}, {}, 0).has_value());
  EXPECT_EQ(calls, 1);
}

TEST(ReadExactAtCompatTest, ReadsARealFileWithoutMovingItsPosition) {
  const Bytes data = counting_bytes(200);
  const TempFile temp(data);
  auto file = File::open_read_only(temp.path());
  ASSERT_TRUE(file.has_value());
  ASSERT_TRUE(file->seek(17).has_value());

  Bytes buffer(50);
  ASSERT_TRUE(read_exact_at_compat(*file, buffer, 100).has_value());
  EXPECT_EQ(buffer, Bytes(data.begin() + 100, data.begin() + 150));

  Bytes head(4);
  Bytes tail(60);
  ASSERT_TRUE(read_exact_at_compat(*file, head, tail, 130).has_value());
  EXPECT_EQ(head, Bytes(data.begin() + 130, data.begin() + 134));
  EXPECT_EQ(tail, Bytes(data.begin() + 134, data.begin() + 194));
  EXPECT_EQ(file->position().value(), 17U);

  for (const std::uint64_t offset : {151ULL, 200ULL, 1ULL << 40}) {
    SCOPED_TRACE(offset);
    EXPECT_EQ(read_exact_at_compat(*file, buffer, offset).error(), IoError::fill_whole_buffer());
    EXPECT_EQ(read_exact_at_compat(*file, head, tail, offset).error(),
              IoError::fill_whole_buffer());
  }
  EXPECT_TRUE(read_exact_at_compat(*file, {}, 1ULL << 40).has_value());
  EXPECT_EQ(read_exact_at_compat(*file, buffer, 1ULL << 63).error(), IoError::from_os(EINVAL));
}

TEST(ReadExactAtCompatTest, OperatingSystemErrorsComeBackUnchanged) {
  const TempFile temp(Bytes{});
  auto dir = File::open_read_only(temp.dir());  // a directory opens read-only but can't be read
  ASSERT_TRUE(dir.has_value());
  Bytes buffer(4);
  EXPECT_EQ(read_exact_at_compat(*dir, buffer, 0).error(), IoError::from_os(EISDIR));
  EXPECT_EQ(read_exact_at_compat(*dir, buffer, buffer, 0).error(), IoError::from_os(EISDIR));
}

}  // namespace
}  // namespace tallowmere_dat
