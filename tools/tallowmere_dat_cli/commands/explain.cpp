// `explain ARCHIVE [ID] [--json]`: an annotated dump of the header and, with an identifier, of
// that file's directory path, entry, chain and sound-table records.

#include "tallowmere_dat/explain.h"

#include <memory>

#include "archive.h"
#include "commands.h"
#include "format.h"
#include "json_schema.h"
#include "output.h"

namespace tallowmere_dat::cli {
namespace {

constexpr const char* kName = "explain";

struct ExplainOptions {
  std::string archive;
  std::uint32_t id = 0;
  bool has_id = false;
  bool json = false;
};

std::string offset_text(std::uint64_t offset) {
  return format("0x%08llX", static_cast<unsigned long long>(offset));
}

std::string bytes_text(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  for (const std::uint8_t byte : bytes)
    text += format(text.empty() ? "%02X" : " %02X", byte);
  return text;
}

std::string value_text(const DumpedField& field) {
  if (field.bytes.size() > 8) return "";
  return hex(static_cast<std::uint32_t>(field.value)) + " (" + std::to_string(field.value) + ")";
}

std::string path_text(const std::vector<PathStep>& path) {
  std::string text;
  for (const PathStep& step : path) {
    text += (text.empty() ? "node " : " -> node ") + hex(step.node);
    if (step.slot) text += " slot " + std::to_string(*step.slot);
  }
  return text;
}

void write_fields(Stdout& out, const std::vector<DumpedField>& fields) {
  for (const DumpedField& field : fields) {
    out.write(format("  %s  %-47s  %-15s %s\n", offset_text(field.offset).c_str(),
                     bytes_text(field.bytes).c_str(), field.name.c_str(),
                     value_text(field).c_str()));
  }
}

void write_text(Stdout& out, const Explanation& explanation) {
  out.write("header\n");
  write_fields(out, explanation.header);
  if (!explanation.entry) return;
  const EntryDump& entry = *explanation.entry;
  out.write("\nentry " + hex(entry.id) + "\n  path: " + path_text(entry.path) + "\n");
  write_fields(out, entry.fields);
  out.write(format("\nchain: %zu %s%s\n", entry.chain.size(),
                   entry.chain.size() == 1 ? "block" : "blocks",
                   entry.chain_problem.empty() ? "" : ("; " + entry.chain_problem).c_str()));
  for (const DumpedBlock& block : entry.chain) {
    out.write(format("  block %s  pointer %s  payload %s-%s (%llu bytes)\n",
                     hex(block.offset).c_str(), hex(block.pointer).c_str(),
                     offset_text(block.payload_begin).c_str(),
                     offset_text(block.payload_end).c_str(),
                     static_cast<unsigned long long>(block.payload_end - block.payload_begin)));
  }
  if (entry.records.empty()) return;
  out.write("\nsound table (offsets in the file's bytes)\n");
  for (const DumpedRecord& record : entry.records) {
    out.write(format("  %s  %6llu bytes  %s\n", offset_text(record.offset).c_str(),
                     static_cast<unsigned long long>(record.size), record.what.c_str()));
  }
}

int run_explain(const ExplainOptions& options) {
  const auto explanation =
      explain_archive(options.archive, options.has_id ? std::optional(options.id) : std::nullopt);
  if (!explanation) {
    const bool names_id = explanation.error().get_if<DatError::NotFound>() != nullptr;
    if (names_id) {
      report({kName, hex(options.id), explanation.error().message()});
      return kExitFindings;
    }
    report_archive_error(kName, options.archive, explanation.error());
    return kExitTrouble;
  }
  Stdout out;
  if (options.json) {
    out.write(explanation_document(options.archive, *explanation).dump(2) + "\n");
  } else {
    write_text(out, *explanation);
  }
  return finish(out, kName);
}

}  // namespace

void add_explain(CLI::App& app, Runner& run) {
  auto options = std::make_shared<ExplainOptions>();
  CLI::App* command = app.add_subcommand(
      kName,
      "Dump the header field by field, and with ID that file's directory path, entry, chain "
      "and sound-table records, each with its offset");
  add_archive_argument(*command, options->archive);
  CLI::Option* id = add_id_argument(*command, options->id)->required(false);
  command->add_flag("--json", options->json,
                    "As one JSON object with the same fields (see docs/json.md)");
  command->callback([options, id, &run] {
    options->has_id = id->count() > 0;
    run = [options] { return run_explain(*options); };
  });
}

}  // namespace tallowmere_dat::cli
