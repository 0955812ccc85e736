#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tallowmere_dat/dat_database.h"
#include "tallowmere_testing/temp_file.h"

namespace tallowmere_dat {
namespace {

using tallowmere_testing::TempFile;
using Bytes = std::vector<std::uint8_t>;

void put_u32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i)
    bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

/// A file of `size` bytes whose header fields hold 1, 2, 3, ... and whose root offset is 0.
Bytes numbered_header_file(std::size_t size) {
  Bytes bytes(size, 0);
  for (std::uint32_t field = 0; field < 15; ++field) {
    const std::size_t at = 0x140 + 4 * field;
    if (at + 4 <= size && field != 8) put_u32(bytes, at, field + 1);
  }
  for (std::size_t i = 0; i < 16 && 0x17C + i < size; ++i) {
    bytes[0x17C + i] = static_cast<std::uint8_t>(i == 3 ? 0 : 0xF0 + i);
  }
  if (size >= 0x190) put_u32(bytes, 0x18C, 0xDEADBEEF);
  return bytes;
}

ReadError field_failure(const char* field, std::uint32_t line, IoError innermost) {
  return ReadError::Backtrace{
      std::make_shared<const ReadError>(std::move(innermost)),
      {BacktraceFrame::Full{std::string("While parsing field '") + field + "' in DatHeader",
                            "crates/tallowmere-dat/src/lib", line, std::nullopt}}};
}

TEST(DatDatabaseOpenTest, MissingFileIsAPathErrorNamingThePathAsGiven) {
  const std::string path = "/nonexistent/dir \"quoted\"/client_portal.dat";
  const auto db = DatDatabase::open(path);
  ASSERT_FALSE(db.has_value());
  EXPECT_EQ(db.error().debug(),
            "PathError { path: \"/nonexistent/dir \\\"quoted\\\"/client_portal.dat\", source: Os "
            "{ code: 2, kind: NotFound, message: \"No such file or directory\" } }");
}

TEST(DatDatabaseOpenTest, NonUtf8PathByteIsEscaped) {
  const auto db = DatDatabase::open(std::string("/nonexistent/\xFE.dat"));
  ASSERT_FALSE(db.has_value());
  const auto* path_error = db.error().get_if<DatError::PathError>();
  ASSERT_NE(path_error, nullptr);
  EXPECT_EQ(path_error->path.native(), "/nonexistent/\xFE.dat");
  EXPECT_TRUE(db.error().debug().starts_with(R"(PathError { path: "/nonexistent/\xFE.dat", )"));
}

TEST(DatDatabaseOpenTest, ShortFilesFailOnTheFirstIncompleteField) {
  const struct {
    std::size_t size;
    const char* field;
    std::uint32_t line;
    IoError innermost;
  } cases[] = {
      {0, "magic", 176, IoError::fill_whole_buffer()},
      {100, "magic", 176, IoError::fill_whole_buffer()},
      {323, "magic", 176, IoError::fill_whole_buffer()},
      {324, "block_size", 177, IoError::fill_whole_buffer()},
      {0x160 + 3, "root_offset", 184, IoError::fill_whole_buffer()},
      {379, "game_version", 190, IoError::fill_whole_buffer()},
      {380, "version_string", 192, IoError::not_enough_bytes()},
      {395, "version_string", 192, IoError::not_enough_bytes()},
      {396, "version_minor", 193, IoError::fill_whole_buffer()},
      {399, "version_minor", 193, IoError::fill_whole_buffer()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    const TempFile file(numbered_header_file(c.size));
    const auto db = DatDatabase::open(file.path());
    ASSERT_FALSE(db.has_value());
    EXPECT_EQ(db.error(), DatError(field_failure(c.field, c.line, c.innermost)));
  }
}

TEST(DatDatabaseOpenTest, AnyHeaderValuesAreAcceptedAndKept) {
  const TempFile file(numbered_header_file(400));
  const auto db = DatDatabase::open(file.path());
  ASSERT_TRUE(db.has_value()) << db.error().debug();
  const DatHeader& h = db->header();
  EXPECT_EQ(h.magic, 1U);
  EXPECT_EQ(h.block_size, 2U);
  EXPECT_EQ(h.free_count, 8U);
  EXPECT_EQ(h.root_offset, 0U);
  EXPECT_EQ(h.new_lru, 10U);
  EXPECT_EQ(h.game_version, 15U);
  EXPECT_EQ(h.version_string[0], 0xF0);
  EXPECT_EQ(h.version_string[3], 0);
  EXPECT_EQ(h.version_string[15], 0xFF);
  EXPECT_EQ(h.version_minor, 0xDEADBEEFU);
  EXPECT_TRUE(db->files().empty());
}

TEST(DatHeaderReadTest, FailureRewindsToTheHeaderStart) {
  const Bytes bytes = numbered_header_file(390);
  Cursor cursor(bytes);
  ASSERT_TRUE(cursor.seek(DatHeader::kOffset).has_value());
  ASSERT_FALSE(DatHeader::read(cursor).has_value());
  EXPECT_EQ(cursor.position().value(), DatHeader::kOffset);
}

TEST(DatFileEntryTest, ReadsSixFieldsAndTestsOnlyBitZero) {
  Bytes bytes(24);
  for (std::uint32_t i = 0; i < 6; ++i)
    put_u32(bytes, std::size_t{4} * i, 0x100 * (i + 1) + 0xFE);
  Cursor cursor(bytes);
  const auto entry = DatFileEntry::read(cursor);
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(*entry, (DatFileEntry{0x1FE, 0x2FE, 0x3FE, 0x4FE, 0x5FE, 0x6FE}));
  EXPECT_FALSE(entry->is_compressed());
  EXPECT_TRUE(DatFileEntry{.bit_flags = 1}.is_compressed());
  EXPECT_TRUE(DatFileEntry{.bit_flags = 0xFFFFFFFF}.is_compressed());
}

TEST(DatFileEntryTest, FieldFramesCarryTheirLines) {
  const char* fields[] = {"bit_flags", "id", "offset", "size", "timestamp", "version"};
  for (std::uint32_t i = 0; i < 6; ++i) {
    SCOPED_TRACE(fields[i]);
    const Bytes bytes(std::size_t{4} * i + 2, 0);
    Cursor cursor(bytes);
    const auto entry = DatFileEntry::read(cursor);
    ASSERT_FALSE(entry.has_value());
    const ReadError expected = ReadError::Backtrace{
        std::make_shared<const ReadError>(IoError::fill_whole_buffer()),
        {BacktraceFrame::Full{
            std::string("While parsing field '") + fields[i] + "' in DatFileEntry",
            "crates/tallowmere-dat/src/lib", 222 + i, std::nullopt}}};
    EXPECT_EQ(entry.error(), expected);
    EXPECT_EQ(cursor.position().value(), 0U);
  }
}

}  // namespace
}  // namespace tallowmere_dat
