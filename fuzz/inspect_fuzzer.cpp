// Any bytes as an archive file, inspected: the integrity check with its layout of the file, and
// the annotated dump of the header and of each identifier the directory holds, plus one it
// doesn't. Each ends in a report holding its invariants, or in one of the header's errors,
// the same one the open gives.
//
// As in the archive target, an entry's dump reads its content only where it is a sound table, at
// a cost in proportion to its declared size: sound tables are dumped while their sizes stay within
// a budget per input, and only where the open gives their sizes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "tallowmere_dat/check.h"
#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/explain.h"
#include "tallowmere_dat/file_type/sound_table.h"

namespace {

using tallowmere_dat::CheckReport;
using tallowmere_dat::DatDatabase;
using tallowmere_dat::DatError;
using tallowmere_dat::Explanation;
using tallowmere_dat::FindingKind;
using tallowmere_fuzz::fail;

constexpr std::uint64_t kMaxTableBytesPerInput = std::uint64_t{1} << 18U;
constexpr std::size_t kMaxDumpsPerInput = 64;
constexpr std::uint64_t kHeaderEnd = 0x190;
constexpr std::size_t kRootOffsetField = 8;
constexpr std::size_t kIdField = 1;
constexpr std::size_t kSizeField = 3;

using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

/// `ranges` sorted, with touching and overlapping ones joined.
Ranges joined(Ranges ranges) {
  std::ranges::sort(ranges);
  Ranges out;
  for (const auto& range : ranges) {
    if (!out.empty() && range.first <= out.back().second) {
      out.back().second = std::max(out.back().second, range.second);
    } else {
      out.push_back(range);
    }
  }
  return out;
}

/// The segments cover the file in order without gaps; the header's bytes are claimed; the bytes
/// claimed twice are exactly those that `claimed-twice` findings name; the counts nest.
void check_layout(const CheckReport& report, std::uint64_t length, std::uint32_t block_size) {
  const tallowmere_dat::ArchiveLayout& layout = report.layout;
  if (layout.file_length != length) fail("the layout's length is not the file's");
  if (layout.block_size != block_size) fail("the layout's block size is not the header's");
  std::uint64_t at = 0;
  Ranges shared;
  for (const tallowmere_dat::Segment& segment : layout.segments) {
    if (segment.begin != at || segment.end <= segment.begin) fail("segments leave a gap");
    if (segment.begin < kHeaderEnd && segment.claims == 0) fail("header bytes unclaimed");
    if (segment.claims >= 2) shared.emplace_back(segment.begin, segment.end);
    at = segment.end;
  }
  if (at != length) fail("the segments don't reach the end of the file");
  Ranges reported;
  for (const tallowmere_dat::Finding& finding : report.findings) {
    if (finding.kind != FindingKind::ClaimedTwice) continue;
    if (finding.offsets.size() != 2) fail("claimed-twice without its range", finding.message);
    reported.emplace_back(finding.offsets[0], finding.offsets[1]);
  }
  if (joined(shared) != joined(reported)) fail("claimed-twice findings differ from the claims");
  if (layout.contiguous_chains > layout.chains || layout.chains > layout.runs ||
      layout.chains > layout.entry_count) {
    fail("the fragmentation counts don't nest");
  }
}

void check_findings(const CheckReport& report) {
  for (const tallowmere_dat::Finding& finding : report.findings) {
    if (finding.message.empty() || finding.message.find('\n') != std::string::npos) {
      fail("a finding is not one line", finding.message);
    }
    const bool warning =
        finding.kind == FindingKind::IdOrder || finding.kind == FindingKind::ChildOutOfRange;
    if (warning != (finding.severity == tallowmere_dat::Severity::Warning)) {
      fail("a finding of the wrong severity", finding.message);
    }
  }
}

/// The header's fields lie back to back from 0x140 to 0x190.
void check_header_dump(const Explanation& explanation) {
  std::uint64_t at = kHeaderEnd - 80;
  for (const tallowmere_dat::DumpedField& field : explanation.header) {
    if (field.offset != at || field.bytes.empty()) fail("header fields out of place", field.name);
    at += field.bytes.size();
  }
  if (explanation.header.size() != 17 || at != kHeaderEnd) fail("not the header's 17 fields");
}

/// The dump names `id`, leads from the root to it, and a chain it calls whole holds the
/// entry's size within the file; records follow one another.
void check_entry_dump(const Explanation& explanation, std::uint32_t id, std::uint64_t length) {
  if (!explanation.entry) fail("no entry dumped");
  const tallowmere_dat::EntryDump& dump = *explanation.entry;
  if (dump.id != id || dump.fields.size() != 6 || dump.fields[kIdField].value != id) {
    fail("the dump is of another entry");
  }
  if (dump.path.empty() || dump.path.back().slot ||
      dump.path.front().node != explanation.header[kRootOffsetField].value ||
      std::any_of(dump.path.begin(), dump.path.end() - 1, [](const auto& s) { return !s.slot; })) {
    fail("the dump's path doesn't lead from the root to the entry");
  }
  std::uint64_t held = 0;
  for (const tallowmere_dat::DumpedBlock& block : dump.chain) {
    if (block.payload_begin != std::uint64_t{block.offset} + 4 ||
        block.payload_end < block.payload_begin) {
      fail("a block's payload out of place");
    }
    if (dump.chain_problem.empty() && block.payload_end > length) fail("a whole chain past EOF");
    held += block.payload_end - block.payload_begin;
  }
  if (dump.chain_problem.empty() && held != dump.fields[kSizeField].value) {
    fail("a whole chain doesn't hold the entry's size");
  }
  std::uint64_t end = 0;
  for (const tallowmere_dat::DumpedRecord& record : dump.records) {
    if (record.offset < end || record.what.empty()) fail("records overlap", record.what);
    end = record.offset + record.size;
  }
}

/// The identifiers to dump: with an open database each of its entries (sound tables within the
/// budget), else each identifier a finding names that is not a sound table.
std::set<std::uint32_t> ids_to_dump(const std::expected<DatDatabase, DatError>& db,
                                    const CheckReport& report) {
  std::set<std::uint32_t> ids;
  if (db) {
    std::uint64_t table_bytes_left = kMaxTableBytesPerInput;
    for (const tallowmere_dat::DatFileEntry& entry : db->files()) {
      if (tallowmere_dat::is_sound_table_id(entry.id)) {
        if (entry.size > table_bytes_left) continue;
        table_bytes_left -= entry.size;
      }
      ids.insert(entry.id);
    }
  } else {
    for (const tallowmere_dat::Finding& finding : report.findings) {
      for (const std::uint32_t id : finding.ids) {
        if (!tallowmere_dat::is_sound_table_id(id)) ids.insert(id);
      }
    }
  }
  return ids;
}

/// The smallest identifier the database doesn't hold.
std::uint32_t missing_id(const DatDatabase& db) {
  std::uint32_t id = 0;
  for (const tallowmere_dat::DatFileEntry& entry : db.files()) {
    if (entry.id != id) break;
    ++id;
  }
  return id;
}

std::uint32_t header_block_size(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kAt = 0x144;
  if (size < kAt + 4) return 0;
  return static_cast<std::uint32_t>(data[kAt]) | (static_cast<std::uint32_t>(data[kAt + 1]) << 8U) |
         (static_cast<std::uint32_t>(data[kAt + 2]) << 16U) |
         (static_cast<std::uint32_t>(data[kAt + 3]) << 24U);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const tallowmere_fuzz::MemoryFile file;
  file.assign(data, size);

  const auto db = DatDatabase::open(file.path());
  const auto report = tallowmere_dat::check_archive(file.path());
  const auto header = tallowmere_dat::explain_archive(file.path(), std::nullopt);
  if (!report || !header) {
    // Only the header's open may fail, and then as the database's open does.
    const DatError& error = report ? header.error() : report.error();
    tallowmere_fuzz::check_error(error);
    if (db || db.error().debug() != error.debug() || (report.has_value() != header.has_value())) {
      fail("the inspection fails where the open doesn't, or otherwise", error.debug());
    }
    return 0;
  }
  check_findings(*report);
  check_layout(*report, size, header_block_size(data, size));
  check_header_dump(*header);
  // A check cut short counts only the identifiers it met, each once.
  const bool stopped = std::ranges::any_of(report->findings, [](const auto& finding) {
    return finding.kind == FindingKind::CheckStopped;
  });
  if (db && (stopped ? report->layout.entry_count > db->files().size()
                     : report->layout.entry_count != db->files().size())) {
    fail("the check counts other entries than the open");
  }

  std::size_t dumps_left = kMaxDumpsPerInput;
  for (const std::uint32_t id : ids_to_dump(db, *report)) {
    if (dumps_left-- == 0) break;
    const auto explained = tallowmere_dat::explain_archive(file.path(), id);
    if (!explained)
      fail("an identifier in the directory is not explained", explained.error().debug());
    check_entry_dump(*explained, id, size);
  }
  if (db) {
    const std::uint32_t id = missing_id(*db);
    const auto explained = tallowmere_dat::explain_archive(file.path(), id);
    if (explained || explained.error() != DatError(DatError::NotFound{id})) {
      fail("an identifier the directory lacks is explained");
    }
  }
  return 0;
}
