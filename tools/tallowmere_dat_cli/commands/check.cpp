// `check ARCHIVE [--json]`: what is wrong with an archive, one line per finding; exit status 1
// when anything is found.

#include "tallowmere_dat/check.h"

#include <memory>

#include "archive.h"
#include "commands.h"
#include "format.h"
#include "json.h"
#include "output.h"

namespace tallowmere_dat::cli {
namespace {

constexpr const char* kName = "check";

struct CheckOptions {
  std::string archive;
  bool json = false;
};

std::string_view severity_name(Severity severity) {
  return severity == Severity::Error ? "error" : "warning";
}

Json finding_json(const Finding& finding) {
  Json offsets = Json::array();
  for (const std::uint64_t offset : finding.offsets)
    offsets.push_back(format("0x%08llX", static_cast<unsigned long long>(offset)));
  Json ids = Json::array();
  for (const std::uint32_t id : finding.ids)
    ids.push_back(hex(id));
  return Json{{"kind", finding_name(finding.kind)},
              {"severity", severity_name(finding.severity)},
              {"offsets", std::move(offsets)},
              {"ids", std::move(ids)},
              {"message", finding.message}};
}

int run_check(const CheckOptions& options) {
  const auto report_or_error = check_archive(options.archive);
  if (!report_or_error) {
    report_archive_error(kName, options.archive, report_or_error.error());
    return kExitFailure;
  }
  const std::vector<Finding>& findings = report_or_error->findings;
  Stdout out;
  if (options.json) {
    Json list = Json::array();
    std::size_t warnings = 0;
    for (const Finding& finding : findings) {
      list.push_back(finding_json(finding));
      warnings += finding.severity == Severity::Warning ? 1 : 0;
    }
    out.write(Json{{"archive", options.archive},
                   {"errors", findings.size() - warnings},
                   {"warnings", warnings},
                   {"findings", std::move(list)}}
                  .dump(2) +
              "\n");
  } else {
    for (const Finding& finding : findings) {
      out.write(std::string(severity_name(finding.severity)) + ": " +
                std::string(finding_name(finding.kind)) + ": " + finding.message + "\n");
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
