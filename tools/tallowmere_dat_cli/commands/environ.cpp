// `environ ARCHIVE`: the environ probe's report for any archive, from the same library function.

#include <memory>

#include "archive.h"
#include "commands.h"
#include "output.h"
#include "tallowmere_dat/environ_report.h"

namespace tallowmere_dat::cli {
namespace {

constexpr const char* kName = "environ";

struct EnvironOptions {
  std::string archive;
};

int run_environ(const EnvironOptions& options) {
  const auto db = open_archive(options.archive, kName);
  if (!db) return kExitFailure;
  // Streamed as the probe streams it; a failed write ends the report early.
  Stdout out;
  (void)write_environ_report(*db, [&out](std::string_view piece) {
    out.write(piece);
    return !out.failed();
  });
  return finish(out, kName);
}

}  // namespace

void add_environ(CLI::App& app, Runner& run) {
  auto options = std::make_shared<EnvironOptions>();
  CLI::App* command = app.add_subcommand(
      kName,
      "Print the environ probe's report (sound tables with slots 0x76-0x8A) for this archive");
  add_archive_argument(*command, options->archive);
  command->callback([options, &run] { run = [options] { return run_environ(*options); }; });
}

}  // namespace tallowmere_dat::cli
