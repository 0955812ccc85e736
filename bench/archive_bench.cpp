// The whole pipeline on the large benchmark archive (`bench_archive` target), each benchmark next
// to the floor it is judged against, measured in the same run:
//   - open (header + directory walk) vs one pread per directory block, the entries appended to
//     a vector and sorted;
//   - get_file of a large contiguous file vs one pread of the same byte count, and of a large
//     fragmented file, with the reads made per block;
//   - get_file of the large contiguous file into one reused buffer vs one pread into one reused
//     buffer;
//   - every file of the archive by get_file vs into one reused buffer;
//   - get_file + SoundTable::read for every sound table;
//   - the environ report as a function call, and the probe as a process.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bench_archive.h"
#include "block_chain.h"
#include "file_ext.h"
#include "huge_pages.h"
#include "tallowmere_dat/check.h"
#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/file_type/sound_table.h"
#include "tallowmere_report/environ_report.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): posix_spawn wants it

namespace {

using tallowmere_dat::DatDatabase;
using tallowmere_dat::DatFileEntry;
namespace bench = tallowmere_bench;

/// The archive opened once for the benchmarks that only read it; nullptr (with the reason
/// printed) when it is missing.
const DatDatabase* archive() {
  static const std::optional<DatDatabase> db = []() -> std::optional<DatDatabase> {
    auto opened = DatDatabase::open(bench::bench_archive_path());
    if (!opened) {
      std::fprintf(stderr, "cannot open %s (build the bench_archive target): %s\n",
                   bench::bench_archive_path().c_str(), opened.error().debug().c_str());
      return std::nullopt;
    }
    return std::move(*opened);
  }();
  return db ? &*db : nullptr;
}

/// `per_iteration` times the iterations run, for the throughput counters.
std::int64_t total(const benchmark::State& state, std::size_t per_iteration) {
  return state.iterations() * static_cast<std::int64_t>(per_iteration);
}

#define REQUIRE_ARCHIVE(state, db)                         \
  const DatDatabase* db = archive();                       \
  if ((db) == nullptr) {                                   \
    (state).SkipWithError("benchmark archive is missing"); \
    return;                                                \
  }

void BM_open(benchmark::State& state) {
  REQUIRE_ARCHIVE(state, db);
  const std::string path = bench::bench_archive_path();
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    auto opened = DatDatabase::open(path);
    if (!opened) state.SkipWithError("open failed");
    benchmark::DoNotOptimize(opened->files().size());
  }
  state.SetItemsProcessed(total(state, db->files().size()));
}
BENCHMARK(BM_open)->Unit(benchmark::kMillisecond)->UseRealTime();

/// The bench archive opened on its own, for the floors' raw reads.
const tallowmere_dat::File& raw_archive() {
  static const tallowmere_dat::File file = [] {
    auto opened = tallowmere_dat::File::open_read_only(bench::bench_archive_path());
    if (!opened) std::abort();
    return std::move(*opened);
  }();
  return file;
}

/// The blocks of every directory node, found by a plain walk: the floor's map of the file.
std::vector<std::vector<std::uint32_t>> directory_blocks(const DatDatabase& db) {
  constexpr std::size_t kNodeSize = 1716;
  const std::uint32_t payload = db.header().block_size - 4;
  std::vector<std::vector<std::uint32_t>> nodes;
  std::vector<std::uint32_t> pending{db.header().root_offset};
  while (!pending.empty()) {
    const std::uint32_t offset = pending.back();
    pending.pop_back();
    if (offset == 0) continue;
    std::vector<std::uint32_t>& blocks = nodes.emplace_back();
    std::vector<std::uint8_t> node(kNodeSize);
    for (std::uint32_t block = offset, at = 0; at < kNodeSize;) {
      blocks.push_back(block);
      std::array<std::uint8_t, 4> next{};
      const std::size_t take = std::min<std::size_t>(payload, kNodeSize - at);
      (void)tallowmere_dat::read_exact_at_compat(raw_archive(), next, block);
      (void)tallowmere_dat::read_exact_at_compat(raw_archive(), std::span(node).subspan(at, take),
                                                 block + 4);
      at += static_cast<std::uint32_t>(take);
      block = bench::load_u32(next.data());
    }
    const std::uint32_t count = bench::load_u32(node.data() + 248);
    for (std::uint32_t slot = 0; node[0] != 0 && slot <= count && slot < 62; ++slot)
      pending.push_back(bench::load_u32(node.data() + 4 * slot));
  }
  return nodes;
}

/// The floor of the open: one pread per directory block (the blocks known beforehand), the
/// entries appended to a vector and sorted by identifier.
void BM_open_floor(benchmark::State& state) {
  REQUIRE_ARCHIVE(state, db);
  const auto nodes = directory_blocks(*db);
  const int fd = tallowmere_dat::detail::FileDescriptor::of(raw_archive());
  const std::size_t payload = db->header().block_size - 4;
  std::size_t count = 0;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    std::vector<DatFileEntry> entries;
    std::array<std::uint8_t, 1716> node{};
    for (const std::vector<std::uint32_t>& blocks : nodes) {
      std::size_t at = 0;
      for (const std::uint32_t block : blocks) {
        const std::size_t take = std::min(payload, node.size() - at);
        if (pread(fd, node.data() + at, take, block + 4) != static_cast<ssize_t>(take)) {
          state.SkipWithError("pread failed");
        }
        at += take;
      }
      const std::uint32_t entry_count = std::min<std::uint32_t>(bench::load_u32(&node[248]), 61);
      for (std::uint32_t e = 0; e < entry_count; ++e) {
        const std::uint8_t* field = &node[252 + 24 * e];
        entries.push_back({bench::load_u32(field), bench::load_u32(field + 4),
                           bench::load_u32(field + 8), bench::load_u32(field + 12),
                           bench::load_u32(field + 16), bench::load_u32(field + 20)});
      }
    }
    std::ranges::sort(entries, {}, &DatFileEntry::id);
    count = entries.size();
    benchmark::DoNotOptimize(entries.data());
  }
  if (count != db->files().size()) state.SkipWithError("the floor found other entries");
  state.SetItemsProcessed(total(state, count));
}
BENCHMARK(BM_open_floor)->Unit(benchmark::kMillisecond)->UseRealTime();

/// A block source that counts the read requests reaching the file.
class CountingSource final : public tallowmere_dat::detail::BlockSource {
 public:
  std::expected<void, tallowmere_dat::IoError> read_at(std::span<std::uint8_t> head,
                                                       std::span<std::uint8_t> tail,
                                                       std::uint64_t offset) const override {
    ++reads_;
    return tallowmere_dat::read_exact_at_compat(raw_archive(), head, tail, offset);
  }
  std::uint64_t length_hint() const override { return raw_archive().size().value_or(0); }
  std::size_t reads() const { return reads_; }

 private:
  mutable std::size_t reads_ = 0;
};

/// Read requests per block of file `id`'s chain.
double reads_per_block(const DatDatabase& db, std::uint32_t id) {
  const DatFileEntry& entry = *db.files().find(id);
  const CountingSource source;
  (void)tallowmere_dat::detail::read_block_chain(source, db.header().block_size, entry.offset,
                                                 entry.size);
  const double blocks = static_cast<double>(entry.size) / (db.header().block_size - 4.0);
  return static_cast<double>(source.reads()) / blocks;
}

void BM_get_file(benchmark::State& state, std::uint32_t id) {
  REQUIRE_ARCHIVE(state, db);
  std::size_t bytes = 0;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    auto file = db->get_file(id);
    if (!file) state.SkipWithError("get_file failed");
    bytes = file->size();
    benchmark::DoNotOptimize(file->data());
  }
  state.SetBytesProcessed(total(state, bytes));
  state.counters["reads_per_block"] = reads_per_block(*db, id);
}
BENCHMARK_CAPTURE(BM_get_file, large_contiguous, bench::kLargeContiguousId)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_get_file, large_fragmented, bench::kLargeFragmentedId)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_get_file, large_compressed, bench::kLargeCompressedId)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

/// The floor of a large read: one positional read of the contiguous file's byte count, into a
/// fresh buffer as get_file returns (`fresh`), or into one buffer reused; with `huge_pages`, the
/// buffer asks for huge pages before it is first written, as the library's results do.
void BM_pread_floor(benchmark::State& state, bool fresh, bool huge_pages) {
  REQUIRE_ARCHIVE(state, db);
  const DatFileEntry& entry = *db->files().find(bench::kLargeContiguousId);
  const auto allocate = [&](std::vector<std::uint8_t>& buffer) {
    buffer.reserve(entry.size);
    if (huge_pages) tallowmere_dat::detail::advise_huge_pages(buffer.data(), buffer.capacity());
    buffer.resize(entry.size);
  };
  std::vector<std::uint8_t> reused;
  if (!fresh) allocate(reused);
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    std::vector<std::uint8_t> buffer;
    if (fresh) allocate(buffer);
    std::vector<std::uint8_t>& into = fresh ? buffer : reused;
    if (!tallowmere_dat::read_exact_at_compat(raw_archive(), into, entry.offset)) {
      state.SkipWithError("pread failed");
    }
    benchmark::DoNotOptimize(into.data());
  }
  state.SetBytesProcessed(total(state, entry.size));
}
BENCHMARK_CAPTURE(BM_pread_floor, fresh_buffer, true, false)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_pread_floor, reused_buffer, false, false)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_pread_floor, fresh_huge_pages, true, true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_pread_floor, reused_huge_pages, false, true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

/// get_file of file `id` into one buffer reused across iterations, judged against
/// BM_pread_floor/reused_buffer.
void BM_get_file_into(benchmark::State& state, std::uint32_t id) {
  REQUIRE_ARCHIVE(state, db);
  std::vector<std::uint8_t> buffer;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    if (!db->get_file(id, buffer)) state.SkipWithError("get_file failed");
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(total(state, buffer.size()));
}
BENCHMARK_CAPTURE(BM_get_file_into, large_contiguous, bench::kLargeContiguousId)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_get_file_into, large_compressed, bench::kLargeCompressedId)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

/// Every file of the archive in identifier order, each by get_file (`fresh`) or into one buffer
/// reused throughout; items are files.
void BM_every_file(benchmark::State& state, bool fresh) {
  REQUIRE_ARCHIVE(state, db);
  std::vector<std::uint8_t> buffer;
  std::size_t bytes = 0;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    bytes = 0;
    for (const DatFileEntry& entry : db->files()) {
      if (fresh) {
        auto file = db->get_file(entry.id);
        if (!file) state.SkipWithError("get_file failed");
        bytes += file->size();
        benchmark::DoNotOptimize(file->data());
      } else {
        if (!db->get_file(entry.id, buffer)) state.SkipWithError("get_file failed");
        bytes += buffer.size();
        benchmark::DoNotOptimize(buffer.data());
      }
    }
  }
  state.SetItemsProcessed(total(state, db->files().size()));
  state.SetBytesProcessed(total(state, bytes));
}
BENCHMARK_CAPTURE(BM_every_file, get_file, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_every_file, reused_buffer, false)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

/// Every file of the archive in identifier order by get_file_verified into one reused buffer:
/// the C++ side of the Python module's read loop (bench/python_bench); items are files.
void BM_every_file_verified(benchmark::State& state) {
  REQUIRE_ARCHIVE(state, db);
  std::vector<std::uint8_t> buffer;
  std::size_t failed = 0;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    failed = 0;
    for (const DatFileEntry& entry : db->files()) {
      failed += db->get_file_verified(entry.id, buffer) ? 0 : 1;
      benchmark::DoNotOptimize(buffer.data());
    }
  }
  state.counters["failed"] = static_cast<double>(failed);
  state.SetItemsProcessed(total(state, db->files().size()));
}
BENCHMARK(BM_every_file_verified)->Unit(benchmark::kMillisecond)->UseRealTime();

/// The environ report of an open archive: the C++ side of the Python module's sound-table
/// dicts (bench/python_bench); items are sound tables.
void BM_environ_report(benchmark::State& state) {
  REQUIRE_ARCHIVE(state, db);
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    const std::string report = tallowmere_dat::environ_report(*db);
    benchmark::DoNotOptimize(report.data());
  }
  state.SetItemsProcessed(total(state, bench::kSoundTableCount));
}
BENCHMARK(BM_environ_report)->Unit(benchmark::kMillisecond)->UseRealTime();

/// The integrity check of the whole archive; items are directory entries.
void BM_check(benchmark::State& state) {
  REQUIRE_ARCHIVE(state, db);
  const std::string path = bench::bench_archive_path();
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    auto report = tallowmere_dat::check_archive(path);
    if (!report) state.SkipWithError("check failed");
    benchmark::DoNotOptimize(report->findings.size());
  }
  state.SetItemsProcessed(total(state, db->files().size()));
}
BENCHMARK(BM_check)->Unit(benchmark::kMillisecond)->UseRealTime();

/// The check's floor: an open, then every file's chain read once as stored; items are entries.
void BM_check_floor(benchmark::State& state) {
  REQUIRE_ARCHIVE(state, db);
  const std::string path = bench::bench_archive_path();
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    auto opened = DatDatabase::open(path);
    if (!opened) state.SkipWithError("open failed");
    for (const DatFileEntry& entry : opened->files()) {
      auto stored = opened->read_file_data(entry.offset, entry.size);
      if (!stored) state.SkipWithError("read_file_data failed");
      benchmark::DoNotOptimize(stored->data());
    }
  }
  state.SetItemsProcessed(total(state, db->files().size()));
}
BENCHMARK(BM_check_floor)->Unit(benchmark::kMillisecond)->UseRealTime();

/// get_file + SoundTable::read for every sound table; items are tables.
void BM_sound_tables(benchmark::State& state) {
  REQUIRE_ARCHIVE(state, db);
  const std::vector<std::uint32_t> ids = tallowmere_dat::sound_table_ids(*db);
  std::size_t decoded = 0;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    decoded = 0;
    for (const std::uint32_t id : ids) {
      const auto bytes = db->get_file(id);
      if (!bytes) continue;
      tallowmere_dat::Cursor cursor(*bytes);
      const auto table = tallowmere_dat::file_type::SoundTable::read(cursor);
      if (table) ++decoded;
      benchmark::DoNotOptimize(table);
    }
  }
  if (decoded != bench::kSoundTableCount) state.SkipWithError("not every table decoded");
  state.SetItemsProcessed(total(state, ids.size()));
}
BENCHMARK(BM_sound_tables)->Unit(benchmark::kMillisecond)->UseRealTime();

/// The probe's work as function calls: open, then the report.
void BM_probe_function(benchmark::State& state) {
  REQUIRE_ARCHIVE(state, db);
  const std::string path = bench::bench_archive_path();
  std::size_t length = 0;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    auto opened = DatDatabase::open(path);
    if (!opened) state.SkipWithError("open failed");
    const std::string report = tallowmere_dat::environ_report(*opened);
    length = report.size();
    benchmark::DoNotOptimize(report.data());
  }
  state.counters["report_bytes"] = static_cast<double>(length);
}
BENCHMARK(BM_probe_function)->Unit(benchmark::kMillisecond)->UseRealTime();

/// The probe as a process, built with the benchmark archive's path, its output to /dev/null.
void BM_probe_process(benchmark::State& state) {
  REQUIRE_ARCHIVE(state, db);
  const std::string probe = TALLOWMERE_BENCH_PROBE;
  if (bench::bench_archive_path() != TALLOWMERE_BENCH_ARCHIVE_DEFAULT) {
    state.SkipWithError("the probe reads the archive at its compiled-in path only");
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  std::string argv0 = probe;
  char* argv[] = {argv0.data(), nullptr};
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    pid_t pid = 0;
    if (posix_spawn(&pid, probe.c_str(), &actions, nullptr, argv, environ) != 0) {
      state.SkipWithError("cannot start the probe");
      break;
    }
    int status = 0;
    (void)waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("probe failed");
  }
  posix_spawn_file_actions_destroy(&actions);
}
BENCHMARK(BM_probe_process)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
