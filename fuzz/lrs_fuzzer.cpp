// Differential target for the LRS decoder: the fast decoder must agree byte for byte with the
// plain reference decoder on any input, never produce more than the prefix declares, and give
// back what the test encoder compressed.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "tallowmere_dat/lrs.h"
#include "tallowmere_testing/lrs_codec.h"

namespace {

[[noreturn]] void fail(const char* what) {
  (void)std::fprintf(stderr, "lrs_fuzzer: %s\n", what);
  std::abort();
}

bool same(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  return std::ranges::equal(a, b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const std::vector<std::uint8_t> fast = tallowmere_dat::decompress_lrs(input);
  if (fast != tallowmere_testing::decompress_lrs_reference(input)) {
    fail("the fast decoder disagrees with the reference decoder");
  }
  if (size < 4) {
    if (!same(fast, input)) fail("an input without a size prefix did not come back unchanged");
  } else {
    const std::uint64_t declared = std::uint64_t{data[0]} | (std::uint64_t{data[1]} << 8U) |
                                   (std::uint64_t{data[2]} << 16U) |
                                   (std::uint64_t{data[3]} << 24U);
    if (fast.size() > declared) fail("the output is longer than its prefix declares");
    // No stream of m bytes yields more than 8m: the bound that caps the up-front allocation.
    if (fast.size() > 8 * (size - 4)) fail("the output is longer than its stream can produce");
  }

  // The same bytes as content: compressing and decompressing must give them back, which drives
  // the fast paths with long, valid back-references. The encoder costs several times the
  // decoders, so only one input length in eight takes this path.
  if (size % 8 == 0 &&
      !same(tallowmere_dat::decompress_lrs(tallowmere_testing::lrs_compress(input)), input)) {
    fail("compressed content did not decompress to itself");
  }
  return 0;
}
