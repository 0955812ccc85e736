#include "tallowmere_report/environ_report.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <ranges>

#include "format_detail.h"
#include "record_reader.h"
#include "tallowmere_dat/file_type/sound_table.h"

namespace tallowmere_dat {
namespace {

using file_type::SoundTable;

void append_decimal(std::string& out, std::uint64_t value) {
  std::array<char, 20> digits{};
  const auto [end, ec] = std::to_chars(digits.begin(), digits.end(), value);
  out.append(digits.begin(), end);
}

/// "0x" + uppercase hex, zero-padded to `width` digits.
void append_hex(std::string& out, std::uint32_t value, std::size_t width) {
  out += "0x";
  out += detail::hex(value, width);
}

bool in_range(std::uint32_t key, std::uint32_t first, std::uint32_t last) {
  return key >= first && key <= last;
}

using Slot = decltype(SoundTable::sounds)::value_type;

bool is_environ_slot(const Slot& slot) {
  return in_range(slot.first, kEnvironFirst, kEnvironLast);
}

/// Appends the table's slot line when it has environ slots; returns whether it did.
bool append_environ_line(std::string& out, std::uint32_t id, const SoundTable& table) {
  const auto present = std::ranges::count_if(table.sounds, is_environ_slot);
  if (present == 0) return false;
  append_hex(out, id, 8);
  out += ": ";
  append_decimal(out, table.sounds.size());
  out += " total sounds, ";
  append_decimal(out, static_cast<std::uint64_t>(present));
  out += " environ keys: ";
  // The map is ascending by key, so the slots come out in the order the line lists them.
  for (const auto& [key, slot] : table.sounds | std::views::filter(is_environ_slot)) {
    append_hex(out, key, 0);
    out += "->";
    append_hex(out, slot.entries.empty() ? 0 : slot.entries.front().wave_did, 8);
    out += ' ';
  }
  out += '\n';
  return true;
}

bool has_ambient_slot(const SoundTable& table) {
  return std::ranges::any_of(table.sounds, [](const Slot& slot) {
    return in_range(slot.first, kAmbientFirst, kAmbientLast);
  });
}

}  // namespace

bool write_environ_report(const DatDatabase& db,
                          const std::function<bool(std::string_view)>& write) {
  const std::vector<std::uint32_t> ids = sound_table_ids(db);
  std::string out = "0x20 SoundTables in portal.dat: ";
  out.reserve(kReportChunk + 1024);
  append_decimal(out, ids.size());
  out += '\n';

  // One fetch and decode per table serves both counts: the archive is read-only, so a second
  // pass would only repeat the same work for the same answer.
  std::uint64_t environ_tables = 0;
  std::uint64_t ambient_tables = 0;
  for (const std::uint32_t id : ids) {
    const auto bytes = db.get_file(id);
    if (!bytes) continue;
    Cursor cursor(*bytes);
    const auto table = SoundTable::read(cursor);
    if (!table) continue;
    if (append_environ_line(out, id, *table)) ++environ_tables;
    if (has_ambient_slot(*table)) ++ambient_tables;
    if (out.size() >= kReportChunk) {
      if (!write(out)) return false;
      out.clear();
    }
  }

  out += '\n';
  append_decimal(out, environ_tables);
  out += " SoundTable(s) carry environ slots (0x76-0x8A).\n(cross-ref: ";
  append_decimal(out, ambient_tables);
  out += " tables carry ambient slots 0x46-0x4D)\n";
  return write(out);
}

std::string environ_report(const DatDatabase& db) {
  std::string report;
  (void)write_environ_report(db, [&report](std::string_view piece) {
    report += piece;
    return true;
  });
  return report;
}

}  // namespace tallowmere_dat
