// `cat ARCHIVE SEL... [--type T]... [--force]`: the selected files' bytes, decompressed, one after
// another in ascending identifier order, to standard output. Large files are streamed: one that
// fails part way leaves what came before written, as zcat does.

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

/// Writes `entry`'s file to `out`, through `bytes` unless it is large; false after reporting
/// that it can't be read. With `guard_terminal`, binary data is not written: `binary` then says
/// so, and nothing more of the file is written.
bool write_file(const DatDatabase& db, const DatFileEntry& entry, bool guard_terminal, Stdout& out,
                std::vector<std::uint8_t>& bytes, bool& binary) {
  if (!is_large_file(entry)) {
    if (!fetch_file(db, entry, bytes, kName)) return false;
    binary = guard_terminal && looks_binary(bytes);
    if (!binary) out.write(bytes);
    return true;
  }
  // Streamed, so memory stays small whatever the file's size; like zcat, what came before a
  // failure stays written.
  const auto streamed = db.stream_file(entry, [&](std::span<const std::uint8_t> chunk) {
    binary = guard_terminal && looks_binary(chunk);
    if (!binary) out.write(chunk);
    return !binary && !out.failed();
  });
  if (!streamed) report_file_error(kName, entry, streamed.error());
  return streamed.has_value();
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
    bool binary = false;
    failed = !write_file(*db, *entry, guard_terminal, out, bytes, binary) || failed;
    if (binary) {
      (void)out.flush();
      report({kName, hex(entry->id),
              "refusing to write binary data to a terminal (redirect it, or use --force)"});
      return kExitTrouble;
    }
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
