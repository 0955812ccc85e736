// The diff of two versions of the 300,000-entry benchmark archive (`bench_archive_300k` and
// `bench_archive_300k_patched`: 1% of the files changed, added or removed), each benchmark next
// to the floor it is judged against, measured in the same run:
//   - open both + diff_archives vs the in-memory floor: each archive read into memory with one
//     read, every entry's chain walked there, compressed files decoded;
//   - open both + diff_archives with metadata_only vs opening both.
// Each reports the process's peak resident memory so far (`peak_rss_mib`), meaningful when one
// benchmark runs alone (--benchmark_filter), next to the two indexes' size (`indexes_mib`).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bench_archive.h"
#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/diff.h"
#include "tallowmere_dat/lrs.h"

namespace {

using tallowmere_dat::DatDatabase;
using tallowmere_dat::DatFileEntry;
using Bytes = std::vector<std::uint8_t>;
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

/// The whole file at `path` into `image`, already large enough, by one read (more only if the
/// kernel returns it short); the bytes read, or 0 on failure.
std::size_t read_whole(const std::string& path, Bytes& image) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::size_t at = 0;
  while (at < image.size()) {
    const ssize_t got = ::read(fd, image.data() + at, image.size() - at);
    if (got <= 0) break;
    at += static_cast<std::size_t>(got);
  }
  ::close(fd);
  return at;
}

/// `size` bytes of the chain at `offset`, walked in `image` into `out`: each block's payload,
/// and everything still wanted from a block whose pointer is 0. False when it runs off the end.
bool walk_chain(std::span<const std::uint8_t> image, std::uint32_t block_size, std::uint32_t offset,
                std::uint32_t size, Bytes& out) {
  out.resize(size);
  std::size_t at = 0;
  for (std::uint64_t block = offset; at < size;) {
    if (block + 4 > image.size()) return false;
    const std::uint32_t next = bench::load_u32(&image[block]);
    const std::size_t take =
        next == 0 ? size - at : std::min<std::size_t>(block_size - 4, size - at);
    if (block + 4 + take > image.size()) return false;
    std::copy_n(&image[block + 4], take, &out[at]);
    at += take;
    block = next;
  }
  return true;
}

/// The floor of the diff: both archives read into memory, one read each, and every entry's
/// chain walked there, compressed files decoded, into buffers reused throughout.
void BM_diff_floor(benchmark::State& state) {
  const std::optional<DatDatabase> a = open(old_path(), state);
  const std::optional<DatDatabase> b = open(new_path(), state);
  if (!a || !b) return;
  // One buffer for the larger file, its pages touched before the timing: the floor pays for
  // reading, not for the memory it reads into.
  Bytes image(std::max(a->file().size().value_or(0), b->file().size().value_or(0)));
  Bytes stored;
  Bytes content;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    for (const DatDatabase* db : {&*a, &*b}) {
      const std::string path = db == &*a ? old_path() : new_path();
      const std::size_t length = read_whole(path, image);
      if (length != db->file().size().value_or(0)) state.SkipWithError("cannot read the archive");
      const std::span<const std::uint8_t> archive(image.data(), length);
      for (const DatFileEntry& entry : db->files()) {
        if (!walk_chain(archive, db->header().block_size, entry.offset, entry.size, stored)) {
          state.SkipWithError("a chain runs off the end");
        }
        if (entry.is_compressed()) (void)tallowmere_dat::decompress_lrs_into(stored, content);
        benchmark::DoNotOptimize(content.data());
      }
    }
  }
  state.SetItemsProcessed(state.iterations() *
                          static_cast<std::int64_t>(a->files().size() + b->files().size()));
  report_memory(state, *a, *b);
}
BENCHMARK(BM_diff_floor)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
