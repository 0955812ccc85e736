// `cat ARCHIVE ID [--force]`: one file's bytes, decompressed, to standard output.

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
  std::string archive;
  std::uint32_t id = 0;
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
  const auto db = open_archive(options.archive, kName);
  if (!db) return kExitFailure;
  const std::uint32_t id = options.id;
  const auto bytes = fetch_file(*db, id, "cat");
  if (!bytes) return kExitFailure;
  if (!options.force && ::isatty(STDOUT_FILENO) == 1 && looks_binary(*bytes)) {
    report({kName, hex(id),
            "refusing to write binary data to a terminal (redirect it, or use --force)"});
    return kExitFailure;
  }
  Stdout out;
  out.write(*bytes);
  return finish(out, kName);
}

}  // namespace

void add_cat(CLI::App& app, Runner& run) {
  auto options = std::make_shared<CatOptions>();
  CLI::App* command =
      app.add_subcommand(kName, "Write one file's bytes, decompressed, to standard output");
  add_archive_argument(*command, options->archive);
  add_id_argument(*command, options->id);
  command->add_flag("-f,--force", options->force, "Write binary data to a terminal too");
  command->callback([options, &run] { run = [options] { return run_cat(*options); }; });
}

}  // namespace tallowmere_dat::cli
