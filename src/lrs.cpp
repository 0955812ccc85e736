#include "tallowmere_dat/lrs.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <optional>

#include "huge_pages.h"
#include "little_endian.h"

namespace tallowmere_dat {
namespace {

constexpr std::size_t kGroupTokens = 8;
constexpr std::size_t kMaxLength = 17;
constexpr std::size_t kMaxGroupOutput = kMaxLength * kGroupTokens;
// The fast path moves a whole 16-byte block for every token, and keeps the part the token
// produces; copies from fewer than 16 bytes back take a separate path.
constexpr std::size_t kBlock = 16;
// A group is at most a control byte and eight 2-byte tokens; the fast path also reads a block
// from any token's first byte.
constexpr std::size_t kFastGroupInput = 1 + 2 * kGroupTokens + kBlock;

// kPeriodIndex[d][k] = k % d: where byte k of a copy from d < 16 bytes back comes from, counted
// from the copy's source, since copying byte by byte from d back repeats the last d bytes.
constexpr std::array<std::array<std::uint8_t, kMaxLength>, kBlock> kPeriodIndex = [] {
  std::array<std::array<std::uint8_t, kMaxLength>, kBlock> table{};
  for (std::size_t d = 1; d < kBlock; ++d) {
    for (std::size_t k = 0; k < kMaxLength; ++k)
      table[d][k] = static_cast<std::uint8_t>(k % d);
  }
  return table;
}();

// Writes the 17 bytes a copy from `distance` < 16 back would produce at `out[pos]`, for
// 1 <= distance <= pos. Every byte is read from before `pos`, so the copy never waits for its
// own stores.
void copy_short_distance(std::uint8_t* out, std::size_t pos, std::size_t distance) {
  const std::uint8_t* src = out + (pos - distance);
  const std::array<std::uint8_t, kMaxLength>& index = kPeriodIndex[distance];
  for (std::size_t k = 0; k < kMaxLength; ++k)
    out[pos + k] = src[index[k]];
}

// Appends `length` bytes at `out[pos]` one at a time, for a distance that may exceed `pos`:
// until the output is `distance` long, the first byte is copied.
void copy_clamped(std::uint8_t* out, std::size_t pos, std::size_t distance, std::size_t length) {
  for (std::size_t end = pos + length; pos < end; ++pos) {
    out[pos] = out[pos >= distance ? pos - distance : 0];
  }
}

// Decodes the token stream into `out`, which has room for `limit` bytes, and returns how many
// bytes it produced. Each return is one of the format's ways to stop.
std::size_t decode_tokens(std::span<const std::uint8_t> compressed, std::uint8_t* const out,
                          const std::size_t limit) {
  const std::uint8_t* ip = compressed.data();
  const std::uint8_t* const in_end = ip + compressed.size();
  std::size_t pos = 0;

  // Every iteration starts at a group boundary, where the format reads a fresh control byte.
  while (pos < limit && ip < in_end) {
    if (static_cast<std::size_t>(in_end - ip) >= kFastGroupInput && pos >= kBlock &&
        limit - pos >= kMaxGroupOutput) {
      // Fast group: the whole group, the block read from each token's first byte and the up
      // to 17 bytes each token writes fit in what is left of both buffers, so no token needs a
      // bounds check and no copy can be cut short. At least 16 bytes have been produced.
      const unsigned control = *ip++;
      if (control == 0) {  // eight literals: eight consecutive input bytes
        std::memcpy(out + pos, ip, kGroupTokens);
        ip += kGroupTokens;
        pos += kGroupTokens;
        continue;
      }
      for (unsigned bit = 0x80; bit != 0; bit >>= 1) {
        const bool is_reference = (control & bit) != 0;
        const std::size_t distance = ip[0] | (static_cast<std::size_t>(ip[1] & 0xF0) << 4);
        const std::size_t length = static_cast<std::size_t>(ip[1] & 0x0F) + 2;
        // Distance below 16 or beyond the start (one unsigned comparison, as pos >= 16): an
        // uncommon case, tested without looking at the flag so that the flag, which is
        // unpredictable in mixed data, never decides a branch. A literal whose two bytes
        // happen to read as such a distance is handled here too.
        if (distance - kBlock > pos - kBlock) {
          if (!is_reference) {
            out[pos++] = *ip++;
            continue;
          }
          if (distance == 0) return pos;  // end marker
          if (distance > pos) {
            copy_clamped(out, pos, distance, length);
          } else {
            copy_short_distance(out, pos, distance);
          }
          pos += length;
          ip += 2;
          continue;
        }
        // A literal and a copy from at least 16 back are the same block move, from the input
        // or from the output, chosen by a conditional move. The 17th byte of a longest copy
        // comes after the block: with distance 16 it re-reads the first byte written, as the
        // byte-by-byte copy does.
        const std::size_t reference_mask = std::size_t{0} - std::size_t{is_reference};
        const std::uint8_t* const src = is_reference ? out + (pos - distance) : ip;
        const std::size_t produced = 1 + ((length - 1) & reference_mask);
        std::memcpy(out + pos, src, kBlock);
        if (produced > kBlock) out[pos + kBlock] = src[kBlock];
        pos += produced;
        ip += 1 + std::size_t{is_reference};
      }
      continue;
    }

    // Careful group, at the start of the output or near the end of the input or of the output:
    // every check of the format, token by token.
    const unsigned control = *ip++;
    for (unsigned bit = 0x80;;) {
      if ((control & bit) == 0) {
        if (ip == in_end) return pos;
        out[pos++] = *ip++;
      } else {
        if (in_end - ip < 2) return pos;
        const std::size_t distance = ip[0] | (static_cast<std::size_t>(ip[1] & 0xF0) << 4);
        // A copy longer than the room left is cut at the limit.
        const std::size_t length =
            std::min(static_cast<std::size_t>(ip[1] & 0x0F) + 2, limit - pos);
        ip += 2;
        if (distance == 0 || pos == 0) return pos;
        copy_clamped(out, pos, distance, length);
        pos += length;
      }
      bit >>= 1;
      if (bit == 0) break;
      if (pos >= limit || ip == in_end) return pos;
    }
  }
  return pos;
}

}  // namespace

std::optional<std::uint32_t> decompress_lrs_into(std::span<const std::uint8_t> input,
                                                 std::vector<std::uint8_t>& output) {
  if (input.size() < 4) {
    output.assign(input.begin(), input.end());
    return std::nullopt;
  }
  const std::uint32_t declared = detail::load_u32_le(input.first<4>());
  const std::size_t output_size = declared;
  const std::span<const std::uint8_t> compressed = input.subspan(4);

  // A group of 17 input bytes yields at most 136 output bytes, so no stream of m bytes yields
  // more than 8m. Capping the limit there keeps a lying prefix from sizing the allocation and
  // changes nothing else, because the output can never reach the cap. (The comparison comes
  // first so that 8m is only computed when it is small.)
  const std::size_t producible =
      compressed.size() < output_size / 8 ? 8 * compressed.size() + 17 : output_size;
  const std::size_t limit = std::min(output_size, producible);
  if (limit == 0) {
    output.clear();
    return declared;
  }

  // The old bytes are not kept: growing by `reserve` from empty allocates exactly `limit` and
  // copies nothing.
  if (limit > output.capacity()) {
    output.clear();
    output.reserve(limit);
    detail::advise_huge_pages(output.data(), output.capacity());
  }
  output.resize(limit);
  output.resize(decode_tokens(compressed, output.data(), limit));
  return declared;
}

std::size_t decompress_lrs_to(std::span<const std::uint8_t> input, std::span<std::uint8_t> output) {
  if (input.size() < 4 || output.empty()) return 0;
  return decode_tokens(input.subspan(4), output.data(), output.size());
}

std::vector<std::uint8_t> decompress_lrs(std::span<const std::uint8_t> input) {
  std::vector<std::uint8_t> output;
  (void)decompress_lrs_into(input, output);
  return output;
}

}  // namespace tallowmere_dat
