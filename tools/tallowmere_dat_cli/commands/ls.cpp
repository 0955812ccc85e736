// `ls ARCHIVE [--type 0xNN] [-l] [--json]`: the directory's entries in ascending identifier
// order, streamed so that a large directory never sits in memory twice.

#include <memory>

#include "archive.h"
#include "commands.h"
#include "format.h"
#include "json.h"
#include "output.h"

namespace tallowmere_dat::cli {
namespace {

struct LsOptions {
  std::string archive;
  std::optional<std::uint32_t> type;
  bool long_format = false;
  bool json = false;
};

std::string long_line(const DatFileEntry& e) {
  return format("0x%08X  %10u  0x%08X  %-10s  0x%08X  %10u  %10u\n", e.id, e.size, e.bit_flags,
                e.is_compressed() ? "yes" : "no", e.offset, e.timestamp, e.version);
}

Json entry_json(const DatFileEntry& e) {
  Json json;
  json["id"] = hex(e.id);
  json["type"] = hex(type_of(e.id), 2);
  json["size"] = e.size;
  json["flags"] = e.bit_flags;
  json["compressed"] = e.is_compressed();
  json["offset"] = e.offset;
  json["timestamp"] = e.timestamp;
  json["version"] = e.version;
  return json;
}

int run_ls(const LsOptions& options) {
  const auto db = open_archive(options.archive);
  if (!db) return kExitFailure;
  const std::span<const DatFileEntry> entries = listed_entries(*db, options.type);

  Stdout out;
  if (options.json) {
    // One entry per line, so the array is greppable as well as parseable.
    out.write(entries.empty() ? "[" : "[\n");
    for (std::size_t i = 0; i < entries.size(); ++i) {
      out.write("  " + json_line(entry_json(entries[i])));
      out.write(i + 1 < entries.size() ? ",\n" : "\n");
    }
    out.write("]\n");
  } else if (options.long_format) {
    out.write(format("%-10s  %10s  %-10s  %-10s  %-10s  %10s  %10s\n", "identifier", "size",
                     "flags", "compressed", "offset", "timestamp", "version"));
    for (const DatFileEntry& entry : entries)
      out.write(long_line(entry));
  } else {
    for (const DatFileEntry& entry : entries)
      out.write(hex(entry.id) + "\n");
  }
  return finish(out);
}

}  // namespace

void add_ls(CLI::App& app, Runner& run) {
  auto options = std::make_shared<LsOptions>();
  CLI::App* command =
      app.add_subcommand("ls", "List the identifiers of the entries in ascending order");
  add_archive_argument(*command, options->archive);
  add_type_option(*command, options->type);
  command->add_flag("-l,--long", options->long_format,
                    "Also show size (as stored), flags, compressed, offset, timestamp, version");
  command->add_flag("--json", options->json,
                    "A JSON array of entries with every field (-l is implied)");
  command->callback([options, &run] { run = [options] { return run_ls(*options); }; });
}

}  // namespace tallowmere_dat::cli
