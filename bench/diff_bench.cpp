// The diff of two versions of the 300,000-entry benchmark archive (`bench_archive_300k` and
// `bench_archive_300k_patched`: 1% of the files changed, added or removed), each benchmark next
// to the floor it is judged against, measured in the same run:
//   - open both + diff_archives vs the in-memory floor: each archive read into memory with one
//     read, every entry's chain walked there, compressed files decoded;
//   - open both + diff_archives with metadata_only vs opening both.
// Each reports the process's peak resident memory so far (`peak_rss_mib`), meaningful when one
// benchmark runs alone (--benchmark_filter), next to the two indexes' size (`indexes_mib`).

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bench_archive.h"
#include "in_memory_floor.h"
#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/diff.h"

namespace {

using tallowmere_bench::Bytes;
using tallowmere_dat::DatDatabase;
using tallowmere_dat::DatFileEntry;
namespace bench = tallowmere_bench;

/// The old version is the benchmark archive (here the 300,000-entry one); the new one is
/// $TALLOWMERE_BENCH_ARCHIVE_NEXT, else where the `bench_archive_300k_patched` target writes it.
std::string old_path() {
  return bench::bench_archive_path();
}
std::string new_path() {
  const char* path = std::getenv("TALLOWMERE_BENCH_ARCHIVE_NEXT");
  return path != nullptr && *path != 0 ? path : TALLOWMERE_BENCH_ARCHIVE_NEXT_DEFAULT;
}

std::optional<DatDatabase> open(const std::string& path, benchmark::State& state) {
  auto opened = DatDatabase::open(path);
  if (!opened) {
    state.SkipWithError((opened.error().message() +
                         " (build the bench_archive_300k and bench_archive_300k_patched targets)")
                            .c_str());
    return std::nullopt;
  }
  return std::move(*opened);
}

void report_memory(benchmark::State& state, const DatDatabase& a, const DatDatabase& b) {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_mib"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
  state.counters["indexes_mib"] =
      static_cast<double>((a.files().size() + b.files().size()) * sizeof(DatFileEntry)) /
      (1024.0 * 1024.0);
}

void BM_diff(benchmark::State& state, bool metadata_only) {
  std::optional<DatDatabase> a;
  std::optional<DatDatabase> b;
  std::size_t differences = 0;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    a.reset();  // the last iteration's, so that no more than two are open at once
    b.reset();
    a = open(old_path(), state);
    b = open(new_path(), state);
    if (!a || !b) return;
    const auto report = tallowmere_dat::diff_archives(*a, *b, {.metadata_only = metadata_only});
    differences = report.added.size() + report.removed.size() + report.changed.size();
    if (!report.unreadable.empty()) state.SkipWithError("an entry is unreadable");
  }
  if (!a || !b) return;
  state.counters["differences"] = static_cast<double>(differences);
  state.SetItemsProcessed(state.iterations() *
                          static_cast<std::int64_t>(a->files().size() + b->files().size()));
  report_memory(state, *a, *b);
}
BENCHMARK_CAPTURE(BM_diff, content, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_diff, metadata_only, true)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_open_both(benchmark::State& state) {
  std::optional<DatDatabase> a;
  std::optional<DatDatabase> b;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    a.reset();  // the last iteration's, so that no more than two are open at once
    b.reset();
    a = open(old_path(), state);
    b = open(new_path(), state);
    if (!a || !b) return;
    benchmark::DoNotOptimize(b->files().size());
  }
  if (!a || !b) return;
  report_memory(state, *a, *b);
}
BENCHMARK(BM_open_both)->Unit(benchmark::kMillisecond)->UseRealTime();

/// The floor of the diff: both archives read into memory, one read each, and every entry's
/// chain walked there, compressed files decoded, into buffers reused throughout.
void BM_diff_floor(benchmark::State& state) {
  const std::optional<DatDatabase> a = open(old_path(), state);
  const std::optional<DatDatabase> b = open(new_path(), state);
  if (!a || !b) return;
  // One buffer for the larger file, its pages touched before the timing: the floor pays for
  // reading, not for the memory it reads into.
  Bytes image(
      std::max(std::filesystem::file_size(old_path()), std::filesystem::file_size(new_path())));
  Bytes stored;
  Bytes content;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    if (!bench::read_every_file_in_memory(*a, old_path(), image, stored, content) ||
        !bench::read_every_file_in_memory(*b, new_path(), image, stored, content)) {
      state.SkipWithError("cannot read an archive");
    }
    benchmark::DoNotOptimize(content.data());
  }
  state.SetItemsProcessed(state.iterations() *
                          static_cast<std::int64_t>(a->files().size() + b->files().size()));
  report_memory(state, *a, *b);
}
BENCHMARK(BM_diff_floor)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
