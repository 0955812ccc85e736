// `cat ARCHIVE SEL... [--type T]... [--force]`: the selected files' bytes, decompressed, one after
// another in ascending identifier order, to standard output.

#include <unistd.h>

#include <algorithm>
#include <memory>

#include "archive.h"
#include "commands.h"
#include "format.h"
#include "output.h"

namespace tallowmere_dat::cli {
namespace {

constexpr const char* kName = "cat";

struct CatOptions {
  bool salvage = false;
  std::string archive;
  SelectionArgs selection;
  bool force = false;
};

/// Bytes that would upset a terminal: NUL and the control characters other than tab, line
/// feed, carriage return and form feed. Bytes of 0x80 and above pass, as UTF-8 text may hold
/// them.
bool looks_binary(std::span<const std::uint8_t> bytes) {
  return std::ranges::any_of(bytes, [](std::uint8_t b) {
    return (b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f') || b == 0x7F;
  });
}

int run_cat(const CatOptions& options) {
  const auto selection = parse_selection(options.selection);  // checked while parsing
  const auto db = open_archive(options.archive, kName, {.salvage = options.salvage});
  if (!db) return kExitTrouble;
  bool failed = report_unselected_ids(kName, *selection, *db) != 0 || !db->skipped().empty();
  const bool guard_terminal = !options.force && ::isatty(STDOUT_FILENO) == 1;
  Stdout out;
  std::vector<std::uint8_t> bytes;
  for (const DatFileEntry* entry : selection->select(db->files())) {
    if (!fetch_file(*db, *entry, bytes, kName)) {
      failed = true;
      continue;
    }
    if (guard_terminal && looks_binary(bytes)) {
      (void)out.flush();
      report({kName, hex(entry->id),
              "refusing to write binary data to a terminal (redirect it, or use --force)"});
      return kExitTrouble;
    }
    out.write(bytes);
    if (out.failed()) break;
  }
  return finish(out, kName, failed ? kExitFindings : kExitOk);
}

}  // namespace

void add_cat(CLI::App& app, Runner& run) {
  auto options = std::make_shared<CatOptions>();
  CLI::App* command = app.add_subcommand(
      kName,
      "Write the selected files' bytes, decompressed, one after another in ascending identifier "
      "order, to standard output");
  add_archive_argument(*command, options->archive);
  add_selection_arguments(*command, options->selection,
                          "The files: identifiers, ranges or comma lists of them");
  require_selection(*command, options->selection);
  command->add_flag("-f,--force", options->force, "Write binary data to a terminal too");
  add_salvage_flag(*command, options->salvage);
  command->callback([options, &run] { run = [options] { return run_cat(*options); }; });
}

}  // namespace tallowmere_dat::cli
