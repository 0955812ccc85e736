// Damages the sample archive in every small way and checks that nothing but a clean result
// comes out: the archive cut at every length, and every bit of the header and of every
// directory node flipped on its own. Each case goes through the library (open, every entry
// fetched, the report built), through the inspection (the integrity check, and the annotated dump
// of one identifier, each in turn), and a sample of them through the probe executable, which must
// end with status 0 and the library's report, or status 101 and its stop message, never a signal.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "tallowmere_dat/check.h"
#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/explain.h"
#include "tallowmere_report/environ_report.h"
#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/process.h"

namespace tallowmere_dat {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kNodeSize = 1716;
constexpr std::size_t kEntriesAt = 252;
constexpr std::string_view kStopPrefix = "called `Result::unwrap()` on an `Err` value: ";

Bytes read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// The archive in a memory file that the library opens by path, changed in place between cases.
class MemoryArchive {
 public:
  explicit MemoryArchive(const Bytes& bytes) : fd_(::memfd_create("archive", 0)) {
    if (fd_ < 0) std::abort();
    path_ = "/proc/self/fd/" + std::to_string(fd_);
    put(0, bytes);
  }
  MemoryArchive(const MemoryArchive&) = delete;
  MemoryArchive& operator=(const MemoryArchive&) = delete;
  ~MemoryArchive() { ::close(fd_); }

  void put(std::uint64_t at, std::span<const std::uint8_t> bytes) const {
    if (::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(at)) !=
        static_cast<ssize_t>(bytes.size())) {
      std::abort();
    }
  }
  void truncate(std::uint64_t size) const {
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) std::abort();
  }
  const std::string& path() const { return path_; }

 private:
  int fd_;
  std::string path_;
};

bool is_end_of_data(const DatError& error) {
  const auto* io = error.get_if<DatError::Io>();
  return io != nullptr && io->error == IoError::fill_whole_buffer();
}

/// A `BinRead` whose one frame names a field of `record`.
bool is_record_error(const DatError& error, std::string_view record) {
  const auto* bin_read = error.get_if<DatError::BinRead>();
  if (bin_read == nullptr) return false;
  const auto* bt = bin_read->error.get_if<ReadError::Backtrace>();
  return bt != nullptr && bt->frames.size() == 1 &&
         bt->frames[0].message().ends_with(" in " + std::string(record));
}

bool is_clean(const DatError& error) {
  return is_end_of_data(error) || is_record_error(error, "DatHeader") ||
         is_record_error(error, "DatFileEntry") || error.get_if<DatError::Corruption>() != nullptr;
}

/// What the library makes of an archive: the open's error, or the map and the report.
struct Outcome {
  std::optional<DatError> error;
  FileIndex files;
  std::string report;
};

/// `path` holds `bytes`: opening those bytes in memory must give what opening the file gives.
Outcome run_library(const std::string& path, std::span<const std::uint8_t> archive) {
  auto db = DatDatabase::open(path);
  const auto in_memory = DatDatabase::open(archive);
  EXPECT_EQ(in_memory.has_value(), db.has_value());
  if (db && in_memory) {
    EXPECT_EQ(in_memory->files(), db->files());
  } else if (!db && !in_memory) {
    EXPECT_EQ(in_memory.error().debug(), db.error().debug());
  }
  if (!db) {
    EXPECT_TRUE(is_clean(db.error())) << db.error().debug();
    return {db.error(), {}, {}};
  }
  for (const DatFileEntry& entry : db->files()) {
    const auto bytes = db->get_file(entry.id);
    if (!bytes) {
      EXPECT_TRUE(is_clean(bytes.error())) << bytes.error().debug();
    }
  }
  return {std::nullopt, db->files(), environ_report(*db)};
}

/// Inspects the archive at `path`, `length` bytes long: the check ends in a report of the whole
/// file or in a clean error, and so does the dump of `id`, or it doesn't find it.
void run_inspection(const std::string& path, std::uint64_t length, std::uint32_t id) {
  const auto report = check_archive(path);
  if (report) {
    EXPECT_EQ(report->layout.file_length, length);
    EXPECT_TRUE(report->layout.segments.empty() || report->layout.segments.back().end == length);
  } else {
    EXPECT_TRUE(is_clean(report.error())) << report.error().debug();
  }
  const auto explained = explain_archive(path, id);
  if (explained) {
    // Present, and the one asked for.
    const auto id_of = [](const EntryDump& entry) { return entry.id; };
    EXPECT_EQ(explained->entry.transform(id_of), std::optional<std::uint32_t>(id));
  } else {
    EXPECT_TRUE(is_clean(explained.error()) ||
                explained.error() == DatError(DatError::NotFound{id}))
        << explained.error().debug();
  }
}

/// Runs the probe on `bytes` and checks it against the library's outcome for the same bytes.
void check_probe(const Bytes& bytes, const Outcome& library) {
  const std::filesystem::path fixture = PROBE_FIXTURE;
  std::filesystem::create_directories(fixture.parent_path());
  ASSERT_TRUE(tallowmere_testing::write_archive(fixture, bytes));
  const auto result = tallowmere_testing::run_process({PROBE_EXE});
  ASSERT_EQ(result.signal, 0);
  if (library.error) {
    EXPECT_EQ(result.exit_status, 101);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, std::string(kStopPrefix) + library.error->debug() + "\n");
  } else {
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, library.report);
    EXPECT_EQ(result.err, "");
  }
}

std::uint32_t load_u32(const Bytes& bytes, std::uint64_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | (static_cast<std::uint32_t>(bytes[at + 1]) << 8U) |
         (static_cast<std::uint32_t>(bytes[at + 2]) << 16U) |
         (static_cast<std::uint32_t>(bytes[at + 3]) << 24U);
}

/// One directory node of a well-formed archive: where each byte of its content and each of
/// its block pointers lies in the file.
struct NodeLayout {
  std::vector<std::uint64_t> content_at;  ///< File offset of content byte i.
  std::vector<std::uint64_t> pointers_at;
  Bytes content;
};

NodeLayout layout_node(const Bytes& archive, std::uint32_t block_size, std::uint32_t offset) {
  NodeLayout node;
  std::uint64_t block = offset;
  while (node.content_at.size() < kNodeSize) {
    node.pointers_at.push_back(block);
    const std::uint32_t next = load_u32(archive, block);
    const std::size_t wanted = kNodeSize - node.content_at.size();
    const std::size_t take = next == 0 ? wanted : std::min<std::size_t>(wanted, block_size - 4);
    for (std::size_t i = 0; i < take; ++i) {
      node.content_at.push_back(block + 4 + i);
      node.content.push_back(archive[block + 4 + i]);
    }
    block = next;
  }
  return node;
}

/// The entries that a salvaging open of `archive` cut to `length` bytes keeps, and the nodes it
/// leaves out, found on the intact archive: a node can be read when every byte its chain reads
/// (each block's pointer and payload) lies within the cut, and its entries are kept when every
/// node on its path can be.
struct Salvaged {
  std::vector<DatFileEntry> entries;   ///< sorted by identifier
  std::vector<std::uint32_t> skipped;  ///< sorted
};

Salvaged salvaged_within(const Bytes& archive, std::uint64_t length) {
  const std::uint32_t block_size = load_u32(archive, 0x144);
  Salvaged out;
  std::vector<std::uint32_t> pending{load_u32(archive, 0x160)};
  while (!pending.empty()) {
    const std::uint32_t offset = pending.back();
    pending.pop_back();
    if (offset == 0) continue;
    const NodeLayout node = layout_node(archive, block_size, offset);
    const std::uint64_t extent = std::max(*std::ranges::max_element(node.pointers_at) + 4,
                                          *std::ranges::max_element(node.content_at) + 1);
    if (extent > length) {
      out.skipped.push_back(offset);
      continue;
    }
    const std::uint32_t entry_count = load_u32(node.content, 248);
    for (std::uint32_t i = 0; i < entry_count; ++i) {
      const std::uint64_t at = kEntriesAt + std::uint64_t{24} * i;
      out.entries.push_back({load_u32(node.content, at), load_u32(node.content, at + 4),
                             load_u32(node.content, at + 8), load_u32(node.content, at + 12),
                             load_u32(node.content, at + 16), load_u32(node.content, at + 20)});
    }
    for (std::uint32_t slot = 0; load_u32(node.content, 0) != 0 && slot <= entry_count; ++slot)
      pending.push_back(load_u32(node.content, std::uint64_t{4} * slot));
  }
  std::ranges::sort(out.entries, {}, &DatFileEntry::id);
  std::ranges::sort(out.skipped);
  return out;
}

std::vector<NodeLayout> layout_directory(const Bytes& archive) {
  const std::uint32_t block_size = load_u32(archive, 0x144);
  std::vector<NodeLayout> nodes;
  std::vector<std::uint32_t> pending{load_u32(archive, 0x160)};
  while (!pending.empty()) {
    const std::uint32_t offset = pending.back();
    pending.pop_back();
    nodes.push_back(layout_node(archive, block_size, offset));
    const Bytes& content = nodes.back().content;
    const std::uint32_t entry_count = load_u32(content, 248);
    if (load_u32(content, 0) == 0) continue;
    for (std::uint32_t slot = 0; slot <= entry_count; ++slot) {
      if (const std::uint32_t child = load_u32(content, std::uint64_t{4} * slot); child != 0) {
        pending.push_back(child);
      }
    }
  }
  return nodes;
}

class CorruptionSweepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sample_ = read_file(SAMPLE_ARCHIVE);
    ASSERT_GT(sample_.size(), 4096U) << "the sample archive is missing: " << SAMPLE_ARCHIVE;
    const MemoryArchive intact(sample_);
    baseline_ = run_library(intact.path(), sample_);
    if (baseline_.error) FAIL() << baseline_.error->debug();
  }
  void TearDown() override { std::filesystem::remove(PROBE_FIXTURE); }

  /// The library's outcome for the archive at `path`, `length` bytes long, which is also
  /// inspected with the next of the intact archive's identifiers in turn.
  Outcome run(const std::string& path, std::span<const std::uint8_t> bytes) {
    const Outcome outcome = run_library(path, bytes);
    const std::uint64_t length = bytes.size();
    const std::uint32_t id = baseline_.files.entries()[turn_++ % baseline_.files.size()].id;
    run_inspection(path, length, id);
    return outcome;
  }

  Bytes sample_;
  Outcome baseline_;
  std::size_t turn_ = 0;
};

TEST_F(CorruptionSweepTest, SampleArchiveCutAtEveryLength) {
  const std::string census = baseline_.report.substr(0, baseline_.report.find('\n') + 1);
  const MemoryArchive archive(sample_);
  archive.truncate(0);
  bool opened_before = false;
  std::size_t probed = 0;
  const std::size_t probe_step = sample_.size() / 24;
  for (std::size_t length = 0; length <= sample_.size(); ++length) {
    if (length > 0) archive.put(length - 1, std::span(sample_).subspan(length - 1, 1));
    SCOPED_TRACE("length " + std::to_string(length));
    const Outcome outcome = run(archive.path(), std::span(sample_).first(length));
    if (outcome.error) {
      // Cutting the file can only make a read run out of data.
      if (length < 0x190) {
        EXPECT_TRUE(is_record_error(*outcome.error, "DatHeader")) << outcome.error->debug();
      } else {
        EXPECT_TRUE(is_end_of_data(*outcome.error)) << outcome.error->debug();
      }
      // Every read that succeeded at a shorter length succeeds at a longer one.
      EXPECT_FALSE(opened_before);
    } else {
      opened_before = true;
      EXPECT_EQ(outcome.files, baseline_.files);
      // A table is either complete or skipped: every line printed is one of the intact report's.
      EXPECT_TRUE(outcome.report.starts_with(census)) << outcome.report;
      std::size_t start = census.size();
      for (std::size_t end = 0; (end = outcome.report.find('\n', start)) != std::string::npos;
           start = end + 1) {
        const std::string line = outcome.report.substr(start, end + 1 - start);
        if (line.starts_with("0x")) {
          EXPECT_NE(baseline_.report.find(line), std::string::npos) << line;
        }
      }
    }
    if (length == sample_.size()) {
      EXPECT_EQ(outcome.report, baseline_.report);
    }
    const bool probe = length < 4 || length == 0x143 || length == 0x144 || length == 0x18F ||
                       length == 0x190 || length % probe_step == 0 || length + 1 >= sample_.size();
    if (probe) {
      ++probed;
      check_probe(Bytes(sample_.begin(), sample_.begin() + static_cast<std::ptrdiff_t>(length)),
                  outcome);
    }
  }
  EXPECT_GE(probed, 24U);
}

TEST_F(CorruptionSweepTest, SalvageKeepsExactlyTheEntriesWhoseNodesLieWithinACutFile) {
  tallowmere_testing::ArchiveBuilder builder({.block_size = 256, .fan_out = 8});
  for (std::uint32_t i = 0; i < 1000; ++i)
    builder.add_file(0x06000000 + i * 7, Bytes(1 + i % 40, static_cast<std::uint8_t>(i)));
  const Bytes thousand = builder.build().bytes;
  for (const Bytes* archive : std::array<const Bytes*, 2>{&sample_, &thousand}) {
    std::size_t partial = 0;
    for (std::size_t length = 0x190; length <= archive->size(); length += 97) {
      SCOPED_TRACE("length " + std::to_string(length) + " of " + std::to_string(archive->size()));
      const auto db = DatDatabase::open(std::span(*archive).first(length), {.salvage = true});
      ASSERT_TRUE(db) << db.error().debug();
      const Salvaged expected = salvaged_within(*archive, length);
      EXPECT_EQ(std::vector(db->files().begin(), db->files().end()), expected.entries);
      std::vector<std::uint32_t> skipped;
      for (const SkippedNode& node : db->skipped())
        skipped.push_back(node.offset);
      std::ranges::sort(skipped);
      EXPECT_EQ(skipped, expected.skipped);
      partial += !expected.entries.empty() && !expected.skipped.empty() ? 1U : 0U;
    }
    // The cuts that keep some entries and lose others are the ones that test anything.
    EXPECT_GT(partial, 20U);
    std::printf("%zu-byte archive: %zu of %zu cuts salvage part of the directory\n",
                archive->size(), partial, (archive->size() - 0x190) / 97 + 1);
  }
}

TEST_F(CorruptionSweepTest, EveryHeaderBitFlipped) {
  const MemoryArchive archive(sample_);
  for (std::uint64_t at = 0x140; at < 0x190; ++at) {
    for (unsigned bit = 0; bit < 8; ++bit) {
      SCOPED_TRACE("header byte " + std::to_string(at - 0x140) + " bit " + std::to_string(bit));
      Bytes flipped = sample_;
      flipped[at] = static_cast<std::uint8_t>(flipped[at] ^ (1U << bit));
      archive.put(at, std::span(flipped).subspan(at, 1));
      const Outcome outcome = run(archive.path(), flipped);
      archive.put(at, std::span(sample_).subspan(at, 1));
      // Only `block_size` and `root_offset` are interpreted; any other field is stored as read.
      const std::uint64_t field = (at - 0x140) / 4;
      if (field != 1 && field != 8) {
        EXPECT_FALSE(outcome.error);
        EXPECT_EQ(outcome.report, baseline_.report);
      }
      if ((bit == 0 && at % 4 == 0) || field == 1 || field == 8) check_probe(flipped, outcome);
    }
  }
}

TEST_F(CorruptionSweepTest, EveryDirectoryNodeBitFlipped) {
  const std::vector<NodeLayout> nodes = layout_directory(sample_);
  ASSERT_GE(nodes.size(), 5U);  // the sample's directory is several levels deep
  const MemoryArchive archive(sample_);
  std::size_t cases = 0;
  std::size_t failed_opens = 0;
  const auto flip = [&](std::uint64_t at, unsigned bit, bool ignored) {
    Bytes flipped = sample_;
    flipped[at] = static_cast<std::uint8_t>(flipped[at] ^ (1U << bit));
    archive.put(at, std::span(flipped).subspan(at, 1));
    const Outcome outcome = run(archive.path(), flipped);
    archive.put(at, std::span(sample_).subspan(at, 1));
    if (ignored) {
      // Slots past a node's children and bytes past its last entry are never looked at.
      EXPECT_FALSE(outcome.error);
      EXPECT_EQ(outcome.files, baseline_.files);
    }
    failed_opens += outcome.error ? 1U : 0U;
    if (++cases % 211 == 0) check_probe(flipped, outcome);
  };
  for (std::size_t n = 0; n < nodes.size(); ++n) {
    const NodeLayout& node = nodes[n];
    const std::uint32_t entry_count = load_u32(node.content, 248);
    const bool leaf = load_u32(node.content, 0) == 0;
    const std::size_t live_slots = leaf ? 1 : entry_count + 1;
    const std::size_t entries_end = kEntriesAt + std::size_t{24} * entry_count;
    for (const std::uint64_t at : node.pointers_at) {
      for (unsigned bit = 0; bit < 32; ++bit) {
        SCOPED_TRACE("node " + std::to_string(n) + " pointer at " + std::to_string(at));
        flip(at + bit / 8, bit % 8, false);
      }
    }
    for (std::size_t i = 0; i < kNodeSize; ++i) {
      const bool live = i < 4 * live_slots || (i >= 248 && i < entries_end);
      // Of an entry the walk and retrieval interpret bit 0 of `bit_flags`, `offset` and `size`;
      // the rest (`id`, `timestamp`, `version`) is only copied into the map.
      const std::size_t in_entry = i >= kEntriesAt ? (i - kEntriesAt) % 24 : 24;
      const bool copied = live && in_entry < 24 && (in_entry < 8 || in_entry >= 16);
      // Every bit of what is interpreted, one bit of each copied byte and of every 16th byte
      // that must be ignored.
      if (!live && i % 16 != 0) continue;
      SCOPED_TRACE("node " + std::to_string(n) + " content byte " + std::to_string(i));
      for (unsigned bit = 0; bit < 8; ++bit) {
        const bool sampled = bit == i / 16 % 8 || (in_entry == 0 && bit == 0);
        if ((!live || copied) && !sampled) continue;
        flip(node.content_at[i], bit, !live);
      }
    }
  }
  EXPECT_GT(failed_opens, 0U);
  EXPECT_LT(failed_opens, cases);
}

}  // namespace
}  // namespace tallowmere_dat
