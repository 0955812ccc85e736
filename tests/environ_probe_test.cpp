// Runs the real probe executable, built to read the archive at PROBE_FIXTURE.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/process.h"
#include "tallowmere_testing/sound_table_writer.h"

namespace {

using tallowmere_testing::ProcessOptions;
using tallowmere_testing::run_process;
using tallowmere_testing::StdoutTarget;

const std::filesystem::path kFixture = PROBE_FIXTURE;

class EnvironProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(kFixture.parent_path());
    std::filesystem::remove(kFixture);
  }
  void TearDown() override { std::filesystem::remove(kFixture); }

  static void install(const std::vector<std::uint8_t>& bytes) {
    ASSERT_TRUE(tallowmere_testing::write_archive(kFixture, bytes));
  }
  static tallowmere_testing::ProcessResult probe(StdoutTarget target = StdoutTarget::kCapture) {
    return run_process({PROBE_EXE, "--ignored", "arguments"},
                       ProcessOptions{.stdout_target = target});
  }
  static std::vector<std::uint8_t> sample_archive() {
    tallowmere_testing::SoundTableLayout table_layout{.id = 1};
    table_layout.sounds.push_back({.key = 0x80, .data = {.entries = {{0x0A00000F, 1, 1, 1}}}});
    tallowmere_testing::ArchiveBuilder builder;
    builder.add_file(0x20000004, tallowmere_testing::encode_sound_table(table_layout));
    return builder.build().bytes;
  }
};

TEST_F(EnvironProbeTest, PrintsTheReportAndExitsZero) {
  install(sample_archive());
  const auto result = probe();
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out,
            "0x20 SoundTables in portal.dat: 1\n"
            "0x20000004: 1 total sounds, 1 environ keys: 0x80->0x0A00000F \n"
            "\n"
            "1 SoundTable(s) carry environ slots (0x76-0x8A).\n"
            "(cross-ref: 0 tables carry ambient slots 0x46-0x4D)\n");
}

TEST_F(EnvironProbeTest, MissingArchiveStopsWithThePathError) {
  const auto result = probe();
  EXPECT_EQ(result.exit_status, 101);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "called `Result::unwrap()` on an `Err` value: PathError { path: \"" +
                            kFixture.string() +
                            "\", source: Os { code: 2, kind: NotFound, message: \"No such file or "
                            "directory\" } }\n");
}

TEST_F(EnvironProbeTest, TruncatedHeaderStopsWithTheFramedError) {
  install(std::vector<std::uint8_t>(330, 0));
  const auto result = probe();
  EXPECT_EQ(result.exit_status, 101);
  EXPECT_EQ(result.out, "");
  const std::string prefix = "called `Result::unwrap()` on an `Err` value: BinRead(\n";
  EXPECT_EQ(result.err.substr(0, prefix.size()), prefix);
  EXPECT_NE(result.err.find("Error: failed to fill whole buffer"), std::string::npos);
  EXPECT_NE(result.err.find("While parsing field 'file_size' in DatHeader"), std::string::npos);
  EXPECT_NE(result.err.find("     at crates/tallowmere-dat/src/lib:178\n"), std::string::npos);
}

TEST_F(EnvironProbeTest, FailedWritesStopWithTheOsError) {
  install(sample_archive());
  const struct {
    StdoutTarget target;
    const char* message;
  } cases[] = {
      {StdoutTarget::kDevFull,
       "failed printing to stdout: No space left on device (os error 28)\n"},
      {StdoutTarget::kClosedPipe, "failed printing to stdout: Broken pipe (os error 32)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const auto result = probe(c.target);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_status, 101);
    EXPECT_EQ(result.err, c.message);
  }
}

}  // namespace
