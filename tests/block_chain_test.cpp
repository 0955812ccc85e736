#include "block_chain.h"

#include <gtest/gtest.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <new>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "file_ext.h"
#include "tallowmere_dat/dat_database.h"
#include "tallowmere_testing/allocation_tracker.h"
#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/temp_file.h"

namespace tallowmere_dat {
namespace {

using tallowmere_testing::ArchiveBuilder;
using tallowmere_testing::ArchiveImage;
using tallowmere_testing::TempFile;
using Bytes = std::vector<std::uint8_t>;
using Result = std::expected<Bytes, DatError>;

/// In-memory bytes as a block source, optionally with an unreadable byte (any read reaching it
/// fails with `error` once the bytes before it are delivered), counting read requests and failed
/// ones.
class MemorySource final : public detail::BlockSource {
 public:
  explicit MemorySource(Bytes bytes, std::optional<std::uint64_t> bad_byte = std::nullopt,
                        std::uint64_t hint = ~0ULL, int error = EIO)
      : bytes_(std::move(bytes)),
        bad_byte_(bad_byte),
        hint_(hint == ~0ULL ? bytes_.size() : hint),
        error_(error) {}

  std::expected<void, IoError> read_at(std::span<std::uint8_t> head, std::span<std::uint8_t> tail,
                                       std::uint64_t offset) const override {
    ++requests_;
    auto read = detail::read_exact_at_pair(
        [this](std::span<std::uint8_t> a, std::span<std::uint8_t> b, std::uint64_t at) -> ssize_t {
          if (bad_byte_ && *bad_byte_ == at) {
            errno = error_;
            return -1;
          }
          std::uint64_t end = bytes_.size();
          if (bad_byte_ && *bad_byte_ > at) end = std::min(end, *bad_byte_);
          std::size_t n = 0;
          for (auto part : {a, b}) {
            for (auto& byte : part) {
              if (at + n >= end) return static_cast<ssize_t>(n);
              byte = bytes_[at + n++];
            }
          }
          return static_cast<ssize_t>(n);
        },
        head, tail, offset);
    if (!read) ++failures_;
    return read;
  }
  std::uint64_t length_hint() const override { return hint_; }

  std::size_t requests() const { return requests_; }
  std::size_t failures() const { return failures_; }

 private:
  Bytes bytes_;
  std::optional<std::uint64_t> bad_byte_;
  std::uint64_t hint_;
  int error_;
  mutable std::size_t requests_ = 0;
  mutable std::size_t failures_ = 0;
};

std::string hex(std::uint64_t value) {
  std::array<char, 24> text{};
  (void)std::snprintf(text.data(), text.size(), "0x%08llX", static_cast<unsigned long long>(value));
  return text.data();
}

/// The refusal of a chain from `first` that comes back to `back` while more bytes are wanted
/// than the source's `length` holds.
DatError loop_corruption(std::uint32_t first, std::uint32_t back, std::uint32_t size,
                         std::uint64_t length) {
  return DatError(DatError::Corruption{"block chain at " + hex(first) + " loops back to block " +
                                       hex(back) + " for a size of " + std::to_string(size) +
                                       " bytes, more than the file's " + std::to_string(length)});
}

/// The chain reader exactly as the format describes it, two reads per block: the pointer, then
/// the payload; except that where `size` exceeds the source's length hint, coming back to a
/// block already read is refused. The oracle for the fast reader (block sizes above 4 only).
Result two_read_loop(const detail::BlockSource& source, std::uint32_t block_size,
                     std::uint32_t offset, std::uint32_t size) {
  Bytes buffer(size, 0);
  std::size_t buffer_offset = 0;
  std::size_t remaining = size;
  std::uint64_t current_offset = offset;
  const bool beyond_length = size > source.length_hint();
  std::set<std::uint64_t> visited;
  while (remaining > 0) {
    if (beyond_length && !visited.insert(current_offset).second) {
      return std::unexpected(loop_corruption(offset, static_cast<std::uint32_t>(current_offset),
                                             size, source.length_hint()));
    }
    std::array<std::uint8_t, 4> ptr_bytes{};
    if (auto read = source.read_at(ptr_bytes, {}, current_offset); !read) {
      return std::unexpected(DatError(read.error()));
    }
    std::uint32_t next_address = 0;
    for (std::size_t i = 4; i-- > 0;)
      next_address = (next_address << 8U) | ptr_bytes[i];
    const std::span<std::uint8_t> rest = std::span(buffer).subspan(buffer_offset);
    if (next_address == 0) {
      if (auto read = source.read_at(rest, {}, current_offset + 4); !read) {
        return std::unexpected(DatError(read.error()));
      }
      remaining = 0;
    } else {
      const std::size_t to_read = std::min<std::size_t>(remaining, block_size - 4);
      if (auto read = source.read_at(rest.first(to_read), {}, current_offset + 4); !read) {
        return std::unexpected(DatError(read.error()));
      }
      buffer_offset += to_read;
      remaining -= to_read;
      current_offset = next_address;
    }
  }
  return buffer;
}

Bytes pattern(std::uint8_t first, std::size_t n) {
  Bytes bytes(n);
  for (std::size_t i = 0; i < n; ++i)
    bytes[i] = static_cast<std::uint8_t>(first + i);
  return bytes;
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts)
    out.insert(out.end(), part.begin(), part.end());
  return out;
}

/// An archive file opened as a handle; the header's root offset is left 0 unless set.
class OpenArchive {
 public:
  explicit OpenArchive(std::span<const std::uint8_t> bytes)
      : file_(bytes), db_(DatDatabase::open(file_.path())) {}
  const DatDatabase& db() const { return db_.value(); }
  const std::expected<DatDatabase, DatError>& result() const { return db_; }

 private:
  TempFile file_;
  std::expected<DatDatabase, DatError> db_;
};

DatError eof_error() {
  return DatError(IoError::fill_whole_buffer());
}
DatError corruption(std::string message) {
  return DatError(DatError::Corruption{std::move(message)});
}

TEST(ReadFileDataTest, ChainShapes) {
  constexpr std::uint32_t kBlock = 16;  // 12 payload bytes per block
  ArchiveImage image(kBlock);
  const Bytes a = pattern(0xA0, 12), b = pattern(0xB0, 12), c = pattern(0xC0, 12);
  const Bytes l1 = pattern(0x10, 12), l2 = pattern(0x20, 12), z = pattern(0x40, 40);
  const Bytes d = pattern(0xD0, 12), e = pattern(0xE0, 12), first = pattern(0x60, 12);
  image.write_block(0x000, 0x400, first);
  image.write_block(0x400, 0x500, a);
  image.write_block(0x500, 0x600, b);
  image.write_block(0x600, 0x7FFFFFF0, c);  // last block: its pointer must not be followed
  image.write_block(0x700, 0x780, l1);
  image.write_block(0x780, 0x700, l2);  // loops back
  image.write_block(0x800, 0, z);       // a 0 pointer with a 40-byte run behind it
  image.write_block(0x900, 0x800, d);
  image.write_block(0xA00, 0x10000000, e);
  image.resize(0xB00);
  image.write_block(0xB00 - 6, 0x400, pattern(0xF0, 2));  // pointer readable, payload not
  const std::uint32_t end = 0xB00;
  image.write_u32(0xB00 - 10, 0);  // a 0 pointer whose run is 6 bytes long

  const Bytes& all = image.bytes();
  const Bytes last_six(all.end() - 6, all.end());
  const OpenArchive archive(all);
  const struct {
    const char* name;
    std::uint32_t offset;
    std::uint32_t size;
    Result expected;
  } cases[] = {
      {"size 0 reads nothing, not even past the end", 0xFFFFFF00, 0, Bytes{}},
      {"exactly one payload: the pointer is not followed", 0x600, 12, c},
      {"one block of a longer chain", 0x400, 12, a},
      {"2 * (block_size - 4) + 1 takes one byte of a third block", 0x400, 25,
       join({a, b, Bytes{c[0]}})},
      {"the whole chain", 0x400, 36, join({a, b, c})},
      {"one byte more follows the last pointer off the end", 0x400, 37,
       std::unexpected(eof_error())},
      {"a loop repeats its payloads", 0x700, 40,
       join({l1, l2, l1, Bytes(l2.begin(), l2.begin() + 4)})},
      {"a 0 pointer reads the rest as one contiguous run", 0x800, 40, z},
      {"and so it does at the end of a chain", 0x900, 52, join({d, z})},
      {"a block at offset 0 is an ordinary block", 0, 24, join({first, a})},
      {"a pointer past the end fails", 0xA00, 13, std::unexpected(eof_error())},
      {"a readable pointer with a cut payload fails", end - 6, 3, std::unexpected(eof_error())},
      {"a cut pointer fails", end - 2, 1, std::unexpected(eof_error())},
      {"a run that reaches the end exactly", end - 10, 6, last_six},
      {"a run one byte past the end fails", end - 10, 7, std::unexpected(eof_error())},
  };
  const MemorySource memory(all);
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(archive.db().read_file_data(k.offset, k.size), k.expected);
    // The plain two-read loop agrees on every shape.
    EXPECT_EQ(two_read_loop(memory, kBlock, k.offset, k.size), k.expected);
  }
}

TEST(ReadFileDataTest, GuardsReportCorruption) {
  const struct {
    const char* name;
    std::uint32_t block_size;
    std::uint32_t offset;
    std::uint32_t size;
    Result expected;
  } cases[] = {
      {"block_size 4 with a pointer to follow", 4, 0x400, 10,
       std::unexpected(corruption("block_size 4 is too small to follow the next-block pointer "
                                  "at 0x00000400"))},
      {"block_size 3", 3, 0x400, 1,
       std::unexpected(corruption("block_size 3 is too small to follow the next-block pointer "
                                  "at 0x00000400"))},
      {"block_size 0", 0, 0x400, 1,
       std::unexpected(corruption("block_size 0 is too small to follow the next-block pointer "
                                  "at 0x00000400"))},
      {"block_size 4 with a 0 pointer still reads its run", 4, 0x500, 8, pattern(0x50, 8)},
      {"block_size 0 with a 0 pointer still reads its run", 0, 0x500, 8, pattern(0x50, 8)},
      {"block_size 4 and size 0 reads nothing", 4, 0x400, 0, Bytes{}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ArchiveImage image(64);
    image.header().block_size = c.block_size;
    image.write_block(0x400, 0x400, pattern(0x40, 60));  // loops onto itself
    image.write_block(0x500, 0, pattern(0x50, 60));
    const OpenArchive archive(image.bytes());
    EXPECT_EQ(archive.db().read_file_data(c.offset, c.size), c.expected);
  }
}

// A block at 0xFFFFFFFC or beyond has no payload position below 4 GiB, but its pointer is read
// first: a file too short to hold that pointer fails that read. In a sparse file of exactly
// 4 GiB the pointer at 0xFFFFFFFC is readable and the one at 0xFFFFFFFD is cut short.
TEST(ReadFileDataTest, OffsetsPast4GiBAreRefusedOnlyWhereTheirPointerCanBeRead) {
  ArchiveImage image(64);
  image.write_block(0x600, 0xFFFFFFFC, pattern(0x60, 60));
  image.write_block(0x700, 0xFFFFFFFD, pattern(0x70, 60));
  const Result refused =
      std::unexpected(corruption("block offset 0xFFFFFFFC leaves no payload position below 4 GiB"));
  const Result eof = std::unexpected(eof_error());
  const struct {
    const char* name;
    std::uint32_t offset;
    std::uint32_t size;
    Result in_short_file;
    Result in_4_gib_file;
  } cases[] = {
      {"a first block at 0xFFFFFFFC", 0xFFFFFFFC, 1, eof, refused},
      {"a first block at 0xFFFFFFFD", 0xFFFFFFFD, 1, eof, eof},
      {"a first block at 0xFFFFFFFF", 0xFFFFFFFF, 1, eof, eof},
      {"a pointer to 0xFFFFFFFC", 0x600, 61, eof, refused},
      {"a pointer to 0xFFFFFFFD", 0x700, 61, eof, eof},
      {"0xFFFFFFFB is an ordinary block", 0xFFFFFFFB, 1, eof, Bytes{0}},
  };
  const OpenArchive short_file(image.bytes());
  const tallowmere_testing::TempFile sparse(image.bytes());
  std::filesystem::resize_file(sparse.path(), std::uint64_t{1} << 32U);
  const auto long_file = DatDatabase::open(sparse.path());
  ASSERT_TRUE(long_file.has_value());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(short_file.db().read_file_data(c.offset, c.size), c.in_short_file);
    EXPECT_EQ(long_file->read_file_data(c.offset, c.size), c.in_4_gib_file);
  }
}

TEST(ReadFileDataTest, HugeDeclaredSizesCostOnlyWhatIsRead) {
  constexpr std::uint32_t kMiB = 1U << 20;
  const struct {
    const char* name;
    std::uint32_t last_pointer;
  } cases[] = {{"chain runs off the end", 0x7FFF0000}, {"0 pointer run passes the end", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ArchiveImage image(4096);
    image.resize(kMiB);
    const std::uint32_t blocks[] = {0x3000, 0x1000, 0x2000};
    image.write_chain(blocks, pattern(1, std::size_t{3} * 4092), c.last_pointer);
    const OpenArchive archive(image.bytes());
    tallowmere_testing::allocations::reset();
    EXPECT_EQ(archive.db().read_file_data(0x3000, 0xFFFFFFFF),
              Result(std::unexpected(eof_error())));
    EXPECT_LE(tallowmere_testing::allocations::largest(), 2 * kMiB);
  }
}

// A looping chain repeats its payloads up to any size within the file's length; beyond it, the
// chain is refused as soon as the loop is found, naming its first block and the one it comes
// back to. With 5-byte blocks, following such a loop block by block up to 4 GiB would take
// billions of reads.
TEST(ReadFileDataTest, LoopsRepeatWithinTheFileLengthAndAreRefusedBeyondIt) {
  ArchiveImage image(5);  // one payload byte per block
  image.write_block(0x200, 0x200, Bytes{0xAA});
  const std::uint32_t two[] = {0x400, 0x300, 0x310};
  image.write_chain(two, Bytes{1, 2, 3}, 0x300);  // a lead-in, then a loop of two
  image.resize(0x1000);
  const Bytes& bytes = image.bytes();
  const OpenArchive archive(bytes);
  const MemorySource memory(bytes);
  const struct {
    const char* name;
    std::uint32_t offset;
    std::uint32_t size;
    std::optional<std::uint32_t> refused_at;
  } cases[] = {
      {"a block on itself, up to 4 GiB", 0x200, 0xFFFFFFFF, 0x200},
      {"a block on itself, one byte beyond the file", 0x200, 0x1001, 0x200},
      {"a block on itself, up to the file's length", 0x200, 0x1000, std::nullopt},
      {"a lead-in and a loop of two, beyond the file", 0x400, 0x1001, 0x300},
      {"a lead-in and a loop of two, up to the file's length", 0x400, 0x1000, std::nullopt},
      {"a loop of two entered half way", 0x310, 0x1000, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Result read = archive.db().read_file_data(c.offset, c.size);
    if (c.refused_at) {
      EXPECT_EQ(
          read,
          Result(std::unexpected(loop_corruption(c.offset, *c.refused_at, c.size, bytes.size()))));
    } else {
      ASSERT_TRUE(read.has_value()) << read.error().debug();
      EXPECT_EQ(read, two_read_loop(memory, 5, c.offset, c.size));
    }
  }
  EXPECT_EQ(archive.db().read_file_data(0x200, 0x1000), Result(Bytes(0x1000, 0xAA)));
}

TEST(ReadBlockChainTest, AgreesWithTheTwoReadLoopOnRandomBytes) {
  std::mt19937 random(20240611);
  const auto uniform = [&](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(random);
  };
  for (int round = 0; round < 20000; ++round) {
    const std::uint32_t length = uniform(8, 600);
    Bytes bytes(length);
    for (auto& byte : bytes)
      byte = static_cast<std::uint8_t>(uniform(0, 255));
    // Sprinkle pointers: 0, into the file (chains and loops), or just past its end.
    for (std::uint32_t n = uniform(0, 40); n > 0; --n) {
      const std::uint32_t at = uniform(0, length - 4);
      const std::uint32_t choice = uniform(0, 9);
      const std::uint32_t value = choice < 3   ? 0
                                  : choice < 9 ? uniform(0, length)
                                               : length + uniform(0, 8);
      for (std::uint32_t i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    const std::uint32_t block_size = uniform(5, 40);
    const std::uint32_t offset = uniform(0, length + 4);
    const std::uint32_t size = uniform(0, 3) == 0 ? uniform(0, 4) : uniform(0, 400);
    std::optional<std::uint64_t> bad;
    if (uniform(0, 3) == 0) bad = uniform(0, length - 1);
    const std::uint64_t hint = uniform(0, 2) == 0 ? uniform(0, 8) : length;
    SCOPED_TRACE(::testing::Message() << "round " << round << " block_size " << block_size
                                      << " offset " << offset << " size " << size);
    const MemorySource source(bytes, bad, hint);
    const MemorySource oracle_source(bytes, bad, hint);
    ASSERT_EQ(detail::read_block_chain(source, block_size, offset, size),
              two_read_loop(oracle_source, block_size, offset, size));
  }
}

/// Bytes of `length` random values.
Bytes random_bytes(std::mt19937& random, std::size_t length) {
  Bytes bytes(length);
  for (auto& byte : bytes)
    byte = static_cast<std::uint8_t>(random());
  return bytes;
}

void put_u32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4 && at + i < bytes.size(); ++i)
    bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Chains made mostly of runs of adjacent blocks, so that the read-ahead windows are taken, cut
// by jumps, loops, 0 pointers and pointers off the end; with the file cut short, an unreadable
// byte, and length hints beyond the real end, so that windows reach bytes that the exact reads
// never touch and fail where they would not.
TEST(ReadBlockChainTest, ReadAheadAgreesWithTheTwoReadLoop) {
  std::mt19937 random(777);
  const auto uniform = [&](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(random);
  };
  int windows_failed_where_exact_reads_succeeded = 0;
  for (int round = 0; round < 20000; ++round) {
    // Every fourth round has blocks of hundreds of bytes, as archives have, and windows of few.
    const std::uint32_t block_size = round % 4 == 0 ? uniform(256, 700) : uniform(5, 48);
    const std::uint32_t slots = uniform(2, 60);
    const std::uint32_t base = uniform(0, 7);
    Bytes bytes = random_bytes(random, base + std::size_t{slots} * block_size);
    const auto slot_at = [&](std::uint32_t slot) { return base + slot * block_size; };
    const std::uint32_t start = uniform(0, slots - 1);
    std::uint32_t slot = start;
    for (std::uint32_t step = uniform(1, 80); step > 0; --step) {
      const std::uint32_t choice = uniform(0, 99);
      std::uint32_t next = 0;
      std::uint32_t next_slot = slot + 1;
      if (choice < 70 && slot + 1 < slots) {
        next = slot_at(slot + 1);
      } else if (choice < 85) {
        next_slot = uniform(0, slots - 1);  // a jump, maybe back: a loop
        next = slot_at(next_slot);
      } else if (choice < 92) {
        next = 0;
      } else {
        next = static_cast<std::uint32_t>(bytes.size()) + uniform(0, 64);
      }
      put_u32(bytes, slot_at(slot), next);
      if (next_slot >= slots) break;
      slot = next_slot;
    }
    const std::size_t full_length = bytes.size();
    if (uniform(0, 3) == 0) bytes.resize(uniform(0, static_cast<std::uint32_t>(bytes.size())));
    std::optional<std::uint64_t> bad;
    if (uniform(0, 3) == 0) bad = uniform(0, static_cast<std::uint32_t>(full_length));
    const std::uint64_t hint = uniform(0, 3) == 0   ? full_length + uniform(0, 4096)
                               : uniform(0, 7) == 0 ? uniform(0, 64)
                                                    : bytes.size();
    const std::uint32_t offset = uniform(0, 9) == 0
                                     ? uniform(0, 4 + static_cast<std::uint32_t>(full_length))
                                     : slot_at(start);
    const std::uint32_t size = uniform(0, (block_size - 4) * 90);
    SCOPED_TRACE(::testing::Message() << "round " << round << " block_size " << block_size
                                      << " offset " << offset << " size " << size);

    const MemorySource oracle_source(bytes, bad, hint);
    const Result expected = two_read_loop(oracle_source, block_size, offset, size);
    const MemorySource source(bytes, bad, hint);
    ASSERT_EQ(detail::read_block_chain(source, block_size, offset, size), expected);

    Bytes buffer(size, 0xEE);
    const MemorySource into_source(bytes, bad, hint);
    const auto into = detail::read_block_chain_into(into_source, block_size, offset, buffer);
    ASSERT_EQ(into.has_value(), expected.has_value());
    if (expected) {
      ASSERT_EQ(buffer, *expected);
    } else {
      ASSERT_EQ(into.error(), expected.error());
    }
    // One request per block, as the loop makes two (the run after a 0 pointer takes one more),
    // at most one window that failed, and one more where the result outgrows the length hint.
    // Where the size exceeds the hint, the pointers are walked once more to look for a loop:
    // a few more reads per block; and before the read they are traced to the chain's end, maybe
    // past where the read fails, with the bytes they cover read once: two reads per slot at most.
    const std::size_t beyond_hint =
        size > hint ? 1 + 4 * oracle_source.requests() + 2 * std::size_t{slots} : 0;
    ASSERT_LE(source.requests(), (oracle_source.requests() + 1) / 2 + 2 + beyond_hint);
    if (expected && source.failures() > 0) ++windows_failed_where_exact_reads_succeeded;
  }
  // The rounds above must include the interesting case, or the test proves little.
  EXPECT_GT(windows_failed_where_exact_reads_succeeded, 100);
}

// Hand-made cases where the window covers bytes that the chain never reads and those bytes
// fail: the read must still succeed with the exact loop's bytes.
TEST(ReadBlockChainTest, FailedWindowsFallBackToExactReads) {
  constexpr std::uint32_t kBlock = 16;
  ArchiveImage image(kBlock);
  // Two adjacent blocks at 0x1000 and 0x1010, then a jump back to 0x400 and on; 100 bytes.
  const Bytes data = pattern(1, 100);
  const std::uint32_t blocks[] = {0x1000, 0x1010, 0x400, 0x410, 0x420, 0x430, 0x440, 0x450, 0x460};
  image.write_chain(blocks, data);
  const Bytes bytes = image.bytes();
  ASSERT_EQ(bytes.size(), 0x1020U);  // the chain's second block is the last thing in the file

  const struct {
    const char* name;
    std::optional<std::uint64_t> bad;
    std::uint64_t hint;
  } cases[] = {
      {"the window runs past the end of the file", std::nullopt, 0x2000},
      {"the window reaches an unreadable byte", 0x1020, 0x2000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes cut = bytes;
    if (c.bad) cut.resize(0x1100, 0);  // the window would run into the bad byte, not the end
    const MemorySource oracle_source(cut, c.bad);
    const Result expected = two_read_loop(oracle_source, kBlock, 0x1000, 100);
    ASSERT_TRUE(expected.has_value()) << expected.error().debug();
    EXPECT_EQ(*expected, data);
    const MemorySource source(cut, c.bad, c.hint);
    EXPECT_EQ(detail::read_block_chain(source, kBlock, 0x1000, 100), expected);
    EXPECT_EQ(source.failures(), 1U);  // the window, and nothing else
  }
  // An error inside what the chain needs is the exact loop's error, not the window's.
  const MemorySource oracle_source(bytes, 0x405);
  const MemorySource source(bytes, 0x405, 0x2000);
  const Result expected = two_read_loop(oracle_source, kBlock, 0x1000, 100);
  ASSERT_FALSE(expected.has_value());
  EXPECT_EQ(detail::read_block_chain(source, kBlock, 0x1000, 100), expected);
}

// Chains that come back on themselves: a lead-in of distinct blocks, then a loop (often of one
// or two blocks), laid side by side (so that read-ahead windows walk them) or scattered; sizes
// that end before the loop closes, mid-block or after many rounds; length hints at the file's
// length, at the size and below it; now and then an unreadable byte.
TEST(ReadBlockChainTest, LoopsAgreeWithTheReadByReadLoop) {
  std::mt19937 random(31337);
  const auto uniform = [&](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(random);
  };
  int repeated = 0;
  int refused = 0;
  for (int round = 0; round < 5000; ++round) {
    const std::uint32_t block_size = uniform(5, 24);
    const std::uint32_t slice = block_size - 4;
    const std::uint32_t count = uniform(1, 12);
    const std::uint32_t loop =
        uniform(0, 1) == 0 ? std::min(count, uniform(1, 2)) : uniform(1, count);
    std::vector<std::uint32_t> blocks(count);
    const std::uint32_t first = tallowmere_testing::kHeaderEnd + uniform(0, 7);
    for (std::uint32_t i = 0; i < count; ++i)
      blocks[i] = first + i * block_size;
    if (uniform(0, 1) == 0) std::shuffle(blocks.begin(), blocks.end(), random);
    ArchiveImage image(block_size);
    image.write_chain(blocks, random_bytes(random, std::size_t{count} * slice),
                      blocks[count - loop]);
    image.resize(image.size() + uniform(0, 64));
    const Bytes& bytes = image.bytes();

    const std::uint32_t period = loop * slice;
    const std::uint32_t choice = uniform(0, 2);
    const std::uint32_t size =
        choice == 0   ? uniform(0, count * slice)
        : choice == 1 ? (count - loop) * slice + period * uniform(1, 50) + uniform(0, period)
                      : uniform(0, 20000);
    const std::uint32_t hint_choice = uniform(0, 3);
    const std::uint64_t hint = hint_choice == 0   ? bytes.size()
                               : hint_choice == 1 ? size
                               : hint_choice == 2 ? std::max(size, 1U) - 1
                                                  : uniform(0, 2 * size);
    std::optional<std::uint64_t> bad;
    if (uniform(0, 5) == 0) bad = uniform(0, static_cast<std::uint32_t>(bytes.size()) - 1);
    SCOPED_TRACE(::testing::Message()
                 << "round " << round << " block_size " << block_size << " blocks " << count
                 << " loop " << loop << " size " << size << " hint " << hint);

    const MemorySource oracle_source(bytes, bad, hint);
    const Result expected = two_read_loop(oracle_source, block_size, blocks[0], size);
    const MemorySource source(bytes, bad, hint);
    ASSERT_EQ(detail::read_block_chain(source, block_size, blocks[0], size), expected);
    Bytes buffer(size, 0xEE);
    const MemorySource into_source(bytes, bad, hint);
    const auto into = detail::read_block_chain_into(into_source, block_size, blocks[0], buffer);
    ASSERT_EQ(into.has_value(), expected.has_value());
    ASSERT_EQ(expected ? Result(buffer) : Result(std::unexpected(into.error())), expected);
    // Each distinct block is read about once, however many rounds the size asks for; looking
    // for the loop again from the pointers, where the size exceeds the hint, reads a few more.
    ASSERT_LE(source.requests(), (size > hint ? 8 : 3) * std::size_t{count} + 3);
    if (expected && size > count * slice) ++repeated;
    if (!expected && expected.error().get_if<DatError::Corruption>() != nullptr) ++refused;
  }
  EXPECT_GT(repeated, 1000);
  EXPECT_GT(refused, 500);
}

// A loop of 700 scattered blocks behind a lead-in of 300, followed for a million bytes: each
// distinct block is read a few times at most, where reading block by block takes 400,000 reads.
TEST(ReadBlockChainTest, ALongLoopCostsReadsInProportionToItsDistinctBlocks) {
  constexpr std::uint32_t kBlock = 9;
  constexpr std::uint32_t kBlocks = 1000;
  constexpr std::uint32_t kLength = 1'000'000;
  std::mt19937 random(99);
  std::vector<std::uint32_t> blocks(kBlocks);
  for (std::uint32_t i = 0; i < kBlocks; ++i)
    blocks[i] = tallowmere_testing::kHeaderEnd + 2 * i * kBlock;  // gaps: no read-ahead
  std::shuffle(blocks.begin(), blocks.end(), random);
  ArchiveImage image(kBlock);
  image.write_chain(blocks, random_bytes(random, std::size_t{kBlocks} * (kBlock - 4)), blocks[300]);
  image.resize(kLength);
  const Bytes& bytes = image.bytes();

  const struct {
    const char* name;
    std::uint32_t size;
    std::uint32_t most_requests;
  } cases[] = {
      {"up to the file's length: repeated", kLength, 3 * kBlocks},
      {"beyond the file's length: refused", kLength + 1, 8 * kBlocks},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const MemorySource source(bytes);
    const Result read = detail::read_block_chain(source, kBlock, blocks[0], c.size);
    EXPECT_EQ(read, two_read_loop(MemorySource(bytes), kBlock, blocks[0], c.size));
    EXPECT_GE(source.requests(), kBlocks);
    EXPECT_LE(source.requests(), c.most_requests);
  }
}

TEST(ReadBlockChainTest, AtMostOneReadRequestPerBlock) {
  constexpr std::uint32_t kBlock = 64;
  ArchiveBuilder builder({.block_size = kBlock, .seed = 3});
  builder.add_file(1, pattern(0, std::size_t{10} * 60));  // ten full blocks
  builder.add_file(2,
                   pattern(0, std::size_t{10} * 60 - 59));  // ten blocks, the last holding one byte
  builder.add_file(3, pattern(0, 1));
  builder.add_file(4, pattern(0, std::size_t{10} * 60), 0,
                   tallowmere_testing::ChainLayout::kContiguous);
  const auto built = builder.build();
  ArchiveImage image(kBlock);
  image.write_block(0x400, 0, pattern(7, 200));  // a 0 pointer with a run behind it
  const Bytes crafted = image.bytes();
  // 6000 blocks side by side: 256 KiB windows hold 4096 of them.
  ArchiveImage contiguous(kBlock);
  const std::uint32_t run = contiguous.append_chain(pattern(3, std::size_t{6000} * 60));

  const struct {
    const char* name;
    const Bytes& bytes;
    std::uint32_t offset;
    std::uint32_t size;
    std::size_t requests;
  } cases[] = {
      {"ten full blocks", built.bytes, built.entry(1).offset, 600, 10},
      {"ten blocks, one byte in the last", built.bytes, built.entry(2).offset, 541, 10},
      {"one block", built.bytes, built.entry(3).offset, 1, 1},
      {"ten contiguous blocks", built.bytes, built.entry(4).offset, 600, 1},
      {"size 0", built.bytes, built.entry(1).offset, 0, 0},
      {"a 0 pointer whose run fits the block", crafted, 0x400, 60, 1},
      {"a 0 pointer whose run is longer: the block, then the rest", crafted, 0x400, 200, 2},
      {"6000 adjacent blocks: one request per 256 KiB window", contiguous.bytes(), run, 6000 * 60,
       2},
      {"a run of adjacent blocks cut short by the size", contiguous.bytes(), run, 5000 * 60 + 7, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const MemorySource source(c.bytes);
    const Result read = detail::read_block_chain(source, kBlock, c.offset, c.size);
    ASSERT_TRUE(read.has_value()) << read.error().debug();
    EXPECT_EQ(source.requests(), c.requests);
    const MemorySource oracle_source(c.bytes);
    EXPECT_EQ(read, two_read_loop(oracle_source, kBlock, c.offset, c.size));
  }
}

TEST(GetFileTest, LooksUpReadsAndDecompresses) {
  const Bytes content = join({pattern(0, 200), pattern(0, 200), pattern(9, 50)});
  ArchiveBuilder builder({.block_size = 48, .seed = 5});
  builder.add_compressed_file(0x20000001, content);
  builder.add_file(0x20000002, content, 0xFFFFFFFE);  // every bit but bit 0: stored as is
  builder.add_file(0x20000003, Bytes{}, 1);           // compressed and empty
  builder.add_file(0x20000004, pattern(3, 5), 0);
  const auto built = builder.build();
  ASSERT_LT(built.entry(0x20000001).size, content.size());
  const OpenArchive archive(built.bytes);

  const struct {
    std::uint32_t id;
    Result expected;
  } cases[] = {
      {0x20000001, content},
      {0x20000002, content},
      {0x20000003, Bytes{}},
      {0x20000004, pattern(3, 5)},
      {0x20000005, std::unexpected(DatError(DatError::NotFound{0x20000005}))},
      {0, std::unexpected(DatError(DatError::NotFound{0}))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(archive.db().get_file(c.id), c.expected);
  }
}

TEST(GetFileTest, RandomArchivesGiveBackExactlyTheBytesWritten) {
  std::mt19937 random(77);
  const auto uniform = [&](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(random);
  };
  for (std::uint32_t round = 0; round < 40; ++round) {
    const std::uint32_t block_size = round % 4 == 0 ? uniform(5, 12) : uniform(13, 2000);
    ArchiveBuilder builder({.block_size = block_size,
                            .seed = round,
                            .fan_out = uniform(1, 61),
                            .spare_percent = uniform(0, 50),
                            .junk_tail_pointers = round % 2 == 1});
    std::map<std::uint32_t, Bytes> contents;
    for (std::uint32_t n = uniform(0, 120); n > 0; --n) {
      const std::uint32_t id =
          uniform(0, 3) == 0 ? uniform(0, 20) : static_cast<std::uint32_t>(random());
      Bytes content(uniform(0, 2) == 0 ? uniform(0, 3 * block_size) : uniform(0, 3000));
      const std::uint8_t period = static_cast<std::uint8_t>(uniform(1, 40));
      for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<std::uint8_t>(i % period == 0 ? random() : i % period);
      }
      if (uniform(0, 2) == 0) {
        builder.add_compressed_file(id, content);
      } else {
        builder.add_file(id, content);
      }
      contents[id] = std::move(content);
    }
    SCOPED_TRACE(::testing::Message() << "round " << round << " block_size " << block_size);
    const auto built = builder.build();
    const OpenArchive archive(built.bytes);
    ASSERT_TRUE(archive.result().has_value()) << archive.result().error().debug();
    ASSERT_TRUE(std::ranges::equal(archive.db().files(), built.entries));
    for (const auto& [id, content] : contents) {
      ASSERT_EQ(archive.db().get_file(id), Result(content)) << id;
    }
  }
}

TEST(GetFileTest, SeveralThreadsShareOneHandle) {
  ArchiveBuilder builder({.block_size = 100, .seed = 11});
  std::map<std::uint32_t, Bytes> contents;
  for (std::uint32_t id = 0; id < 200; ++id) {
    Bytes content = pattern(static_cast<std::uint8_t>(id), 50 + 37 * id);
    if (id % 3 == 0) {
      builder.add_compressed_file(id, content);
    } else {
      builder.add_file(id, content);
    }
    contents[id] = std::move(content);
  }
  const OpenArchive archive(builder.build().bytes);
  const DatDatabase& db = archive.db();

  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  threads.reserve(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int pass = 0; pass < 10; ++pass) {
        for (std::uint32_t i = 0; i < 200; ++i) {
          const std::uint32_t id = (i * 7 + static_cast<std::uint32_t>(t) * 50) % 200;
          const Result read = db.get_file(id);
          if (!read || *read != contents.at(id)) ++mismatches;
        }
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace tallowmere_dat
