// `check ARCHIVE [--json]`: what is wrong with an archive, one line per finding; exit status 1
// when anything is found.

#include "tallowmere_dat/check.h"

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
  bool json = false;
};

int run_check(const CheckOptions& options) {
  const auto report_or_error = check_archive(options.archive);
  if (!report_or_error) {
    report_archive_error(kName, options.archive, report_or_error.error());
    return kExitFailure;
  }
  const std::vector<Finding>& findings = report_or_error->findings;
  const Json document = check_document(options.archive, *report_or_error);
  Stdout out;
  if (options.json) {
    out.write(document.dump(2) + "\n");
  } else {
    for (const Json& finding : document["findings"]) {
      out.write(finding["severity"].get<std::string>() + ": " + finding["kind"].get<std::string>() +
                ": " + finding["message"].get<std::string>() + "\n");
    }
  }
  return finish(out, kName, findings.empty() ? kExitOk : kExitFailure);
}

}  // namespace

void add_check(CLI::App& app, Runner& run) {
  auto options = std::make_shared<CheckOptions>();
  CLI::App* command = app.add_subcommand(
      kName,
      "Check the archive's integrity: directory, chains, shared blocks, compressed entries and "
      "sound tables; one line per finding, exit status 1 when anything is found");
  add_archive_argument(*command, options->archive);
  command->add_flag("--json", options->json,
                    "As one JSON object: the findings with their kinds, offsets and identifiers");
  command->callback([options, &run] { run = [options] { return run_check(*options); }; });
}

}  // namespace tallowmere_dat::cli
