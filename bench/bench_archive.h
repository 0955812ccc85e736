#pragma once

// What the benchmarks know about the large benchmark archive written by make_bench_archive, and
// where they find it.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tallowmere_bench {

/// Entries in the directory, sound tables among them, and every how many files one is stored
/// LRS-compressed.
inline constexpr std::uint32_t kEntryCount = 1'000'000;
inline constexpr std::uint32_t kSoundTableCount = 50'000;
inline constexpr std::uint32_t kCompressEvery = 4;
inline constexpr std::uint32_t kBlockSize = 1024;

/// The large files: uncompressed on one contiguous run of blocks, uncompressed on scattered
/// blocks, and LRS-compressed text on a contiguous run.
inline constexpr std::uint32_t kLargeContiguousId = 0x0C000001;
inline constexpr std::uint32_t kLargeFragmentedId = 0x0C000002;
inline constexpr std::uint32_t kLargeCompressedId = 0x0C000003;
inline constexpr std::uint32_t kLargeContiguousSize = 48U << 20U;
inline constexpr std::uint32_t kLargeFragmentedSize = 24U << 20U;
inline constexpr std::uint32_t kLargeCompressedContentSize = 16U << 20U;

/// The u32 at `bytes`, little-endian as the archive stores it (and as the benchmark host is).
inline std::uint32_t load_u32(const std::uint8_t* bytes) {
  std::uint32_t value = 0;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

/// The archive's path: $TALLOWMERE_BENCH_ARCHIVE, else where the `bench_archive` target writes
/// it in the build tree.
inline std::string bench_archive_path() {
  if (const char* path = std::getenv("TALLOWMERE_BENCH_ARCHIVE"); path != nullptr && *path != 0) {
    return path;
  }
  return TALLOWMERE_BENCH_ARCHIVE_DEFAULT;
}

}  // namespace tallowmere_bench
