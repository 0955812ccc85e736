// Verified retrieval, retrieval into a caller's buffer and the decompressed size, against the
// plain value-returning get_file.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <expected>
#include <random>
#include <span>
#include <vector>

#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/file_type/sound_table.h"
#include "tallowmere_testing/allocation_tracker.h"
#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/lrs_codec.h"
#include "tallowmere_testing/sound_table_writer.h"
#include "tallowmere_testing/temp_file.h"

namespace tallowmere_dat {
namespace {

using tallowmere_testing::lrs_compress;
using Bytes = std::vector<std::uint8_t>;
using Result = std::expected<Bytes, DatError>;
using Size = std::expected<std::uint32_t, DatError>;

/// A buffer form's outcome in the value form's shape: the buffer, or the error.
Result outcome(const std::expected<void, DatError>& read, const Bytes& buffer) {
  if (!read) return std::unexpected(read.error());
  return buffer;
}

/// Whether a buffer form's outcome is `expected`, without copying the buffer (nor allocating).
bool same(const std::expected<void, DatError>& read, const Bytes& buffer, const Result& expected) {
  return read ? expected && *expected == buffer : !expected && read.error() == expected.error();
}

Bytes with_prefix(Bytes stream, std::uint32_t declared) {
  for (std::size_t i = 0; i < 4; ++i)
    stream[i] = static_cast<std::uint8_t>(declared >> (8 * i));
  return stream;
}

/// Text-like bytes with repeats, so that the encoder emits both kinds of token.
Bytes content_of(std::mt19937& random, std::size_t length) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i)
    bytes[i] = static_cast<std::uint8_t>(random() % 4 == 0 ? random() : 'a' + i % 11);
  return bytes;
}

DatError decompression_failed(std::uint32_t id) {
  return DatError(DatError::DecompressionFailed{id});
}

TEST(RetrievalTest, VerifiedFailsWherePlainReturnsShortData) {
  std::mt19937 random(2022);
  const Bytes content = content_of(random, 2022);
  const Bytes stream = lrs_compress(content);
  ASSERT_EQ(stream[4] & 0x80, 0);  // the first token is a literal
  Bytes control_rewritten = stream;
  control_rewritten[4] = 0xFF;  // now a back-reference with nothing produced: decoding stops
  const Bytes truncated(stream.begin(), stream.end() - 5);
  const Bytes first_1000(content.begin(), content.begin() + 1000);
  const DatError eof(IoError::fill_whole_buffer());

  // `verifies`: the verified forms give what the plain ones do; otherwise they fail with
  // `DecompressionFailed` carrying the id.
  const struct {
    const char* name;
    std::uint32_t id;
    std::uint32_t bit_flags;
    Bytes stored;
    Result plain;
    bool verifies;
    Size size;
  } cases[] = {
      {"intact", 1, 1, stream, content, true, 2022},
      {"a rewritten control byte", 2, 1, control_rewritten, Bytes{}, false, 2022},
      {"a truncated stream", 3, 1, truncated,
       tallowmere_testing::decompress_lrs_reference(truncated), false, 2022},
      {"a prefix declaring one byte more", 4, 1, with_prefix(stream, 2023), content, false, 2023},
      {"a prefix declaring less: complete at that size", 5, 1, with_prefix(stream, 1000),
       first_1000, true, 1000},
      {"an empty compressed entry is an empty file", 6, 1, Bytes{}, Bytes{}, true, 0},
      {"too short for the prefix", 7, 1, Bytes{0x41, 0x42, 0x43}, Bytes{0x41, 0x42, 0x43}, false,
       std::unexpected(decompression_failed(7))},
      {"only a prefix, declaring 0", 8, 1, Bytes{0, 0, 0, 0}, Bytes{}, true, 0},
      {"only a prefix, declaring 5", 9, 1, Bytes{5, 0, 0, 0}, Bytes{}, false, 5},
      {"uncompressed: bit 0 clear", 10, 0xFFFFFFFE, stream, stream, true,
       static_cast<std::uint32_t>(stream.size())},
      {"a chain off the end of the file", 11, 1, Bytes(10), std::unexpected(eof), true,
       std::unexpected(eof)},
  };
  ASSERT_LT(cases[2].plain->size(), content.size());
  tallowmere_testing::ArchiveImage image(64);
  std::vector<DatFileEntry> entries;
  for (const auto& c : cases) {
    const std::uint32_t offset = c.stored.empty() ? 0 : image.append_chain(c.stored);
    entries.push_back({.bit_flags = c.bit_flags,
                       .id = c.id,
                       .offset = offset,
                       .size = static_cast<std::uint32_t>(c.stored.size())});
  }
  entries.back().offset = 0x100000;  // far past the end of the file
  image.header().root_offset = image.append_node({.entries = entries});
  const tallowmere_testing::TempFile file(image.bytes());
  const auto db = DatDatabase::open(file.path());
  ASSERT_TRUE(db.has_value()) << db.error().debug();

  Bytes buffer(5000, 0xEE);  // one buffer throughout, for larger and smaller files in turn
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.name);
    const Result verified =
        c.verifies ? c.plain : Result(std::unexpected(decompression_failed(c.id)));
    EXPECT_EQ(db->get_file(c.id), c.plain);
    EXPECT_EQ(outcome(db->get_file(c.id, buffer), buffer), c.plain);
    EXPECT_EQ(db->get_file_verified(c.id), verified);
    EXPECT_EQ(outcome(db->get_file_verified(c.id, buffer), buffer), verified);
    EXPECT_EQ(db->decompressed_size(entries[i]), c.size);
    if (c.size) {  // straight into a buffer of the declared size
      Bytes exact(*c.size, 0xEE);
      EXPECT_EQ(outcome(db->get_file_verified_into(entries[i], exact), exact), verified);
    }
  }
  for (const std::size_t size :
       {std::size_t{2021}, std::size_t{2023}}) {  // not the size the intact file declares
    Bytes wrong(size);
    const auto read = db->get_file_verified_into(entries[0], wrong);
    EXPECT_TRUE(!read && read.error().get_if<DatError::Other>() != nullptr) << size;
  }
  const DatError not_found(DatError::NotFound{0x99});
  EXPECT_EQ(db->get_file_verified(0x99), Result(std::unexpected(not_found)));
  EXPECT_EQ(outcome(db->get_file_verified(0x99, buffer), buffer),
            Result(std::unexpected(not_found)));
}

// Every file of a random archive (plain, compressed and damaged compressed entries, and absent
// identifiers) read into one reused buffer gives what the value forms give; once every file has
// been read, a second pass allocates nothing. Files stay below 4 KiB, where the chain reader's
// read-ahead needs no heap window of its own.
TEST(RetrievalTest, BufferFormsMatchTheValueFormsAndReuseTheBuffer) {
  std::mt19937 random(4242);
  const auto uniform = [&](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(random);
  };
  tallowmere_testing::ArchiveBuilder builder({.block_size = 48, .seed = 9, .fan_out = 7});
  std::vector<std::uint32_t> ids;
  for (std::uint32_t id = 1; id <= 300; ++id) {
    Bytes content = content_of(random, uniform(0, 9) == 0 ? uniform(0, 8) : uniform(0, 3000));
    const std::uint32_t kind = uniform(0, 3);
    if (kind == 0) {
      builder.add_file(id, std::move(content));
    } else if (kind == 1) {
      builder.add_compressed_file(id, content);
    } else {  // the stream cut anywhere, prefix included
      Bytes stream = lrs_compress(content);
      stream.resize(uniform(0, static_cast<std::uint32_t>(stream.size())));
      builder.add_file(id, std::move(stream), 1);
    }
    ids.push_back(id);
    if (uniform(0, 9) == 0) ids.push_back(1000 + id);  // absent
  }
  std::ranges::shuffle(ids, random);
  const auto built = builder.build();
  const tallowmere_testing::TempFile file(built.bytes);
  const auto db = DatDatabase::open(file.path());
  ASSERT_TRUE(db.has_value()) << db.error().debug();

  std::vector<Result> plain;
  std::vector<Result> verified;
  Bytes buffer;
  for (const std::uint32_t id : ids) {
    SCOPED_TRACE(id);
    plain.push_back(db->get_file(id));
    verified.push_back(db->get_file_verified(id));
    ASSERT_EQ(outcome(db->get_file(id, buffer), buffer), plain.back());
    ASSERT_EQ(outcome(db->get_file_verified(id, buffer), buffer), verified.back());
    if (const DatFileEntry* entry = db->files().find(id); entry != nullptr) {
      ASSERT_EQ(outcome(db->read_file_data(entry->offset, entry->size, buffer), buffer),
                db->read_file_data(entry->offset, entry->size));
      // The declared size is what a verified read gives, and a failed one fell short of it.
      const Size size = db->decompressed_size(*entry);
      if (verified.back()) {
        ASSERT_EQ(size, verified.back()->size());
      } else if (size) {
        ASSERT_LT(plain.back()->size(), *size);
      }
    }
  }
  EXPECT_GT(std::ranges::count_if(
                verified,
                [](const Result& r) {
                  return !r && r.error().get_if<DatError::DecompressionFailed>() != nullptr;
                }),
            50);

  const std::uint8_t* const data = buffer.data();
  std::size_t mismatches = 0;
  tallowmere_testing::allocations::reset();
  for (std::size_t i = 0; i < ids.size(); ++i) {
    mismatches += same(db->get_file(ids[i], buffer), buffer, plain[i]) ? 0U : 1U;
    mismatches += same(db->get_file_verified(ids[i], buffer), buffer, verified[i]) ? 0U : 1U;
  }
  EXPECT_EQ(tallowmere_testing::allocations::largest(), 0U);
  EXPECT_EQ(buffer.data(), data);
  EXPECT_EQ(mismatches, 0U);
}

// The scratch that holds a compressed entry's stored bytes stays with the thread only while it is
// small: after a file whose stored bytes pass 1 MiB, nothing but the caller's buffer is left.
TEST(RetrievalTest, LargeStoredBytesAreNotKeptAfterTheCall) {
  std::mt19937 random(5);
  Bytes content(std::size_t{5} << 18);  // 1.25 MiB of noise, which stores larger still
  for (auto& byte : content)
    byte = static_cast<std::uint8_t>(random());
  tallowmere_testing::ArchiveBuilder builder({.block_size = 4096});
  builder.add_compressed_file(1, content);
  const auto built = builder.build();
  ASSERT_GT(built.entry(1).size, 1U << 20);
  const tallowmere_testing::TempFile file(built.bytes);
  const auto db = DatDatabase::open(file.path());
  ASSERT_TRUE(db.has_value()) << db.error().debug();

  Bytes buffer;
  const std::size_t before = tallowmere_testing::allocations::live();
  ASSERT_TRUE(db->get_file(1, buffer).has_value());
  EXPECT_EQ(buffer, content);
  EXPECT_LE(tallowmere_testing::allocations::live() - before, buffer.capacity() + 4096);
}

TEST(RetrievalTest, SoundTablesByIdFailAsTheirRetrievalOrDecodeDoes) {
  using tallowmere_testing::encode_sound_table;
  const Bytes table = encode_sound_table({.id = 7,
                                          .hash_key = -2,
                                          .hashes = {{.key = 3, .data = {1, 2, 3}}},
                                          .sounds = {{.key = 0x76, .data = {.unknown = 1}}}});
  const Bytes compressed = lrs_compress(table);
  tallowmere_testing::ArchiveBuilder builder;
  builder.add_file(0x20000001, table);
  builder.add_compressed_file(0x20000002, table);
  builder.add_file(0x20000003, Bytes(table.begin(), table.end() - 1));
  builder.add_file(0x20000004, Bytes(compressed.begin(), compressed.end() - 3), 1);
  const tallowmere_testing::TempFile file(builder.build().bytes);
  const auto db = DatDatabase::open(file.path());
  ASSERT_TRUE(db.has_value()) << db.error().debug();

  Cursor cursor(table);
  const auto decoded = file_type::SoundTable::read(cursor);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(read_sound_table(*db, 0x20000001), *decoded);
  EXPECT_EQ(read_sound_table(*db, 0x20000002), *decoded);
  const auto cut = read_sound_table(*db, 0x20000003);
  ASSERT_FALSE(cut.has_value());
  EXPECT_TRUE(cut.error().get_if<DatError::BinRead>() != nullptr) << cut.error().debug();
  EXPECT_EQ(read_sound_table(*db, 0x20000004), std::unexpected(decompression_failed(0x20000004)));
  EXPECT_EQ(read_sound_table(*db, 0x20000005),
            std::unexpected(DatError(DatError::NotFound{0x20000005})));
  EXPECT_EQ(sound_table_ids(*db),
            (std::vector<std::uint32_t>{0x20000001, 0x20000002, 0x20000003, 0x20000004}));
}

}  // namespace
}  // namespace tallowmere_dat
