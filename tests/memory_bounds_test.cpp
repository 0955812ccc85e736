// Hostile archives (see hostile_archives.h) must fail or finish using memory in proportion to
// the file, never to what it declares: measured in this process by counting live heap bytes,
// and for the probe executable by running it under a tight address-space limit.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "tallowmere_dat/check.h"
#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/explain.h"
#include "tallowmere_dat/file_type/sound_table.h"
#include "tallowmere_report/environ_report.h"
#include "tallowmere_testing/allocation_tracker.h"
#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/hostile_archives.h"
#include "tallowmere_testing/process.h"
#include "tallowmere_testing/temp_file.h"

#if defined(__SANITIZE_ADDRESS__)
#define TALLOWMERE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TALLOWMERE_ASAN 1
#endif
#endif

namespace tallowmere_dat {
namespace {

using tallowmere_testing::HostileArchive;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kMiB = std::size_t{1} << 20U;
/// The most the library may hold for any of these few-KiB archives, whatever they declare.
constexpr std::size_t kHeapBound = 2 * kMiB;
/// The probe's whole address space, code and stack included.
constexpr std::uint64_t kAddressSpace = 64 * kMiB;

/// What the probe does, in this process: open, fetch every sound table, decode it, report.
std::optional<DatError> probe_in_process(const std::filesystem::path& path, std::string& report) {
  auto db = DatDatabase::open(path);
  if (!db) return db.error();
  for (const std::uint32_t id : sound_table_ids(*db)) {
    const auto bytes = db->get_file(id);
    if (!bytes) continue;
    Cursor cursor(*bytes);
    (void)file_type::SoundTable::read(cursor);
  }
  report = environ_report(*db);
  return std::nullopt;
}

TEST(MemoryBoundsTest, HostileArchivesCostMemoryInProportionToTheFile) {
  for (const HostileArchive& hostile : tallowmere_testing::hostile_archives()) {
    SCOPED_TRACE(hostile.name);
    const tallowmere_testing::TempFile file(hostile.bytes);
    std::string report;
    tallowmere_testing::allocations::reset();
    const auto start = std::chrono::steady_clock::now();
    const auto error = probe_in_process(file.path(), report);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(tallowmere_testing::allocations::peak_growth(), kHeapBound);
    std::printf("%-55s %6zu bytes  peak heap %8zu bytes  %7.1f ms  %s\n", hostile.name.c_str(),
                hostile.bytes.size(), tallowmere_testing::allocations::peak_growth(), took.count(),
                error ? error->debug().substr(0, 60).c_str() : "opened");
    if (!error) {
      EXPECT_TRUE(report.starts_with("0x20 SoundTables in portal.dat: ")) << report;
    }
  }
}

/// The identifiers to dump from an archive: those the open indexes or, where it fails, those the
/// check's findings name.
std::set<std::uint32_t> identifiers(const std::filesystem::path& path) {
  std::set<std::uint32_t> ids;
  if (const auto db = DatDatabase::open(path)) {
    for (const DatFileEntry& entry : db->files())
      ids.insert(entry.id);
  } else if (const auto report = check_archive(path)) {
    for (const Finding& finding : report->findings)
      ids.insert(finding.ids.begin(), finding.ids.end());
  }
  return ids;
}

TEST(MemoryBoundsTest, InspectingHostileArchivesCostsMemoryInProportionToTheFile) {
  for (const HostileArchive& hostile : tallowmere_testing::hostile_archives()) {
    SCOPED_TRACE(hostile.name);
    const tallowmere_testing::TempFile file(hostile.bytes);
    const std::set<std::uint32_t> ids = identifiers(file.path());
    tallowmere_testing::allocations::reset();
    const auto report = check_archive(file.path());
    std::size_t peak = tallowmere_testing::allocations::peak_growth();
    EXPECT_TRUE(report.has_value()) << report.error().debug();
    for (const std::uint32_t id : ids) {
      tallowmere_testing::allocations::reset();
      const auto explained = explain_archive(file.path(), id);
      peak = std::max(peak, tallowmere_testing::allocations::peak_growth());
      EXPECT_TRUE(explained.has_value()) << explained.error().debug();
    }
    EXPECT_LT(peak, kHeapBound);
    std::printf("%-55s check and %zu dumps: peak heap %8zu bytes\n", hostile.name.c_str(),
                ids.size(), peak);
  }
}

/// An archive whose one block points at itself, so its payload (60 bytes of 0x42) repeats up to
/// any declared size within the file's length, which is made `length` bytes (sparse) when that
/// is more than it holds. Its directory files that loop as entry `kLoopId`, compressed and 1 MiB
/// long: read as LRS, the bytes declare 0x42424242 output bytes and produce up to eight times
/// what is stored.
constexpr std::uint32_t kHeaderEnd = tallowmere_testing::kHeaderEnd;
constexpr std::uint32_t kLoopId = 7;
constexpr std::uint32_t kLoopSize = 1U << 20U;
struct SelfLoop {
  explicit SelfLoop(std::uint64_t length = kLoopSize) {
    if (length > std::filesystem::file_size(file.path())) {
      std::filesystem::resize_file(file.path(), length);
    }
  }
  static tallowmere_testing::ArchiveImage image() {
    tallowmere_testing::ArchiveImage image(64);
    image.write_block(image.append(64), kHeaderEnd, Bytes(60, 0x42));
    const DatFileEntry entry{
        .bit_flags = 1, .id = kLoopId, .offset = kHeaderEnd, .size = kLoopSize};
    image.header().root_offset = image.append_node({.entries = {entry}});
    return image;
  }
  std::uint32_t block = kHeaderEnd;
  tallowmere_testing::TempFile file{image().bytes()};
};

TEST(MemoryBoundsTest, ALoopingChainBeyondTheFileIsRefusedBeforeItsRepeatsAreAllocated) {
  const SelfLoop loop(0);
  const auto db = DatDatabase::open(loop.file.path());
  ASSERT_TRUE(db.has_value());
  const auto length = std::filesystem::file_size(loop.file.path());
  tallowmere_testing::allocations::reset();
  EXPECT_EQ(db->read_file_data(loop.block, 0xFFFFFFFF),
            (std::expected<Bytes, DatError>(std::unexpected(DatError(DatError::Corruption{
                "block chain at 0x00000190 loops back to block 0x00000190 for a size of "
                "4294967295 bytes, more than the file's " +
                std::to_string(length)})))));
  EXPECT_LT(tallowmere_testing::allocations::peak_growth(), 64 * 1024);
}

TEST(MemoryBoundsTest, ALoopingChainWithinTheFileCostsWhatItDeclares) {
  // A block pointing at itself repeats its payload up to the declared size: a defined result
  // when the file is that long, so the whole of it is allocated, and nothing much besides.
  constexpr std::uint32_t kDeclared = 8 * kMiB;
  const SelfLoop loop(kDeclared);
  const auto db = DatDatabase::open(loop.file.path());
  ASSERT_TRUE(db.has_value());
  const std::uint32_t block = loop.block;
  tallowmere_testing::allocations::reset();
  const auto bytes = db->read_file_data(block, kDeclared);
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(bytes->size(), kDeclared);
  EXPECT_EQ(std::count(bytes->begin(), bytes->end(), 0x42), kDeclared);
  EXPECT_GE(tallowmere_testing::allocations::peak_growth(), kDeclared);
  EXPECT_LE(tallowmere_testing::allocations::peak_growth(), 2 * kDeclared);
  std::printf("looping chain declaring %u bytes: peak heap %zu bytes\n", kDeclared,
              tallowmere_testing::allocations::peak_growth());
}

TEST(MemoryBoundsTest, ALoopingChainBeyondTheMemoryAvailableFailsCleanly) {
  // The same loop in a 32 MiB file, declaring all of it with only 16 MiB to spare: the read
  // must give up with an error value when the buffer can't be had, not end the process.
  constexpr std::uint32_t kDeclared = 32 * kMiB;
  const SelfLoop loop(kDeclared);
  const auto db = DatDatabase::open(loop.file.path());
  ASSERT_TRUE(db.has_value());
  const std::uint32_t block = loop.block;
  const auto bytes = [&] {
    const tallowmere_testing::allocations::Limit limit(16 * kMiB);
    return db->read_file_data(block, kDeclared);
  }();
  ASSERT_FALSE(bytes.has_value());
  const auto* io = bytes.error().get_if<DatError::Io>();
  ASSERT_NE(io, nullptr) << bytes.error().debug();
  EXPECT_EQ(io->error.kind(), IoErrorKind::OutOfMemory);
  EXPECT_EQ(io->error.message(), "memory allocation of 33554432 bytes failed");
}

TEST(MemoryBoundsTest, DecompressingBeyondTheMemoryAvailableFailsCleanly) {
  // The 1 MiB looping chain is stored within the limit, but its decompressed output is not.
  const SelfLoop loop;
  const auto db = DatDatabase::open(loop.file.path());
  ASSERT_TRUE(db.has_value());
  const auto bytes = [&] {
    const tallowmere_testing::allocations::Limit limit(4 * kMiB);
    return db->get_file(kLoopId);
  }();
  ASSERT_FALSE(bytes.has_value());
  const auto* io = bytes.error().get_if<DatError::Io>();
  ASSERT_NE(io, nullptr) << bytes.error().debug();
  EXPECT_EQ(io->error.kind(), IoErrorKind::OutOfMemory);
  EXPECT_EQ(io->error.message(), "memory allocation failed decompressing 1048576 bytes");
  // With the memory there, the same entry decompresses.
  EXPECT_TRUE(db->get_file(kLoopId).has_value());
}

/// The probe's peak resident set, from /usr/bin/time's last line on standard error.
std::optional<long> take_max_rss_kib(std::string& err) {
  if (err.empty() || err.back() != '\n') return std::nullopt;
  const std::size_t start = err.rfind('\n', err.size() - 2);
  const std::size_t from = start == std::string::npos ? 0 : start + 1;
  const std::string line = err.substr(from, err.size() - 1 - from);
  if (line.empty() || line.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  err.erase(from);
  return std::stol(line);
}

TEST(MemoryBoundsTest, ProbeFinishesOnHostileArchivesWithinATightAddressSpace) {
#ifdef TALLOWMERE_ASAN
  const bool limited = false;  // the sanitizer reserves terabytes of shadow address space
#else
  const bool limited = true;
#endif
  const bool timed = std::filesystem::exists("/usr/bin/time");
  const std::filesystem::path fixture = PROBE_FIXTURE;
  std::filesystem::create_directories(fixture.parent_path());
  for (const HostileArchive& hostile : tallowmere_testing::hostile_archives()) {
    SCOPED_TRACE(hostile.name);
    ASSERT_TRUE(tallowmere_testing::write_archive(fixture, hostile.bytes));
    std::vector<std::string> argv{PROBE_EXE};
    if (timed) argv.insert(argv.begin(), {"/usr/bin/time", "-q", "-f", "%M"});
    tallowmere_testing::ProcessOptions options;
    if (limited) options.address_space_limit = kAddressSpace;
    auto result = tallowmere_testing::run_process(argv, options);
    const auto rss = timed ? take_max_rss_kib(result.err) : std::nullopt;
    if (timed) {
      EXPECT_TRUE(rss.has_value()) << result.err;
    }
    EXPECT_EQ(result.signal, 0);
    std::printf("%-55s exit %3d  max RSS %6ld KiB\n", hostile.name.c_str(), result.exit_status,
                rss.value_or(-1));
    if (rss) {
      EXPECT_LT(*rss * 1024, static_cast<long>(kAddressSpace));
    }

    std::string report;
    const auto error = probe_in_process(fixture, report);
    if (error) {
      EXPECT_EQ(result.exit_status, 101);
      EXPECT_EQ(result.err,
                "called `Result::unwrap()` on an `Err` value: " + error->debug() + "\n");
    } else {
      EXPECT_EQ(result.exit_status, 0) << result.err;
      EXPECT_EQ(result.out, report);
    }
  }
  std::filesystem::remove(fixture);
}

/// The most heap a streamed read may take: its buffers and a trace of up to 32768 blocks.
constexpr std::size_t kStreamHeap = 4 * kMiB;

/// Byte `at` of the file over the overlapping blocks of `block_size` bytes, 4 apart from
/// `first`, in `archive`: byte at % slice of block at / slice's payload.
std::uint8_t overlapping_byte(const Bytes& archive, std::uint32_t first, std::uint32_t block_size,
                              std::uint64_t at) {
  const std::uint64_t slice = block_size - 4;
  return archive[first + 4 * (at / slice) + 4 + at % slice];
}

// 200 KB of archive define a 1 GiB file over overlapping blocks: streamed, it costs a few MiB at
// most, and each chunk holds the payloads of the blocks it covers.
TEST(MemoryBoundsTest, StreamingAFileOfOverlappingBlocksCostsAFewMiB) {
  const Bytes bytes = tallowmere_testing::overlapping_gib_archive();
  const tallowmere_testing::TempFile file(bytes);
  const auto db = DatDatabase::open(file.path());
  ASSERT_TRUE(db.has_value()) << db.error().debug();
  const DatFileEntry& entry = *db->files().find(tallowmere_testing::kOverlappingId);
  const auto file_byte = [&](std::uint64_t at) {
    return overlapping_byte(bytes, entry.offset, db->header().block_size, at);
  };
  std::uint64_t total = 0;
  std::uint64_t mismatches = 0;
  tallowmere_testing::allocations::reset();
  const auto streamed = db->stream_file(entry, [&](std::span<const std::uint8_t> chunk) {
    for (std::size_t k = 0; k < chunk.size(); k += 4093)
      mismatches += chunk[k] != file_byte(total + k) ? 1U : 0U;
    mismatches += chunk.back() != file_byte(total + chunk.size() - 1) ? 1U : 0U;
    total += chunk.size();
    return true;
  });
  EXPECT_LT(tallowmere_testing::allocations::peak_growth(), kStreamHeap);
  ASSERT_TRUE(streamed.has_value()) << streamed.error().debug();
  EXPECT_EQ(total, entry.size);
  EXPECT_EQ(mismatches, 0U);
}

// The 1 GiB file's variant whose chain runs past the end after 512 MiB of payloads: both the
// stream and the whole read fail with the same error before reading any payload, the stream
// having delivered nothing.
TEST(MemoryBoundsTest, AChainRunningPastTheEndFailsBeforeItsPayloadsAreRead) {
  const tallowmere_testing::TempFile file(tallowmere_testing::overlapping_past_end_archive());
  const auto db = DatDatabase::open(file.path());
  ASSERT_TRUE(db.has_value()) << db.error().debug();
  const DatFileEntry& entry = *db->files().find(tallowmere_testing::kOverlappingId);
  std::uint64_t delivered = 0;
  tallowmere_testing::allocations::reset();
  const auto streamed = db->stream_file(entry, [&](std::span<const std::uint8_t> chunk) {
    delivered += chunk.size();
    return true;
  });
  EXPECT_LT(tallowmere_testing::allocations::peak_growth(), kStreamHeap);
  tallowmere_testing::allocations::reset();
  const auto whole = db->get_file_verified(entry.id);
  EXPECT_LT(tallowmere_testing::allocations::peak_growth(), kStreamHeap);
  ASSERT_FALSE(streamed.has_value());
  ASSERT_FALSE(whole.has_value());
  EXPECT_EQ(streamed.error(), whole.error());
  EXPECT_EQ(streamed.error().debug(),
            R"(Io(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" }))");
  EXPECT_EQ(delivered, 0U);
}

#ifdef TOOL_EXE
/// Runs the tool under /usr/bin/time, standard output to /dev/null; its peak resident set in
/// KiB, if /usr/bin/time is there.
std::optional<long> tool_max_rss_kib(std::vector<std::string> args,
                                     tallowmere_testing::ProcessResult& result) {
  const bool timed = std::filesystem::exists("/usr/bin/time");
  args.insert(args.begin(), TOOL_EXE);
  if (timed) args.insert(args.begin(), {"/usr/bin/time", "-q", "-f", "%M"});
  result = tallowmere_testing::run_process(
      args, {.stdout_target = tallowmere_testing::StdoutTarget::kDevNull});
  return timed ? take_max_rss_kib(result.err) : std::nullopt;
}

/// The most a streaming command may hold resident beyond what the tool holds doing nothing.
constexpr long kStreamingRssKib = 16L * 1024;

/// The bound on a streaming command's peak resident set: the tool's own at `--version` (its
/// code and libraries: a few MiB optimised, more unoptimised or instrumented, several times more
/// under AddressSanitizer) plus `kStreamingRssKib`.
long tool_rss_bound_kib() {
  tallowmere_testing::ProcessResult result;
  return tool_max_rss_kib({"--version"}, result).value_or(0) + kStreamingRssKib;
}

// `cat` of the 1 GiB file and `extract` of a 64 MiB one made the same way stay within a few MiB;
// on the variant that runs past the end, both fail at once with one line, and `extract` leaves
// nothing behind.
TEST(MemoryBoundsTest, CatAndExtractStreamLargeFilesWithinAFewMiB) {
  const tallowmere_testing::TempFile gib(tallowmere_testing::overlapping_gib_archive());
  const Bytes mib64_bytes =
      tallowmere_testing::overlapping_chain_archive(65540, 1024, 0, 64U << 20U);
  const tallowmere_testing::TempFile mib64(mib64_bytes);
  const tallowmere_testing::TempFile past_end(tallowmere_testing::overlapping_past_end_archive());
  const std::filesystem::path into = std::filesystem::path(gib.path()).concat(".extracted");
  const std::string id = "0x06000001";
  const std::string extracted = (into / "0x06" / (id + ".bin")).string();
  tallowmere_testing::ProcessResult result;
  const long bound = tool_rss_bound_kib();

  auto rss = tool_max_rss_kib({"cat", gib.path().string(), id}, result);
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_LT(rss.value_or(0), bound);

  rss = tool_max_rss_kib({"extract", mib64.path().string(), id, "-q", "-C", into.string()}, result);
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_LT(rss.value_or(0), bound);
  const auto db = DatDatabase::open(mib64_bytes);
  ASSERT_TRUE(db.has_value());
  const std::uint32_t first = db->files().find(tallowmere_testing::kOverlappingId)->offset;
  std::ifstream written(extracted, std::ios::binary);
  std::vector<char> content(std::size_t{64} << 20U);
  written.read(content.data(), static_cast<std::streamsize>(content.size()));
  EXPECT_EQ(written.gcount(), static_cast<std::streamsize>(content.size()));
  EXPECT_EQ(written.peek(), EOF);
  for (std::size_t at = 0; at < content.size(); at += 4093) {
    ASSERT_EQ(static_cast<std::uint8_t>(content[at]),
              overlapping_byte(mib64_bytes, first, 65540, at))
        << at;
  }
  std::filesystem::remove_all(into);

  const std::vector<std::vector<std::string>> failing = {
      {"cat", past_end.path().string(), id},
      {"extract", past_end.path().string(), id, "-q", "-C", into.string()}};
  for (const std::vector<std::string>& args : failing) {
    SCOPED_TRACE(args[0]);
    rss = tool_max_rss_kib(args, result);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_NE(result.err.find("failed to fill whole buffer"), std::string::npos) << result.err;
    EXPECT_LT(rss.value_or(0), bound);
    EXPECT_FALSE(std::filesystem::exists(extracted));
  }
  std::filesystem::remove_all(into);
}
#endif

}  // namespace
}  // namespace tallowmere_dat
