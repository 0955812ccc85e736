// tallowmere-dat: look inside an archive, list and pull out its files, decode its sound tables.
// Parses the command line and hands over to the chosen subcommand (commands/).

#include <algorithm>
#include <exception>
#include <numeric>
#include <sstream>

#include "commands/commands.h"
#include "output.h"
#include "tallowmere_dat/version.h"

namespace {

using namespace tallowmere_dat::cli;

/// The number of single-character edits that turn `a` into `b`.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  std::iota(row.begin(), row.end(), std::size_t{0});
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t replaced = diagonal + (a[i - 1] == b[j - 1] ? 0 : 1);
      diagonal = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, replaced});
    }
  }
  return row[b.size()];
}

/// "unknown subcommand 'NAME'", with the nearest subcommand suggested when it is close.
std::string unknown_subcommand(const CLI::App& app, std::string_view name) {
  std::string text = "unknown subcommand '" + std::string(name) + "'";
  const CLI::App* nearest = nullptr;
  std::size_t best = 3;  // more edits than this is no longer a typo
  for (const CLI::App* command : app.get_subcommands({})) {
    const std::size_t distance = edit_distance(name, command->get_name());
    if (distance < best) {
      best = distance;
      nearest = command;
    }
  }
  if (nearest != nullptr) text += "; did you mean '" + nearest->get_name() + "'?";
  return text;
}

/// The parser's message in the tool's words: lower case, and plainer than CLI11's own.
std::string reworded(std::string text) {
  const struct {
    std::string_view from;
    std::string_view to;
  } rewrites[] = {
      {"The following argument was not expected: ", "unexpected argument: "},
      {"The following arguments were not expected: ", "unexpected arguments: "},
      {"A subcommand is required", "a subcommand is required"},
  };
  for (const auto& [from, to] : rewrites) {
    if (const std::size_t at = text.find(from); at != std::string::npos) {
      text.replace(at, from.size(), to);
    }
  }
  if (text.ends_with(" is required") && !text.starts_with("a ")) {
    text = "missing " + text.substr(0, text.size() - std::string_view(" is required").size());
  }
  return text;
}

/// The "Usage: ..." line of `command`'s help.
std::string usage_line(const CLI::App& command) {
  const CLI::App* parent = command.get_parent();
  std::istringstream help(command.help(parent == nullptr ? "" : parent->get_name()));
  for (std::string line; std::getline(help, line);) {
    if (line.starts_with("Usage: ")) return "u" + line.substr(1);
  }
  return {};
}

/// Help and --version go to standard output (status 0); anything else is a usage error (2),
/// named with the subcommand it was in.
int parse_error(const CLI::App& app, const CLI::ParseError& error) {
  const std::vector<CLI::App*> chosen = app.get_subcommands();
  if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
    std::ostringstream text;
    std::ostringstream ignored;
    (void)app.exit(error, text, ignored);
    Stdout out;
    out.write(text.str());
    return finish(out, "");
  }
  const CLI::App& where = chosen.empty() ? app : *chosen.front();
  const std::string name = chosen.empty() ? "" : where.get_name();
  report({name, reworded(error.what()), usage_line(where) + " (see --help)"});
  return kExitUsage;
}

void help_is_long_only(CLI::App& app) {
  app.set_help_flag("--help", "Print this help and exit");
}

int run_cli(int argc, char** argv) {
  CLI::App app(
      "Look inside Tallowmere data archives: list and extract their files, decode sound tables.",
      "tallowmere-dat");
  app.set_version_flag("--version", "tallowmere-dat " TALLOWMERE_DAT_VERSION_STRING);
  app.footer(
      "Exit status: 0 when all went well and nothing was found; 1 for findings, archives that "
      "differ, or damaged or missing files met; 2 for trouble (an unreadable archive, a usage "
      "error, a failed write).");
  help_is_long_only(app);
  app.require_subcommand(1);

  Runner run;
  add_info(app, run);
  add_ls(app, run);
  add_cat(app, run);
  add_extract(app, run);
  add_sound_table(app, run);
  add_environ(app, run);
  add_check(app, run);
  add_explain(app, run);
  add_map(app, run);
  add_diff(app, run);
#ifdef TALLOWMERE_HAVE_MOUNT
  add_mount(app, run);
#endif
  for (CLI::App* command : app.get_subcommands({}))
    help_is_long_only(*command);

  // CLI11 would only say that a subcommand is required.
  const auto named = [&](const CLI::App* command) { return command->get_name() == argv[1]; };
  if (argc > 1 && argv[1][0] != '-' && std::ranges::none_of(app.get_subcommands({}), named)) {
    report({unknown_subcommand(app, argv[1]), usage_line(app) + " (see --help)"});
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return parse_error(app, error);
  }
  return run();
}

}  // namespace

int main(int argc, char** argv) {
  default_closed_pipe_action();
  // The library reports failures as values; what can still throw here is the argument parser's
  // set-up and running out of memory.
  try {
    return run_cli(argc, argv);
  } catch (const std::exception& error) {
    report({"unexpected failure", error.what()});
    return kExitTrouble;
  }
}
