// tallowmere-dat: look inside an archive, list and pull out its files, decode its sound tables.
// Parses the command line and hands over to the chosen subcommand (commands/).

#include <csignal>
#include <exception>
#include <sstream>

#include "commands/commands.h"
#include "output.h"

namespace {

using namespace tallowmere_dat::cli;

/// Help and --version go to standard output (status 0); anything else is a usage error (2).
int parse_error(const CLI::App& app, const CLI::ParseError& error) {
  if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
    std::ostringstream text;
    std::ostringstream ignored;
    (void)app.exit(error, text, ignored);
    Stdout out;
    out.write(text.str());
    return finish(out);
  }
  report(std::string(error.what()) + " (see --help)");
  return kExitUsage;
}

int run_cli(int argc, char** argv) {
  CLI::App app(
      "Look inside Tallowmere data archives: list and extract their files, decode sound tables.",
      "tallowmere-dat");
  app.set_version_flag("--version", "tallowmere-dat " TALLOWMERE_VERSION);
  app.require_subcommand(1);

  Runner run;
  add_info(app, run);
  add_ls(app, run);
  add_cat(app, run);
  add_extract(app, run);
  add_sound_table(app, run);
  add_environ(app, run);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return parse_error(app, error);
  }
  return run();
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that closes the pipe early must surface as a failed write, not kill the process.
  (void)std::signal(SIGPIPE, SIG_IGN);
  // The library reports failures as values; what can still throw here is the argument parser's
  // set-up and running out of memory.
  try {
    return run_cli(argc, argv);
  } catch (const std::exception& error) {
    report(std::string("unexpected failure: ") + error.what());
    return kExitFailure;
  }
}
