// Sound-table decoding from memory, without the archive: tables of the usual shape, and one table
// whose thousands of records arrive in no particular key order.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sound_table_shape.h"
#include "tallowmere_dat/file_type/sound_table.h"
#include "tallowmere_testing/random.h"
#include "tallowmere_testing/sound_table_writer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

/// Decodes every table of `tables` per iteration; items are tables.
void decode_all(benchmark::State& state, const std::vector<Bytes>& tables) {
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused
  for (auto _ : state) {
    for (const Bytes& bytes : tables) {
      tallowmere_dat::Cursor cursor(bytes);
      auto table = tallowmere_dat::file_type::SoundTable::read(cursor);
      if (!table) state.SkipWithError("a table failed to decode");
      benchmark::DoNotOptimize(table);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(tables.size()));
}

void BM_decode_usual_tables(benchmark::State& state) {
  static const std::vector<Bytes> tables = [] {
    tallowmere_testing::Random random(42);
    std::vector<Bytes> out;
    for (std::uint32_t i = 0; i < 1000; ++i)
      out.push_back(tallowmere_bench::usual_sound_table(0x20000000 + i, random));
    return out;
  }();
  decode_all(state, tables);
}
BENCHMARK(BM_decode_usual_tables)->Unit(benchmark::kMicrosecond);

/// 20,000 hash records and 20,000 slots with one entry each, keys random.
void BM_decode_large_table(benchmark::State& state) {
  static const std::vector<Bytes> table = [] {
    tallowmere_testing::Random random(7);
    tallowmere_testing::SoundTableLayout table_layout{.id = 0x20000001};
    for (int i = 0; i < 20000; ++i) {
      table_layout.hashes.push_back({.key = random.between(0, 0xFFFFFFFF)});
      table_layout.sounds.push_back(
          {.key = random.between(0, 0xFFFFFFFF), .data = {.entries = {{1, 1, 1, 1}}}});
    }
    return std::vector<Bytes>{tallowmere_testing::encode_sound_table(table_layout)};
  }();
  decode_all(state, table);
}
BENCHMARK(BM_decode_large_table)->Unit(benchmark::kMicrosecond);

}  // namespace
