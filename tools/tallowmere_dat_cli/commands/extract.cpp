// `extract ARCHIVE DIR [--type 0xNN]`: every file, decompressed, to DIR/0xTT/0xIIIIIIII.bin.
// Each file appears complete or not at all; a failure is remembered and the rest goes on.

#include <memory>
#include <system_error>

#include "archive.h"
#include "atomic_file.h"
#include "commands.h"
#include "format.h"
#include "output.h"
#include "progress.h"

namespace tallowmere_dat::cli {
namespace {

struct ExtractOptions {
  std::string archive;
  std::string directory;
  std::optional<std::uint32_t> type;
};

struct Failure {
  std::uint32_t id;
  std::string why;
};

/// Writes file `id` under `root`; the failure's text when it can't.
std::optional<std::string> extract_one(const DatDatabase& db, std::uint32_t id,
                                       const std::filesystem::path& root, mode_t mode,
                                       std::uint64_t& bytes_written) {
  const auto bytes = db.get_file(id);
  if (!bytes) return bytes.error().debug();
  const std::filesystem::path directory = root / hex(type_of(id), 2);
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) {
    return "cannot create directory '" + directory.string() +
           "': " + IoError::from_os(ec.value()).debug();
  }
  auto written = write_file_atomically(directory / (hex(id) + ".bin"), *bytes, mode);
  if (!written) return written.error().step + ": " + written.error().error.debug();
  bytes_written += bytes->size();
  return std::nullopt;
}

int run_extract(const ExtractOptions& options) {
  const auto db = open_archive(options.archive);
  if (!db) return kExitFailure;
  const std::span<const DatFileEntry> entries = listed_entries(*db, options.type);

  const std::filesystem::path root = options.directory;
  std::error_code ec;
  std::filesystem::create_directories(root, ec);
  if (ec) {
    report("extract: cannot create directory '" + options.directory +
           "': " + IoError::from_os(ec.value()).debug());
    return kExitFailure;
  }

  const mode_t mode = default_file_mode();
  std::vector<Failure> failures;
  std::uint64_t bytes_written = 0;
  {
    ProgressBar progress(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      progress.update(i);
      if (auto why = extract_one(*db, entries[i].id, root, mode, bytes_written)) {
        failures.push_back({entries[i].id, std::move(*why)});
      }
    }
    progress.update(entries.size());
  }

  for (const Failure& failure : failures) {
    report("extract: " + hex(failure.id) + ": " + failure.why);
  }
  Stdout out;
  out.write(format("extracted %zu of %zu files (%llu bytes) into %s",
                   entries.size() - failures.size(), entries.size(),
                   static_cast<unsigned long long>(bytes_written), options.directory.c_str()));
  out.write(failures.empty() ? "\n" : format("; %zu failed\n", failures.size()));
  return finish(out, failures.empty() ? kExitOk : kExitFailure);
}

}  // namespace

void add_extract(CLI::App& app, Runner& run) {
  auto options = std::make_shared<ExtractOptions>();
  CLI::App* command = app.add_subcommand(
      "extract",
      "Write every file, decompressed, to DIR/<type>/<identifier>.bin (e.g. "
      "DIR/0x20/0x20000001.bin), each complete or not at all; lists the files that failed");
  add_archive_argument(*command, options->archive);
  command->add_option("DIR", options->directory, "Directory to extract into (created if needed)")
      ->required()
      ->type_name("DIR");
  add_type_option(*command, options->type);
  command->callback([options, &run] { run = [options] { return run_extract(*options); }; });
}

}  // namespace tallowmere_dat::cli
