// Streamed reads against the reads that return whole buffers: over random chains (adjacent,
// scattered, looping, past the end, at the 0xFFFFFFFC guard, sizes beyond the file) and random
// LRS streams (whole, cut short, lying about their size, garbled), the chunks joined are the
// bytes of `get_file_verified` and `read_file_data`, and the error is theirs, whatever the chunk
// size. A sink that stops has received a prefix of those bytes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <expected>
#include <numeric>
#include <vector>

#include "archive_source.h"
#include "block_chain.h"
#include "lrs_stream.h"
#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/lrs.h"
#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/lrs_codec.h"
#include "tallowmere_testing/random.h"

namespace tallowmere_dat {
namespace {

using tallowmere_testing::ArchiveImage;
using tallowmere_testing::DirectoryNode;
using tallowmere_testing::Random;
using Bytes = std::vector<std::uint8_t>;
using Result = std::expected<Bytes, DatError>;

constexpr std::uint32_t kId = 0x06000001;

/// What a streamed read delivered, as a whole-buffer read would return it; with `stop_after`,
/// the sink stops after that many chunks.
template <typename Stream>
Result collect(Stream stream, std::size_t stop_after = SIZE_MAX) {
  Bytes bytes;
  std::size_t chunks = 0;
  const auto done = stream([&](std::span<const std::uint8_t> chunk) {
    EXPECT_FALSE(chunk.empty());
    bytes.insert(bytes.end(), chunk.begin(), chunk.end());
    return ++chunks < stop_after;
  });
  if (!done) return std::unexpected(done.error());
  return bytes;
}

Bytes random_bytes(Random& random, std::size_t length) {
  Bytes bytes(length);
  for (std::uint8_t& byte : bytes)
    byte = static_cast<std::uint8_t>(random.next());
  return bytes;
}

/// Content with repeats near and far, so that compressing it makes back-references.
Bytes repetitive_content(Random& random, std::size_t length) {
  Bytes content;
  while (content.size() < length) {
    if (content.empty() || random.below(3) == 0) {
      content.push_back(static_cast<std::uint8_t>(random.below(4)));
      continue;
    }
    const std::size_t from = random.below(content.size());
    const std::size_t run = std::min<std::size_t>(random.between(1, 40), length - content.size());
    for (std::size_t k = 0; k < run; ++k)
      content.push_back(content[from + k % (content.size() - from)]);
  }
  return content;
}

/// A compressed entry's stored bytes: a whole stream, or one cut short, lying in its prefix,
/// garbled (stray end markers and references before the start), or too short for a prefix.
Bytes random_stored_stream(Random& random, std::size_t length) {
  Bytes stored = tallowmere_testing::lrs_compress(repetitive_content(random, length));
  switch (random.below(5)) {
    case 0:
      stored.resize(random.below(stored.size() + 1));
      break;
    case 1:
      stored[random.below(4)] ^= static_cast<std::uint8_t>(random.between(1, 255));
      break;
    case 2:
      for (int flips = 0; flips < 3; ++flips)
        stored[random.below(stored.size())] = static_cast<std::uint8_t>(random.next());
      break;
    case 3:
      stored.resize(random.below(4));
      break;
    default:
      break;
  }
  return stored;
}

struct RandomArchive {
  Bytes bytes;
  std::uint32_t block_size = 0;
};

/// One entry over a random chain: its blocks side by side or shuffled, the last one ending the
/// chain, looping back, pointing past the end or at 0xFFFFFFFC; a size that matches the data,
/// exceeds it, or exceeds the file; and the file sometimes cut inside the chain.
RandomArchive random_archive(Random& random) {
  const bool large = random.below(10) == 0;
  const std::uint32_t block_size = large ? random.between(64, 400) : random.between(5, 40);
  const std::uint32_t slice = block_size - 4;
  const bool compressed = random.below(2) == 0;
  const std::size_t length = large ? random.between(5000, 40000) : random.below(600);
  const Bytes stored =
      compressed ? random_stored_stream(random, length) : random_bytes(random, length);

  ArchiveImage image(block_size);
  const std::uint32_t node_blocks = (tallowmere_testing::kNodeSize + slice - 1) / slice;
  const std::uint32_t base = tallowmere_testing::kHeaderEnd + node_blocks * block_size;
  const auto count = static_cast<std::uint32_t>(std::max<std::size_t>(1, stored.size() / slice));
  std::vector<std::uint32_t> blocks(count);
  for (std::uint32_t i = 0; i < count; ++i)
    blocks[i] = base + i * block_size;
  if (random.below(2) == 0) {
    for (std::uint32_t i = count; i > 1; --i)
      std::swap(blocks[i - 1], blocks[random.below(i)]);
  }
  const std::uint32_t last_next = std::array<std::uint32_t, 4>{
      0, blocks[random.below(count)], 0x7FFF0000, 0xFFFFFFFC}[random.below(4)];
  auto size = static_cast<std::uint32_t>(stored.size());
  const std::uint64_t file_end = std::uint64_t{base} + std::uint64_t{count + 1} * block_size;
  switch (random.below(5)) {
    case 0:
      size += static_cast<std::uint32_t>(random.below(3 * std::uint64_t{size} + 50));
      break;
    case 1:
      size = static_cast<std::uint32_t>(file_end + random.below(4 * file_end));
      break;
    case 2:
      size = random.between(1U << 20U, 1U << 24U);
      break;
    default:
      break;
  }
  const DatFileEntry entry{
      .bit_flags = compressed ? 1U : 0U, .id = kId, .offset = blocks[0], .size = size};
  image.header().root_offset = image.append_node({.entries = {entry}});
  image.write_chain(blocks, stored, last_next);
  if (random.below(6) == 0) image.truncate(base + random.below(image.size() - base + 1));
  return {std::move(image).release(), block_size};
}

TEST(StreamTest, StreamedReadsAgreeWithWholeReads) {
  Random random(2112);
  int streamed_ok = 0;
  int streamed_failing = 0;
  for (int round = 0; round < 3000; ++round) {
    const RandomArchive archive = random_archive(random);
    const auto db = DatDatabase::open(archive.bytes);
    ASSERT_TRUE(db.has_value()) << db.error().debug();
    const DatFileEntry& entry = *db->files().find(kId);
    const std::size_t chunk =
        random.below(2) == 0 ? random.between(1, 64) : random.between(1, 3 * 4096 + 100);
    SCOPED_TRACE(::testing::Message() << "round " << round << " block_size " << archive.block_size
                                      << " size " << entry.size << " chunk " << chunk);
    const detail::MemorySource source(archive.bytes);

    const Result whole = db->get_file_verified(kId);
    const Result streamed = collect([&](const ChunkSink& sink) {
      return detail::stream_entry(source, archive.block_size, entry, sink, chunk);
    });
    ASSERT_EQ(streamed, whole);
    // With the library's own chunk size, through the public call.
    ASSERT_EQ(collect([&](const ChunkSink& sink) { return db->stream_file(entry, sink); }), whole);

    const Result data = db->read_file_data(entry.offset, entry.size);
    ASSERT_EQ(collect([&](const ChunkSink& sink) {
                return detail::stream_block_chain(source, archive.block_size, entry.offset,
                                                  entry.size, sink, chunk);
              }),
              data);

    // A sink that stops has a prefix of the bytes, and the read ends without an error.
    const std::size_t stop_after = random.between(1, 3);
    const Result stopped = collect(
        [&](const ChunkSink& sink) {
          return detail::stream_entry(source, archive.block_size, entry, sink, chunk);
        },
        stop_after);
    ASSERT_TRUE(stopped.has_value() || !whole.has_value());
    if (whole && stopped) {
      ASSERT_LE(stopped->size(), whole->size());
      ASSERT_TRUE(std::equal(stopped->begin(), stopped->end(), whole->begin()));
    }
    (whole ? streamed_ok : streamed_failing) += 1;
  }
  EXPECT_GT(streamed_ok, 300);
  EXPECT_GT(streamed_failing, 1000);
}

// Loops within the file's length, of periods on both sides of what a stream keeps in memory
// (64 KiB): read round again or repeated from memory, the bytes are the whole read's.
TEST(StreamTest, LoopsOfLongAndShortPeriodsRepeatAsInAWholeRead) {
  Random random(77);
  for (const std::uint32_t loop_blocks : {1U, 60U, 300U}) {
    constexpr std::uint32_t kBlock = 260;
    constexpr std::uint32_t kBlocks = 320;
    std::vector<std::uint32_t> blocks(kBlocks);
    for (std::uint32_t i = 0; i < kBlocks; ++i)
      blocks[i] = tallowmere_testing::kHeaderEnd + 8 * kBlock + i * 2 * kBlock;  // no runs
    ArchiveImage image(kBlock);
    image.write_chain(blocks, random_bytes(random, std::size_t{kBlocks} * (kBlock - 4)),
                      blocks[kBlocks - loop_blocks]);
    const std::uint32_t size = 900'000 + random.between(0, 1000);
    const DatFileEntry entry{.id = kId, .offset = blocks[0], .size = size};
    image.write_chain(std::vector<std::uint32_t>(1, tallowmere_testing::kHeaderEnd),
                      DirectoryNode{.entries = {entry}}.encode());
    image.header().root_offset = tallowmere_testing::kHeaderEnd;
    image.resize(size);
    const Bytes bytes = std::move(image).release();
    SCOPED_TRACE(::testing::Message() << "loop of " << loop_blocks << " blocks");
    const auto db = DatDatabase::open(bytes);
    ASSERT_TRUE(db.has_value()) << db.error().debug();
    const Result whole = db->get_file_verified(kId);
    ASSERT_TRUE(whole.has_value());
    const detail::MemorySource source(bytes);
    ASSERT_EQ(collect([&](const ChunkSink& sink) {
                return detail::stream_entry(source, kBlock, entry, sink, 4096);
              }),
              whole);
  }
}

// A stream decoded as it comes, fed in pieces of every size, gives what the whole-buffer
// decoder gives, past many hand-overs of its buffer.
TEST(StreamTest, LrsStreamAgreesWithTheWholeDecoderWhateverThePieces) {
  Random random(4242);
  for (int round = 0; round < 200; ++round) {
    const Bytes stored = random_stored_stream(random, random.between(0, 60000));
    const std::size_t piece = random.between(1, 5000);
    const std::size_t chunk = random.between(1, 9000);
    SCOPED_TRACE(::testing::Message() << "round " << round << " piece " << piece << " chunk "
                                      << chunk << " stored " << stored.size());
    Bytes decoded;
    const ChunkSink sink = [&](std::span<const std::uint8_t> bytes) {
      decoded.insert(decoded.end(), bytes.begin(), bytes.end());
      return true;
    };
    detail::LrsStream decoder(sink, chunk);
    for (std::size_t at = 0; at < stored.size(); at += piece) {
      ASSERT_TRUE(decoder.feed(std::span(stored).subspan(at, std::min(piece, stored.size() - at))));
    }
    ASSERT_TRUE(decoder.finish());
    const Bytes expected = decompress_lrs(stored);
    if (stored.size() < 4) {
      EXPECT_TRUE(decoded.empty());
      EXPECT_FALSE(decoder.declared().has_value());
      continue;
    }
    ASSERT_EQ(decoded, expected);
    EXPECT_EQ(decoder.produced(), expected.size());
  }
}

}  // namespace
}  // namespace tallowmere_dat
