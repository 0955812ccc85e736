// `ls ARCHIVE [SEL...] [--type T]... [-l] [-h] [-S] [-r] [--decompressed] [--json|--json-lines]`:
// the directory's entries that the selection covers, in ascending identifier order unless sorted
// by size.

#include <algorithm>
#include <memory>

#include "archive.h"
#include "commands.h"
#include "format.h"
#include "json_schema.h"
#include "output.h"

namespace tallowmere_dat::cli {
namespace {

constexpr const char* kName = "ls";

struct LsOptions {
  bool salvage = false;
  std::string archive;
  SelectionArgs selection;
  bool long_format = false;
  bool human = false;
  bool by_size = false;
  bool reverse = false;
  bool decompressed = false;
  bool json = false;
  bool json_lines = false;
};

/// One listed entry, with its decompressed size when asked for and readable.
struct Row {
  const DatFileEntry* entry;
  std::optional<std::uint32_t> decompressed;
};

class Writer {
 public:
  Writer(const LsOptions& options, Stdout& out) : options_(options), out_(out) {}

  void header() {
    if (options_.json) {
      out_.write("{\"archive\": " + json_line(text_json(options_.archive)) + ", \"entries\": [");
    } else if (options_.long_format) {
      out_.write(format("%-10s  %10s  ", "identifier", "size"));
      if (options_.decompressed) out_.write(format("%12s  ", "decompressed"));
      out_.write(format("%-10s  %-10s  %-10s  %-20s  %10s\n", "flags", "compressed", "offset",
                        "time", "version"));
    }
  }

  void row(const Row& row) {
    const DatFileEntry& e = *row.entry;
    stored_ += e.size;
    decompressed_ += row.decompressed.value_or(0);
    ++count_;
    if (options_.json) {
      out_.write(count_ == 1 ? "\n  " : ",\n  ");
      out_.write(json_line(row_json(row)));
    } else if (options_.json_lines) {
      out_.write(json_line(with_archive(options_.archive, row_json(row))) + "\n");
    } else if (options_.long_format) {
      out_.write(format("0x%08X  %10s  ", e.id, size_text(e.size).c_str()));
      if (options_.decompressed) {
        const std::string size = row.decompressed ? size_text(*row.decompressed) : "?";
        out_.write(format("%12s  ", size.c_str()));
      }
      out_.write(format("0x%08X  %-10s  0x%08X  %-20s  %10u\n", e.bit_flags,
                        e.is_compressed() ? "yes" : "no", e.offset, iso_time(e.timestamp).c_str(),
                        e.version));
    } else {
      out_.write(hex(e.id) + "\n");
    }
  }

  void footer() {
    if (options_.json) {
      out_.write(count_ == 0 ? "]}\n" : "\n]}\n");
    } else if (options_.long_format) {
      out_.write(format("total %zu %s, %s %s stored", count_, count_ == 1 ? "file" : "files",
                        size_text(stored_).c_str(), stored_ == 1 ? "byte" : "bytes"));
      if (options_.decompressed) {
        out_.write(format(", %s decompressed", size_text(decompressed_).c_str()));
      }
      out_.write("\n");
    }
  }

 private:
  std::string size_text(std::uint64_t bytes) const {
    return options_.human ? human_size(bytes) : std::to_string(bytes);
  }

  /// The entry as the schema has it, with its decompressed size when asked for.
  Json row_json(const Row& row) const {
    Json json = entry_json(*row.entry);
    if (options_.decompressed) {
      json["decompressed_size"] = row.decompressed ? Json(*row.decompressed) : Json(nullptr);
    }
    return json;
  }

  const LsOptions& options_;
  Stdout& out_;
  std::size_t count_ = 0;
  std::uint64_t stored_ = 0;
  std::uint64_t decompressed_ = 0;
};

int run_ls(const LsOptions& options) {
  const auto selection = parse_selection(options.selection);  // checked while parsing
  const auto db = open_archive(options.archive, kName, {.salvage = options.salvage});
  if (!db) return kExitTrouble;

  bool failed = report_unselected_ids(kName, *selection, *db) != 0 || !db->skipped().empty();
  std::vector<Row> rows;
  for (const DatFileEntry* entry : selection->select(db->files())) {
    Row row{entry, std::nullopt};
    if (options.decompressed) {
      if (auto size = db->decompressed_size(*entry)) {
        row.decompressed = *size;
      } else {
        report({kName, hex(entry->id), size.error().message()});
        failed = true;
      }
    }
    rows.push_back(row);
  }
  if (options.by_size) {
    const auto size = [&](const Row& r) {
      return options.decompressed ? r.decompressed.value_or(0) : r.entry->size;
    };
    // Largest first as in ls -S; equal sizes keep identifier order.
    std::ranges::stable_sort(rows, [&](const Row& a, const Row& b) { return size(a) > size(b); });
  }
  if (options.reverse) std::ranges::reverse(rows);

  Stdout out;
  Writer writer(options, out);
  writer.header();
  for (const Row& row : rows)
    writer.row(row);
  writer.footer();
  return finish(out, kName, failed ? kExitFindings : kExitOk);
}

}  // namespace

void add_ls(CLI::App& app, Runner& run) {
  auto options = std::make_shared<LsOptions>();
  CLI::App* command = app.add_subcommand(
      kName, "List the identifiers of the entries, in ascending order unless sorted by size");
  add_archive_argument(*command, options->archive);
  add_selection_arguments(*command, options->selection,
                          "Only these files: identifiers, ranges or comma lists of them "
                          "(default: all)");
  command->add_flag("-l,--long", options->long_format,
                    "Also show size (as stored), flags, compressed, offset, time (UTC), version, "
                    "and a totals line");
  command->add_flag("-h,--human-readable", options->human, "Sizes as 1.5K, 12M, 2.0G");
  command->add_flag("-S", options->by_size, "Largest first");
  command->add_flag("-r,--reverse", options->reverse, "Reverse the order");
  command->add_flag("--decompressed", options->decompressed,
                    "Also show each file's decompressed size, read from its prefix (-l is "
                    "implied)");
  CLI::Option* json = command->add_flag(
      "--json", options->json, "One JSON document: {archive, entries: [...]} (see docs/json.md)");
  command
      ->add_flag("--json-lines", options->json_lines,
                 "One JSON object per entry per line (NDJSON), each naming its archive")
      ->excludes(json);
  add_salvage_flag(*command, options->salvage);
  command->callback([options, &run] {
    options->long_format =
        (options->long_format || options->decompressed) && !options->json && !options->json_lines;
    run = [options] { return run_ls(*options); };
  });
}

}  // namespace tallowmere_dat::cli
