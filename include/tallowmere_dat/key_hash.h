#pragma once

// The hash of the directory's map, keyed by identifiers read from an archive. The keys come from
// the file, so with a fixed hash (the standard one is the identity, taken modulo the bucket count)
// a file can choose keys that all fall into one bucket and turn each insertion into a walk over
// all the others: work quadratic in the number of keys. Keys are therefore hashed with SipHash
// under a key drawn at random once per process; iteration order then differs from run to run,
// which no caller relies on.

#include <cstddef>
#include <cstdint>

namespace tallowmere_dat {

/// SipHash-1-3 of the key's four little-endian bytes under this process's random key.
struct KeyHash {
  std::size_t operator()(std::uint32_t key) const noexcept;
};

}  // namespace tallowmere_dat
