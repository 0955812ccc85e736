// Writes the large benchmark archive: a million directory entries, fifty thousand sound tables,
// a quarter of all files LRS-compressed, 1 KiB blocks, chains scattered for some files and
// contiguous for others, and a few files of tens of MiB. Deterministic: the same bytes every
// run. Usage: make_bench_archive OUTPUT_PATH [ENTRIES [patched]]
//
// ENTRIES (default a million) scales the archive down or up: the sound tables stay a twentieth
// of the entries, the large files stay as they are. The default archive is the one the
// benchmarks' figures are for. `patched` writes the next version of the same archive, for the
// diff benchmark: 1% of the small files and sound tables changed, added or removed (a third
// each), the game version bumped, and every block laid out anew.

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_archive.h"
#include "sound_table_shape.h"
#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/random.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using tallowmere_testing::ChainLayout;
using tallowmere_testing::Random;
namespace bench = tallowmere_bench;

/// Text-like bytes: words of a made-up vocabulary, common ones more often, with punctuation.
class TextSource {
 public:
  explicit TextSource(std::uint64_t seed) : random_(seed) {
    for (int i = 0; i < 4000; ++i) {
      std::string word;
      for (std::uint32_t k = random_.between(2, 10); k > 0; --k)
        word += static_cast<char>('a' + random_.between(0, 25));
      vocabulary_.push_back(word);
    }
  }
  Bytes take(std::size_t size) {
    Bytes bytes;
    bytes.reserve(size + 16);
    while (bytes.size() < size) {
      // The smaller of two uniform picks leans towards the front of the vocabulary.
      const std::uint32_t rank = std::min(random_.between(0, 3999), random_.between(0, 3999));
      const std::string& word = vocabulary_[rank];
      bytes.insert(bytes.end(), word.begin(), word.end());
      const std::uint32_t r = random_.between(0, 19);
      bytes.push_back(r == 0 ? '.' : r == 1 ? ',' : r == 2 ? '\n' : ' ');
    }
    bytes.resize(size);
    return bytes;
  }

 private:
  Random random_;
  std::vector<std::string> vocabulary_;
};

/// What the patched version does to one small file or sound table.
enum class Edit : std::uint8_t { kKeep, kChange, kRemove, kAddAfter };

tallowmere_testing::ArchiveBuilder bench_archive(std::uint32_t entries, bool patched) {
  // The same seed keeps the entries' timestamps and versions; the spare blocks differ, so that
  // every block of the patched version lies elsewhere.
  tallowmere_testing::ArchiveBuilder builder({.block_size = bench::kBlockSize,
                                              .seed = 0xBE7C4,
                                              .spare_percent = patched ? 3U : 2U,
                                              .header = {.game_version = patched ? 1U : 0U}});
  Random random(42);
  TextSource text(7);
  // The patch draws from its own sequences, so that both versions draw the same files.
  Random patch(99);
  TextSource patch_text(11);
  std::uint32_t added = 0;
  std::uint32_t extra = 0;
  // Every fourth file is stored compressed; half of the chains, picked at random, are contiguous.
  const auto add = [&](std::uint32_t id, Bytes content) {
    const ChainLayout layout =
        random.between(0, 1) == 0 ? ChainLayout::kScattered : ChainLayout::kContiguous;
    const bool compressed = added++ % bench::kCompressEvery == 0;
    switch (patched ? static_cast<Edit>(patch.below(300) < 3 ? patch.between(1, 3) : 0)
                    : Edit::kKeep) {
      case Edit::kKeep:
        break;
      case Edit::kChange:
        if (content.empty()) content.push_back(' ');
        content[patch.below(content.size())] ^= 0x20;
        break;
      case Edit::kRemove:
        return;
      case Edit::kAddAfter:
        // A new identifier of the same type, above every identifier the archive has.
        builder.add_file((id & 0xFF000000U) | (0x800000U + extra++),
                         patch_text.take(patch.between(16, bench::kBlockSize - 4)), 0, layout);
        break;
    }
    if (compressed) {
      builder.add_compressed_file(id, content, 1, layout);
    } else {
      builder.add_file(id, std::move(content), 0, layout);
    }
  };

  add(bench::kLargeCompressedId, text.take(bench::kLargeCompressedContentSize));  // compressed
  builder.add_file(bench::kLargeContiguousId, text.take(bench::kLargeContiguousSize), 0,
                   ChainLayout::kContiguous);
  builder.add_file(bench::kLargeFragmentedId, text.take(bench::kLargeFragmentedSize), 0,
                   ChainLayout::kScattered);
  added += 2;

  const std::uint32_t sound_tables = entries / (bench::kEntryCount / bench::kSoundTableCount);
  for (std::uint32_t i = 0; i < sound_tables; ++i) {
    add(0x20000000 + i * 3, bench::usual_sound_table(0x20000000 + i * 3, random));
  }

  // The rest: small files of other types, mostly within one block, some of a few blocks, some
  // empty (which take no block and keep the archive near 1 GiB).
  static constexpr std::array<std::uint32_t, 12> kTypes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06,
                                                           0x08, 0x0A, 0x0D, 0x21, 0x31, 0x40};
  const std::uint32_t small = entries - sound_tables - 3;
  for (std::uint32_t i = 0; i < small; ++i) {
    const std::uint32_t id = (kTypes[i % kTypes.size()] << 24U) | (i / kTypes.size());
    const std::uint32_t shape = random.between(0, 99);
    const std::size_t size = shape < 22 ? 0
                             : shape < 97
                                 ? random.between(16, bench::kBlockSize - 4)
                                 : random.between(bench::kBlockSize, 4 * (bench::kBlockSize - 4));
    add(id, text.take(size));
  }
  return builder;
}

/// The entry count ENTRIES names, or 0 when it is not a whole number from 100 (room for the
/// large files and a few of each kind) to ten million (identifiers stay within their type byte
/// far beyond that).
std::uint32_t parse_entries(const char* text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != 0 || value < 100 || value > 10'000'000) return 0;
  return static_cast<std::uint32_t>(value);
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint32_t entries = argc >= 3 ? parse_entries(argv[2]) : bench::kEntryCount;
  const bool patched = argc == 4 && std::string(argv[3]) == "patched";
  if (argc < 2 || argc > 4 || (argc == 4 && !patched) || entries == 0) {
    std::fputs("usage: make_bench_archive OUTPUT_PATH [ENTRIES (at least 100) [patched]]\n",
               stderr);
    return 2;
  }
  const auto archive = bench_archive(entries, patched).build();
  if (!tallowmere_testing::write_archive(argv[1], archive.bytes)) {
    std::fprintf(stderr, "make_bench_archive: cannot write %s\n", argv[1]);
    return 1;
  }
  std::printf("%s: %zu entries, %zu bytes\n", argv[1], archive.entries.size(),
              archive.bytes.size());
  return 0;
}
