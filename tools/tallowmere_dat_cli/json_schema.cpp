#include "json_schema.h"

#include <algorithm>
#include <array>
#include <variant>

#include "format.h"
#include "tallowmere_dat/error.h"

namespace tallowmere_dat::cli {

DirectoryTotals count_by_type(const DatDatabase& db) {
  DirectoryTotals d;
  for (const DatFileEntry& entry : db.files()) {
    for (TypeTotals* totals : {&d.by_type[type_of(entry.id)], &d.all}) {
      ++totals->files;
      totals->compressed_files += entry.is_compressed() ? 1U : 0U;
      totals->stored_bytes += entry.size;
    }
  }
  return d;
}

namespace {

/// The stored fields that are numbers; every other stored field is an identifier, an offset or
/// flags, in hex.
constexpr std::array<std::string_view, 11> kNumberFields = {
    "block_size",   "file_size",     "dataset", "subset",    "free_count", "engine_version",
    "game_version", "version_minor", "size",    "timestamp", "version"};

Json totals_json(const TypeTotals& totals) {
  return Json{{"files", totals.files},
              {"compressed_files", totals.compressed_files},
              {"stored_bytes", totals.stored_bytes}};
}

Json header_json(const DatHeader& h) {
  Json header = Json::object();
  for (const HeaderField& f : kHeaderFields) {
    header[std::string(f.name)] =
        f.number == nullptr ? bytes_json(h.version_string) : field_json(f.name, h.*f.number, {});
  }
  return header;
}

Json levels_json(Json json, float priority, float probability, float volume) {
  json["priority"] = float_json(priority);
  json["probability"] = float_json(probability);
  json["volume"] = float_json(volume);
  return json;
}

Json fields_json(const std::vector<DumpedField>& fields) {
  Json list = Json::array();
  for (const DumpedField& field : fields) {
    list.push_back({{"name", field.name},
                    {"offset", offset_json(field.offset)},
                    {"bytes", bytes_json(field.bytes)},
                    {"value", field_json(field.name, field.value, field.bytes)}});
  }
  return list;
}

Json entry_dump_json(const EntryDump& entry) {
  Json path = Json::array();
  for (const PathStep& step : entry.path) {
    path.push_back(
        {{"node", hex_json(step.node)}, {"slot", step.slot ? Json(*step.slot) : Json(nullptr)}});
  }
  Json blocks = Json::array();
  for (const DumpedBlock& block : entry.chain) {
    blocks.push_back({{"offset", hex_json(block.offset)},
                      {"pointer", hex_json(block.pointer)},
                      {"payload_begin", offset_json(block.payload_begin)},
                      {"payload_end", offset_json(block.payload_end)}});
  }
  Json records = Json::array();
  for (const DumpedRecord& record : entry.records) {
    records.push_back(
        {{"what", record.what}, {"offset", offset_json(record.offset)}, {"size", record.size}});
  }
  return Json{
      {"id", hex_json(entry.id)},
      {"path", std::move(path)},
      {"fields", fields_json(entry.fields)},
      {"chain", std::move(blocks)},
      {"chain_problem", entry.chain_problem.empty() ? Json(nullptr) : Json(entry.chain_problem)},
      {"records", std::move(records)}};
}

}  // namespace

Json text_json(std::string_view text) {
  return escaped_text(text);
}

Json hex_json(std::uint32_t value, int digits) {
  return hex(value, digits);
}

Json offset_json(std::uint64_t offset) {
  return format("0x%08llX", static_cast<unsigned long long>(offset));
}

Json bytes_json(std::span<const std::uint8_t> bytes) {
  std::string text = "0x";
  for (const std::uint8_t byte : bytes)
    text += format("%02X", byte);
  return text;
}

bool is_number_field(std::string_view name) {
  return std::ranges::find(kNumberFields, name) != kNumberFields.end();
}

Json field_json(std::string_view name, std::uint64_t value, std::span<const std::uint8_t> bytes) {
  if (name == "version_string") return bytes_json(bytes);
  if (is_number_field(name)) return value;
  return hex_json(static_cast<std::uint32_t>(value));
}

Json header_document(const std::string& archive_path, const DatDatabase& db) {
  const auto [by_type, all] = count_by_type(db);
  Json types = Json::array();
  for (const auto& [type, totals] : by_type) {
    Json item{{"type", hex_json(type, 2)}};
    item.update(totals_json(totals));
    types.push_back(std::move(item));
  }
  return Json{{"archive", text_json(archive_path)},
              {"header", header_json(db.header())},
              {"totals", totals_json(all)},
              {"by_type", std::move(types)}};
}

Json entry_json(const DatFileEntry& e) {
  return Json{{"id", hex_json(e.id)},
              {"type", hex_json(type_of(e.id), 2)},
              {"bit_flags", hex_json(e.bit_flags)},
              {"compressed", e.is_compressed()},
              {"offset", hex_json(e.offset)},
              {"size", e.size},
              {"timestamp", e.timestamp},
              {"time", iso_time(e.timestamp)},
              {"version", e.version}};
}

Json listing_document(const std::string& archive_path, const DatDatabase& db,
                      const Selection& selection) {
  Json entries = Json::array();
  for (const DatFileEntry* entry : selection.select(db.files()))
    entries.push_back(entry_json(*entry));
  return Json{{"archive", text_json(archive_path)}, {"entries", std::move(entries)}};
}

Json check_document(const std::string& archive_path, const CheckReport& report) {
  Json findings = Json::array();
  std::size_t warnings = 0;
  for (const Finding& finding : report.findings) {
    Json offsets = Json::array();
    for (const std::uint64_t offset : finding.offsets)
      offsets.push_back(offset_json(offset));
    Json ids = Json::array();
    for (const std::uint32_t id : finding.ids)
      ids.push_back(hex_json(id));
    const bool warning = finding.severity == Severity::Warning;
    warnings += warning ? 1 : 0;
    findings.push_back({{"kind", finding_name(finding.kind)},
                        {"severity", warning ? "warning" : "error"},
                        {"offsets", std::move(offsets)},
                        {"ids", std::move(ids)},
                        {"message", finding.message}});
  }
  return Json{{"archive", text_json(archive_path)},
              {"errors", report.findings.size() - warnings},
              {"warnings", warnings},
              {"findings", std::move(findings)}};
}

Json error_document(const std::string& archive_path, std::string_view message) {
  return Json{{"archive", text_json(archive_path)}, {"error", text_json(message)}};
}

Json sound_table_json(std::uint32_t id, const file_type::SoundTable& table) {
  Json hashes = Json::array();
  for (const auto& [key, h] : table.hashes)
    hashes.push_back(levels_json({{"key", hex_json(key)}}, h.priority, h.probability, h.volume));
  Json sounds = Json::array();
  for (const auto& [key, slot] : table.sounds) {
    Json entries = Json::array();
    for (const file_type::SoundEntry& e : slot.entries) {
      entries.push_back(
          levels_json({{"wave_did", hex_json(e.wave_did)}}, e.priority, e.probability, e.volume));
    }
    sounds.push_back(
        {{"key", hex_json(key)}, {"unknown", slot.unknown}, {"entries", std::move(entries)}});
  }
  return Json{{"id", hex_json(id)},
              {"stored_id", hex_json(table.id)},
              {"hash_key", table.hash_key},
              {"hashes", std::move(hashes)},
              {"sounds", std::move(sounds)}};
}

Json explanation_document(const std::string& archive_path, const Explanation& explanation) {
  Json json{{"archive", text_json(archive_path)},
            {"header_fields", fields_json(explanation.header)}};
  if (explanation.entry) json["entry"] = entry_dump_json(*explanation.entry);
  return json;
}

bool is_layout_field(std::string_view name) {
  constexpr std::array<std::string_view, 5> kLayoutFields = {"file_size", "free_head", "free_tail",
                                                             "free_count", "root_offset"};
  return std::ranges::find(kLayoutFields, name) != kLayoutFields.end();
}

Json header_value_json(std::string_view name, const HeaderValue& value) {
  if (const auto* bytes = std::get_if<std::array<std::uint8_t, 16>>(&value)) {
    return field_json(name, 0, *bytes);
  }
  return field_json(name, std::get<std::uint32_t>(value), {});
}

Json archive_pair_json(const std::string& old_path, const std::string& new_path) {
  return Json{{"old", text_json(old_path)}, {"new", text_json(new_path)}};
}

Json change_json(std::string_view change, const DatFileEntry* old_entry,
                 const DatFileEntry* new_entry) {
  Json json{{"id", hex_json(old_entry != nullptr ? old_entry->id : new_entry->id)},
            {"change", change}};
  if (old_entry != nullptr) json["old"] = entry_json(*old_entry);
  if (new_entry != nullptr) json["new"] = entry_json(*new_entry);
  return json;
}

Json unreadable_json(const UnreadableEntry& entry) {
  return Json{{"id", hex_json(entry.id())},         {"change", "unreadable"},
              {"side", side_name(entry.side())},    {"message", text_json(entry.message())},
              {"old", entry_json(entry.old_entry)}, {"new", entry_json(entry.new_entry)}};
}

Json diff_summary_json(const DiffReport& report, bool differ) {
  Json header = Json::array();
  for (const HeaderFieldChange& c : report.header_changes) {
    header.push_back({{"name", c.name},
                      {"layout", is_layout_field(c.name)},
                      {"old_value", header_value_json(c.name, c.old_value)},
                      {"new_value", header_value_json(c.name, c.new_value)}});
  }
  Json types = Json::array();
  for (const tallowmere_dat::TypeTotals& t : report.totals) {
    types.push_back({{"type", hex_json(t.type, 2)},
                     {"files_added", t.files_added},
                     {"bytes_added", t.bytes_added},
                     {"files_removed", t.files_removed},
                     {"bytes_removed", t.bytes_removed},
                     {"files_changed", t.files_changed},
                     {"bytes_changed", t.bytes_changed},
                     {"files_unreadable", t.files_unreadable},
                     {"files_unchanged", t.files_unchanged}});
  }
  return Json{{"differ", differ},
              {"unchanged", report.unchanged},
              {"header_changes", std::move(header)},
              {"by_type", std::move(types)}};
}

Json with_archive(const std::string& archive_path, Json document) {
  return with_archive(text_json(archive_path), std::move(document));
}

Json with_archive(Json archive, Json document) {
  Json line{{"archive", std::move(archive)}};
  for (auto& [key, value] : document.items())
    line[key] = std::move(value);
  return line;
}

}  // namespace tallowmere_dat::cli
