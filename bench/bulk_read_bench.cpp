// Reading every file of the 300,000-entry benchmark archive (`bench_archive_300k`), each way next
// to the floor it is judged against, measured in the same run:
//   - the in-memory floor: the archive read with one read, every chain walked in memory, the
//     compressed files decoded (bench/in_memory_floor.h);
//   - an open and get_file_verified of each file into one reused buffer, in identifier order;
//   - an open and the bulk reader over every file;
//   - check_archive, whole and layout only; the layout's floor is an open, the archive read with
//     one read and every chain's pointers followed in memory.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bench_archive.h"
#include "in_memory_floor.h"
#include "tallowmere_dat/bulk_reader.h"
#include "tallowmere_dat/check.h"
#include "tallowmere_dat/dat_database.h"

namespace {

using tallowmere_dat::DatDatabase;
using tallowmere_dat::DatFileEntry;
namespace bench = tallowmere_bench;

std::optional<DatDatabase> open_archive(benchmark::State& state) {
  auto opened = DatDatabase::open(bench::bench_archive_path());
  if (!opened) {
    state.SkipWithError(
        (opened.error().message() + " (build the bench_archive_300k target)").c_str());
    return std::nullopt;
  }
  return std::move(*opened);
}

void count_files(benchmark::State& state, const DatDatabase& db) {
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(db.files().size()));
}

void BM_every_file_in_memory_floor(benchmark::State& state) {
  const std::optional<DatDatabase> db = open_archive(state);
  if (!db) return;
  // The image's pages are touched before the timing: the floor pays for reading, not for the
  // memory it reads into.
  bench::Bytes image(std::filesystem::file_size(bench::bench_archive_path()));
  bench::Bytes stored;
  bench::Bytes content;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    if (!bench::read_every_file_in_memory(*db, bench::bench_archive_path(), image, stored,
                                          content)) {
      state.SkipWithError("cannot read the archive");
    }
    benchmark::DoNotOptimize(content.data());
  }
  count_files(state, *db);
}
BENCHMARK(BM_every_file_in_memory_floor)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_every_file_one_by_one(benchmark::State& state) {
  std::optional<DatDatabase> db;
  std::vector<std::uint8_t> bytes;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    db = open_archive(state);
    if (!db) return;
    for (const DatFileEntry& entry : db->files()) {
      if (!db->get_file_verified(entry.id, bytes)) state.SkipWithError("a file is unreadable");
    }
    benchmark::DoNotOptimize(bytes.data());
  }
  count_files(state, *db);
}
BENCHMARK(BM_every_file_one_by_one)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_every_file_bulk(benchmark::State& state) {
  std::optional<DatDatabase> db;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    db = open_archive(state);
    if (!db) return;
    std::vector<const DatFileEntry*> entries;
    entries.reserve(db->files().size());
    for (const DatFileEntry& entry : db->files())
      entries.push_back(&entry);
    tallowmere_dat::BulkReader reader(*db, std::move(entries));
    while (const auto file = reader.next()) {
      if (!file->bytes) state.SkipWithError("a file is unreadable");
      benchmark::DoNotOptimize(file->bytes->data());
    }
  }
  count_files(state, *db);
}
BENCHMARK(BM_every_file_bulk)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_check(benchmark::State& state, tallowmere_dat::CheckDepth depth) {
  std::size_t findings = 0;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    const auto report = tallowmere_dat::check_archive(bench::bench_archive_path(), depth);
    if (!report) state.SkipWithError("the check failed");
    findings = report->findings.size();
  }
  state.counters["findings"] = static_cast<double>(findings);
}
BENCHMARK_CAPTURE(BM_check, full, tallowmere_dat::CheckDepth::Full)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_check, layout_only, tallowmere_dat::CheckDepth::LayoutOnly)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

/// How many blocks the chain of `size` bytes at `offset` takes, its pointers followed in `image`
/// up to the end of the data or of the image.
std::size_t count_blocks(std::span<const std::uint8_t> image, std::uint32_t block_size,
                         std::uint32_t offset, std::uint32_t size) {
  std::size_t blocks = 0;
  for (std::uint64_t block = offset, left = size; left > 0 && block + 4 <= image.size(); ++blocks) {
    const std::uint32_t next = bench::load_u32(&image[block]);
    left = next == 0 ? 0 : left - std::min<std::uint64_t>(left, block_size - 4);
    block = next;
  }
  return blocks;
}

void BM_layout_floor(benchmark::State& state) {
  bench::Bytes image(std::filesystem::file_size(bench::bench_archive_path()));
  std::size_t blocks = 0;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    const std::optional<DatDatabase> db = open_archive(state);
    if (!db) return;
    const std::size_t length = bench::read_whole(bench::bench_archive_path(), image);
    blocks = 0;
    for (const DatFileEntry& entry : db->files()) {
      blocks += count_blocks(std::span(image).first(length), db->header().block_size, entry.offset,
                             entry.size);
    }
  }
  state.counters["blocks"] = static_cast<double>(blocks);
}
BENCHMARK(BM_layout_floor)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
