#include "tallowmere_testing/lrs_codec.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <limits>

namespace tallowmere_testing {
namespace {

constexpr std::size_t kMaxDistance = 4095;
constexpr std::size_t kMinMatch = 3;  // a 2-byte match saves nothing over two literals
constexpr std::size_t kMaxMatch = 17;
constexpr unsigned kHashBits = 15;
constexpr int kMaxChain = 48;  // candidates tried per position; keeps several MiB fast

std::uint32_t hash3(const std::uint8_t* p) {
  const std::uint32_t v = static_cast<std::uint32_t>(p[0]) |
                          (static_cast<std::uint32_t>(p[1]) << 8) |
                          (static_cast<std::uint32_t>(p[2]) << 16);
  return (v * 2654435761U) >> (32 - kHashBits);
}

}  // namespace

std::vector<std::uint8_t> lrs_compress(std::span<const std::uint8_t> data) {
  if (data.size() > std::numeric_limits<std::uint32_t>::max()) std::abort();
  const std::size_t n = data.size();

  std::vector<std::uint8_t> out;
  out.reserve(4 + n + n / 8 + 1);
  for (unsigned i = 0; i < 4; ++i)
    out.push_back(static_cast<std::uint8_t>(n >> (8 * i)));

  // Hash chains: `head` holds the latest position per hash, `prev` the previous position with the
  // same hash. A ring of kMaxDistance + 1 entries suffices because older positions are out of
  // reach.
  constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  std::vector<std::size_t> head(std::size_t{1} << kHashBits, kNone);
  std::vector<std::size_t> prev(kMaxDistance + 1, kNone);
  const auto insert = [&](std::size_t pos) {
    if (pos + kMinMatch > n) return;
    const std::uint32_t h = hash3(&data[pos]);
    prev[pos % prev.size()] = head[h];
    head[h] = pos;
  };

  std::size_t control_at = 0;
  unsigned control_bit = 0;
  std::size_t pos = 0;
  while (pos < n) {
    if (control_bit == 0) {
      control_at = out.size();
      out.push_back(0);
      control_bit = 0x80;
    }

    std::size_t best_len = 0;
    std::size_t best_distance = 0;
    if (pos + kMinMatch <= n) {
      const std::size_t max_len = std::min(kMaxMatch, n - pos);
      std::size_t candidate = head[hash3(&data[pos])];
      for (int chain = 0;
           chain < kMaxChain && candidate != kNone && pos - candidate <= kMaxDistance; ++chain) {
        // Byte-wise comparison: a match may run into the bytes it produces (distance < length),
        // which the decoder's byte-at-a-time copy reproduces.
        std::size_t len = 0;
        while (len < max_len && data[candidate + len] == data[pos + len])
          ++len;
        if (len > best_len) {
          best_len = len;
          best_distance = pos - candidate;
          if (len == max_len) break;
        }
        candidate = prev[candidate % prev.size()];
      }
    }

    if (best_len >= kMinMatch) {
      out[control_at] = static_cast<std::uint8_t>(out[control_at] | control_bit);
      out.push_back(static_cast<std::uint8_t>(best_distance & 0xFF));
      out.push_back(static_cast<std::uint8_t>(((best_distance >> 8) << 4) | (best_len - 2)));
      for (std::size_t i = 0; i < best_len; ++i)
        insert(pos + i);
      pos += best_len;
    } else {
      out.push_back(data[pos]);
      insert(pos);
      ++pos;
    }
    control_bit >>= 1;
  }
  return out;
}

std::vector<std::uint8_t> decompress_lrs_reference(std::span<const std::uint8_t> input) {
  if (input.size() < 4) return {input.begin(), input.end()};
  const std::size_t output_size =
      static_cast<std::size_t>(input[0]) | (static_cast<std::size_t>(input[1]) << 8) |
      (static_cast<std::size_t>(input[2]) << 16) | (static_cast<std::size_t>(input[3]) << 24);
  const std::span<const std::uint8_t> compressed = input.subspan(4);

  std::vector<std::uint8_t> output;
  // Each input byte yields at most 8 output bytes, so a lying prefix cannot force a huge block.
  output.reserve(compressed.size() >= output_size / 8 ? output_size : 8 * compressed.size() + 17);
  std::uint8_t control_byte = 0;
  std::uint8_t control_bit = 0;
  std::size_t input_idx = 0;

  while (output.size() < output_size && input_idx < compressed.size()) {
    if (control_bit == 0) {
      control_byte = compressed[input_idx];
      input_idx += 1;
      control_bit = 0x80;
    }
    if ((control_byte & control_bit) != 0) {
      if (input_idx + 1 >= compressed.size()) break;
      const std::uint8_t b1 = compressed[input_idx];
      const std::uint8_t b2 = compressed[input_idx + 1];
      input_idx += 2;
      const std::size_t offset = b1 | (static_cast<std::size_t>(b2 & 0xF0) << 4);
      const std::size_t length = static_cast<std::size_t>(b2 & 0x0F) + 2;
      if (offset == 0) break;
      if (output.empty()) break;  // nothing to copy from: treated like any other malformed stream
      for (std::size_t i = 0; i < length; ++i) {
        if (output.size() >= output_size) break;
        const std::size_t copy_idx = offset > output.size() ? 0 : output.size() - offset;
        output.push_back(output[copy_idx]);
      }
    } else {
      if (input_idx >= compressed.size()) break;
      output.push_back(compressed[input_idx]);
      input_idx += 1;
    }
    control_bit = static_cast<std::uint8_t>(control_bit >> 1);
  }
  return output;
}

}  // namespace tallowmere_testing
