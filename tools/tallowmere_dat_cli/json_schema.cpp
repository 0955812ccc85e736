#include "json_schema.h"

#include <map>

#include "format.h"

namespace tallowmere_dat::cli {
namespace {

struct TypeTotals {
  std::uint64_t files = 0;
  std::uint64_t compressed = 0;
  std::uint64_t stored_bytes = 0;
};

Json totals_json(const TypeTotals& totals) {
  return Json{{"files", totals.files},
              {"compressed", totals.compressed},
              {"stored_bytes", totals.stored_bytes}};
}

/// The header's fields, numbers as numbers and offsets and identifiers as hex strings.
Json header_fields(const DatHeader& h) {
  return Json{{"magic", hex(h.magic)},
              {"block_size", h.block_size},
              {"file_size", h.file_size},
              {"dataset", h.dataset},
              {"subset", h.subset},
              {"free_head", hex(h.free_head)},
              {"free_tail", hex(h.free_tail)},
              {"free_count", h.free_count},
              {"root_offset", hex(h.root_offset)},
              {"new_lru", hex(h.new_lru)},
              {"old_lru", hex(h.old_lru)},
              {"use_lru", hex(h.use_lru)},
              {"master_map_id", hex(h.master_map_id)},
              {"engine_version", h.engine_version},
              {"game_version", h.game_version},
              {"version_string", h.version_string},
              {"version_minor", h.version_minor}};
}

Json entry_json(const DatFileEntry& e) {
  Json json;
  json["id"] = hex(e.id);
  json["type"] = hex(type_of(e.id), 2);
  json["size"] = e.size;
  json["flags"] = hex(e.bit_flags);
  json["compressed"] = e.is_compressed();
  json["offset"] = hex(e.offset);
  json["timestamp"] = e.timestamp;
  json["time"] = iso_time(e.timestamp);
  json["version"] = e.version;
  return json;
}

std::string_view severity_name(Severity severity) {
  return severity == Severity::Error ? "error" : "warning";
}

Json finding_json(const Finding& finding) {
  Json offsets = Json::array();
  for (const std::uint64_t offset : finding.offsets)
    offsets.push_back(format("0x%08llX", static_cast<unsigned long long>(offset)));
  Json ids = Json::array();
  for (const std::uint32_t id : finding.ids)
    ids.push_back(hex(id));
  return Json{{"kind", finding_name(finding.kind)},
              {"severity", severity_name(finding.severity)},
              {"offsets", std::move(offsets)},
              {"ids", std::move(ids)},
              {"message", finding.message}};
}

Json levels_json(const char* key_name, Json key, float priority, float probability, float volume) {
  return Json{{key_name, std::move(key)},
              {"priority", float_json(priority)},
              {"probability", float_json(probability)},
              {"volume", float_json(volume)}};
}

}  // namespace

Json header_document(const std::string& archive_path, const DatDatabase& db) {
  std::map<std::uint32_t, TypeTotals> by_type;
  TypeTotals all;
  for (const DatFileEntry& entry : db.files()) {
    for (TypeTotals* totals : {&by_type[type_of(entry.id)], &all}) {
      ++totals->files;
      totals->compressed += entry.is_compressed() ? 1U : 0U;
      totals->stored_bytes += entry.size;
    }
  }
  Json types = Json::array();
  for (const auto& [type, totals] : by_type) {
    Json item{{"type", hex(type, 2)}};
    item.update(totals_json(totals));
    types.push_back(std::move(item));
  }
  return Json{{"archive", archive_path},
              {"header", header_fields(db.header())},
              {"totals", totals_json(all)},
              {"by_type", std::move(types)}};
}

// Today's listing is a bare array, as `ls --json` has always printed it; the path is taken so
// that every document is built from the same arguments.
Json listing_document(const std::string& /*archive_path*/, const DatDatabase& db,
                      const Selection& selection) {
  Json list = Json::array();
  for (const DatFileEntry* entry : selection.select(db.files()))
    list.push_back(entry_json(*entry));
  return list;
}

Json check_document(const std::string& archive_path, const CheckReport& report) {
  Json list = Json::array();
  std::size_t warnings = 0;
  for (const Finding& finding : report.findings) {
    list.push_back(finding_json(finding));
    warnings += finding.severity == Severity::Warning ? 1 : 0;
  }
  return Json{{"archive", archive_path},
              {"errors", report.findings.size() - warnings},
              {"warnings", warnings},
              {"findings", std::move(list)}};
}

Json sound_table_json(std::uint32_t id, const file_type::SoundTable& table) {
  Json json;
  json["archive_id"] = hex(id);
  json["id"] = hex(table.id);
  json["hash_key"] = table.hash_key;
  json["hashes"] = Json::array();
  for (const auto& [key, h] : table.hashes) {
    json["hashes"].push_back(levels_json("key", hex(key, 0), h.priority, h.probability, h.volume));
  }
  json["sounds"] = Json::array();
  for (const auto& [key, slot] : table.sounds) {
    Json entries = Json::array();
    for (const file_type::SoundEntry& e : slot.entries) {
      entries.push_back(
          levels_json("wave_did", hex(e.wave_did), e.priority, e.probability, e.volume));
    }
    json["sounds"].push_back(
        Json{{"key", hex(key, 0)}, {"unknown", slot.unknown}, {"entries", std::move(entries)}});
  }
  return json;
}

}  // namespace tallowmere_dat::cli
