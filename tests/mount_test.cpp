// `tallowmere-dat mount` for real, through the kernel: every file against `extract`, sizes and
// times against `ls --json`, damaged files, writes, and the ways a mount ends. Where FUSE can't
// be used these tests say why and skip, unless TALLOWMERE_REQUIRE_FUSE=1 makes that a failure.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "tallowmere_dat/dat_database.h"
#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/process.h"
#include "tallowmere_testing/temp_file.h"

namespace {

namespace fs = std::filesystem;
using tallowmere_testing::run_process;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

constexpr std::string_view kNeedle = "needle-7f3a-in-the-archive";
constexpr std::uint32_t kNeedleId = 0x03000123;
constexpr std::uint32_t kDamagedId = 0x04000007;

/// Why FUSE mounts can't be made here, or empty when they can.
std::string fuse_unusable() {
  if (std::string_view(FUSERMOUNT).empty()) return "fusermount3 is not installed";
  const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fd < 0) return std::string("/dev/fuse can't be opened: ") + std::strerror(errno);
  ::close(fd);
  return {};
}

/// The file's bytes, or the errno of the open or of the first failed read.
std::expected<Bytes, int> read_path(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(errno);
  Bytes all;
  std::array<std::uint8_t, 65536> buffer{};
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      return std::unexpected(error);
    }
    if (n == 0) break;
    all.insert(all.end(), buffer.begin(), buffer.begin() + n);
  }
  ::close(fd);
  return all;
}

/// The errno of a failed result, 0 for a success.
template <class Result>
int error_of(const Result& result) {
  return result ? 0 : result.error();
}

std::string hex_name(std::uint32_t value, int digits) {
  std::array<char, 16> text{};
  (void)std::snprintf(text.data(), text.size(), "0x%0*X", digits, value);
  return text.data();
}

class MountTest : public testing::Test {
 protected:
  void SetUp() override {
    if (const std::string reason = fuse_unusable(); !reason.empty()) {
      const char* require = std::getenv("TALLOWMERE_REQUIRE_FUSE");
      if (require != nullptr && std::string_view(require) == "1") {
        FAIL() << "TALLOWMERE_REQUIRE_FUSE=1 but FUSE is not usable: " << reason;
      }
      GTEST_SKIP() << "FUSE is not usable here, so the mount is not tested: " << reason;
    }
    std::string dir = (fs::temp_directory_path() / "tallowmere-mount-XXXXXX").string();
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    work_ = dir;
    mountpoint_ = work_ / "mnt";
    fs::create_directory(mountpoint_);
  }

  // Never leaves a mount behind: a plain unmount, then a lazy one.
  void TearDown() override {
    if (work_.empty()) return;
    for (const char* flags : {"-u", "-uz"}) {
      if (mounted()) run_process({FUSERMOUNT, flags, mountpoint_.string()});
    }
    if (!mounted()) fs::remove_all(work_);
  }

  bool mounted() const {
    struct stat inner {};
    struct stat outer {};
    return ::stat(mountpoint_.c_str(), &inner) == 0 && ::stat(work_.c_str(), &outer) == 0 &&
           inner.st_dev != outer.st_dev;
  }

  void mount(const fs::path& archive) {
    const auto result = run_process({TOOL_EXE, "mount", archive.string(), mountpoint_.string()});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    ASSERT_TRUE(mounted());
  }

  /// Every file of the archive through the mount: bytes as `extract` writes them (or EIO where
  /// it can't), size and mtime as `ls --json --decompressed` gives them.
  void expect_mount_matches_tool(const fs::path& archive) {
    const fs::path extracted = work_ / "extracted";
    run_process({TOOL_EXE, "extract", "-q", archive.string(), "-C", extracted.string()});
    const auto listing =
        run_process({TOOL_EXE, "ls", "--json", "--decompressed", archive.string()});
    const auto entries = nlohmann::json::parse(listing.out).at("entries");
    std::size_t files = 0;
    for (const auto& item : fs::recursive_directory_iterator(mountpoint_)) {
      const std::string top = fs::relative(item.path(), mountpoint_).begin()->string();
      files += item.is_regular_file() && top.starts_with("0x") ? 1U : 0U;
    }
    EXPECT_EQ(files, entries.size());
    for (const auto& entry : entries) {
      const auto id = entry["id"].get<std::string>();
      const auto type = entry["type"].get<std::string>();
      const fs::path path = mountpoint_ / type / id;
      struct stat st {};
      ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
      if (!entry["decompressed_size"].is_null()) {
        EXPECT_EQ(st.st_size, entry["decompressed_size"].get<off_t>()) << path;
      }
      EXPECT_EQ(st.st_mtim.tv_sec, entry["timestamp"].get<time_t>()) << path;
      const fs::path copy = extracted / type / (id + ".bin");
      const auto bytes = read_path(path);
      if (fs::exists(copy)) {
        EXPECT_EQ(bytes, read_path(copy)) << path;
      } else {
        EXPECT_EQ(error_of(bytes), EIO) << path;
      }
    }
  }

  fs::path work_;
  fs::path mountpoint_;
};

/// 10,000 files of four types, some compressed, one holding a known string and one damaged.
tallowmere_testing::BuiltArchive ten_thousand_files() {
  tallowmere_testing::ArchiveBuilder builder({.block_size = 64, .seed = 23});
  for (std::uint32_t i = 0; i < 10000; ++i) {
    const std::uint32_t id = ((1 + i % 4) << 24U) | (i / 4);
    Bytes content(i % 150, static_cast<std::uint8_t>(i));
    if (id == kNeedleId) content.insert(content.end(), kNeedle.begin(), kNeedle.end());
    if (id == kDamagedId) {
      builder.add_file(id, {0xFF, 0xFF, 0, 0, 0, 0}, 1);
    } else if (i % 7 == 0) {
      builder.add_compressed_file(id, content);
    } else {
      builder.add_file(id, content);
    }
  }
  return builder.build();
}

TEST_F(MountTest, TheSampleArchiveReadsAsTheToolExtractsIt) {
  mount(SAMPLE_ARCHIVE);
  expect_mount_matches_tool(SAMPLE_ARCHIVE);
  struct statvfs usage {};
  ASSERT_EQ(::statvfs(mountpoint_.c_str(), &usage), 0);
  EXPECT_EQ(usage.f_blocks * usage.f_frsize, fs::file_size(SAMPLE_ARCHIVE));
  const auto header = nlohmann::json::parse(*read_path(mountpoint_ / ".archive" / "header.json"));
  EXPECT_EQ(
      header,
      nlohmann::json::parse(
          run_process({TOOL_EXE, "info", "--json", fs::absolute(SAMPLE_ARCHIVE).string()}).out));
}

TEST_F(MountTest, TenThousandFilesGrepEioAndErofs) {
  const tallowmere_testing::BuiltArchive archive = ten_thousand_files();
  const fs::path path = work_ / "many.dat";
  ASSERT_TRUE(tallowmere_testing::write_archive(path, archive.bytes));
  mount(path);
  expect_mount_matches_tool(path);

  const auto grep =
      run_process({"/usr/bin/env", "grep", "-rlsF", std::string(kNeedle), mountpoint_.string()});
  EXPECT_EQ(grep.out, (mountpoint_ / "0x03" / hex_name(kNeedleId, 8)).string() + "\n");
  const fs::path damaged = mountpoint_ / "0x04" / hex_name(kDamagedId, 8);
  EXPECT_EQ(error_of(read_path(damaged)), EIO);

  const fs::path file = mountpoint_ / "0x01" / hex_name(0x01000001, 8);
  EXPECT_EQ(::open(file.c_str(), O_WRONLY | O_CLOEXEC), -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(::open((mountpoint_ / "0x01" / "new").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644),
            -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(::mkdir((mountpoint_ / "dir").c_str(), 0755), -1);
  EXPECT_EQ(errno, EROFS);
}

TEST_F(MountTest, SalvageMountsWhatADamagedDirectoryStillReaches) {
  // A directory whose root's second child points past the end of the file.
  tallowmere_testing::ArchiveBuilder builder({.block_size = 64, .seed = 9, .fan_out = 2});
  for (std::uint32_t i = 0; i < 200; ++i)
    builder.add_file(0x05000000U | i, Bytes(10, static_cast<std::uint8_t>(i)));
  tallowmere_testing::BuiltArchive archive = builder.build();
  const std::uint32_t second_slot = archive.header.root_offset + 4 + 4;
  for (const unsigned shift : {0U, 8U, 16U, 24U})
    archive.bytes[second_slot + shift / 8] = static_cast<std::uint8_t>(0xFFFFFF00U >> shift);
  const fs::path path = work_ / "damaged.dat";
  ASSERT_TRUE(tallowmere_testing::write_archive(path, archive.bytes));
  ASSERT_FALSE(tallowmere_dat::DatDatabase::open(path));
  const auto salvaged = tallowmere_dat::DatDatabase::open(path, {.salvage = true});
  ASSERT_TRUE(salvaged);
  ASSERT_FALSE(salvaged->skipped().empty());
  ASSERT_FALSE(salvaged->files().empty());

  // An archive that can't be opened is trouble, status 2, as for every subcommand.
  EXPECT_EQ(run_process({TOOL_EXE, "mount", path.string(), mountpoint_.string()}).exit_status, 2);
  EXPECT_FALSE(mounted());
  const auto result =
      run_process({TOOL_EXE, "mount", "--salvage", path.string(), mountpoint_.string()});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  // One line says how many subtrees were left out, as for every subcommand that salvages.
  EXPECT_EQ(std::ranges::count(result.err, '\n'), 1) << result.err;
  EXPECT_NE(result.err.find(" left out, the first at "), std::string::npos) << result.err;
  std::vector<std::string> listed;
  for (const auto& item : fs::directory_iterator(mountpoint_ / "0x05"))
    listed.push_back(item.path().filename().string());
  std::ranges::sort(listed);
  std::vector<std::string> reachable;
  for (const tallowmere_dat::DatFileEntry& entry : salvaged->files())
    reachable.push_back(hex_name(entry.id, 8));
  EXPECT_EQ(listed, reachable);
}

TEST_F(MountTest, ForegroundMountEndsCleanlyOnSignalsAndFusermount) {
  const struct {
    const char* how;
    int signal;  // 0: fusermount3 -u
  } endings[] = {{"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}, {"fusermount3 -u", 0}};
  for (const auto& ending : endings) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::execl(TOOL_EXE, TOOL_EXE, "mount", "-f", SAMPLE_ARCHIVE, mountpoint_.c_str(), nullptr);
      ::_exit(127);
    }
    for (int tries = 0; tries < 500 && !mounted(); ++tries)
      std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(mounted()) << ending.how;
    if (ending.signal != 0) {
      ::kill(child, ending.signal);
    } else {
      run_process({FUSERMOUNT, "-u", mountpoint_.string()});
    }
    int status = 0;
    pid_t done = 0;
    for (int tries = 0; tries < 500 && (done = ::waitpid(child, &status, WNOHANG)) == 0; ++tries)
      std::this_thread::sleep_for(20ms);
    if (done == 0) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ending.how << ": " << status;
    EXPECT_FALSE(mounted()) << ending.how;
    EXPECT_TRUE(fs::is_empty(mountpoint_)) << ending.how;
  }
}

}  // namespace
