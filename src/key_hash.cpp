#include "tallowmere_dat/key_hash.h"

#include <sys/random.h>

#include <array>
#include <bit>
#include <chrono>

namespace tallowmere_dat {
namespace {

struct SipKey {
  std::uint64_t k0;
  std::uint64_t k1;
};

/// Drawn from the kernel's generator; should it fail, a clock reading still keeps the key out of
/// a file's reach.
SipKey draw_key() {
  std::array<std::uint64_t, 2> words{};
  if (::getrandom(words.data(), sizeof words, 0) != static_cast<ssize_t>(sizeof words)) {
    const auto now =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    words = {now * 0x9E3779B97F4A7C15ULL, ~now * 0xC2B2AE3D27D4EB4FULL};
  }
  return {words[0], words[1]};
}

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13) ^ v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16) ^ v2;
    v0 += v3;
    v3 = std::rotl(v3, 21) ^ v0;
    v2 += v1;
    v1 = std::rotl(v1, 17) ^ v2;
    v2 = std::rotl(v2, 32);
  }
};

}  // namespace

std::size_t KeyHash::operator()(std::uint32_t key) const noexcept {
  static const SipKey sip_key = draw_key();
  SipState s{sip_key.k0 ^ 0x736f6d6570736575ULL, sip_key.k1 ^ 0x646f72616e646f6dULL,
             sip_key.k0 ^ 0x6c7967656e657261ULL, sip_key.k1 ^ 0x7465646279746573ULL};
  // The whole message is one final block: four key bytes and the length in the top byte.
  const std::uint64_t block = std::uint64_t{key} | (std::uint64_t{4} << 56U);
  s.v3 ^= block;
  s.round();
  s.v0 ^= block;
  s.v2 ^= 0xFF;
  s.round();
  s.round();
  s.round();
  return static_cast<std::size_t>(s.v0 ^ s.v1 ^ s.v2 ^ s.v3);
}

}  // namespace tallowmere_dat
