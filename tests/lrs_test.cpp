#include "tallowmere_dat/lrs.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tallowmere_testing/lrs_codec.h"

namespace tallowmere_dat {
namespace {

using tallowmere_testing::decompress_lrs_reference;
using tallowmere_testing::lrs_compress;
using Bytes = std::vector<std::uint8_t>;

std::string hex(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (const std::uint8_t b : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[b >> 4];
    text += kDigits[b & 0xF];
  }
  return text;
}

std::uint32_t declared_size(const Bytes& stream) {
  return static_cast<std::uint32_t>(stream[0] | (stream[1] << 8) | (stream[2] << 16)) |
         (static_cast<std::uint32_t>(stream[3]) << 24);
}

/// Writes token streams by hand, placing control bytes where the format expects them.
class StreamWriter {
 public:
  explicit StreamWriter(std::uint32_t output_size) {
    for (unsigned i = 0; i < 4; ++i)
      bytes_.push_back(static_cast<std::uint8_t>(output_size >> (8 * i)));
  }
  void literal(std::uint8_t b) {
    flag(false);
    bytes_.push_back(b);
  }
  /// A back-reference token from its two raw bytes.
  void reference_bytes(std::uint8_t b1, std::uint8_t b2) {
    flag(true);
    bytes_.push_back(b1);
    bytes_.push_back(b2);
  }
  void reference(std::size_t distance, std::size_t length) {
    reference_bytes(static_cast<std::uint8_t>(distance & 0xFF),
                    static_cast<std::uint8_t>(((distance >> 8) << 4) | (length - 2)));
  }
  void set_output_size(std::uint32_t output_size) {
    for (unsigned i = 0; i < 4; ++i)
      bytes_[i] = static_cast<std::uint8_t>(output_size >> (8 * i));
  }
  const Bytes& bytes() const { return bytes_; }

 private:
  void flag(bool is_reference) {
    if (bit_ == 0) {
      control_at_ = bytes_.size();
      bytes_.push_back(0);
      bit_ = 0x80;
    }
    if (is_reference) bytes_[control_at_] = static_cast<std::uint8_t>(bytes_[control_at_] | bit_);
    bit_ >>= 1;
  }
  Bytes bytes_;
  std::size_t control_at_ = 0;
  unsigned bit_ = 0;
};

/// Both decoders must give `expected`.
void expect_decodes_to(const Bytes& input, const Bytes& expected) {
  EXPECT_EQ(hex(decompress_lrs(input)), hex(expected));
  EXPECT_EQ(hex(decompress_lrs_reference(input)), hex(expected));
}

TEST(LrsTest, DocumentedCases) {
  const struct {
    const char* name;
    Bytes input;
    Bytes expected;
  } cases[] = {
      {"empty input", {}, {}},
      {"one byte, no prefix", {0x41}, {0x41}},
      {"two bytes, no prefix", {0x41, 0x42}, {0x41, 0x42}},
      {"three bytes, no prefix", {0x41, 0x42, 0x43}, {0x41, 0x42, 0x43}},
      {"prefix only", {0x05, 0x00, 0x00, 0x00}, {}},
      {"prefix only, largest size", {0xFF, 0xFF, 0xFF, 0xFF}, {}},
      {"output size 0", {0x00, 0x00, 0x00, 0x00, 0x00, 0x41, 0x42}, {}},
      {"worked example",
       {0x0A, 0x00, 0x00, 0x00, 0x10, 0x61, 0x62, 0x63, 0x03, 0x05},
       {0x61, 0x62, 0x63, 0x61, 0x62, 0x63, 0x61, 0x62, 0x63, 0x61}},
      {"stream ends early", {0x05, 0x00, 0x00, 0x00, 0x00, 0x41}, {0x41}},
      {"copy cut at output size",
       {0x03, 0x00, 0x00, 0x00, 0x40, 0x41, 0x01, 0x0F},
       {0x41, 0x41, 0x41}},
      {"overlapping copy, distance 1",
       {0x05, 0x00, 0x00, 0x00, 0x40, 0x41, 0x01, 0x02},
       {0x41, 0x41, 0x41, 0x41, 0x41}},
      {"distance beyond the start",
       {0x05, 0x00, 0x00, 0x00, 0x20, 0x78, 0x79, 0x05, 0x01},
       {0x78, 0x79, 0x78, 0x78, 0x78}},
      {"beyond the start, then from the start once the output is long enough",
       {0x0A, 0x00, 0x00, 0x00, 0x20, 0x78, 0x79, 0x03, 0x03},
       {0x78, 0x79, 0x78, 0x78, 0x79, 0x78, 0x78}},
      {"end marker", {0x08, 0x00, 0x00, 0x00, 0x40, 0x41, 0x00, 0x00, 0x42}, {0x41}},
      {"end marker whatever its length nibble",
       {0x08, 0x00, 0x00, 0x00, 0x40, 0x41, 0x00, 0x0F, 0x42},
       {0x41}},
      {"distance 256 is not the end marker",
       {0x08, 0x00, 0x00, 0x00, 0x40, 0x41, 0x00, 0x10, 0x42},
       {0x41, 0x41, 0x41, 0x42}},
      {"reference flag with one byte left", {0x05, 0x00, 0x00, 0x00, 0x40, 0x41, 0x01}, {0x41}},
      {"ninth token reads a fresh control byte",
       {0x09, 0x00, 0x00, 0x00, 0x00, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x00, 0x49},
       {0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49}},
      {"input ends with a control byte",
       {0x09, 0x00, 0x00, 0x00, 0x00, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x00},
       {0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48}},
      {"unused flags after the last token are ignored",
       {0x02, 0x00, 0x00, 0x00, 0x3F, 0x41, 0x42},
       {0x41, 0x42}},
      {"input beyond the output size is ignored",
       {0x02, 0x00, 0x00, 0x00, 0x00, 0x41, 0x42, 0x43, 0x44},
       {0x41, 0x42}},
      {"reference while the output is empty stops",
       {0x05, 0x00, 0x00, 0x00, 0x80, 0x01, 0x00, 0x41},
       {}},
      {"prefix far larger than the input",
       {0xFF, 0xFF, 0xFF, 0xFF, 0x40, 0x41, 0x01, 0x01},
       {0x41, 0x41, 0x41, 0x41}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expect_decodes_to(c.input, c.expected);
  }
}

Bytes numbered_literals(std::size_t count) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i)
    bytes[i] = static_cast<std::uint8_t>(i * 7 % 251);
  return bytes;
}

TEST(LrsTest, ReferenceFieldsTakeTheDistanceFromBothBytesAndTheLengthFromTheLowNibble) {
  const struct {
    std::uint8_t b1, b2;
    std::size_t distance, length;
  } cases[] = {{0xFF, 0xFF, 4095, 17},
               {0x34, 0x1F, 0x134, 17},
               {0x02, 0x70, 0x702, 2},
               {0x10, 0x03, 0x10, 5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.distance);
    const Bytes history = numbered_literals(4096);
    StreamWriter stream(5000);
    for (const std::uint8_t b : history)
      stream.literal(b);
    stream.reference_bytes(c.b1, c.b2);
    Bytes expected = history;
    for (std::size_t i = 0; i < c.length; ++i)
      expected.push_back(expected[expected.size() - c.distance]);
    expect_decodes_to(stream.bytes(), expected);
  }
}

TEST(LrsTest, EveryShortCopyShapeMatchesTheReference) {
  // Long streams keep the fast decoder on its unchecked path, where each distance class has
  // its own copy.
  std::mt19937 rng(7);
  const std::size_t distances[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 15, 16, 17, 31, 300, 4095};
  for (const std::size_t distance : distances) {
    for (std::size_t length = 2; length <= 17; ++length) {
      SCOPED_TRACE("distance " + std::to_string(distance) + " length " + std::to_string(length));
      StreamWriter stream(0);
      for (int i = 0; i < 400; ++i)
        stream.literal(static_cast<std::uint8_t>(rng()));
      for (int i = 0; i < 40; ++i)
        stream.reference(distance, length);
      for (int i = 0; i < 400; ++i)
        stream.literal(static_cast<std::uint8_t>(rng()));
      stream.set_output_size(static_cast<std::uint32_t>(800 + 40 * length));
      const Bytes fast = decompress_lrs(stream.bytes());
      ASSERT_EQ(fast.size(), 800 + 40 * length);
      ASSERT_EQ(fast, decompress_lrs_reference(stream.bytes()));
    }
  }
}

TEST(LrsTest, LyingPrefixDoesNotSizeTheAllocation) {
  const Bytes input = {0xFF, 0xFF, 0xFF, 0xFF, 0x60, 0x41, 0x01, 0x0F, 0x01, 0x0F};
  const Bytes result = decompress_lrs(input);
  EXPECT_EQ(result, Bytes(35, 0x41));
  EXPECT_LT(result.capacity(), 1024U);
}

/// `literals` literal bytes, then `copies` back-references of the longest length from
/// `distance` back.
Bytes longest_copies_stream(std::size_t literals, std::size_t distance, std::size_t copies) {
  StreamWriter stream(0);
  for (std::size_t i = 0; i < literals; ++i)
    stream.literal(static_cast<std::uint8_t>(i * 13));
  for (std::size_t i = 0; i < copies; ++i)
    stream.reference(distance, 17);
  return stream.bytes();
}

TEST(LrsTest, MostCompressibleStreamDecodesFullyUnderAHugePrefix) {
  // 8 output bytes per input byte is the most a stream can give: the output cap must allow it.
  const std::size_t distances[] = {1, 16, 40};
  for (const std::size_t distance : distances) {
    SCOPED_TRACE(distance);
    Bytes input = longest_copies_stream(40, distance, 800);
    input[0] = input[1] = input[2] = input[3] = 0xFF;
    const Bytes result = decompress_lrs(input);
    EXPECT_EQ(result.size(), 40 + 800 * 17);
    EXPECT_EQ(result, decompress_lrs_reference(input));
  }
}

TEST(LrsTest, OutputIsCutAtTheDeclaredSizeWhereverThatFalls) {
  // Every declared size over a range of several groups of the longest copies, so the cut lands
  // at each position within a copy and within a group, on both sides of the fast path.
  const std::size_t distances[] = {1, 3, 16, 17, 40};
  for (const std::size_t distance : distances) {
    Bytes input = longest_copies_stream(40, distance, 64);
    for (std::uint32_t declared = 0; declared < 40 + 64 * 17 + 5; ++declared) {
      SCOPED_TRACE("distance " + std::to_string(distance) + " size " + std::to_string(declared));
      for (unsigned i = 0; i < 4; ++i)
        input[i] = static_cast<std::uint8_t>(declared >> (8 * i));
      const Bytes result = decompress_lrs(input);
      ASSERT_EQ(result.size(), std::min<std::size_t>(declared, 40 + 64 * 17));
      ASSERT_EQ(result, decompress_lrs_reference(input));
    }
  }
}

/// A random stream of tokens chosen to hit the awkward cases: short and overlapping distances,
/// distances beyond the start, end markers, references on an empty output, lying prefixes and
/// truncation.
Bytes adversarial_stream(std::mt19937& rng) {
  std::uniform_int_distribution<int> percent(0, 99);
  const std::size_t tokens = std::uniform_int_distribution<std::size_t>(0, 3000)(rng);
  StreamWriter stream(0);
  std::size_t produced = 0;
  for (std::size_t t = 0; t < tokens; ++t) {
    const int kind = percent(rng);
    const std::size_t length = 2 + rng() % 16;
    if (kind < 40 && (produced > 0 || percent(rng) < 80)) {
      stream.literal(static_cast<std::uint8_t>(rng() % 4));
      ++produced;
      continue;
    }
    std::size_t distance = 0;
    if (kind < 55) {
      distance = 1;
    } else if (kind < 70) {
      distance = 2 + rng() % 14;
    } else if (kind < 85) {
      distance = 16 + rng() % 4080;
    } else if (kind < 99) {
      distance = std::min<std::size_t>(4095, produced + 1 + rng() % 20);  // beyond the start
    } else {
      distance = 0;  // end marker
    }
    stream.reference(distance, length);
    produced += length;
  }
  Bytes bytes = stream.bytes();
  std::uint32_t output_size = static_cast<std::uint32_t>(produced);
  switch (percent(rng) % 5) {
    case 0:
      output_size = static_cast<std::uint32_t>(rng() % (produced + 1));
      break;
    case 1:
      output_size += static_cast<std::uint32_t>(rng() % 1000);
      break;
    case 2:
      output_size = 0xFFFFFFFF;
      break;
    default:
      break;
  }
  for (unsigned i = 0; i < 4; ++i)
    bytes[i] = static_cast<std::uint8_t>(output_size >> (8 * i));
  if (percent(rng) < 30) bytes.resize(rng() % (bytes.size() + 1));
  return bytes;
}

Bytes random_bytes(std::mt19937& rng, std::size_t size, unsigned alphabet) {
  Bytes bytes(size);
  for (auto& b : bytes)
    b = static_cast<std::uint8_t>(rng() % alphabet);
  return bytes;
}

/// An encoder stream of some random data, then possibly damaged: a wrong prefix, a truncation
/// or flipped bytes.
Bytes damaged_encoder_stream(std::mt19937& rng) {
  Bytes bytes = lrs_compress(random_bytes(rng, rng() % 20000, 1 + rng() % 8));
  switch (rng() % 4) {
    case 0:
      for (unsigned i = 0; i < 4; ++i)
        bytes[i] = static_cast<std::uint8_t>(rng());
      break;
    case 1:
      bytes.resize(rng() % (bytes.size() + 1));
      break;
    case 2:
      for (int flips = 0; flips < 3 && bytes.size() > 4; ++flips) {
        bytes[4 + rng() % (bytes.size() - 4)] = static_cast<std::uint8_t>(rng());
      }
      break;
    default:
      break;
  }
  return bytes;
}

TEST(LrsTest, FastDecoderAgreesWithTheReferenceOnAnyStream) {
  std::mt19937 rng(20240611);
  for (int iteration = 0; iteration < 3000; ++iteration) {
    SCOPED_TRACE(iteration);
    Bytes input;
    switch (iteration % 4) {
      case 0:
        input = random_bytes(rng, rng() % 3000, 256);
        break;
      case 1:
        // Random tokens under a small truthful-looking prefix, so decoding goes on for a while.
        input = random_bytes(rng, 4 + rng() % 3000, 256);
        input[2] = input[3] = 0;
        break;
      case 2:
        input = adversarial_stream(rng);
        break;
      default:
        input = damaged_encoder_stream(rng);
        break;
    }
    const Bytes fast = decompress_lrs(input);
    ASSERT_EQ(fast, decompress_lrs_reference(input));
    if (input.size() >= 4) {
      ASSERT_LE(fast.size(), declared_size(input));
    } else {
      ASSERT_EQ(fast, input);
    }
    // Into a caller's buffer of any size: what decoding under a prefix declaring that size gives.
    Bytes out(rng() % (fast.size() + 20), 0xEE);
    const std::size_t produced = decompress_lrs_to(input, out);
    Bytes expected;
    if (input.size() >= 4) {
      Bytes resized = input;
      for (std::size_t i = 0; i < 4; ++i)
        resized[i] = static_cast<std::uint8_t>(out.size() >> (8 * i));
      expected = decompress_lrs(resized);
    }
    ASSERT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(produced)), expected);
  }
}

/// Words drawn from a small vocabulary: the matches of ordinary text.
Bytes text_like(std::mt19937& rng, std::size_t size) {
  static const std::string kWords[] = {"the ",   "sound ", "table ",   "of ",  "environ ", "wave ",
                                       "slot\n", "0x76 ",  "ambient ", "and ", "archive ", "a "};
  Bytes bytes;
  while (bytes.size() < size) {
    const std::string& word = kWords[rng() % std::size(kWords)];
    bytes.insert(bytes.end(), word.begin(), word.end());
  }
  bytes.resize(size);
  return bytes;
}

/// Runs of one byte of random lengths, often longer than one reference can copy.
Bytes runs(std::mt19937& rng, std::size_t size) {
  Bytes bytes;
  while (bytes.size() < size)
    bytes.insert(bytes.end(), 1 + rng() % 200, static_cast<std::uint8_t>(rng()));
  bytes.resize(size);
  return bytes;
}

TEST(LrsTest, EncoderOutputRoundTrips) {
  std::mt19937 rng(99);
  const std::size_t sizes[] = {0, 1, 2, 3, 4, 8, 9, 17, 136, 137, 4095, 4096, 4097, 65539};
  for (const std::size_t size : sizes) {
    const struct {
      const char* name;
      Bytes data;
    } corpora[] = {{"text", text_like(rng, size)},
                   {"runs", runs(rng, size)},
                   {"random", random_bytes(rng, size, 256)},
                   {"zeros", Bytes(size, 0)}};
    for (const auto& corpus : corpora) {
      SCOPED_TRACE(std::string(corpus.name) + " of " + std::to_string(size) + " bytes");
      const Bytes compressed = lrs_compress(corpus.data);
      ASSERT_EQ(declared_size(compressed), size);
      ASSERT_EQ(decompress_lrs(compressed), corpus.data);
      ASSERT_EQ(decompress_lrs_reference(compressed), corpus.data);
    }
  }
}

TEST(LrsTest, LargeInputsRoundTrip) {
  std::mt19937 rng(3);
  Bytes data = text_like(rng, 3 << 20);
  const Bytes random_tail = random_bytes(rng, 1 << 20, 256);
  data.insert(data.end(), random_tail.begin(), random_tail.end());
  const Bytes compressed = lrs_compress(data);
  EXPECT_EQ(decompress_lrs(compressed), data);
}

TEST(LrsTest, EncoderUsesReferencesWhereTheDataRepeats) {
  std::mt19937 rng(5);
  const Bytes repetitive = runs(rng, 1 << 16);
  EXPECT_LT(lrs_compress(repetitive).size(), repetitive.size() / 6);
  // Incompressible data costs one control byte per eight literals, and no more.
  const Bytes random = random_bytes(rng, 1 << 16, 256);
  EXPECT_LE(lrs_compress(random).size(), 4 + random.size() + random.size() / 8);
}

}  // namespace
}  // namespace tallowmere_dat
