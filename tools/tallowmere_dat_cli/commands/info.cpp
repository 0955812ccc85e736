// `info ARCHIVE`: the header's fields, then the directory's entries counted by type byte.

#include <memory>

#include "archive.h"
#include "commands.h"
#include "format.h"
#include "json_schema.h"
#include "output.h"

namespace tallowmere_dat::cli {
namespace {

constexpr const char* kName = "info";

struct InfoOptions {
  std::string archive;
  bool json = false;
};

std::string field(const char* name, const std::string& value) {
  return format("%-16s%s\n", name, value.c_str());
}
std::string decimal_field(const char* name, std::uint64_t value) {
  return field(name, format("%llu", static_cast<unsigned long long>(value)));
}

/// The 16 raw bytes in hex, then as text with every byte outside printable ASCII shown as '.'.
std::string version_bytes(const DatHeader& header) {
  std::string hex_part;
  std::string text_part;
  for (const std::uint8_t byte : header.version_string) {
    hex_part += format("%02X ", byte);
    text_part += byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.';
  }
  return hex_part + "|" + text_part + "|";
}

void write_header(Stdout& out, const std::string& path, const DatHeader& h) {
  out.write(field("archive", escaped_text(path)));
  for (const HeaderField& f : kHeaderFields) {
    const std::string name(f.name);
    if (f.number == nullptr) {
      out.write(field(name.c_str(), version_bytes(h)));
    } else if (is_number_field(f.name)) {
      out.write(decimal_field(name.c_str(), h.*f.number));
    } else {
      out.write(field(name.c_str(), hex(h.*f.number)));
    }
  }
}

void write_directory(Stdout& out, const DirectoryTotals& d) {
  const auto& [by_type, all] = d;
  out.write(decimal_field("entries", all.files));
  out.write(decimal_field("compressed", all.compressed_files));
  out.write(decimal_field("stored_bytes", all.stored_bytes));
  if (by_type.empty()) return;
  out.write(format("\n%-4s  %10s  %10s  %14s\n", "type", "files", "compressed", "stored bytes"));
  for (const auto& [type, totals] : by_type) {
    out.write(format("%-4s  %10llu  %10llu  %14llu\n", hex(type, 2).c_str(),
                     static_cast<unsigned long long>(totals.files),
                     static_cast<unsigned long long>(totals.compressed_files),
                     static_cast<unsigned long long>(totals.stored_bytes)));
  }
}

int run_info(const InfoOptions& options) {
  // The header is worth showing even where the directory is damaged: salvage what it can, and
  // say what was left out of the counts.
  const auto db = open_archive(options.archive, kName, {.salvage = true});
  if (!db) return kExitTrouble;
  Stdout out;
  if (options.json) {
    out.write(header_document(options.archive, *db).dump(2) + "\n");
  } else {
    write_header(out, options.archive, db->header());
    write_directory(out, count_by_type(*db));
  }
  return finish(out, kName, db->skipped().empty() ? kExitOk : kExitFindings);
}

}  // namespace

void add_info(CLI::App& app, Runner& run) {
  auto options = std::make_shared<InfoOptions>();
  CLI::App* command = app.add_subcommand(
      kName, "Show the header's fields and count the entries by type byte (sizes as stored)");
  add_archive_argument(*command, options->archive);
  command->add_flag("--json", options->json, "As one JSON object (see docs/json.md)");
  command->callback([options, &run] { run = [options] { return run_info(*options); }; });
}

}  // namespace tallowmere_dat::cli
