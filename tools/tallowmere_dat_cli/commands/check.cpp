// `check ARCHIVE [SEL...] [--type T]... [--json]`: what is wrong with an archive, one line per
// finding; with a selection, only the findings about those files and the archive as a whole.
// Exit status 1 when anything is found, 2 when the archive can't be checked.

#include "tallowmere_dat/check.h"

#include <algorithm>
#include <memory>

#include "archive.h"
#include "commands.h"
#include "json_schema.h"
#include "output.h"

namespace tallowmere_dat::cli {
namespace {

constexpr const char* kName = "check";

struct CheckOptions {
  std::string archive;
  SelectionArgs selection;
  bool json = false;
};

/// True when `finding` concerns the selection: it names one of its files, or no file at all.
bool concerns(const Finding& finding, const Selection& selection) {
  return finding.ids.empty() ||
         std::ranges::any_of(finding.ids, [&](std::uint32_t id) { return selection.matches(id); });
}

int run_check(const CheckOptions& options) {
  const auto selection = parse_selection(options.selection);  // checked while parsing
  auto checked = check_archive(options.archive);
  Stdout out;
  if (!checked) {
    report_archive_error(kName, options.archive, checked.error());
    if (options.json) {
      out.write(
          error_document(options.archive, archive_error_text(options.archive, checked.error()))
              .dump(2) +
          "\n");
    }
    return finish(out, kName, kExitTrouble);
  }
  std::erase_if(checked->findings, [&](const Finding& f) { return !concerns(f, *selection); });
  const std::vector<Finding>& findings = checked->findings;
  if (options.json) {
    out.write(check_document(options.archive, *checked).dump(2) + "\n");
  } else {
    for (const Finding& finding : findings) {
      out.write(std::string(finding.severity == Severity::Error ? "error" : "warning") + ": " +
                std::string(finding_name(finding.kind)) + ": " + finding.message + "\n");
    }
  }
  return finish(out, kName, findings.empty() ? kExitOk : kExitFindings);
}

}  // namespace

void add_check(CLI::App& app, Runner& run) {
  auto options = std::make_shared<CheckOptions>();
  CLI::App* command = app.add_subcommand(
      kName,
      "Check the archive's integrity: directory, chains, shared blocks, compressed entries and "
      "sound tables; one line per finding, exit status 1 when anything is found");
  add_archive_argument(*command, options->archive);
  add_selection_arguments(*command, options->selection,
                          "Only the findings about these files (and those about no file): "
                          "identifiers, ranges or comma lists of them");
  command->add_flag("--json", options->json,
                    "As one JSON object: the findings with their kinds, offsets and identifiers; "
                    "{archive, error} when the archive can't be checked");
  command->callback([options, &run] { run = [options] { return run_check(*options); }; });
}

}  // namespace tallowmere_dat::cli
