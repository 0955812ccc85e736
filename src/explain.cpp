#include "tallowmere_dat/explain.h"

#include <algorithm>
#include <array>
#include <new>
#include <utility>

#include "archive_source.h"
#include "chain_trace.h"
#include "directory.h"
#include "directory_scan.h"
#include "format_detail.h"
#include "record_reader.h"
#include "tallowmere_dat/file_type/sound_table.h"
#include "tallowmere_dat/lrs.h"

namespace tallowmere_dat {
namespace {

/// The most blocks a chain listing traces: a chain can be as long as its size says, and a dump
/// of a million blocks is past what anyone reads.
constexpr std::uint64_t kMaxTracedBlocks = std::uint64_t{1} << 20;

DumpedField field(std::string name, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  std::uint64_t value = 0;
  if (bytes.size() <= 8) {
    for (std::size_t i = bytes.size(); i-- > 0;)
      value = (value << 8U) | bytes[i];
  }
  return {std::move(name), offset, {bytes.begin(), bytes.end()}, value};
}

std::expected<std::vector<DumpedField>, DatError> header_fields(const detail::BlockSource& source) {
  std::array<std::uint8_t, kHeaderSize> bytes{};
  if (auto read = source.read_at(bytes, {}, DatHeader::kOffset); !read) {
    return std::unexpected(DatError(std::move(read.error())));
  }
  std::vector<DumpedField> fields;
  fields.reserve(kHeaderFields.size());
  for (const HeaderField& f : kHeaderFields) {
    fields.push_back(field(std::string(f.name), DatHeader::kOffset + f.offset,
                           std::span(bytes).subspan(f.offset, f.width)));
  }
  return fields;
}

/// The records of a sound table's `content`, as far as they decode.
std::vector<DumpedRecord> sound_table_records(std::span<const std::uint8_t> content) {
  using Kind = file_type::SoundTableRecord::Kind;
  std::vector<DumpedRecord> records;
  std::uint64_t end = 0;  // where the last complete record ends
  const auto what = [](const file_type::SoundTableRecord& r) {
    switch (r.kind) {
      case Kind::Id:
        return "id " + detail::hex32(r.value);
      case Kind::HashKey:
        return "hash_key " + detail::hex32(r.value);
      case Kind::HashCount:
        return "hash records: " + std::to_string(static_cast<std::int32_t>(r.value));
      case Kind::HashRecord:
        return "hash record " + detail::hex32(r.value);
      case Kind::SoundCount:
        return "sound records: " + std::to_string(static_cast<std::int32_t>(r.value));
      case Kind::SoundRecord:
        break;
    }
    return "sound record " + detail::hex32(r.value) + ": " + std::to_string(r.entries) + " entries";
  };
  Cursor cursor(content);
  const auto decoded =
      file_type::SoundTable::read(cursor, [&](const file_type::SoundTableRecord& r) {
        records.push_back({what(r), r.offset, r.size});
        end = r.offset + r.size;
      });
  if (!decoded) {
    records.push_back({"cut short: this record does not fit", end, content.size() - end});
  } else if (end < content.size()) {
    records.push_back({"bytes left over", end, content.size() - end});
  }
  return records;
}

std::string chain_problem(const detail::TracedChain& chain) {
  switch (chain.end) {
    case detail::ChainEnd::Complete:
      return "";
    case detail::ChainEnd::PastEnd:
      return "runs past the end of the file";
    case detail::ChainEnd::Loop:
      return "loops back to block " + detail::hex32(chain.at);
    case detail::ChainEnd::BadOffset:
      return "meets block offset " + detail::hex32(chain.at);
    case detail::ChainEnd::OverBudget:
      return "goes on past " + std::to_string(kMaxTracedBlocks) +
             " blocks, where the listing stops";
    case detail::ChainEnd::BlockSizeTooSmall:
      break;
  }
  return "cannot be followed: the block size leaves no room for data";
}

std::expected<EntryDump, DatError> dump_entry(const detail::OpenedArchive& archive,
                                              std::uint32_t id) {
  const detail::BlockSource& source = *archive.source;
  const std::uint32_t block_size = archive.header.block_size;
  auto scan = detail::scan_directory(source, block_size, archive.header.root_offset, archive.length,
                                     kMaxTracedBlocks);
  if (!scan) return std::unexpected(std::move(scan.error()));
  const auto kept = std::ranges::lower_bound(
      scan->kept, id, {}, [&](std::size_t i) { return scan->entries[i].entry.id; });
  if (kept == scan->kept.end() || scan->entries[*kept].entry.id != id) {
    return std::unexpected(DatError(DatError::NotFound{id}));
  }
  const detail::ScannedEntry* found = &scan->entries[*kept];
  EntryDump dump;
  dump.id = id;
  std::optional<std::size_t> node = found->node;
  std::optional<std::uint32_t> slot;
  for (; node; node = scan->nodes[*node].parent) {  // from the entry's node up to the root
    dump.path.push_back(PathStep{scan->nodes[*node].offset, slot});
    slot = scan->nodes[*node].slot;
  }
  std::ranges::reverse(dump.path);
  const detail::TracedChain& node_chain = scan->nodes[found->node].chain;
  for (const EntryField& f : kEntryFields) {
    const std::uint64_t at = detail::kEntriesAt + found->index * DatFileEntry::kSize + f.offset;
    const std::uint32_t value = found->entry.*f.member;
    std::array<std::uint8_t, 4> bytes{};
    for (std::size_t b = 0; b < 4; ++b)
      bytes[b] = static_cast<std::uint8_t>(value >> (8 * b));
    dump.fields.push_back(
        field(std::string(f.name), detail::file_offset_of(node_chain, at).value_or(0), bytes));
  }
  const DatFileEntry entry = found->entry;
  auto chain = detail::trace_chain(source, block_size, entry.offset, entry.size, archive.length,
                                   kMaxTracedBlocks);
  if (!chain) return std::unexpected(DatError(std::move(chain.error())));
  for (const detail::TracedBlock& block : chain->blocks) {
    dump.chain.push_back({block.offset, block.pointer, block.payload_begin, block.payload_end});
  }
  dump.chain_problem = chain_problem(*chain);
  if (!is_sound_table_id(id) || chain->end != detail::ChainEnd::Complete) return dump;
  std::vector<std::uint8_t> content;
  if (auto read =
          detail::read_block_chain_into(source, block_size, entry.offset, entry.size, content);
      !read) {
    return std::unexpected(std::move(read.error()));
  }
  if (entry.is_compressed()) content = decompress_lrs(content);
  dump.records = sound_table_records(content);
  return dump;
}

std::expected<Explanation, DatError> explain(std::expected<detail::OpenedArchive, DatError> archive,
                                             std::optional<std::uint32_t> id) {
  if (!archive) return std::unexpected(std::move(archive.error()));
  try {
    Explanation explanation;
    auto header = header_fields(*archive->source);
    if (!header) return std::unexpected(std::move(header.error()));
    explanation.header = std::move(*header);
    if (id) {
      auto entry = dump_entry(*archive, *id);
      if (!entry) return std::unexpected(std::move(entry.error()));
      explanation.entry = std::move(*entry);
    }
    return explanation;
  } catch (const std::bad_alloc&) {
    return std::unexpected(DatError(IoError::with_message(
        IoErrorKind::OutOfMemory, "memory allocation failed explaining the archive")));
  }
}

}  // namespace

std::expected<Explanation, DatError> explain_archive(const std::filesystem::path& path,
                                                     std::optional<std::uint32_t> id) {
  return explain(detail::open_archive(path), id);
}

std::expected<Explanation, DatError> explain_archive(std::span<const std::uint8_t> bytes,
                                                     std::optional<std::uint32_t> id) {
  return explain(detail::open_archive(bytes), id);
}

}  // namespace tallowmere_dat
