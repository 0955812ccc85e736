#include "tallowmere_report/environ_report.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/sound_table_writer.h"
#include "tallowmere_testing/temp_file.h"

namespace tallowmere_dat {
namespace {

using file_type::SoundEntry;
using tallowmere_testing::ArchiveBuilder;
using tallowmere_testing::encode_sound_table;
using tallowmere_testing::SoundRecordLayout;
using tallowmere_testing::SoundTableLayout;
using tallowmere_testing::TempFile;

SoundRecordLayout slot(std::uint32_t key, const std::vector<std::uint32_t>& waves = {}) {
  SoundRecordLayout record{.key = key};
  for (const std::uint32_t wave : waves)
    record.data.entries.push_back(SoundEntry{wave, 1, 1, 1});
  return record;
}

std::vector<std::uint8_t> table(std::vector<SoundRecordLayout> slots) {
  return encode_sound_table(SoundTableLayout{.id = 0x20FFFFFF, .sounds = std::move(slots)});
}

std::string report_of(const ArchiveBuilder& builder) {
  const TempFile file(builder.build().bytes);
  const auto db = DatDatabase::open(file.path());
  EXPECT_TRUE(db.has_value()) << db.error().debug();
  return db ? environ_report(*db) : std::string();
}

std::string no_hits(int census) {
  return "0x20 SoundTables in portal.dat: " + std::to_string(census) +
         "\n\n0 SoundTable(s) carry environ slots (0x76-0x8A).\n(cross-ref: 0 tables carry "
         "ambient slots 0x46-0x4D)\n";
}

TEST(EnvironReportTest, WorkedExample) {
  ArchiveBuilder builder({.block_size = 64, .seed = 3, .fan_out = 2});
  builder.add_file(0x20000004, table({slot(0x80, {0x0A00000F})}));
  builder.add_file(0x20000002, table({slot(0x4D)}));
  std::vector<std::uint8_t> broken = table({slot(0x77, {1})});
  broken.resize(broken.size() - 1);
  builder.add_file(0x20000003, broken);
  builder.add_file(0x20000001, table({slot(0x01), slot(0x46), slot(0x8A),
                                      slot(0x76, {0x0A0004D2, 0x0A000005})}));
  EXPECT_EQ(report_of(builder),
            "0x20 SoundTables in portal.dat: 4\n"
            "0x20000001: 4 total sounds, 2 environ keys: 0x76->0x0A0004D2 0x8A->0x00000000 \n"
            "0x20000004: 1 total sounds, 1 environ keys: 0x80->0x0A00000F \n"
            "\n"
            "2 SoundTable(s) carry environ slots (0x76-0x8A).\n"
            "(cross-ref: 2 tables carry ambient slots 0x46-0x4D)\n");
}

TEST(EnvironReportTest, CensusCountsOnlyTheSoundTableType) {
  ArchiveBuilder builder;
  for (const std::uint32_t id : {0x0A000001U, 0x20000010U, 0x21000000U, 0x20000002U, 0x1FFFFFFFU,
                                 0x20000000U, 0x20FFFFFFU}) {
    builder.add_file(id, table({slot(0x10)}));
  }
  EXPECT_EQ(report_of(builder), no_hits(4));
  EXPECT_EQ(report_of(ArchiveBuilder()), no_hits(0));
}

TEST(EnvironReportTest, RangeBoundaries) {
  const struct {
    std::uint32_t key;
    bool environ;
    bool ambient;
  } cases[] = {{0x45, false, false}, {0x46, false, true},  {0x4D, false, true},
               {0x4E, false, false}, {0x75, false, false}, {0x76, true, false},
               {0x8A, true, false},  {0x8B, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    ArchiveBuilder builder;
    builder.add_file(0x20000007, table({slot(c.key, {0x0A000001})}));
    const std::string report = report_of(builder);
    EXPECT_EQ(report.find("0x20000007: ") != std::string::npos, c.environ);
    EXPECT_NE(report.find(c.environ ? "\n1 SoundTable(s)" : "\n0 SoundTable(s)"),
              std::string::npos);
    EXPECT_NE(report.find(c.ambient ? "(cross-ref: 1 " : "(cross-ref: 0 "), std::string::npos);
  }
}

TEST(EnvironReportTest, LinesAreOrderedAndReportFirstEntriesOnly) {
  ArchiveBuilder builder({.block_size = 32, .seed = 11, .fan_out = 3});
  builder.add_file(0x20000300, table({slot(0x8A, {3}), slot(0x76, {1, 2}), slot(0x20, {9})}));
  builder.add_compressed_file(0x20000100, table({slot(0x80, {0xABCDEF})}));
  builder.add_file(0x20000200, table({slot(0x4E), slot(0x46, {5}), slot(0x47)}));
  EXPECT_EQ(report_of(builder),
            "0x20 SoundTables in portal.dat: 3\n"
            "0x20000100: 1 total sounds, 1 environ keys: 0x80->0x00ABCDEF \n"
            "0x20000300: 3 total sounds, 2 environ keys: 0x76->0x00000001 0x8A->0x00000003 \n"
            "\n"
            "2 SoundTable(s) carry environ slots (0x76-0x8A).\n"
            "(cross-ref: 1 tables carry ambient slots 0x46-0x4D)\n");
}

TEST(EnvironReportTest, UnreadableTablesCountInTheCensusOnly) {
  ArchiveBuilder builder;
  builder.add_file(0x20000001, {});                        // empty: fails to decode
  builder.add_file(0x20000002, {0x01, 0x00, 0x00, 0x20});  // cut inside hash_key
  std::vector<std::uint8_t> cut = table({slot(0x76, {1}), slot(0x46)});
  cut.resize(cut.size() - 4);  // ends inside the last slot's `unknown`
  builder.add_file(0x20000003, cut);
  EXPECT_EQ(report_of(builder), no_hits(3));
}

TEST(EnvironReportTest, RepeatedRunsPrintTheSame) {
  ArchiveBuilder builder({.seed = 5, .fan_out = 2});
  for (std::uint32_t i = 0; i < 200; ++i) {
    builder.add_file(0x20000000 + i * 7919, table({slot(0x70 + i % 40, {i})}));
  }
  const std::string first = report_of(builder);
  EXPECT_EQ(report_of(builder), first);
  EXPECT_NE(first.find("environ keys"), std::string::npos);
}

TEST(WriteEnvironReportTest, HandsTheReportOnInLargePiecesAndStopsWhenRefused) {
  // Enough tables with environ slots for a report several pieces long.
  ArchiveBuilder builder({.block_size = 256, .seed = 9});
  for (std::uint32_t i = 0; i < 3000; ++i) {
    builder.add_file(0x20000000 + i, table({slot(0x76 + i % 21, {0x0A000000 + i})}));
  }
  const TempFile file(builder.build().bytes);
  const auto db = DatDatabase::open(file.path());
  ASSERT_TRUE(db.has_value());

  std::vector<std::string> pieces;
  EXPECT_TRUE(write_environ_report(*db, [&pieces](std::string_view piece) {
    pieces.emplace_back(piece);
    return true;
  }));
  ASSERT_GE(pieces.size(), 3U);
  std::string joined;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    SCOPED_TRACE(i);
    if (i + 1 < pieces.size()) {
      EXPECT_GE(pieces[i].size(), kReportChunk);
    }
    joined += pieces[i];
  }
  EXPECT_EQ(joined, environ_report(*db));
  EXPECT_TRUE(
      joined.ends_with("\n\n3000 SoundTable(s) carry environ slots (0x76-0x8A).\n"
                       "(cross-ref: 0 tables carry ambient slots 0x46-0x4D)\n"));

  int calls = 0;
  EXPECT_FALSE(write_environ_report(*db, [&calls](std::string_view) {
    ++calls;
    return false;
  }));
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace tallowmere_dat
