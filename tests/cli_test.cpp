// Runs the real tallowmere-dat executable (TOOL_EXE) on archives built here, and compares what it
// writes, where, and with which exit status.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tallowmere_dat/dat_database.h"
#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/lrs_codec.h"
#include "tallowmere_testing/process.h"
#include "tallowmere_testing/sound_table_writer.h"
#include "tallowmere_testing/temp_file.h"

namespace {

namespace fs = std::filesystem;
using tallowmere_dat::DatFileEntry;
using tallowmere_dat::file_type::SoundEntry;
using tallowmere_testing::ProcessOptions;
using tallowmere_testing::ProcessResult;
using tallowmere_testing::SoundTableSpec;
using tallowmere_testing::StdoutTarget;
using tallowmere_testing::TempFile;
using Bytes = std::vector<std::uint8_t>;

[[gnu::format(printf, 1, 2)]] std::string format(const char* pattern, ...) {
  std::array<char, 512> text{};
  std::va_list args;
  va_start(args, pattern);
  const int n = std::vsnprintf(text.data(), text.size(), pattern, args);
  va_end(args);
  return {text.data(), static_cast<std::size_t>(std::max(n, 0))};
}

ProcessResult tool(std::vector<std::string> args, StdoutTarget target = StdoutTarget::kCapture) {
  args.insert(args.begin(), TOOL_EXE);
  return tallowmere_testing::run_process(args, ProcessOptions{.stdout_target = target});
}

std::string as_text(const Bytes& bytes) {
  return {bytes.begin(), bytes.end()};
}
Bytes as_bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

Bytes read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// Every regular file under `root`, by path relative to it, with its bytes.
std::map<std::string, Bytes> files_under(const fs::path& root) {
  std::map<std::string, Bytes> files;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (item.is_regular_file()) files[fs::relative(item.path(), root).string()] = read_file(item);
  }
  return files;
}

// A sound table with keys out of order, a repeated slot, an empty slot and entries whose file
// order is not sorted; its stored id differs from its archive identifier.
SoundTableSpec plain_table() {
  return SoundTableSpec{
      .id = 0x12345678,
      .hash_key = -3,
      .hashes = {{.key = 0x9, .data = {0.5F, 0.25F, 1.0F}}, {.key = 0x2, .data = {1, 2, 3}}},
      .sounds = {{.key = 0x80, .data = {.entries = {{0x0A000009, 1, 1, 1}}, .unknown = 0}},
                 {.key = 0x10, .data = {.entries = {}, .unknown = 4}},
                 {.key = 0x80,
                  .data = {.entries = {{0x0A000003, 1, 0.1F, 2}, {0x0A000001, 0.75F, 1e-45F, 0}},
                           .unknown = -1}}}};
}

constexpr float kInf = std::numeric_limits<float>::infinity();
// Floats that JSON and decimal text find hard: sign of zero, the smallest subnormal, the
// largest float, infinities and NaNs with payloads (a quiet one, and a negative signalling one).
const std::vector<std::uint32_t> kHardFloatBits = {
    std::bit_cast<std::uint32_t>(0.1F),
    std::bit_cast<std::uint32_t>(-0.0F),
    0x00000001,
    std::bit_cast<std::uint32_t>(std::numeric_limits<float>::max()),
    std::bit_cast<std::uint32_t>(kInf),
    std::bit_cast<std::uint32_t>(-kInf),
    0x7FC00001,
    0xFFA00000,
    std::bit_cast<std::uint32_t>(16777216.0F),
    std::bit_cast<std::uint32_t>(1.0F / 3.0F),
    std::bit_cast<std::uint32_t>(-2.5e-38F),
    std::bit_cast<std::uint32_t>(123456.79F)};

SoundTableSpec hard_float_table() {
  SoundTableSpec table_spec{.id = 0x20000002};
  std::vector<SoundEntry> entries;
  for (std::size_t i = 0; i + 2 < kHardFloatBits.size(); i += 3) {
    entries.push_back({static_cast<std::uint32_t>(i), std::bit_cast<float>(kHardFloatBits[i]),
                       std::bit_cast<float>(kHardFloatBits[i + 1]),
                       std::bit_cast<float>(kHardFloatBits[i + 2])});
  }
  table_spec.sounds.push_back({.key = 0x77, .data = {.entries = entries}});
  return table_spec;
}

constexpr std::uint32_t kText = 0x01000002;
constexpr std::uint32_t kDamaged = 0x0A000001;  // its chain starts past the end of the archive
constexpr std::uint32_t kPlainTable = 0x20000001;
constexpr std::uint32_t kCompressedTable = 0x20000002;
constexpr std::uint32_t kTruncatedTable = 0x20000003;
constexpr std::uint32_t kBinary = 0x7F000001;

/// An archive laid out by hand, so that every field `info` and `ls` show is known.
struct HandArchive {
  Bytes bytes;
  std::uint32_t root_offset = 0;
  std::vector<DatFileEntry> entries;        // in directory order, not sorted
  std::map<std::uint32_t, Bytes> contents;  // what `cat` gives, for the readable files
};

HandArchive hand_archive() {
  tallowmere_testing::ArchiveImage image(64);
  HandArchive archive;
  auto add = [&](std::uint32_t id, std::uint32_t flags, const Bytes& content, const Bytes& stored,
                 std::uint32_t stamp) {
    const std::uint32_t offset = image.append_chain(stored);
    archive.entries.push_back(
        {flags, id, offset, static_cast<std::uint32_t>(stored.size()), stamp, stamp % 1000});
    archive.contents[id] = content;
  };
  const Bytes binary = {0x00, 0x01, 0xFF, 'a', 0x1B};
  add(kBinary, 0, binary, binary, 1700000005);
  const Bytes hard = tallowmere_testing::encode_sound_table(hard_float_table());
  add(kCompressedTable, 1, hard, tallowmere_testing::lrs_compress(hard), 1700000002);
  const Bytes text = as_bytes("hello, archive\n");
  add(kText, 0, text, text, 1700000000);
  const Bytes plain = tallowmere_testing::encode_sound_table(plain_table());
  add(kPlainTable, 0x100, plain, plain, 1700000001);  // a flag bit other than "compressed"
  Bytes truncated = plain;
  truncated.resize(truncated.size() - 3);
  add(kTruncatedTable, 0, truncated, truncated, 1700000003);
  archive.entries.push_back({0, kDamaged, 0x00F00000, 32, 1700000004, 4});

  image.header().magic = 0x5442;
  image.header().file_size = 12345;
  image.header().dataset = 3;
  image.header().subset = 1;
  image.header().free_head = 0x1000;
  image.header().engine_version = 17;
  image.header().game_version = 42;
  image.header().version_string = {'v', '1', '.', '2', 0, 0x7F};
  image.header().version_minor = 5;
  archive.root_offset = image.append_node({.entries = archive.entries});
  image.header().root_offset = archive.root_offset;
  archive.bytes = std::move(image).release();
  return archive;
}

const DatFileEntry& entry_of(const HandArchive& archive, std::uint32_t id) {
  return *std::ranges::find(archive.entries, id, &DatFileEntry::id);
}

const std::string kIoEof =
    "Io(Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" })";

// --- Command line ------------------------------------------------------------------------------

TEST(CliTest, VersionAndHelpGoToStandardOutput) {
  const struct {
    std::vector<std::string> args;
    std::string expected;  // the whole output for --version, a piece of it for help
  } cases[] = {
      {{"--version"}, "tallowmere-dat 0.1.0\n"},
      {{"--help"}, "Subcommands:\n"},
      {{"info", "--help"}, "Usage: tallowmere-dat info [OPTIONS] ARCHIVE"},
      {{"ls", "--help"}, "Usage: tallowmere-dat ls [OPTIONS] ARCHIVE"},
      {{"cat", "-h"}, "Usage: tallowmere-dat cat [OPTIONS] ARCHIVE ID"},
      {{"extract", "--help"}, "Usage: tallowmere-dat extract [OPTIONS] ARCHIVE DIR"},
      {{"sound-table", "--help"}, "Usage: tallowmere-dat sound-table [OPTIONS] ARCHIVE ID"},
      {{"environ", "--help"}, "Usage: tallowmere-dat environ [OPTIONS] ARCHIVE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front() + " " + c.args.back());
    const auto result = tool(c.args);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    if (c.args.front() == "--version") {
      EXPECT_EQ(result.out, c.expected);
    } else {
      EXPECT_NE(result.out.find(c.expected), std::string::npos) << result.out;
    }
  }
  const std::string help = tool({"--help"}).out;
  for (const char* command : {"info", "ls", "cat", "extract", "sound-table", "environ"}) {
    EXPECT_NE(help.find(std::string("\n  ") + command + " "), std::string::npos) << command;
  }
}

TEST(CliTest, UsageErrorsExitWithTwoAndOneLine) {
  const TempFile archive(hand_archive().bytes);
  const std::string path = archive.path().string();
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"ls"},
      {"ls", path, "extra"},
      {"ls", path, "--bogus"},
      {"ls", path, "--type", "0x100"},
      {"ls", path, "--type", "0xZ"},
      {"extract", path},
      {"cat", path},
      {"cat", path, "xyz"},
      {"cat", path, "0x123456789"},
      {"cat", path, "-1"},
      {"sound-table", path, "0x"},
  };
  for (const auto& args : cases) {
    std::string joined;
    for (const auto& a : args)
      joined += a + " ";
    SCOPED_TRACE(joined);
    const auto result = tool(args);
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.err.starts_with("tallowmere-dat: ")) << result.err;
    EXPECT_TRUE(result.err.ends_with(" (see --help)\n")) << result.err;
    EXPECT_EQ(std::ranges::count(result.err, '\n'), 1) << result.err;
  }
}

TEST(CliTest, EverySubcommandReportsAMissingArchive) {
  const TempFile dir(Bytes{});
  const std::string missing = (dir.dir() / "missing \"quoted\".dat").string();
  const std::string expected =
      "tallowmere-dat: cannot open archive '" + missing + "': PathError { path: \"" +
      (dir.dir() / "missing \\\"quoted\\\".dat").string() +
      "\", source: Os { code: 2, kind: NotFound, message: \"No such file or directory\" } }\n";
  const std::vector<std::vector<std::string>> cases = {
      {"info", missing},     {"ls", missing},
      {"cat", missing, "1"}, {"extract", missing, (dir.dir() / "out").string()},
      {"environ", missing},  {"sound-table", missing, "0x20000001"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.front());
    const auto result = tool(args);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, expected);
  }
  EXPECT_FALSE(fs::exists(dir.dir() / "out"));
}

TEST(CliTest, ADamagedHeaderIsReportedWithTheFramedRendering) {
  const TempFile archive(Bytes(330, 0));
  const auto result = tool({"info", archive.path().string()});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(result.err.starts_with("tallowmere-dat: cannot open archive '" +
                                     archive.path().string() + "': BinRead(\n"))
      << result.err;
  EXPECT_NE(result.err.find("While parsing field 'file_size' in DatHeader"), std::string::npos);
}

// --- info and ls -------------------------------------------------------------------------------

TEST(CliTest, InfoShowsTheHeaderAndTotalsByType) {
  const HandArchive hand = hand_archive();
  const TempFile archive(hand.bytes);
  const auto stored = [&](std::uint32_t id) { return entry_of(hand, id).size; };
  const std::uint32_t tables =
      stored(kPlainTable) + stored(kCompressedTable) + stored(kTruncatedTable);
  const std::uint32_t total = tables + stored(kText) + stored(kBinary) + 32;

  const auto result = tool({"info", archive.path().string()});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(
      result.out,
      "archive         " + archive.path().string() + "\n" +
          "magic           0x00005442\n"
          "block_size      64\n"
          "file_size       12345\n"
          "dataset         3\n"
          "subset          1\n"
          "free_head       0x00001000\n"
          "free_tail       0x00000000\n"
          "free_count      0\n" +
          format("root_offset     0x%08X\n", hand.root_offset) +
          "new_lru         0x00000000\n"
          "old_lru         0x00000000\n"
          "use_lru         0x00000000\n"
          "master_map_id   0x00000000\n"
          "engine_version  17\n"
          "game_version    42\n"
          "version_string  76 31 2E 32 00 7F 00 00 00 00 00 00 00 00 00 00 |v1.2............|\n"
          "version_minor   5\n"
          "entries         6\n"
          "compressed      1\n" +
          format("stored_bytes    %u\n", total) +
          "\n"
          "type       files  compressed    stored bytes\n" +
          format("0x01           1           0  %14u\n", stored(kText)) +
          "0x0A           1           0              32\n" +
          format("0x20           3           1  %14u\n", tables) +
          format("0x7F           1           0  %14u\n", stored(kBinary)));
}

TEST(CliTest, LsListsIdentifiersInAscendingOrder) {
  const HandArchive hand = hand_archive();
  const TempFile archive(hand.bytes);
  const std::string path = archive.path().string();
  const struct {
    std::vector<std::string> args;
    std::string expected;
  } cases[] = {
      {{"ls", path}, "0x01000002\n0x0A000001\n0x20000001\n0x20000002\n0x20000003\n0x7F000001\n"},
      {{"ls", path, "--type", "0x20"}, "0x20000001\n0x20000002\n0x20000003\n"},
      {{"ls", "--type", "7f", path}, "0x7F000001\n"},
      {{"ls", path, "--type", "0x21"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    const auto result = tool(c.args);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, c.expected);
  }
}

TEST(CliTest, LsLongShowsEveryField) {
  const HandArchive hand = hand_archive();
  const TempFile archive(hand.bytes);
  const auto result = tool({"ls", "-l", archive.path().string(), "--type", "0x20"});
  EXPECT_EQ(result.exit_status, 0);
  std::string expected =
      "identifier        size  flags       compressed  offset       timestamp     version\n";
  for (const std::uint32_t id : {kPlainTable, kCompressedTable, kTruncatedTable}) {
    const DatFileEntry& e = entry_of(hand, id);
    expected += format("0x%08X  %10u  0x%08X  %-10s  0x%08X  %10u  %10u\n", id, e.size, e.bit_flags,
                       id == kCompressedTable ? "yes" : "no", e.offset, e.timestamp, e.version);
  }
  EXPECT_EQ(result.out, expected);
  // The flag bit 0x100 alone does not make the entry compressed.
  EXPECT_NE(result.out.find("0x00000100  no "), std::string::npos);
}

TEST(CliTest, LsJsonHoldsEveryFieldOfEveryEntry) {
  const HandArchive hand = hand_archive();
  const TempFile archive(hand.bytes);
  const auto result = tool({"ls", "--json", archive.path().string()});
  ASSERT_EQ(result.exit_status, 0);
  const auto json = nlohmann::json::parse(result.out);
  ASSERT_TRUE(json.is_array());
  ASSERT_EQ(json.size(), hand.entries.size());
  std::uint32_t previous = 0;
  for (const auto& item : json) {
    const auto id =
        static_cast<std::uint32_t>(std::stoul(item.at("id").get<std::string>(), nullptr, 16));
    SCOPED_TRACE(item.dump());
    EXPECT_GT(id, previous);
    previous = id;
    const DatFileEntry& e = entry_of(hand, id);
    EXPECT_EQ(item.at("id"), format("0x%08X", id));
    EXPECT_EQ(item.at("type"), format("0x%02X", id >> 24U));
    EXPECT_EQ(item.at("size"), e.size);
    EXPECT_EQ(item.at("flags"), e.bit_flags);
    EXPECT_EQ(item.at("compressed"), e.is_compressed());
    EXPECT_EQ(item.at("offset"), e.offset);
    EXPECT_EQ(item.at("timestamp"), e.timestamp);
    EXPECT_EQ(item.at("version"), e.version);
  }
  EXPECT_EQ(tool({"ls", "--json", "--type", "0x33", archive.path().string()}).out, "[]\n");
}

// --- cat ---------------------------------------------------------------------------------------

TEST(CliTest, CatWritesTheDecompressedBytes) {
  const HandArchive hand = hand_archive();
  const TempFile archive(hand.bytes);
  for (const std::uint32_t id : {kText, kBinary, kPlainTable, kCompressedTable, kTruncatedTable}) {
    SCOPED_TRACE(format("0x%08X", id));
    // Without the 0x prefix too; the output is no terminal, so binary needs no --force.
    const auto result = tool({"cat", archive.path().string(), format("%x", id)});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, as_text(hand.contents.at(id)));
  }
}

TEST(CliTest, CatReportsUnknownAndDamagedFiles) {
  const TempFile archive(hand_archive().bytes);
  const struct {
    const char* id;
    std::string message;
  } cases[] = {
      {"0xBEEF", "tallowmere-dat: cat: 0x0000BEEF: NotFound(48879)\n"},
      {"0x0A000001", "tallowmere-dat: cat: 0x0A000001: " + kIoEof + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    const auto result = tool({"cat", archive.path().string(), c.id});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.message);
  }
}

// --- sound-table -------------------------------------------------------------------------------

TEST(CliTest, SoundTableTextSortsKeysAndKeepsEntryOrder) {
  const TempFile archive(hand_archive().bytes);
  const auto result = tool({"sound-table", archive.path().string(), "0x20000001"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out,
            "sound table 0x20000001: id 0x12345678, hash_key -3\n"
            "hashes: 2\n"
            "  0x2: priority 1, probability 2, volume 3\n"
            "  0x9: priority 0.5, probability 0.25, volume 1\n"
            "sounds: 2\n"
            "  0x10: 0 entries, unknown 4\n"
            "  0x80: 2 entries, unknown -1\n"
            "    wave_did 0x0A000003: priority 1, probability 0.1, volume 2\n"
            "    wave_did 0x0A000001: priority 0.75, probability 1e-45, volume 0\n");
}

/// The bits of a float as the JSON output gives it.
std::uint32_t float_bits(const nlohmann::json& value) {
  if (value.is_number())
    return std::bit_cast<std::uint32_t>(static_cast<float>(value.get<double>()));
  const std::string text = value.get<std::string>();
  if (text == "inf") return std::bit_cast<std::uint32_t>(kInf);
  if (text == "-inf") return std::bit_cast<std::uint32_t>(-kInf);
  EXPECT_TRUE(text.starts_with("nan:0x")) << text;
  return static_cast<std::uint32_t>(std::stoul(text.substr(6), nullptr, 16));
}

TEST(CliTest, SoundTableJsonKeepsEveryFloatsBits) {
  const TempFile archive(hand_archive().bytes);
  const auto result = tool({"sound-table", "--json", archive.path().string(), "20000002"});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  const auto json = nlohmann::json::parse(result.out);
  EXPECT_EQ(json.at("archive_id"), "0x20000002");
  EXPECT_EQ(json.at("id"), "0x20000002");
  EXPECT_EQ(json.at("hash_key"), 0);
  EXPECT_EQ(json.at("hashes"), nlohmann::json::array());
  ASSERT_EQ(json.at("sounds").size(), 1U);
  const auto& slot = json.at("sounds")[0];
  EXPECT_EQ(slot.at("key"), "0x77");
  EXPECT_EQ(slot.at("unknown"), 0);
  const auto& entries = slot.at("entries");
  ASSERT_EQ(entries.size(), kHardFloatBits.size() / 3);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].at("wave_did"), format("0x%08zX", 3 * i));
    const char* fields[] = {"priority", "probability", "volume"};
    for (std::size_t f = 0; f < 3; ++f) {
      SCOPED_TRACE(entries[i].at(fields[f]).dump());
      EXPECT_EQ(float_bits(entries[i].at(fields[f])), kHardFloatBits[3 * i + f]);
    }
  }
  // Shortest forms, not the double expansion of the float.
  EXPECT_NE(result.out.find("\"priority\": 0.1,"), std::string::npos);
  EXPECT_NE(result.out.find("\"priority\": \"nan:0x7FC00001\""), std::string::npos);
}

TEST(CliTest, SoundTableReportsWhatCannotBeDecoded) {
  const TempFile archive(hand_archive().bytes);
  const struct {
    const char* id;
    std::string message;
  } cases[] = {
      {"0x20000003",
       "tallowmere-dat: sound-table: 0x20000003: not a complete sound table: failed to fill "
       "whole buffer\n"},
      {"0x20000009", "tallowmere-dat: sound-table: 0x20000009: NotFound(536870921)\n"},
      {"0x0A000001", "tallowmere-dat: sound-table: 0x0A000001: " + kIoEof + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    for (const bool json : {false, true}) {
      std::vector<std::string> args = {"sound-table", archive.path().string(), c.id};
      if (json) args.emplace_back("--json");
      const auto result = tool(args);
      EXPECT_EQ(result.exit_status, 1);
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(result.err, c.message);
    }
  }
}

// --- environ -----------------------------------------------------------------------------------

#ifdef PROBE_EXE
TEST(CliTest, EnvironPrintsExactlyWhatTheProbePrints) {
  const fs::path fixture = PROBE_FIXTURE;
  fs::create_directories(fixture.parent_path());

  tallowmere_testing::ArchiveBuilder several({.block_size = 128, .seed = 3, .fan_out = 2});
  for (std::uint32_t i = 0; i < 40; ++i) {
    SoundTableSpec table_spec{.id = i};
    table_spec.sounds.push_back(
        {.key = 0x40 + i * 3, .data = {.entries = {{0x0A000000 + i, 1, 1, 1}}}});
    several.add_file(0x20000000 + i * 0x1111, tallowmere_testing::encode_sound_table(table_spec));
  }
  const std::vector<std::pair<const char*, Bytes>> archives = {
      {"hand-made, with damaged and compressed files", hand_archive().bytes},
      {"empty", tallowmere_testing::ArchiveBuilder().build().bytes},
      {"deep directory, many tables", several.build().bytes},
  };
  for (const auto& [name, bytes] : archives) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(tallowmere_testing::write_archive(fixture, bytes));
    const auto probe = tallowmere_testing::run_process({PROBE_EXE});
    const auto result = tool({"environ", fixture.string()});
    ASSERT_EQ(probe.exit_status, 0) << probe.err;
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, probe.out);
  }
  fs::remove(fixture);
}
#endif

// --- extract -----------------------------------------------------------------------------------

/// The paths, relative to the extraction directory, that the hand archive's readable files
/// extract to, with their contents.
std::map<std::string, Bytes> expected_extraction(const HandArchive& hand,
                                                 std::optional<std::uint32_t> type = {}) {
  std::map<std::string, Bytes> files;
  for (const auto& [id, content] : hand.contents) {
    if (type && id >> 24U != *type) continue;
    files[format("0x%02X/0x%08X.bin", id >> 24U, id)] = content;
  }
  return files;
}

TEST(CliTest, ExtractWritesEveryReadableFileAndListsTheFailures) {
  const HandArchive hand = hand_archive();
  const TempFile archive(hand.bytes);
  const fs::path out = archive.dir() / "out" / "nested";
  std::uint64_t total = 0;
  for (const auto& [path, content] : expected_extraction(hand))
    total += content.size();

  // The second run extracts over the first one's files.
  for (const char* run : {"first run", "second run"}) {
    SCOPED_TRACE(run);
    const auto result = tool({"extract", archive.path().string(), out.string()});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "tallowmere-dat: extract: 0x0A000001: " + kIoEof + "\n");
    EXPECT_EQ(result.out, format("extracted 5 of 6 files (%llu bytes) into %s; 1 failed\n",
                                 static_cast<unsigned long long>(total), out.c_str()));
    EXPECT_EQ(files_under(out), expected_extraction(hand));
  }
}

TEST(CliTest, ExtractFiltersByType) {
  const HandArchive hand = hand_archive();
  const TempFile archive(hand.bytes);
  const fs::path out = archive.dir() / "tables";
  const auto result = tool({"extract", archive.path().string(), out.string(), "--type", "20"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(result.out.starts_with("extracted 3 of 3 files (")) << result.out;
  EXPECT_EQ(files_under(out), expected_extraction(hand, 0x20));
}

TEST(CliTest, ExtractLeavesNoPartialFileWhenAWriteFails) {
  const HandArchive hand = hand_archive();
  const TempFile archive(hand.bytes);
  const fs::path out = archive.dir() / "out";
  // A directory where one file must go (the rename fails after the data is written), and a
  // file where a type's directory must go.
  fs::create_directories(out / "0x20" / "0x20000001.bin" / "occupied");
  std::ofstream(out / "0x7F") << "in the way";

  const auto result = tool({"extract", archive.path().string(), out.string()});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_TRUE(result.out.ends_with("; 3 failed\n")) << result.out;
  const std::string prefix = "tallowmere-dat: extract: ";
  std::vector<std::string> lines;
  for (std::size_t start = 0, end = 0; (end = result.err.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(result.err.substr(start, end - start));
  }
  ASSERT_EQ(lines.size(), 3U) << result.err;
  EXPECT_EQ(lines[0], prefix + "0x0A000001: " + kIoEof);
  EXPECT_TRUE(lines[1].starts_with(prefix + "0x20000001: cannot rename '")) << lines[1];
  EXPECT_NE(lines[1].find("kind: IsADirectory"), std::string::npos) << lines[1];
  EXPECT_TRUE(lines[2].starts_with(prefix + "0x7F000001: cannot create directory '")) << lines[2];

  auto expected = expected_extraction(hand);
  expected.erase("0x20/0x20000001.bin");
  expected.erase("0x7F/0x7F000001.bin");
  expected["0x7F"] = as_bytes("in the way");
  EXPECT_EQ(files_under(out), expected);  // no temporary file left anywhere
  EXPECT_TRUE(fs::is_empty(out / "0x20" / "0x20000001.bin" / "occupied"));
}

// --- failed writes -----------------------------------------------------------------------------

TEST(CliTest, AFailedWriteToStandardOutputIsReported) {
  const TempFile archive(hand_archive().bytes);
  const std::string path = archive.path().string();
  const std::vector<std::vector<std::string>> commands = {
      {"info", path},
      {"ls", path},
      {"ls", "-l", path},
      {"ls", "--json", path},
      {"cat", path, "0x01000002"},
      {"sound-table", path, "0x20000001"},
      {"sound-table", "--json", path, "0x20000001"},
      {"environ", path},
      {"extract", path, (archive.dir() / "out").string(), "--type", "0x20"},
      {"--help"},
      {"--version"},
  };
  const struct {
    StdoutTarget target;
    std::string message;
  } targets[] = {
      {StdoutTarget::kDevFull,
       "tallowmere-dat: failed writing to stdout: No space left on device (os error 28)\n"},
      {StdoutTarget::kClosedPipe,
       "tallowmere-dat: failed writing to stdout: Broken pipe (os error 32)\n"},
  };
  for (const auto& target : targets) {
    for (const auto& args : commands) {
      SCOPED_TRACE(args.front() + " " + args[1 % args.size()] + " -> " + target.message);
      const auto result = tool(args, target.target);
      EXPECT_EQ(result.signal, 0);
      EXPECT_EQ(result.exit_status, 1);
      EXPECT_EQ(result.err, target.message);
    }
  }
}

// --- on a terminal -----------------------------------------------------------------------------

/// Runs the tool with standard output and standard error on a new pseudo-terminal and returns
/// the exit status and everything the terminal received.
std::pair<int, std::string> run_on_terminal(std::vector<std::string> args) {
  args.insert(args.begin(), TOOL_EXE);
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) std::abort();
  const std::string terminal = ::ptsname(master);
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (auto& arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    ::setsid();
    const int tty = ::open(terminal.c_str(), O_RDWR);  // NOLINT(cppcoreguidelines-pro-type-vararg)
    if (tty < 0) _exit(126);
    ::dup2(tty, STDOUT_FILENO);
    ::dup2(tty, STDERR_FILENO);
    ::execv(argv[0], argv.data());
    _exit(127);
  }
  // Read until the terminal's last writer is gone (EIO), so the child never blocks on it.
  std::string seen;
  std::array<char, 4096> buffer{};
  for (;;) {
    const ssize_t n = ::read(master, buffer.data(), buffer.size());
    if (n > 0) {
      seen.append(buffer.data(), static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(master);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, seen};
}

TEST(CliTest, CatRefusesBinaryOnATerminalUnlessForced) {
  const TempFile archive(hand_archive().bytes);
  const std::string path = archive.path().string();

  const auto [refused, refusal] = run_on_terminal({"cat", path, "0x7F000001"});
  EXPECT_EQ(refused, 1);
  EXPECT_EQ(refusal,
            "tallowmere-dat: cat: 0x7F000001: refusing to write binary data to a terminal "
            "(redirect it, or use --force)\r\n");

  const auto [forced, bytes] = run_on_terminal({"cat", "--force", path, "0x7F000001"});
  EXPECT_EQ(forced, 0);
  EXPECT_EQ(bytes, std::string("\x00\x01\xFF"
                               "a\x1B",
                               5));

  const auto [text_status, text] = run_on_terminal({"cat", path, "0x01000002"});
  EXPECT_EQ(text_status, 0);
  EXPECT_EQ(text, "hello, archive\r\n");  // the terminal turns \n into \r\n
}

TEST(CliTest, ExtractDrawsAProgressBarOnlyOnATerminal) {
  const TempFile archive(hand_archive().bytes);
  const std::string path = archive.path().string();
  const std::string out = (archive.dir() / "out").string();

  const auto [status, seen] = run_on_terminal({"extract", path, out, "--type", "0x20"});
  EXPECT_EQ(status, 0);
  EXPECT_NE(seen.find("\r[..............................] 0/3"), std::string::npos) << seen;
  EXPECT_NE(seen.find("\r[##############################] 3/3"), std::string::npos) << seen;
  // The bar is erased before the summary.
  EXPECT_NE(seen.find("3/3\r\x1b[Kextracted 3 of 3 files"), std::string::npos) << seen;

  const auto piped = tool({"extract", path, out, "--type", "0x20"});
  EXPECT_EQ(piped.exit_status, 0);
  EXPECT_EQ(piped.err, "");
}

}  // namespace
