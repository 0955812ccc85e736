#include "tallowmere_dat/explain.h"

#include <algorithm>
#include <array>
#include <new>
#include <utility>

#include "archive_open.h"
#include "chain_trace.h"
#include "directory.h"
#include "directory_scan.h"
#include "format_detail.h"
#include "record_reader.h"
#include "tallowmere_dat/file_type/sound_table.h"
#include "tallowmere_dat/lrs.h"

namespace tallowmere_dat {
namespace {

constexpr std::array<const char*, 17> kHeaderFields = {
    "magic",          "block_size",   "file_size",     "dataset",        "subset",
    "free_head",      "free_tail",    "free_count",    "root_offset",    "new_lru",
    "old_lru",        "use_lru",      "master_map_id", "engine_version", "game_version",
    "version_string", "version_minor"};
constexpr std::array<const char*, 6> kEntryFields = {"bit_flags", "id",        "offset",
                                                     "size",      "timestamp", "version"};

DumpedField field(std::string name, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  std::uint64_t value = 0;
  if (bytes.size() <= 8) {
    for (std::size_t i = bytes.size(); i-- > 0;)
      value = (value << 8U) | bytes[i];
  }
  return {std::move(name), offset, {bytes.begin(), bytes.end()}, value};
}

std::expected<std::vector<DumpedField>, DatError> header_fields(const File& file) {
  std::array<std::uint8_t, 80> bytes{};
  if (auto read = detail::FileBlockSource(file, 0).read_at(bytes, {}, DatHeader::kOffset); !read) {
    return std::unexpected(DatError(std::move(read.error())));
  }
  std::vector<DumpedField> fields;
  std::size_t at = 0;
  for (const char* name : kHeaderFields) {
    const std::size_t size = std::string_view(name) == "version_string" ? 16 : 4;
    fields.push_back(field(name, DatHeader::kOffset + at, std::span(bytes).subspan(at, size)));
    at += size;
  }
  return fields;
}

/// The records of a sound table's `content`, as far as they decode.
std::vector<DumpedRecord> sound_table_records(std::span<const std::uint8_t> content) {
  std::vector<DumpedRecord> records;
  Cursor cursor(content);
  const auto at = [&] { return content.size() - cursor.remaining().size(); };
  std::size_t started = 0;  // where the record being read began
  const auto note = [&](std::string what, std::size_t from) {
    records.push_back({std::move(what), from, at() - from});
  };
  const auto count = [&](const char* what) -> std::optional<std::int32_t> {
    const std::size_t from = started = at();
    const auto value = read_i32(cursor);
    if (!value) return std::nullopt;
    note(std::string(what) + " " + std::to_string(*value), from);
    return *value;
  };
  bool complete = false;
  [&] {
    for (const char* name : {"id", "hash_key"}) {
      const std::size_t from = started = at();
      const auto value = read_u32(cursor);
      if (!value) return;
      note(std::string(name) + " " + detail::hex32(*value), from);
    }
    const auto hashes = count("hash records:");
    if (!hashes) return;
    for (std::int32_t i = 0; i < *hashes; ++i) {
      const std::size_t from = started = at();
      const auto key = read_u32(cursor);
      if (!key || !file_type::SoundHashData::read(cursor)) return;
      note("hash record 0x" + detail::hex(*key, 1), from);
    }
    const auto sounds = count("sound records:");
    if (!sounds) return;
    for (std::int32_t i = 0; i < *sounds; ++i) {
      const std::size_t from = started = at();
      const auto key = read_u32(cursor);
      if (!key) return;
      const auto data = file_type::SoundData::read(cursor);
      if (!data) return;
      note("sound record 0x" + detail::hex(*key, 1) + ": " + std::to_string(data->entries.size()) +
               " entries",
           from);
    }
    complete = true;
  }();
  const std::size_t end = at();
  if (!complete) {
    records.push_back({"cut short: this record does not fit", started, content.size() - started});
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
    case detail::ChainEnd::BlockSizeTooSmall:
      break;
  }
  return "cannot be followed: the block size leaves no room for data";
}

std::expected<EntryDump, DatError> dump_entry(const detail::OpenedArchive& archive,
                                              std::uint32_t id) {
  const detail::FileBlockSource source(archive.file, archive.length);
  const std::uint32_t block_size = archive.header.block_size;
  auto scan =
      detail::scan_directory(source, block_size, archive.header.root_offset, archive.length);
  if (!scan) return std::unexpected(std::move(scan.error()));
  const auto found = std::find_if(scan->entries.rbegin(), scan->entries.rend(),
                                  [&](const detail::ScannedEntry& e) { return e.entry.id == id; });
  if (found == scan->entries.rend()) return std::unexpected(DatError(DatError::NotFound{id}));
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
  const std::array<std::uint32_t, 6> values = {found->entry.bit_flags, found->entry.id,
                                               found->entry.offset,    found->entry.size,
                                               found->entry.timestamp, found->entry.version};
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::uint64_t at = detail::kEntriesAt + found->index * DatFileEntry::kSize + 4 * i;
    std::array<std::uint8_t, 4> bytes{};
    for (std::size_t b = 0; b < 4; ++b)
      bytes[b] = static_cast<std::uint8_t>(values[i] >> (8 * b));
    dump.fields.push_back(
        field(kEntryFields[i], detail::file_offset_of(node_chain, at).value_or(0), bytes));
  }
  const DatFileEntry entry = found->entry;
  auto chain = detail::trace_chain(source, block_size, entry.offset, entry.size, archive.length);
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

}  // namespace

std::expected<Explanation, DatError> explain_archive(const std::filesystem::path& path,
                                                     std::optional<std::uint32_t> id) {
  auto archive = detail::open_archive_file(path);
  if (!archive) return std::unexpected(std::move(archive.error()));
  try {
    Explanation explanation;
    auto header = header_fields(archive->file);
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

}  // namespace tallowmere_dat
