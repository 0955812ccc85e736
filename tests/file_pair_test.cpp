// The two ways a diff compares a pair of files: streamed comparisons against a plain comparison
// of the joined bytes, whatever the chunks; and pairs streamed against pairs read whole, which
// must agree on every change and every error.

#include "file_pair.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "stream_comparison.h"
#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/lrs_codec.h"
#include "tallowmere_testing/random.h"
#include "tallowmere_testing/temp_file.h"

namespace tallowmere_dat::detail {
namespace {

using tallowmere_testing::Random;
using Bytes = std::vector<std::uint8_t>;

Bytes random_bytes(Random& random, std::size_t size) {
  Bytes bytes(size);
  for (auto& b : bytes)
    b = static_cast<std::uint8_t>(random.below(4));  // few values, so that runs match often
  return bytes;
}

/// A read handing `bytes` over in random chunks and then failing with `error`, if any.
StreamedRead chunked(const Bytes& bytes, std::uint64_t seed, const std::optional<DatError>& error) {
  return [&bytes, seed, error](const ChunkSink& sink) -> std::expected<void, DatError> {
    Random random(seed);
    for (std::size_t at = 0; at < bytes.size();) {
      const std::size_t count = std::min<std::size_t>(bytes.size() - at, random.between(1, 40));
      if (!sink(std::span(bytes).subspan(at, count))) break;
      at += count;
    }
    if (error) return std::unexpected(*error);
    return {};
  };
}

TEST(FilePairTest, StreamComparisonsAgreeWithComparingTheJoinedBytes) {
  Random random(0x5EED);
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE(round);
    const Bytes first = random_bytes(random, random.below(200));
    Bytes second = first;
    switch (random.below(4)) {
      case 0:
        second.resize(random.below(second.size() + 1));
        break;
      case 1:
        second.push_back(static_cast<std::uint8_t>(random.below(4)));
        break;
      case 2:
        if (!second.empty()) second[random.below(second.size())] ^= 1U;
        break;
      default:
        break;
    }
    const auto failure = [&](std::uint32_t id) -> std::optional<DatError> {
      if (random.below(4) != 0) return std::nullopt;
      return DatError(DatError::DecompressionFailed{id});
    };
    const std::optional<DatError> first_error = failure(1);
    const std::optional<DatError> second_error = failure(2);
    const StreamComparison compared = compare_streams(chunked(first, random.next(), first_error),
                                                      chunked(second, random.next(), second_error));
    EXPECT_EQ(compared.equal, first == second);
    EXPECT_EQ(compared.first_error, first_error);
    EXPECT_EQ(compared.second_error, second_error);
  }
}

/// How a file is stored: as is, compressed, compressed and cut short (declaring more than it
/// gives), or on a chain whose second block lies past the end of the archive.
enum class Form : std::uint8_t { Raw, Compressed, Damaged, Broken };

struct Plan {
  Bytes content;
  Form form = Form::Raw;
};

constexpr std::uint32_t kBlock = 64;

Bytes stored(const Plan& plan) {
  if (plan.form == Form::Raw || plan.form == Form::Broken) return plan.content;
  Bytes bytes = tallowmere_testing::lrs_compress(plan.content);
  if (plan.form == Form::Damaged) bytes.resize(4 + (bytes.size() - 4) / 2);
  return bytes;
}

/// A one-leaf archive of the plans, file `i` with identifier `i` + 1.
Bytes archive(const std::vector<Plan>& plans) {
  tallowmere_testing::ArchiveImage image(kBlock);
  std::vector<DatFileEntry> entries;
  for (std::size_t i = 0; i < plans.size(); ++i) {
    const Bytes bytes = stored(plans[i]);
    DatFileEntry entry{
        .bit_flags = plans[i].form == Form::Compressed || plans[i].form == Form::Damaged,
        .id = static_cast<std::uint32_t>(i + 1),
        .size = static_cast<std::uint32_t>(bytes.size())};
    if (plans[i].form == Form::Broken && bytes.size() > kBlock - 4) {
      entry.offset = image.append(kBlock);
      image.write_block(entry.offset, 0x00FFFF00, std::span(bytes).first(kBlock - 4));
    } else {
      entry.offset = bytes.empty() ? 0 : image.append_chain(bytes);
    }
    entries.push_back(entry);
  }
  image.header().root_offset = image.append_node({.entries = entries});
  return image.bytes();
}

Plan random_plan(Random& random, Bytes content) {
  return {std::move(content), static_cast<Form>(random.below(4))};
}

TEST(FilePairTest, StreamedPairsAgreeWithPairsReadWhole) {
  Random random(0xF11E);
  std::vector<Plan> old_plans;
  std::vector<Plan> new_plans;
  for (int i = 0; i < 60; ++i) {
    const Bytes content = random_bytes(random, random.below(300));
    old_plans.push_back(random_plan(random, content));
    Bytes changed = content;
    if (random.below(2) == 0 && !changed.empty()) changed[random.below(changed.size())] ^= 1U;
    if (random.below(4) == 0) changed.push_back(1);
    new_plans.push_back(random_plan(random, random.below(3) == 0 ? changed : content));
  }
  const tallowmere_testing::TempFile old_file(archive(old_plans));
  const tallowmere_testing::TempFile new_file(archive(new_plans));
  const auto old_db = DatDatabase::open(old_file.path());
  const auto new_db = DatDatabase::open(new_file.path());
  ASSERT_TRUE(old_db && new_db);
  WholeFilePair whole(*old_db, *new_db);
  for (std::uint32_t id = 1; id <= old_plans.size(); ++id) {
    SCOPED_TRACE(id);
    const DatFileEntry& a = *old_db->files().find(id);
    const DatFileEntry& b = *new_db->files().find(id);
    std::vector<std::uint8_t> old_stored;
    auto read = old_db->read_file_data(a.offset, a.size, old_stored);
    whole.take(a, read ? ReadBytes(old_stored) : std::unexpected(read.error()), b);
    UnreadableEntry from_whole{.old_entry = a, .new_entry = b};
    const auto whole_change = compare_files(whole, from_whole);
    StreamedFilePair streamed(*old_db, a, *new_db, b);
    UnreadableEntry from_streams{.old_entry = a, .new_entry = b};
    EXPECT_EQ(compare_files(streamed, from_streams), whole_change);
    EXPECT_EQ(from_streams, from_whole);
  }
}

}  // namespace
}  // namespace tallowmere_dat::detail
