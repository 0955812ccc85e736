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
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/version.h"
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
using tallowmere_testing::SoundTableLayout;
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
SoundTableLayout plain_table() {
  return SoundTableLayout{
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

SoundTableLayout hard_float_table() {
  SoundTableLayout table_layout{.id = 0x20000002};
  std::vector<SoundEntry> entries;
  for (std::size_t i = 0; i + 2 < kHardFloatBits.size(); i += 3) {
    entries.push_back({static_cast<std::uint32_t>(i), std::bit_cast<float>(kHardFloatBits[i]),
                       std::bit_cast<float>(kHardFloatBits[i + 1]),
                       std::bit_cast<float>(kHardFloatBits[i + 2])});
  }
  table_layout.sounds.push_back({.key = 0x77, .data = {.entries = entries}});
  return table_layout;
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

// What the library says of kDamaged's chain.
const std::string kIoEof =
    "reading its 32 stored bytes from offset 0x00F00000: archive cut short: failed to fill whole "
    "buffer";

// --- Command line ------------------------------------------------------------------------------

TEST(CliTest, VersionAndHelpGoToStandardOutput) {
  const struct {
    std::vector<std::string> args;
    std::string expected;  // the whole output for --version, a piece of it for help
  } cases[] = {
      {{"--version"}, "tallowmere-dat " TALLOWMERE_DAT_VERSION_STRING "\n"},
      {{"--help"}, "Subcommands:\n"},
      {{"info", "--help"}, "Usage: tallowmere-dat info [OPTIONS] ARCHIVE"},
      {{"ls", "--help"}, "Usage: tallowmere-dat ls [OPTIONS] ARCHIVE"},
      {{"cat", "--help"}, "Usage: tallowmere-dat cat [OPTIONS] ARCHIVE [SEL...]"},
      {{"extract", "--help"}, "Usage: tallowmere-dat extract [OPTIONS] ARCHIVE [SEL...]"},
      {{"sound-table", "--help"}, "Usage: tallowmere-dat sound-table [OPTIONS] ARCHIVE [SEL...]"},
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
      {"extract", path, "-C", "out", "0x3-0x1"},
      {"extract", path, "out"},
      {"ls", path, "--type", "0x06", "0x20000000,,0x20000001"},
      {"ls", "-lh"},
      {"cat", path},
      {"cat", path, "xyz"},
      {"cat", path, "0x123456789"},
      {"cat", path, "1-2-3"},
      {"cat", path, "-"},
      {"sound-table", path},
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
    EXPECT_EQ(result.err.find('\x1b'), std::string::npos) << result.err;
  }
  const struct {
    std::vector<std::string> args;
    std::string message;
  } exact[] = {
      {{"lss", path},
       "unknown subcommand 'lss'; did you mean 'ls'?: usage: tallowmere-dat [OPTIONS] SUBCOMMAND"},
      {{"ls"}, "ls: missing ARCHIVE: usage: tallowmere-dat ls [OPTIONS] ARCHIVE [SEL...]"},
      {{"info", path, "x"},
       "info: unexpected argument: x: usage: tallowmere-dat info [OPTIONS] ARCHIVE"},
      {{"ls", path, "0x30-0x20"},
       "ls: SEL: '0x30-0x20' is a reversed range: 0x00000030 is above 0x00000020: usage: "
       "tallowmere-dat ls [OPTIONS] ARCHIVE [SEL...]"},
  };
  for (const auto& c : exact) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(tool(c.args).err, "tallowmere-dat: " + c.message + " (see --help)\n");
  }
}

TEST(CliTest, EverySubcommandReportsAMissingArchive) {
  const TempFile dir(Bytes{});
  const std::string missing = (dir.dir() / "missing \"quoted\".dat").string();
  const std::string expected = ": cannot open '" + missing + "': No such file or directory\n";
  const std::vector<std::vector<std::string>> cases = {
      {"info", missing},
      {"ls", missing},
      {"cat", missing, "1"},
      {"extract", missing, "-C", (dir.dir() / "out").string()},
      {"environ", missing},
      {"sound-table", missing, "0x20000001"},
      {"check", missing},
      {"explain", missing},
      {"map", missing, "-o", (dir.dir() / "out").string()},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.front());
    const auto result = tool(args);
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "tallowmere-dat: " + args.front() + expected);
  }
  EXPECT_FALSE(fs::exists(dir.dir() / "out"));
}

TEST(CliTest, WhatIsNoArchiveIsReportedOnOneLine) {
  const TempFile cut(Bytes(330, 0));
  const struct {
    std::string path;
    std::string message;
  } cases[] = {
      {cut.path().string(),
       "archive header cut short: failed to fill whole buffer while reading field 'file_size'"},
      {"/dev/null",
       "archive header cut short: failed to fill whole buffer while reading field 'magic'"},
      {cut.dir().string(),
       "cannot read archive header: Is a directory while reading field 'magic'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const auto result = tool({"ls", c.path});
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "tallowmere-dat: ls: " + c.path + ": " + c.message + "\n");
  }
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
      {{"ls", path, "0x20000002-"}, "0x20000002\n0x20000003\n0x7F000001\n"},
      {{"ls", path, "-0x0A000001,0x7F000001"}, "0x01000002\n0x0A000001\n0x7F000001\n"},
      {{"ls", path, "0x01000000-0x20000002", "--type", "0x20,0x7F", "--type", "1"},
       "0x01000002\n0x20000001\n0x20000002\n"},
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
      "identifier        size  flags       compressed  offset      time                     "
      "version\n";
  std::uint32_t total = 0;
  for (const std::uint32_t id : {kPlainTable, kCompressedTable, kTruncatedTable}) {
    const DatFileEntry& e = entry_of(hand, id);
    total += e.size;
    expected += format("0x%08X  %10u  0x%08X  %-10s  0x%08X  2023-11-14T22:13:2%uZ  %10u\n", id,
                       e.size, e.bit_flags, id == kCompressedTable ? "yes" : "no", e.offset,
                       e.timestamp % 10, e.version);
  }
  expected += format("total 3 files, %u bytes stored\n", total);
  EXPECT_EQ(result.out, expected);
  // The flag bit 0x100 alone does not make the entry compressed.
  EXPECT_NE(result.out.find("0x00000100  no "), std::string::npos);
}

TEST(CliTest, LsJsonHoldsEveryFieldOfEveryEntry) {
  const HandArchive hand = hand_archive();
  const TempFile archive(hand.bytes);
  const auto result = tool({"ls", "--json", archive.path().string()});
  ASSERT_EQ(result.exit_status, 0);
  const auto document = nlohmann::json::parse(result.out);
  EXPECT_EQ(document.at("archive"), archive.path().string());
  const auto& json = document.at("entries");
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
    EXPECT_EQ(item.at("bit_flags"), format("0x%08X", e.bit_flags));
    EXPECT_EQ(item.at("compressed"), e.is_compressed());
    EXPECT_EQ(item.at("offset"), format("0x%08X", e.offset));
    EXPECT_EQ(item.at("timestamp"), e.timestamp);
    EXPECT_EQ(item.at("time"), format("2023-11-14T22:13:2%uZ", e.timestamp % 10));
    EXPECT_EQ(item.at("version"), e.version);
  }
  EXPECT_EQ(
      nlohmann::json::parse(tool({"ls", "--json", "--type", "0x33", archive.path().string()}).out)
          .at("entries"),
      nlohmann::json::array());
  // Streamed, one line per entry, each naming its archive.
  const auto lines = tool({"ls", "--json-lines", archive.path().string(), "0x7F000001,0x01000002"});
  EXPECT_EQ(lines.exit_status, 0);
  std::istringstream stream(lines.out);
  std::vector<std::string> ids;
  for (std::string line; std::getline(stream, line);) {
    const auto item = nlohmann::json::parse(line);
    EXPECT_EQ(item.at("archive"), archive.path().string());
    ids.push_back(item.at("id").get<std::string>());
  }
  EXPECT_EQ(ids, (std::vector<std::string>{"0x01000002", "0x7F000001"}));
}

TEST(CliTest, LsSortsReversesAndShowsHumanAndDecompressedSizes) {
  tallowmere_testing::ArchiveBuilder builder;
  builder.add_file(0x06000001, Bytes(1536, 'a'));
  builder.add_compressed_file(0x06000002, Bytes(std::size_t{3} * 1024 * 1024, 'b'));
  builder.add_file(0x06000003, Bytes(10, 'c'));
  const TempFile archive(builder.build().bytes);
  const std::string path = archive.path().string();
  const auto column = [](const std::string& out, std::size_t from, std::size_t width) {
    std::string rows;
    for (std::size_t start = 0, end = 0; (end = out.find('\n', start)) != std::string::npos;
         start = end + 1) {
      rows += out.substr(start, end - start).substr(from, width) + "|";
    }
    return rows;
  };
  const struct {
    std::vector<std::string> options;
    std::string listing;
  } cases[] = {
      {{"-S"}, "0x06000002\n0x06000001\n0x06000003\n"},
      {{"-S", "--decompressed"}, ""},
      {{"-r"}, "0x06000003\n0x06000002\n0x06000001\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"ls", path};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const auto result = tool(args);
    EXPECT_EQ(result.exit_status, 0);
    if (!c.listing.empty()) {
      EXPECT_EQ(result.out, c.listing);
      continue;
    }
    // Decompressed sizes come from the prefixes; -S then sorts by them.
    EXPECT_EQ(column(result.out, 0, 10), "identifier|0x06000002|0x06000001|0x06000003|total 3 fi|");
    EXPECT_EQ(column(result.out, 24, 12),
              "decompressed|     3145728|        1536|          10|tes stored, |");
  }
  const auto human = tool({"ls", "-lh", "--decompressed", path});
  EXPECT_EQ(column(human.out, 12, 24),
            "      size  decompressed|      1.5K          1.5K|      385K          3.0M|"
            "        10            10|s, 386K bytes stored, 3.|");
  EXPECT_TRUE(human.out.ends_with(", 3.1M decompressed\n")) << human.out;
}

TEST(CliTest, InfoAndEnvironJsonHoldWhatTheTextSays) {
  const HandArchive hand = hand_archive();
  const TempFile archive(hand.bytes);
  const auto info = nlohmann::json::parse(tool({"info", "--json", archive.path().string()}).out);
  EXPECT_EQ(info.at("archive"), archive.path().string());
  EXPECT_EQ(info.at("header").at("magic"), "0x00005442");
  EXPECT_EQ(info.at("header").at("root_offset"), format("0x%08X", hand.root_offset));
  EXPECT_EQ(info.at("header").at("game_version"), 42);
  EXPECT_EQ(info.at("header").at("version_string"), "0x76312E32007F00000000000000000000");
  EXPECT_EQ(info.at("totals").at("files"), 6);
  EXPECT_EQ(info.at("totals").at("compressed_files"), 1);
  ASSERT_EQ(info.at("by_type").size(), 4U);
  EXPECT_EQ(info.at("by_type")[2].at("type"), "0x20");
  EXPECT_EQ(info.at("by_type")[2].at("files"), 3);

  const auto environ =
      nlohmann::json::parse(tool({"environ", "--json", archive.path().string()}).out);
  EXPECT_EQ(environ.at("archive"), archive.path().string());
  EXPECT_EQ(environ.at("sound_tables"), 3);
  EXPECT_EQ(environ.at("environ_tables"), 2);
  EXPECT_EQ(environ.at("ambient_tables"), 0);
  ASSERT_EQ(environ.at("tables").size(), 2U);
  EXPECT_EQ(environ.at("tables")[0],
            nlohmann::json::parse(R"({"id":"0x20000001","sound_slots":2,"environ_slots":[)"
                                  R"({"key":"0x00000080","wave_did":"0x0A000003"}]})"));
  EXPECT_EQ(environ.at("tables")[1].at("environ_slots")[0].at("key"), "0x00000077");
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
      {"0xBEEF", "tallowmere-dat: cat: 0x0000BEEF: file 0x0000BEEF not found\n"},
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
  EXPECT_EQ(std::ranges::count(result.out, '\n'), 1);
  EXPECT_EQ(json.at("archive"), archive.path().string());
  EXPECT_EQ(json.at("id"), "0x20000002");
  EXPECT_EQ(json.at("stored_id"), "0x20000002");
  EXPECT_EQ(json.at("hash_key"), 0);
  EXPECT_EQ(json.at("hashes"), nlohmann::json::array());
  ASSERT_EQ(json.at("sounds").size(), 1U);
  const auto& slot = json.at("sounds")[0];
  EXPECT_EQ(slot.at("key"), "0x00000077");
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
  EXPECT_NE(result.out.find("\"priority\":0.1,"), std::string::npos);
  EXPECT_NE(result.out.find("\"priority\":\"nan:0x7FC00001\""), std::string::npos);
}

TEST(CliTest, SoundTableReportsWhatCannotBeDecoded) {
  const TempFile archive(hand_archive().bytes);
  const struct {
    const char* id;
    std::string message;
  } cases[] = {
      {"0x20000003",
       "tallowmere-dat: sound-table: 0x20000003: not a complete sound table: data cut short: "
       "failed to fill "
       "whole buffer\n"},
      {"0x20000009", "tallowmere-dat: sound-table: 0x20000009: file 0x20000009 not found\n"},
      {"0x0A000001", "tallowmere-dat: sound-table: 0x0A000001 is not a sound table (type 0x0A)\n"},
      {"0x7F000001", "tallowmere-dat: sound-table: 0x7F000001 is not a sound table (type 0x7F)\n"},
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
    SoundTableLayout table_layout{.id = i};
    table_layout.sounds.push_back(
        {.key = 0x40 + i * 3, .data = {.entries = {{0x0A000000 + i, 1, 1, 1}}}});
    several.add_file(0x20000000 + i * 0x1111, tallowmere_testing::encode_sound_table(table_layout));
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

/// The id of a process that has ended: nothing owns a temporary file named after it.
pid_t gone_process() {
  const pid_t pid = ::fork();
  if (pid == 0) _exit(0);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return pid;
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
    const auto result = tool({"extract", archive.path().string(), "-C", out.string()});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "tallowmere-dat: extract: 0x0A000001: " + kIoEof + "\n");
    EXPECT_EQ(result.out, format("extracted 5 of 6 files (%llu bytes) into %s; 1 failed\n",
                                 static_cast<unsigned long long>(total), out.c_str()));
    EXPECT_EQ(files_under(out), expected_extraction(hand));
  }
  for (const auto& [id, content] : hand.contents) {
    const fs::path file = out / format("0x%02X/0x%08X.bin", id >> 24U, id);
    const auto since_epoch = fs::last_write_time(file) - fs::file_time_type::clock::now() +
                             std::chrono::system_clock::now().time_since_epoch();
    EXPECT_NEAR(std::chrono::duration<double>(since_epoch).count(), entry_of(hand, id).timestamp,
                1.0)
        << file;
  }
}

TEST(CliTest, ExtractTakesIdentifiersRangesAndTypes) {
  const HandArchive hand = hand_archive();
  const TempFile archive(hand.bytes);
  const struct {
    std::vector<std::string> selection;
    std::vector<std::uint32_t> ids;
  } cases[] = {
      {{"--type", "20"}, {kPlainTable, kCompressedTable, kTruncatedTable}},
      {{"--type", "0x7f", "--type", "0x01"}, {kText, kBinary}},
      {{"0x7F000001", "1000002"}, {kText, kBinary}},
      {{"0x01000000-0x20000002", "--type", "1,0x20"}, {kText, kPlainTable, kCompressedTable}},
      {{"0x20000002-,-0x01000002"}, {kText, kCompressedTable, kTruncatedTable, kBinary}},
  };
  for (const auto& c : cases) {
    const std::string name = "out-" + std::to_string(&c - cases);
    SCOPED_TRACE(name);
    const fs::path out = archive.dir() / name;
    std::vector<std::string> args = {"extract", archive.path().string(), "--directory",
                                     out.string()};
    args.insert(args.end(), c.selection.begin(), c.selection.end());
    const auto result = tool(args);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(
        result.out.starts_with(format("extracted %zu of %zu files (", c.ids.size(), c.ids.size())))
        << result.out;
    std::map<std::string, Bytes> expected;
    for (const std::uint32_t id : c.ids)
      expected[format("0x%02X/0x%08X.bin", id >> 24U, id)] = hand.contents.at(id);
    EXPECT_EQ(files_under(out), expected);
  }
}

TEST(CliTest, ExtractDefaultsKeepsAndCleansUp) {
  const HandArchive hand = hand_archive();
  const TempFile archive(hand.bytes);
  const ProcessOptions here{.working_directory = archive.dir().string()};
  const fs::path out = archive.dir() / archive.path().stem();
  // A file to keep, and what an extract killed by SIGKILL leaves behind.
  fs::create_directories(out / "0x01");
  std::ofstream(out / "0x01" / "0x01000002.bin") << "kept";
  // Temporaries: one whose process is gone, one of a live process, one not of a file of ours.
  std::ofstream(out / "0x01" / format(".0x01000002.bin.tmp-%d-a1B2c3", gone_process())) << "stale";
  const std::string live = format(".0x01000002.bin.tmp-%d-a1B2c3", ::getpid());
  std::ofstream(out / "0x01" / live) << "live";
  std::ofstream(out / "0x01" / ".notes.tmp-1-a1B2c3") << "not ours";

  // Without -C, DIR is the archive's name here; -q leaves only errors.
  const auto result =
      tallowmere_testing::run_process({TOOL_EXE, "extract", "-kq", archive.path().string(),
                                       "0x01000002", "0x20000001", "0x33333333"},
                                      here);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "tallowmere-dat: extract: 0x33333333: file 0x33333333 not found\n");
  EXPECT_EQ(files_under(out),
            (std::map<std::string, Bytes>{{"0x01/0x01000002.bin", as_bytes("kept")},
                                          {"0x01/" + live, as_bytes("live")},
                                          {"0x01/.notes.tmp-1-a1B2c3", as_bytes("not ours")},
                                          {"0x20/0x20000001.bin", hand.contents.at(kPlainTable)}}));
}

TEST(CliTest, ExtractStopsAtTheFirstDestinationThatCannotBeWritten) {
  const HandArchive hand = hand_archive();
  const TempFile archive(hand.bytes);
  const fs::path out = archive.dir() / "out";
  // A directory where one file must go: the rename fails after the data is written.
  fs::create_directories(out / "0x20" / "0x20000001.bin" / "occupied");

  // One type, so one writer: its files are written in the order they lie in the archive, the
  // compressed table before the plain one; the truncated table, after it, is not reached.
  const auto result =
      tool({"extract", archive.path().string(), "-C", out.string(), "--type", "0x20"});
  EXPECT_EQ(result.exit_status, 2);
  const std::map<std::string, Bytes> written = {
      {format("0x20/0x%08X.bin", kCompressedTable), hand.contents.at(kCompressedTable)}};
  EXPECT_EQ(result.out, format("extracted 1 of 3 files (%zu bytes) into %s; stopped\n",
                               hand.contents.at(kCompressedTable).size(), out.c_str()));
  EXPECT_TRUE(result.err.starts_with("tallowmere-dat: extract: cannot rename '")) << result.err;
  EXPECT_TRUE(result.err.ends_with("0x20000001.bin': Is a directory\n")) << result.err;
  EXPECT_EQ(std::ranges::count(result.err, '\n'), 1);
  EXPECT_EQ(files_under(out), written);  // no temporary file anywhere
}

// --- damaged compressed entries ----------------------------------------------------------------

TEST(CliTest, ADamagedCompressedEntryIsAFailureEverywhere) {
  const Bytes content = as_bytes(std::string(300, 'x') + "a compressed file that decodes");
  Bytes damaged = tallowmere_testing::lrs_compress(content);
  damaged.resize(damaged.size() / 2);  // the stream ends before the declared size is reached
  tallowmere_testing::ArchiveBuilder builder;
  builder.add_compressed_file(0x0D000001, content);
  builder.add_file(0x0D000002, damaged, 1);
  const TempFile archive(builder.build().bytes);
  const std::string path = archive.path().string();
  const std::string why =
      "tallowmere-dat: %s: 0x0D000002: file 0x%08X is damaged: its compressed stream ends before "
      "the size it declares\n";

  const auto good = tool({"cat", path, "0x0D000001"});
  EXPECT_EQ(good.exit_status, 0);
  EXPECT_EQ(good.out, as_text(content));
  const auto refused = tool({"cat", path, "0x0D000002"});
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err, format(why.c_str(), "cat", 0x0D000002U));
  const fs::path out = archive.dir() / "out";
  const auto extracted = tool({"extract", path, "-C", out.string()});
  EXPECT_EQ(extracted.exit_status, 1);
  EXPECT_EQ(extracted.err, format(why.c_str(), "extract", 0x0D000002U));
  EXPECT_TRUE(extracted.out.ends_with("; 1 failed\n")) << extracted.out;
  EXPECT_EQ(files_under(out), (std::map<std::string, Bytes>{{"0x0D/0x0D000001.bin", content}}));
}

// --- extract under signals ---------------------------------------------------------------------

/// Starts the tool with `args`, sends `signal_number` after `delay_us` microseconds and returns
/// the signal that ended it (0 if it exited first).
TEST(CliTest, CheckPrintsOneLinePerFindingAndExitsOneWhenAny) {
  const HandArchive archive = hand_archive();
  const TempFile file(archive.bytes);
  const auto result = tool({"check", file.path().string()});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err, "");
  // The header declares more bytes than the file holds, and the directory's order follows
  // `entries`, not the identifiers.
  EXPECT_TRUE(result.out.starts_with(
      "error: file-short: the file is " + std::to_string(archive.bytes.size()) +
      " bytes long, shorter than the 12345 its header declares\n" +
      format("warning: id-order: directory node 0x%08X: entry 1 (id 0x%08X) does not "
             "ascend from entry 0 (id 0x%08X)\n",
             archive.root_offset, kCompressedTable, kBinary)))
      << result.out;
  EXPECT_NE(result.out.find("error: chain-past-end: file 0x0A000001: chain runs past the end of "
                            "the file: block 0x00F00000"),
            std::string::npos);
  EXPECT_NE(result.out.find("error: sound-table-undecodable: sound table 0x20000003: not a "
                            "complete sound table: data cut short"),
            std::string::npos);

  const auto json = tool({"check", "--json", file.path().string()});
  EXPECT_EQ(json.exit_status, 1);
  const auto parsed = nlohmann::json::parse(json.out);
  const auto& findings = parsed.at("findings");
  ASSERT_EQ(findings.size(), static_cast<std::size_t>(std::ranges::count(result.out, '\n')));
  EXPECT_EQ(parsed.at("errors").get<std::size_t>() + parsed.at("warnings").get<std::size_t>(),
            findings.size());
  const auto past_end = std::ranges::find(findings, "chain-past-end", [](const auto& f) {
    return f.at("kind").template get<std::string>();
  });
  ASSERT_NE(past_end, findings.end());
  EXPECT_EQ(past_end->at("severity"), "error");
  EXPECT_EQ(past_end->at("ids"), nlohmann::json::array({"0x0A000001"}));
  EXPECT_EQ(past_end->at("offsets").at(0), "0x00F00000");
}

TEST(CliTest, CheckIsQuietOnASoundArchive) {
  tallowmere_testing::ArchiveBuilder builder({.block_size = 64});
  builder.add_file(kText, as_bytes("hello"));
  builder.add_compressed_file(kCompressedTable,
                              tallowmere_testing::encode_sound_table(plain_table()));
  const TempFile file(builder.build().bytes);
  const auto result = tool({"check", file.path().string()});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
}

TEST(CliTest, ExplainShowsEachFieldWithTheBytesAtItsOffset) {
  const HandArchive archive = hand_archive();
  const TempFile file(archive.bytes);
  const auto result =
      tool({"explain", "--json", file.path().string(), format("0x%08X", kPlainTable)});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  const auto parsed = nlohmann::json::parse(result.out);
  const auto bytes_at = [&](const nlohmann::json& field) {
    const std::size_t at = std::stoul(field.at("offset").get<std::string>(), nullptr, 16);
    const std::size_t count = (field.at("bytes").get<std::string>().size() - 2) / 2;
    std::string text = "0x";
    for (std::size_t i = 0; i < count; ++i)
      text += format("%02X", archive.bytes.at(at + i));
    return text;
  };
  ASSERT_EQ(parsed.at("header_fields").size(), 17U);
  for (const auto& field : parsed.at("header_fields"))
    EXPECT_EQ(field.at("bytes"), bytes_at(field)) << field.at("name");
  const auto& entry = parsed.at("entry");
  const DatFileEntry& stored = entry_of(archive, kPlainTable);
  ASSERT_EQ(entry.at("fields").size(), 6U);
  for (const auto& field : entry.at("fields"))
    EXPECT_EQ(field.at("bytes"), bytes_at(field)) << field.at("name");
  EXPECT_EQ(entry.at("fields").at(3).at("value"), stored.size);
  EXPECT_EQ(entry.at("path"), nlohmann::json::parse(format(R"([{"node":"0x%08X","slot":null}])",
                                                           archive.root_offset)));
  EXPECT_EQ(entry.at("chain").at(0).at("offset"), format("0x%08X", stored.offset));
  EXPECT_EQ(entry.at("chain_problem"), nullptr);
  // The table's records tile its bytes: the two hash records, the three sound records.
  std::size_t next = 0;
  for (const auto& record : entry.at("records")) {
    EXPECT_EQ(std::stoul(record.at("offset").get<std::string>(), nullptr, 16), next);
    next += record.at("size").get<std::size_t>();
  }
  EXPECT_EQ(next, stored.size);
  EXPECT_EQ(entry.at("records").size(), 9U);

  const auto missing = tool({"explain", file.path().string(), "0x12345678"});
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_EQ(missing.err, "tallowmere-dat: explain: 0x12345678: file 0x12345678 not found\n");
}

// --- map ---------------------------------------------------------------------------------------

/// The path of program `name` as the shell finds it, or nothing.
std::optional<std::string> find_program(const std::string& name) {
  const auto found = tallowmere_testing::run_process({"/bin/sh", "-c", "command -v \"$0\"", name});
  if (found.exit_status != 0 || found.out.empty()) return std::nullopt;
  return found.out.substr(0, found.out.find('\n'));
}

/// Blocks of 64 bytes, one cell each: the header (cells 0-6, the last mostly unclaimed), a file
/// in two blocks apart (cells 8 and 10), one block that two entries name (cell 9), and the root
/// node's 29 blocks (cells 12-40).
Bytes map_by_blocks() {
  tallowmere_testing::ArchiveImage image(64);
  image.write_chain(std::array<std::uint32_t, 2>{8 * 64, 10 * 64}, Bytes(100, 'r'));
  const Bytes shared = as_bytes("one block that two entries name");
  image.write_chain(std::array<std::uint32_t, 1>{9 * 64}, shared);
  image.resize(std::uint64_t{12} * 64);
  const auto size = static_cast<std::uint32_t>(shared.size());
  image.header().root_offset =
      image.append_node({.entries = {{0, 0x06000001, 8 * 64, 100, 0, 0},
                                     {0, 0x0A000001, 9 * 64, size, 0, 0},
                                     {0, 0x0A000002, 9 * 64, size, 0, 0}}});
  return std::move(image).release();
}

/// 96000 bytes of 16-byte blocks, mostly unclaimed, then an empty root node (143 blocks): more
/// blocks than cells, so each of the 4096 cells covers 24 bytes and the node starts at cell 4000.
Bytes map_by_cells() {
  tallowmere_testing::ArchiveImage image(16);
  image.resize(96000);
  image.header().root_offset = image.append_node({});
  return std::move(image).release();
}

/// The colour ("#RRGGBB") of every pixel of `svg` rendered at its own size, and its width.
struct Raster {
  std::size_t width = 0;
  std::vector<std::string> pixels;
};

Raster render(const fs::path& svg, const std::string& rsvg_convert, const std::string& pngtopnm) {
  const std::string png = svg.string() + ".png";
  const auto rendered =
      tallowmere_testing::run_process({rsvg_convert, "--format=png", "-o", png, svg.string()});
  EXPECT_EQ(rendered.exit_status, 0) << rendered.err;
  std::istringstream ppm(tallowmere_testing::run_process({pngtopnm, "-plain", png}).out);
  std::string magic;
  Raster raster;
  std::size_t height = 0;
  int max = 0;
  ppm >> magic >> raster.width >> height >> max;
  EXPECT_EQ(magic, "P3");
  EXPECT_EQ(max, 255);
  for (int r = 0, g = 0, b = 0; ppm >> r >> g >> b;)
    raster.pixels.push_back(format("#%02X%02X%02X", r, g, b));
  EXPECT_EQ(raster.pixels.size(), raster.width * height);
  return raster;
}

/// The colour of the legend's swatch for `label`.
std::string legend_colour(const std::string& svg, const std::string& label) {
  // The swatch is the rect right before the label's text, the nearest fill before it.
  const std::string fill = "fill=\"";
  const std::size_t text = svg.find(">" + label + "</text>");
  const std::size_t at = text == std::string::npos ? text : svg.rfind(fill, text);
  return at == std::string::npos ? "no swatch for " + label : svg.substr(at + fill.size(), 7);
}

TEST(CliTest, MapColoursEachCellByTheOwnerOfMostOfItsBytes) {
  const auto xmllint = find_program("xmllint");
  const auto rsvg_convert = find_program("rsvg-convert");
  const auto pngtopnm = find_program("pngtopnm");
  if (!xmllint || !rsvg_convert || !pngtopnm)
    GTEST_SKIP() << "needs xmllint, rsvg-convert and pngtopnm (scripts/install-deps)";
  const struct {
    const char* name;
    Bytes archive;
    std::string file_name;
    std::vector<std::string> lines;  // the band above the grid
    std::vector<std::pair<std::size_t, std::string>> cells;
  } cases[] = {
      {"a cell per block",
       map_by_blocks(),
       "a&b<c>\"d'\x01\xFF.dat",
       {"a&amp;b&lt;c&gt;&quot;d&apos;\uFFFD\uFFFD.dat",
        "2624 bytes, block size 64, 3 entries; a cell is 64 bytes",
        "fragmentation: 66.7% of chains (2 of 3) in one run; 1.33 runs per file"},
       {{0, "header"},
        {5, "header"},
        {6, "unclaimed"},
        {7, "unclaimed"},
        {8, "files of type 0x06"},
        {9, "claimed more than once"},
        {10, "files of type 0x06"},
        {11, "unclaimed"},
        {12, "directory nodes"},
        {40, "directory nodes"}}},
      {"cells of several blocks",
       map_by_cells(),
       "client_portal.dat",
       {"client_portal.dat", "98288 bytes, block size 16, 0 entries; a cell is 24 bytes",
        "fragmentation: no file has a block"},
       {{0, "header"},
        {16, "header"},
        {17, "unclaimed"},
        {3999, "unclaimed"},
        {4000, "directory nodes"},
        {4095, "directory nodes"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TempFile archive(c.archive, c.file_name);
    const fs::path svg_path = archive.dir() / "map.svg";
    const auto result = tool({"map", archive.path().string(), "-o", svg_path.string()});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out + result.err, "");
    const auto valid = tallowmere_testing::run_process({*xmllint, "--noout", svg_path.string()});
    EXPECT_EQ(valid.exit_status, 0) << valid.err;

    const std::string svg = as_text(read_file(svg_path));
    for (const std::string& line : c.lines)
      EXPECT_NE(svg.find(">" + line + "</text>"), std::string::npos) << line;
    // The documented grid: 64 columns of 8-pixel cells from (8, 64); sampled at their centres.
    const Raster raster = render(svg_path, *rsvg_convert, *pngtopnm);
    for (const auto& [cell, owner] : c.cells) {
      const std::size_t x = 8 + (cell % 64) * 8 + 4;
      const std::size_t y = 64 + (cell / 64) * 8 + 4;
      ASSERT_LT(y * raster.width + x, raster.pixels.size());
      EXPECT_EQ(raster.pixels[y * raster.width + x], legend_colour(svg, owner))
          << "cell " << cell << ", " << owner;
    }
  }
}

TEST(CliTest, MapReportsAnOutputItCannotWrite) {
  const TempFile archive(map_by_blocks());
  const fs::path missing = archive.dir() / "missing";
  const auto result = tool({"map", archive.path().string(), "-o", (missing / "map.svg").string()});
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(result.err, "tallowmere-dat: map: cannot open directory '" + missing.string() +
                            "': No such file or directory\n");
}

#ifdef SAMPLE_ARCHIVE
TEST(CliTest, CheckFindsExactlyTheSampleArchivesDeliberateFlaws) {
  const auto result = tool({"check", SAMPLE_ARCHIVE});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out,
            "error: sound-table-undecodable: sound table 0x20000011: not a complete sound table: "
            "data cut short: failed to fill whole buffer\n"
            "error: sound-table-trailing: sound table 0x20000012: 14 bytes left over after its "
            "last sound record, from byte 72 of 86\n");
}

// The sample cut at 33,000 of its 33,936 bytes: the strict open fails, `--salvage` lists what the
// readable nodes still reach and says how many subtrees it left out, and `info` shows the header.
TEST(CliTest, SalvageReadsWhatACutArchiveStillReaches) {
  Bytes bytes = read_file(SAMPLE_ARCHIVE);
  ASSERT_GT(bytes.size(), 33000U);
  bytes.resize(33000);
  const TempFile cut(bytes);
  const std::string path = cut.path().string();
  const auto db =
      tallowmere_dat::DatDatabase::open(std::span<const std::uint8_t>(bytes), {.salvage = true});
  ASSERT_TRUE(db);
  ASSERT_FALSE(db->skipped().empty());

  EXPECT_EQ(tool({"ls", path}).exit_status, 2);
  const auto listed = tool({"ls", "--salvage", path});
  EXPECT_EQ(listed.exit_status, 1);
  EXPECT_EQ(static_cast<std::size_t>(std::ranges::count(listed.out, '\n')), db->files().size());
  EXPECT_TRUE(listed.err.starts_with(
      format("tallowmere-dat: ls: %s: %zu directory subtree", path.c_str(), db->skipped().size())))
      << listed.err;
  const auto info = tool({"info", path});
  EXPECT_EQ(info.exit_status, 1);
  EXPECT_NE(info.out.find(format("entries         %zu\n", db->files().size())), std::string::npos)
      << info.out;
}
#endif

/// `args` as the null-terminated array `execv` takes; `args` must outlive it.
std::vector<char*> argv_of(std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (auto& arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  return argv;
}

int run_and_signal(std::vector<std::string> args, int signal_number, useconds_t delay_us) {
  args.insert(args.begin(), TOOL_EXE);
  std::vector<char*> argv = argv_of(args);
  const pid_t pid = ::fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);  // NOLINT(cppcoreguidelines-pro-type-vararg)
    if (null < 0 || ::dup2(null, STDOUT_FILENO) < 0) _exit(127);
    ::execv(argv[0], argv.data());
    _exit(127);
  }
  ::usleep(delay_us);
  ::kill(pid, signal_number);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

TEST(CliTest, ExtractLeavesNoTemporaryFileWhateverSignalEndsIt) {
  tallowmere_testing::ArchiveBuilder builder({.seed = 5});
  for (std::uint32_t i = 0; i < 3000; ++i)
    builder.add_file(0x06000000 + i, Bytes(2000 + i % 700, static_cast<std::uint8_t>(i)));
  const TempFile archive(builder.build().bytes);
  int interrupted = 0;
  // Into a new directory files are linked from nameless ones; into an existing one they go
  // through named temporary files.
  for (const bool existing : {false, true}) {
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
      for (useconds_t delay = 0; delay < 60000; delay += 4000) {
        SCOPED_TRACE(format("signal %d after %u us, existing %d", signal_number, delay, existing));
        const fs::path out = archive.dir() / format("out-%d-%u", signal_number, delay);
        if (existing) fs::create_directories(out / "0x06");
        const int ended_by = run_and_signal(
            {"extract", archive.path().string(), "-C", out.string()}, signal_number, delay);
        interrupted += ended_by == signal_number ? 1 : 0;
        if (!fs::exists(out)) continue;
        for (const auto& item : fs::recursive_directory_iterator(out)) {
          EXPECT_EQ(item.path().filename().string().find(".tmp-"), std::string::npos)
              << item.path();
        }
        fs::remove_all(out);
      }
    }
  }
  EXPECT_GT(interrupted, 0);  // some signals landed mid-extract
}

// --- failed writes -----------------------------------------------------------------------------

TEST(CliTest, AFailedWriteToStandardOutputIsReportedAndAClosedPipeIsQuiet) {
  const TempFile archive(hand_archive().bytes);
  const std::string path = archive.path().string();
  const std::vector<std::vector<std::string>> commands = {
      {"info", path},
      {"info", "--json", path},
      {"ls", path},
      {"ls", "-l", path},
      {"ls", "--json", path},
      {"cat", path, "0x01000002"},
      {"sound-table", path, "0x20000001"},
      {"sound-table", "--json", path, "0x20000001"},
      {"environ", path},
      {"environ", "--json", path},
      {"extract", path, "-C", (archive.dir() / "out").string(), "--type", "0x20"},
      {"--help"},
      {"--version"},
  };
  for (const auto& args : commands) {
    SCOPED_TRACE(args.front() + " " + args[1 % args.size()]);
    const auto full = tool(args, StdoutTarget::kDevFull);
    EXPECT_EQ(full.exit_status, 2);
    const std::string command = args.front().starts_with("--") ? "" : args.front() + ": ";
    EXPECT_EQ(full.err, "tallowmere-dat: " + command +
                            "cannot write to standard output: No space left on device\n");
    const auto piped = tool(args, StdoutTarget::kClosedPipe);
    EXPECT_EQ(piped.signal, SIGPIPE);
    EXPECT_EQ(piped.err, "");
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
  std::vector<char*> argv = argv_of(args);

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
  EXPECT_EQ(refused, 2);
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

  const auto [status, seen] = run_on_terminal({"extract", path, "-C", out, "--type", "0x20"});
  EXPECT_EQ(status, 0);
  EXPECT_NE(seen.find("\r[..............................] 0/3 files, 0/337\x1b[K"),
            std::string::npos)
      << seen;
  EXPECT_NE(seen.find("\r[##############################] 3/3 files, 337/337, "), std::string::npos)
      << seen;
  // The bar is erased before the summary.
  EXPECT_NE(seen.find(" left\x1b[K\r\x1b[Kextracted 3 of 3 files"), std::string::npos) << seen;

  const auto [quiet_status, quiet_seen] =
      run_on_terminal({"extract", "-q", path, "-C", out, "--type", "0x20"});
  EXPECT_EQ(quiet_status, 0);
  EXPECT_EQ(quiet_seen, "");

  const auto piped = tool({"extract", path, "-C", out, "--type", "0x20"});
  EXPECT_EQ(piped.exit_status, 0);
  EXPECT_EQ(piped.err, "");
}

// --- outputs written as the shell's > writes them ----------------------------------------------

TEST(CliTest, MapOutputGoesWhereTheShellWouldPutIt) {
  const TempFile archive(map_by_blocks());
  const fs::path& dir = archive.dir();
  const std::string path = archive.path().string();
  const auto piped = tool({"map", path, "-o", "-"});
  ASSERT_EQ(piped.exit_status, 0) << piped.err;
  const Bytes picture = as_bytes(piped.out);
  EXPECT_TRUE(piped.out.starts_with("<?xml ")) << piped.out.substr(0, 40);
  EXPECT_FALSE(fs::exists("-"));

  std::ofstream(dir / "target.svg") << "old";
  fs::create_symlink("target.svg", dir / "link.svg");
  fs::create_symlink("not-yet.svg", dir / "dangling.svg");
  std::ofstream(dir / "private.svg") << "old";
  fs::permissions(dir / "private.svg", fs::perms::owner_read);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  fs::create_symlink("fifo", dir / "fifo-link");
  const std::string long_name(250, 'n');
  const struct {
    std::string output;
    fs::path lands_in;  // where the bytes must arrive
  } cases[] = {
      {"link.svg", "target.svg"},
      {"dangling.svg", "not-yet.svg"},
      {"private.svg", "private.svg"},
      {long_name + ".svg", long_name + ".svg"},  // 254 bytes: the longest name is fine
      {"fifo", "fifo"},
      {"fifo-link", "fifo"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output.substr(0, 20));
    const fs::path lands_in = dir / c.lands_in;
    const bool fifo = fs::is_fifo(lands_in);
    // A FIFO's reader runs beside the tool, as the other end of a shell pipeline would.
    std::future<Bytes> read =
        std::async(std::launch::async, [&] { return fifo ? read_file(lands_in) : Bytes{}; });
    const auto result = tool({"map", path, "-o", (dir / c.output).string()});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(fifo ? read.get() : read_file(lands_in), picture);
  }
  EXPECT_TRUE(fs::is_symlink(dir / "link.svg"));
  EXPECT_TRUE(fs::is_symlink(dir / "dangling.svg"));
  EXPECT_TRUE(fs::is_symlink(dir / "fifo-link"));
  EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
  EXPECT_EQ(fs::status(dir / "private.svg").permissions(), fs::perms::owner_read);
  for (const auto& item : fs::directory_iterator(dir))
    EXPECT_EQ(item.path().filename().string().find(".tmp-"), std::string::npos) << item.path();

  // The archive itself, by any name, is never an output.
  fs::create_symlink(archive.path().filename(), dir / "archive-link");
  for (const fs::path& same : {archive.path(), dir / "archive-link"}) {
    const auto refused = tool({"map", path, "-o", same.string()});
    EXPECT_EQ(refused.exit_status, 2);
    EXPECT_EQ(refused.err, "tallowmere-dat: map: refusing to overwrite the archive being read: '" +
                               same.string() + "'\n");
  }
  EXPECT_EQ(read_file(archive.path()), map_by_blocks());
}

TEST(CliTest, ExtractNeverFollowsALinkBelowItsDirectory) {
  const HandArchive hand = hand_archive();
  const TempFile archive(hand.bytes);
  const fs::path out = archive.dir() / "out";
  const fs::path outside = archive.dir() / "outside";
  fs::create_directories(out);
  fs::create_directories(outside);
  fs::create_directory_symlink(outside, out / "0x20");
  // A dead process's temporary file, but outside DIR: the sweep must not reach it.
  const std::string stale = format(".0x20000001.bin.tmp-%d-a1B2c3", gone_process());
  std::ofstream(outside / stale) << "stale";
  // A file's name that is a link: replaced, never written through.
  fs::create_directories(out / "0x01");
  std::ofstream(outside / "victim") << "victim";
  fs::create_symlink(outside / "victim", out / "0x01" / "0x01000002.bin");

  const auto result = tool({"extract", archive.path().string(), "-C", out.string(), "-q"});
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_NE(result.err.find("tallowmere-dat: extract: '" + (out / "0x20").string() +
                            "' is a symbolic link; not extracting the files of type 0x20\n"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(files_under(outside), (std::map<std::string, Bytes>{{stale, as_bytes("stale")},
                                                                {"victim", as_bytes("victim")}}));
  EXPECT_FALSE(fs::is_symlink(out / "0x01" / "0x01000002.bin"));
  EXPECT_EQ(read_file(out / "0x01" / "0x01000002.bin"), hand.contents.at(kText));

  // -k keeps regular files only: a directory where a file goes is an error, not "kept".
  const fs::path blocked = archive.dir() / "blocked";
  fs::create_directories(blocked / "0x01" / "0x01000002.bin");
  const auto kept =
      tool({"extract", "-k", archive.path().string(), "-C", blocked.string(), "1000002"});
  EXPECT_EQ(kept.exit_status, 2);
  EXPECT_TRUE(kept.out.ends_with("; stopped\n")) << kept.out;

  // An error before anything is written leaves no directory behind.
  const fs::path unwritten = archive.dir() / "unwritten";
  const auto nothing = tool({"extract", archive.path().string(), "-C", unwritten.string(), "0xD2"});
  EXPECT_EQ(nothing.exit_status, 1);
  EXPECT_EQ(nothing.err, "tallowmere-dat: extract: 0x000000D2: file 0x000000D2 not found\n");
  EXPECT_FALSE(fs::exists(unwritten));
}

TEST(CliTest, TwoExtractsIntoOneDirectoryBothSucceed) {
  tallowmere_testing::ArchiveBuilder builder({.seed = 9});
  for (std::uint32_t i = 0; i < 400; ++i)
    builder.add_file(0x06000000 + i, Bytes(100 + i, static_cast<std::uint8_t>(i)));
  const TempFile archive(builder.build().bytes);
  const fs::path out = archive.dir() / "out";
  fs::create_directories(out / "0x06");  // existing: the files go through named temporaries
  for (int round = 0; round < 3; ++round) {
    std::future<ProcessResult> other = std::async(std::launch::async, [&] {
      return tool({"extract", "-q", archive.path().string(), "-C", out.string()});
    });
    const auto mine = tool({"extract", "-q", archive.path().string(), "-C", out.string()});
    const auto theirs = other.get();
    EXPECT_EQ(mine.exit_status, 0) << mine.err;
    EXPECT_EQ(theirs.exit_status, 0) << theirs.err;
  }
  EXPECT_EQ(files_under(out).size(), 400U);
}

// --- batches, selections and exit statuses -----------------------------------------------------

TEST(CliTest, BatchCommandsTakeSelections) {
  const HandArchive hand = hand_archive();
  const TempFile archive(hand.bytes);
  const std::string path = archive.path().string();
  const auto both = tool({"cat", path, "0x7F000001,0x01000002"});
  EXPECT_EQ(both.exit_status, 0);
  EXPECT_EQ(both.out, as_text(hand.contents.at(kText)) + as_text(hand.contents.at(kBinary)));

  // One missing among several: a warning, the rest still written, status 1 at the end.
  const auto some = tool({"cat", path, "0x01000002", "0x33333333"});
  EXPECT_EQ(some.exit_status, 1);
  EXPECT_EQ(some.out, as_text(hand.contents.at(kText)));
  EXPECT_EQ(some.err, "tallowmere-dat: cat: 0x33333333: file 0x33333333 not found\n");

  // Types and identifiers together select the files in both; one named alone but left out by
  // --type is said so.
  const auto excluded = tool({"ls", path, "--type", "0x20", "0x7F000001,0x20000001"});
  EXPECT_EQ(excluded.exit_status, 1);
  EXPECT_EQ(excluded.out, "0x20000001\n");
  EXPECT_EQ(excluded.err, "tallowmere-dat: ls: 0x7F000001: not of the types selected by --type\n");

  // Every table of the selection, one JSON line each; the undecodable one reported.
  const auto tables = tool({"sound-table", path, "--type", "0x20", "--json"});
  EXPECT_EQ(tables.exit_status, 1);
  EXPECT_EQ(tables.err,
            "tallowmere-dat: sound-table: 0x20000003: not a complete sound table: data cut short: "
            "failed to fill whole buffer\n");
  std::istringstream lines(tables.out);
  std::vector<std::string> ids;
  for (std::string line; std::getline(lines, line);)
    ids.push_back(nlohmann::json::parse(line).at("id").get<std::string>());
  EXPECT_EQ(ids, (std::vector<std::string>{"0x20000001", "0x20000002"}));
}

TEST(CliTest, SoundTableWithBytesLeftOverIsAFindingAfterItsOutput) {
  Bytes table = tallowmere_testing::encode_sound_table(plain_table());
  const std::size_t used = table.size();
  table.push_back(0xAB);
  tallowmere_testing::ArchiveBuilder builder;
  builder.add_file(kPlainTable, table);
  const TempFile archive(builder.build().bytes);
  const auto result = tool({"sound-table", archive.path().string(), "0x20000001"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_TRUE(result.out.starts_with("sound table 0x20000001: id 0x12345678")) << result.out;
  const std::string finding =
      format("1 byte left over after its last sound record, from byte %zu of %zu", used, used + 1);
  EXPECT_EQ(result.err, "tallowmere-dat: sound-table: sound table 0x20000001: " + finding + "\n");
  const auto check = tool({"check", archive.path().string()});
  EXPECT_NE(check.out.find("sound table 0x20000001: "), std::string::npos) << check.out;
}

TEST(CliTest, ExitStatusesAreZeroOneOrTwoForEverySubcommand) {
  const TempFile archive(hand_archive().bytes);
  const std::string path = archive.path().string();
  // The hand-made archive declares more bytes than it holds: `check` always finds that.
  tallowmere_testing::ArchiveBuilder builder;
  builder.add_file(0x06000001, {1, 2, 3});
  const TempFile clean(builder.build().bytes);
  const std::string none = (archive.dir() / "none.dat").string();
  const std::string out = (archive.dir() / "out").string();
  const struct {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{"info", path}, 0},
      {{"info", none}, 2},
      {{"ls", path, "0x01000002"}, 0},
      {{"ls", path, "0x99"}, 1},
      {{"ls", none}, 2},
      {{"cat", path, "0x01000002"}, 0},
      {{"cat", path, "0x0A000001"}, 1},
      {{"cat", none, "1"}, 2},
      {{"sound-table", path, "0x20000001"}, 0},
      {{"sound-table", path, "0x20000003"}, 1},
      {{"sound-table", none, "1"}, 2},
      {{"extract", path, "-qC", out, "0x20000001"}, 0},
      {{"extract", path, "-qC", out}, 1},
      {{"extract", none, "-C", out}, 2},
      {{"check", clean.path().string(), "--type", "0x06"}, 0},
      {{"check", path}, 1},
      {{"check", none}, 2},
      {{"explain", path, "0x01000002"}, 0},
      {{"explain", path, "0x99"}, 1},
      {{"explain", none}, 2},
      {{"environ", path}, 0},
      {{"environ", none}, 2},
      {{"map", path, "-o", out + ".svg"}, 0},
      {{"map", none, "-o", out + ".svg"}, 2},
      // One file on both sides is equal, its damaged entry included.
      {{"diff", path, path}, 0},
      {{"diff", path, clean.path().string()}, 1},
      {{"diff", path, none}, 2},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& a : c.args)
      joined += a + " ";
    SCOPED_TRACE(joined);
    EXPECT_EQ(tool(c.args).exit_status, c.status);
  }
  // --json on an unreadable archive: still a JSON object, with the error, and status 2.
  const auto failed = tool({"check", "--json", none});
  EXPECT_EQ(failed.exit_status, 2);
  const auto error = nlohmann::json::parse(failed.out);
  EXPECT_EQ(error.at("archive"), none);
  EXPECT_EQ(error.at("error"), "cannot open '" + none + "': No such file or directory");
}

// --- one JSON schema ---------------------------------------------------------------------------

/// What a field's value must look like, wherever the field appears (docs/json.md).
enum class Kind : std::uint8_t {
  kHex8,
  kHex2,
  kHexBytes,
  kNumber,
  kBool,
  kString,
  kFloat,
  kArray,
  kObject
};

const std::map<std::string, std::vector<Kind>>& field_kinds() {
  using enum Kind;
  static const std::map<std::string, std::vector<Kind>> kinds = {
      {"archive", {kString, kObject}},  // diff's is {old, new}
      {"old", {kString, kObject}},
      {"new", {kString, kObject}},
      {"change", {kString}},
      {"side", {kString}},
      {"changes", {kArray}},
      {"summary", {kObject}},
      {"header_changes", {kArray}},
      {"differ", {kBool}},
      {"layout", {kBool}},
      {"unchanged", {kNumber}},
      {"files_added", {kNumber}},
      {"bytes_added", {kNumber}},
      {"files_removed", {kNumber}},
      {"bytes_removed", {kNumber}},
      {"files_changed", {kNumber}},
      {"bytes_changed", {kNumber}},
      {"files_unreadable", {kNumber}},
      {"files_unchanged", {kNumber}},
      {"error", {kString}},
      {"time", {kString}},
      {"kind", {kString}},
      {"severity", {kString}},
      {"message", {kString}},
      {"name", {kString}},
      {"what", {kString}},
      {"chain_problem", {kString}},
      {"id", {kHex8}},
      {"stored_id", {kHex8}},
      {"magic", {kHex8}},
      {"free_head", {kHex8}},
      {"free_tail", {kHex8}},
      {"root_offset", {kHex8}},
      {"new_lru", {kHex8}},
      {"old_lru", {kHex8}},
      {"use_lru", {kHex8}},
      {"master_map_id", {kHex8}},
      {"bit_flags", {kHex8}},
      {"offset", {kHex8}},
      {"node", {kHex8}},
      {"pointer", {kHex8}},
      {"payload_begin", {kHex8}},
      {"payload_end", {kHex8}},
      {"wave_did", {kHex8}},
      {"key", {kHex8}},
      {"type", {kHex2}},
      {"version_string", {kHexBytes}},
      {"bytes", {kHexBytes}},
      {"block_size", {kNumber}},
      {"file_size", {kNumber}},
      {"dataset", {kNumber}},
      {"subset", {kNumber}},
      {"free_count", {kNumber}},
      {"engine_version", {kNumber}},
      {"game_version", {kNumber}},
      {"version_minor", {kNumber}},
      {"size", {kNumber}},
      {"timestamp", {kNumber}},
      {"version", {kNumber}},
      {"decompressed_size", {kNumber}},
      {"files", {kNumber}},
      {"compressed_files", {kNumber}},
      {"stored_bytes", {kNumber}},
      {"errors", {kNumber}},
      {"warnings", {kNumber}},
      {"hash_key", {kNumber}},
      {"unknown", {kNumber}},
      {"sound_tables", {kNumber}},
      {"environ_tables", {kNumber}},
      {"ambient_tables", {kNumber}},
      {"sound_slots", {kNumber}},
      {"slot", {kNumber}},
      {"compressed", {kBool}},
      {"priority", {kFloat}},
      {"probability", {kFloat}},
      {"volume", {kFloat}},
      {"offsets", {kArray}},
      {"ids", {kArray}},
      {"entries", {kArray}},
      {"findings", {kArray}},
      {"by_type", {kArray}},
      {"hashes", {kArray}},
      {"sounds", {kArray}},
      {"tables", {kArray}},
      {"environ_slots", {kArray}},
      {"header_fields", {kArray}},
      {"fields", {kArray}},
      {"path", {kArray}},
      {"chain", {kArray}},
      {"records", {kArray}},
      {"header", {kObject}},
      {"totals", {kObject}},
      {"entry", {kObject}},
  };
  return kinds;
}

bool has_kind(const nlohmann::json& value, Kind kind) {
  const auto hex_of = [&](std::size_t digits) {
    if (!value.is_string()) return false;
    const std::string text = value.get<std::string>();
    return text.size() == 2 + digits && text.starts_with("0x") &&
           text.find_first_not_of("0123456789ABCDEF", 2) == std::string::npos;
  };
  switch (kind) {
    case Kind::kHex8:
      return hex_of(8);
    case Kind::kHex2:
      return hex_of(2);
    case Kind::kHexBytes:
      return value.is_string() && value.get<std::string>().size() % 2 == 0 &&
             hex_of(value.get<std::string>().size() - 2);
    case Kind::kNumber:
      return value.is_number_integer();
    case Kind::kBool:
      return value.is_boolean();
    case Kind::kString:
      return value.is_string();
    case Kind::kFloat:
      return value.is_number() || value.is_string();
    case Kind::kArray:
      return value.is_array();
    case Kind::kObject:
      return value.is_object();
  }
  return false;
}

/// Checks every field of `value`, at any depth, against `field_kinds`; an explained field's
/// `value` is checked as the field it names. Null stands for "none" anywhere.
void expect_schema(const nlohmann::json& value, const std::string& where) {
  if (value.is_array()) {
    for (const auto& item : value) {
      // Arrays of bare values hold offsets or identifiers.
      if (!item.is_structured()) {
        EXPECT_TRUE(has_kind(item, Kind::kHex8)) << where << ": " << item;
      }
      expect_schema(item, where + "[]");
    }
    return;
  }
  if (!value.is_object()) return;
  for (const auto& [key, field] : value.items()) {
    // An explained field's value, and a changed header field's two, have the field's kind.
    const bool named_value = key == "value" || key == "old_value" || key == "new_value";
    const std::string name =
        named_value && value.contains("name") ? value.at("name").get<std::string>() : key;
    const auto kinds = field_kinds().find(name);
    ASSERT_NE(kinds, field_kinds().end())
        << where << ": field '" << name << "' is not in the schema";
    if (!field.is_null()) {
      EXPECT_TRUE(std::ranges::any_of(kinds->second, [&](Kind k) { return has_kind(field, k); }))
          << where << "." << key << ": " << field;
    }
    expect_schema(field, where + "." + key);
  }
}

TEST(CliTest, EveryJsonOutputFollowsOneSchema) {
  // A name that isn't UTF-8 comes out escaped, never as a failure.
  const HandArchive hand = hand_archive();
  const TempFile archive(hand.bytes, "archive-\xFF\x01.dat");
  const std::string path = archive.path().string();
  const std::vector<std::vector<std::string>> commands = {
      {"info", "--json", path},
      {"ls", "--json", "--decompressed", path},
      {"ls", "--json-lines", path},
      {"check", "--json", path},
      {"check", "--json", path + ".none"},
      {"explain", "--json", path, "0x20000001"},
      {"explain", "--json", path, "0x0A000001"},
      {"sound-table", "--json", path, "0x20000001-0x20000002"},
      {"environ", "--json", path},
  };
  for (const auto& args : commands) {
    SCOPED_TRACE(args.front());
    const auto result = tool(args);
    ASSERT_NE(result.exit_status, -1);
    EXPECT_FALSE(result.out.empty()) << result.err;
    const bool lines = args.front() == "sound-table" || args[1] == "--json-lines";
    std::istringstream stream(result.out);
    std::vector<std::string> documents;
    if (lines) {
      for (std::string line; std::getline(stream, line);)
        documents.push_back(line);
    } else {
      documents.push_back(result.out);
    }
    for (const std::string& text : documents) {
      const auto json = nlohmann::json::parse(text);
      const std::string escaped = json.at("archive").get<std::string>();
      EXPECT_TRUE(escaped.starts_with((archive.dir() / "archive-\\xFF\\u{1}.dat").string()))
          << escaped;
      expect_schema(json, args.front());
    }
  }
}

// --- diff ----------------------------------------------------------------------------------------

constexpr std::uint32_t kDiffDamaged = 0x0A000001;

/// Two versions of one archive, with one change of each kind: content, metadata only (a flag),
/// removed, added, stored form only (compressed in the new one), a damaged entry on both sides, a
/// sound table with one hash record changed, and the header's game_version.
std::pair<tallowmere_testing::BuiltArchive, tallowmere_testing::BuiltArchive> diff_pair() {
  const Bytes stored = as_bytes("stored either way, stored either way");
  const Bytes damaged = {0xFF, 0xFF, 0, 0, 0, 0};  // declares far more than it holds
  SoundTableLayout table = plain_table();
  tallowmere_testing::ArchiveBuilder old_builder({.header = {.game_version = 1}});
  old_builder.add_file(0x06000001, as_bytes("same"))
      .add_file(0x06000002, as_bytes("two"))
      .add_file(0x06000003, as_bytes("flag"))
      .add_file(0x06000004, as_bytes("gone"))
      .add_file(0x06000006, stored)
      .add_file(kDiffDamaged, damaged, 1)
      .add_file(kPlainTable, tallowmere_testing::encode_sound_table(table));
  tallowmere_testing::ArchiveBuilder new_builder({.seed = 1, .header = {.game_version = 2}});
  table.hashes[1].data.volume = 4;
  new_builder.add_file(0x06000001, as_bytes("same"))
      .add_file(0x06000002, as_bytes("TWO!"))
      .add_file(0x06000003, as_bytes("flag"), 0x100)
      .add_file(0x06000005, as_bytes("new"))
      .add_compressed_file(0x06000006, stored)
      .add_file(kDiffDamaged, damaged, 1)
      .add_file(kPlainTable, tallowmere_testing::encode_sound_table(table));
  return {old_builder.build(), new_builder.build()};
}

TEST(CliTest, DiffListsEachChangeWithItsLetterThenTheSummary) {
  // Named references, not a structured binding, which the lambda below would capture.
  const auto archives = diff_pair();
  const tallowmere_testing::BuiltArchive& old_archive = archives.first;
  const tallowmere_testing::BuiltArchive& new_archive = archives.second;
  const TempFile old_file(old_archive.bytes);
  const TempFile new_file(new_archive.bytes);
  const std::string old_path = old_file.path().string();
  const std::string new_path = new_file.path().string();
  const auto sizes = [&](std::uint32_t id) {
    return format("%u -> %u", old_archive.entry(id).size, new_archive.entry(id).size);
  };
  const auto result = tool({"diff", "--sound-tables", old_path, new_path});
  EXPECT_EQ(result.exit_status, 1) << result.err;
  std::istringstream lines(result.out);
  const std::vector<std::string> expected = {
      "H\tgame_version\t1 -> 2",
      "M\t0x06000002\t3 -> 4",
      "T\t0x06000003\t4 -> 4",
      "D\t0x06000004\t4",
      "A\t0x06000005\t3",
      "S\t0x06000006\t" + sizes(0x06000006),
      "!\t0x0A000001\t6 -> 6\tunreadable in both: ",
      "M\t0x20000001\t" + sizes(kPlainTable),
      "\t- hash 0x00000002: priority 1, probability 2, volume 3",
      "\t+ hash 0x00000002: priority 1, probability 2, volume 4",
      "0x06: 1 added (3 bytes), 1 removed (4 bytes), 3 changed (" +
          format("%u bytes", 4 + 4 + new_archive.entry(0x06000006).size) +
          "), 0 unreadable, 1 unchanged",
      // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): one line, split for width
      "0x0A: 0 added (0 bytes), 0 removed (0 bytes), 0 changed (0 bytes), 1 unreadable, 0 "
      "unchanged",
      "0x20: 0 added (0 bytes), 0 removed (0 bytes), 1 changed (" +
          format("%u bytes", new_archive.entry(kPlainTable).size) + "), 0 unreadable, 0 unchanged",
      "header differs: game_version",
  };
  for (const std::string& want : expected) {
    std::string line;
    ASSERT_TRUE(std::getline(lines, line)) << want;
    // The damaged entry's line ends with the library's message.
    EXPECT_EQ(want.starts_with("!") ? line.substr(0, want.size()) : line, want);
  }
  // What follows is only the layout line, naming fields a rebuild moves.
  std::string rest((std::istreambuf_iterator<char>(lines)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(rest.empty() || rest.starts_with("layout only, no difference: ")) << rest;

  // --stat is the summary alone; a selection narrows both sides.
  const auto stat = tool({"diff", "--stat", old_path, new_path, "0x06000001"});
  EXPECT_EQ(stat.exit_status, 1);  // the header still differs
  EXPECT_TRUE(
      stat.out.starts_with("0x06: 0 added (0 bytes), 0 removed (0 bytes), 0 changed (0 "
                           "bytes), 0 unreadable, 1 unchanged\nheader differs: game_version"))
      << stat.out;
  // --metadata-only reads no file: the damaged one and the same-size content change pass.
  const auto metadata =
      tool({"diff", "--stat", "--metadata-only", old_path, new_path, "--type", "0x0A"});
  EXPECT_EQ(metadata.out.substr(0, metadata.out.find('\n')),
            "0x0A: 0 added (0 bytes), 0 removed (0 bytes), 0 changed (0 bytes), 0 unreadable, 1 "
            "unchanged");

  const auto missing = tool({"diff", old_path, new_path + ".none"});
  EXPECT_EQ(missing.exit_status, 2);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "tallowmere-dat: diff: new archive: cannot open '" + new_path +
                             ".none': No such file or directory\n");
}

TEST(CliTest, DiffJsonHoldsEveryRecordAndTheSummary) {
  const auto [old_archive, new_archive] = diff_pair();
  const TempFile old_file(old_archive.bytes);
  const TempFile new_file(new_archive.bytes);
  const std::string old_path = old_file.path().string();
  const std::string new_path = new_file.path().string();
  const auto result =
      tool({"diff", "--json", old_path, new_path, "0x06000002,0x06000004-0x0A000001"});
  EXPECT_EQ(result.exit_status, 1);
  const auto json = nlohmann::json::parse(result.out);
  expect_schema(json, "diff");
  EXPECT_EQ(json.at("archive"), (nlohmann::json{{"old", old_path}, {"new", new_path}}));
  const auto& changes = json.at("changes");
  ASSERT_EQ(changes.size(), 5U);
  const struct {
    const char* id;
    const char* change;
    bool has_old;
    bool has_new;
  } records[] = {{"0x06000002", "content", true, true},
                 {"0x06000004", "removed", true, false},
                 {"0x06000005", "added", false, true},
                 {"0x06000006", "stored", true, true},
                 {"0x0A000001", "unreadable", true, true}};
  for (std::size_t i = 0; i < std::size(records); ++i) {
    SCOPED_TRACE(records[i].id);
    EXPECT_EQ(changes[i].at("id"), records[i].id);
    EXPECT_EQ(changes[i].at("change"), records[i].change);
    EXPECT_EQ(changes[i].contains("old"), records[i].has_old);
    EXPECT_EQ(changes[i].contains("new"), records[i].has_new);
    if (records[i].has_new) {
      EXPECT_EQ(changes[i].at("new").at("id"), records[i].id);
    }
  }
  EXPECT_EQ(changes[0].at("old").at("size"), 3);
  EXPECT_EQ(changes[0].at("new").at("size"), 4);
  EXPECT_EQ(changes[3].at("new").at("compressed"), true);
  const auto& summary = json.at("summary");
  EXPECT_EQ(summary.at("differ"), true);
  EXPECT_EQ(summary.at("unchanged"), 0);
  const auto& header = summary.at("header_changes");
  const auto game = std::ranges::find(header, nlohmann::json("game_version"),
                                      [](const auto& c) { return c.at("name"); });
  ASSERT_NE(game, header.end());
  EXPECT_EQ(*game,
            (nlohmann::json{
                {"name", "game_version"}, {"layout", false}, {"old_value", 1}, {"new_value", 2}}));
  ASSERT_EQ(summary.at("by_type").size(), 2U);  // 0x06 and 0x0A
  EXPECT_EQ(summary.at("by_type")[0],
            (nlohmann::json{{"type", "0x06"},
                            {"files_added", 1},
                            {"bytes_added", 3},
                            {"files_removed", 1},
                            {"bytes_removed", 4},
                            {"files_changed", 2},
                            {"bytes_changed", 4 + new_archive.entry(0x06000006).size},
                            {"files_unreadable", 0},
                            {"files_unchanged", 0}}));

  // --json-lines: the same records, each naming both archives, then the summary.
  const auto lines = tool({"diff", "--json-lines", old_path, new_path, "--type", "0x0A"});
  std::istringstream stream(lines.out);
  std::vector<nlohmann::json> documents;
  for (std::string line; std::getline(stream, line);)
    documents.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(documents.size(), 2U) << lines.out;
  for (const auto& document : documents) {
    expect_schema(document, "diff --json-lines");
    EXPECT_EQ(document.at("archive"), json.at("archive"));
  }
  EXPECT_EQ(documents[0].at("change"), "unreadable");
  EXPECT_EQ(documents[0].at("side"), "both");
  EXPECT_FALSE(documents[0].at("message").get<std::string>().empty());
  EXPECT_EQ(documents[1].at("summary").at("by_type")[0].at("files_unreadable"), 1);
}

#ifdef MAN_PAGE
TEST(CliTest, TheManualHasEverySubcommandAndOption) {
  const auto man = find_program("man");
  if (!man) GTEST_SKIP() << "needs man (man-db)";
  const auto rendered = tallowmere_testing::run_process(
      {"/bin/sh", "-c", "MANWIDTH=200 man -l \"$0\" | col -b", MAN_PAGE});
  ASSERT_EQ(rendered.exit_status, 0) << rendered.err;
  const std::string& page = rendered.out;
  for (const char* section :
       {"SUBCOMMANDS", "SELECTIONS", "EXIT STATUS", "EXAMPLES", "FILES", "SEE ALSO"})
    EXPECT_NE(page.find(std::string("\n") + section + "\n"), std::string::npos) << section;
  for (const char* command : {"info", "ls", "cat", "extract", "sound-table", "environ", "check",
                              "explain", "map", "diff"}) {
    SCOPED_TRACE(command);
    EXPECT_NE(page.find(std::string("\n   ") + command + "\n"), std::string::npos);
    // Every option the subcommand's help names.
    const std::string help = tool({command, "--help"}).out;
    for (std::size_t at = 0; (at = help.find(" -", at)) != std::string::npos; ++at) {
      const std::size_t end = help.find_first_of(" ,=\n", at + 1);
      const std::string option = help.substr(at + 1, end - at - 1);
      if (option.size() < 2 || option[1] == ' ') continue;
      EXPECT_NE(page.find(option), std::string::npos) << option;
    }
  }
}
#endif

}  // namespace
