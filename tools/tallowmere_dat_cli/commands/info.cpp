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
  out.write(field("archive", path));
  out.write(field("magic", hex(h.magic)));
  out.write(decimal_field("block_size", h.block_size));
  out.write(decimal_field("file_size", h.file_size));
  out.write(decimal_field("dataset", h.dataset));
  out.write(decimal_field("subset", h.subset));
  out.write(field("free_head", hex(h.free_head)));
  out.write(field("free_tail", hex(h.free_tail)));
  out.write(decimal_field("free_count", h.free_count));
  out.write(field("root_offset", hex(h.root_offset)));
  out.write(field("new_lru", hex(h.new_lru)));
  out.write(field("old_lru", hex(h.old_lru)));
  out.write(field("use_lru", hex(h.use_lru)));
  out.write(field("master_map_id", hex(h.master_map_id)));
  out.write(decimal_field("engine_version", h.engine_version));
  out.write(decimal_field("game_version", h.game_version));
  out.write(field("version_string", version_bytes(h)));
  out.write(decimal_field("version_minor", h.version_minor));
}

/// The totals of `header_document`, as text.
void write_directory(Stdout& out, const Json& document) {
  const Json& all = document["totals"];
  out.write(decimal_field("entries", all["files"].get<std::uint64_t>()));
  out.write(decimal_field("compressed", all["compressed"].get<std::uint64_t>()));
  out.write(decimal_field("stored_bytes", all["stored_bytes"].get<std::uint64_t>()));
  const Json& by_type = document["by_type"];
  if (by_type.empty()) return;
  out.write(format("\n%-4s  %10s  %10s  %14s\n", "type", "files", "compressed", "stored bytes"));
  for (const Json& totals : by_type) {
    out.write(format("%-4s  %10llu  %10llu  %14llu\n", totals["type"].get<std::string>().c_str(),
                     totals["files"].get<unsigned long long>(),
                     totals["compressed"].get<unsigned long long>(),
                     totals["stored_bytes"].get<unsigned long long>()));
  }
}

int run_info(const InfoOptions& options) {
  const auto db = open_archive(options.archive, kName);
  if (!db) return kExitFailure;
  const Json document = header_document(options.archive, *db);
  Stdout out;
  if (options.json) {
    out.write(document.dump(2) + "\n");
  } else {
    write_header(out, options.archive, db->header());
    write_directory(out, document);
  }
  return finish(out, kName);
}

}  // namespace

void add_info(CLI::App& app, Runner& run) {
  auto options = std::make_shared<InfoOptions>();
  CLI::App* command = app.add_subcommand(
      kName, "Show the header's fields and count the entries by type byte (sizes as stored)");
  add_archive_argument(*command, options->archive);
  command->add_flag("--json", options->json, "As one JSON object");
  command->callback([options, &run] { run = [options] { return run_info(*options); }; });
}

}  // namespace tallowmere_dat::cli
