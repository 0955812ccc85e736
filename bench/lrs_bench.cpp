// Decoding speed of the LRS decoder against the plain reference decoder, in output bytes per
// second, on three kinds of data compressed by the test encoder.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tallowmere_dat/lrs.h"
#include "tallowmere_testing/lrs_codec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kCorpusSize = 4 << 20;

/// Text-like: words of a made-up vocabulary, picked with a skew towards common ones, with
/// spaces, punctuation and line breaks. Compresses to a little under half.
Bytes text_corpus() {
  std::mt19937 rng(1);
  std::vector<std::string> vocabulary;
  for (int i = 0; i < 2000; ++i) {
    std::string word;
    const std::size_t letters = 2 + rng() % 9;
    for (std::size_t k = 0; k < letters; ++k)
      word += static_cast<char>('a' + rng() % 26);
    vocabulary.push_back(word);
  }
  std::geometric_distribution<std::size_t> rank(0.01);
  Bytes bytes;
  while (bytes.size() < kCorpusSize) {
    const std::string& word = vocabulary[rank(rng) % vocabulary.size()];
    bytes.insert(bytes.end(), word.begin(), word.end());
    const auto r = rng() % 20;
    bytes.push_back(r == 0 ? '.' : r == 1 ? ',' : r == 2 ? '\n' : ' ');
  }
  bytes.resize(kCorpusSize);
  return bytes;
}

/// Highly repetitive: long runs of one byte and of short patterns, so nearly every token is an
/// overlapping back-reference of the greatest length.
Bytes repetitive_corpus() {
  std::mt19937 rng(2);
  Bytes bytes;
  while (bytes.size() < kCorpusSize) {
    const std::size_t period = 1 + rng() % 6;
    const std::size_t run = 200 + rng() % 2000;
    Bytes pattern(period);
    for (auto& b : pattern)
      b = static_cast<std::uint8_t>(rng());
    for (std::size_t i = 0; i < run; ++i)
      bytes.push_back(pattern[i % period]);
  }
  bytes.resize(kCorpusSize);
  return bytes;
}

/// Incompressible: random bytes, decoded from a stream of literals only.
Bytes random_corpus() {
  std::mt19937 rng(3);
  Bytes bytes(kCorpusSize);
  for (auto& b : bytes)
    b = static_cast<std::uint8_t>(rng());
  return bytes;
}

struct Corpus {
  Bytes data;
  Bytes compressed;
};

Corpus make_corpus(Bytes data) {
  Bytes compressed = tallowmere_testing::lrs_compress(data);
  return {std::move(data), std::move(compressed)};
}

enum CorpusKind : std::uint8_t { kText, kRepetitive, kRandom };

const Corpus& corpus(CorpusKind kind) {
  static const Corpus corpora[] = {make_corpus(text_corpus()), make_corpus(repetitive_corpus()),
                                   make_corpus(random_corpus())};
  return corpora[kind];
}

using Decoder = std::vector<std::uint8_t> (*)(std::span<const std::uint8_t>);

void BM_decode(benchmark::State& state, Decoder decode, CorpusKind kind) {
  const Corpus& c = corpus(kind);
  if (decode(c.compressed) != c.data) {
    state.SkipWithError("decoder output differs from the original data");
    return;
  }
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the benchmark loop's variable is unused
  for (auto _ : state) {
    std::vector<std::uint8_t> out = decode(c.compressed);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  // Throughput counts output bytes, the measure that compares decoders across ratios.
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(c.data.size()));
  state.counters["ratio"] =
      static_cast<double>(c.data.size()) / static_cast<double>(c.compressed.size());
}

BENCHMARK_CAPTURE(BM_decode, fast_text, tallowmere_dat::decompress_lrs, kText);
BENCHMARK_CAPTURE(BM_decode, reference_text, tallowmere_testing::decompress_lrs_reference, kText);
BENCHMARK_CAPTURE(BM_decode, fast_repetitive, tallowmere_dat::decompress_lrs, kRepetitive);
BENCHMARK_CAPTURE(BM_decode, reference_repetitive, tallowmere_testing::decompress_lrs_reference,
                  kRepetitive);
BENCHMARK_CAPTURE(BM_decode, fast_random, tallowmere_dat::decompress_lrs, kRandom);
BENCHMARK_CAPTURE(BM_decode, reference_random, tallowmere_testing::decompress_lrs_reference,
                  kRandom);

}  // namespace
