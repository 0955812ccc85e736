// `extract ARCHIVE [DIR] [ID...] [--type 0xNN]...`: files, decompressed and verified, to
// DIR/0xTT/0xIIIIIIII.bin. Each file appears complete or not at all. A file the archive can't
// give is named and the rest goes on; a destination that can't be written stops the extract.

#include <array>
#include <memory>
#include <optional>
#include <system_error>

#include "archive.h"
#include "atomic_file.h"
#include "commands.h"
#include "format.h"
#include "output.h"
#include "progress.h"

namespace tallowmere_dat::cli {
namespace {

namespace fs = std::filesystem;

constexpr const char* kName = "extract";
constexpr std::string_view kSuffix = ".bin";

struct ExtractOptions {
  std::string archive;
  std::string directory;
  std::vector<std::string> ids;
  std::vector<std::uint32_t> types;
  bool keep_existing = false;
  bool quiet = false;
};

using IdRange = std::pair<std::uint32_t, std::uint32_t>;

/// What to extract: every entry when nothing is named, else those of the named types and ranges.
struct Selection {
  std::vector<IdRange> ranges;
  std::array<bool, 256> types{};
  bool everything = true;

  bool contains(std::uint32_t id) const {
    if (everything || types[type_of(id)]) return true;
    return std::ranges::any_of(ranges,
                               [id](const IdRange& r) { return r.first <= id && id <= r.second; });
  }
};

/// The directory named after the archive, in the current directory: "client_portal" for
/// "data/client_portal.dat", "archive.d" for an "archive" without extension.
std::string default_directory(const std::string& archive) {
  const fs::path name = fs::path(archive).filename();
  return name.has_extension() ? name.stem().string() : name.string() + ".d";
}

/// Removes the temporary files that an extract killed without its chance to clean up left in
/// the type directories under `root`.
void remove_stale_temporaries(const fs::path& root) {
  std::error_code ec;
  for (const auto& type_dir : fs::directory_iterator(root, ec)) {
    if (!type_dir.is_directory(ec) || !parse_hex(type_dir.path().filename().string(), 2)) continue;
    for (const auto& item : fs::directory_iterator(type_dir.path(), ec)) {
      if (is_temporary_name(item.path().filename().string(), kSuffix)) fs::remove(item.path(), ec);
    }
  }
}

struct Tally {
  std::size_t extracted = 0;
  std::size_t kept = 0;
  std::uint64_t bytes = 0;
  std::vector<std::uint32_t> failed;
};

class Extraction {
 public:
  Extraction(const DatDatabase& db, fs::path root, bool keep_existing)
      : db_(db), root_(std::move(root)), keep_existing_(keep_existing) {}

  /// Extracts `entry`; false when the destination can't be written, after reporting why.
  bool extract(const DatFileEntry& entry, Tally& tally) {
    const fs::path directory = root_ / hex(type_of(entry.id), 2);
    const fs::path path = directory / (hex(entry.id) + std::string(kSuffix));
    std::error_code ec;
    if (keep_existing_ && fs::exists(fs::symlink_status(path, ec))) {
      ++tally.kept;
      return true;
    }
    if (auto read = db_.get_file_verified(entry.id, buffer_); !read) {
      report({kName, hex(entry.id), read.error().message()});
      tally.failed.push_back(entry.id);
      return true;
    }
    auto& destination = destinations_[type_of(entry.id)];
    if (!destination) {
      const bool created = fs::create_directories(directory, ec);
      if (ec) {
        report({kName, "cannot create directory '" + directory.string() + "'",
                IoError::from_os(ec.value()).message()});
        return false;
      }
      destination = created ? Destination::kNew : Destination::kMayExist;
    }
    if (auto written = write_file_atomically(path, buffer_, mode_, entry.timestamp, *destination);
        !written) {
      report({kName, written.error().step, written.error().error.message()});
      return false;
    }
    ++tally.extracted;
    tally.bytes += buffer_.size();
    return true;
  }

 private:
  const DatDatabase& db_;
  fs::path root_;
  bool keep_existing_;
  mode_t mode_ = default_file_mode();
  /// Per type byte, once its directory is there: whether it was created by this extract.
  std::array<std::optional<Destination>, 256> destinations_{};
  std::vector<std::uint8_t> buffer_;
};

/// The selection the options name.
Selection selection_of(const ExtractOptions& options) {
  Selection selection;
  for (const std::string& text : options.ids)
    selection.ranges.push_back(*parse_id_range(text));  // checked while parsing
  for (const std::uint32_t type : options.types)
    selection.types[type] = true;
  selection.everything = options.ids.empty() && options.types.empty();
  return selection;
}

int run_extract(ExtractOptions options) {
  // A DIR that reads as an identifier is the first identifier; "./cafe" names such a directory.
  if (!options.directory.empty() && parse_id_range(options.directory)) {
    options.ids.insert(options.ids.begin(), options.directory);
    options.directory.clear();
  }
  if (options.directory.empty()) options.directory = default_directory(options.archive);

  const auto db = open_archive(options.archive, kName);
  if (!db) return kExitFailure;
  const Selection selection = selection_of(options);
  std::vector<const DatFileEntry*> chosen;
  std::uint64_t total_bytes = 0;
  for (const DatFileEntry& entry : db->files()) {
    if (!selection.contains(entry.id)) continue;
    chosen.push_back(&entry);
    total_bytes += entry.size;
  }

  // A single identifier named that the archive lacks is a failure, as a missing file is to cp.
  Tally tally;
  for (const IdRange& range : selection.ranges) {
    if (range.first == range.second && !db->files().contains(range.first)) {
      report({kName, hex(range.first), DatError(DatError::NotFound{range.first}).message()});
      tally.failed.push_back(range.first);
    }
  }

  const std::size_t missing = tally.failed.size();

  const fs::path root = options.directory;
  std::error_code ec;
  if (fs::create_directories(root, ec); ec) {
    report({kName, "cannot create directory '" + options.directory + "'",
            IoError::from_os(ec.value()).message()});
    return kExitFailure;
  }
  remove_stale_temporaries(root);

  Extraction extraction(*db, root, options.keep_existing);
  bool stopped = false;
  {
    ProgressBar progress(chosen.size(), total_bytes, !options.quiet);
    std::uint64_t bytes_done = 0;
    for (std::size_t i = 0; i < chosen.size() && !stopped; ++i) {
      progress.update(i, bytes_done);
      stopped = !extraction.extract(*chosen[i], tally);
      bytes_done += chosen[i]->size;
    }
    if (!stopped) progress.update(chosen.size(), bytes_done);
  }

  const std::size_t wanted = chosen.size() + missing;
  Stdout out;
  if (!options.quiet) {
    out.write(format("extracted %zu of %zu files (%llu bytes) into %s", tally.extracted, wanted,
                     static_cast<unsigned long long>(tally.bytes), options.directory.c_str()));
    if (tally.kept != 0) out.write(format("; %zu kept", tally.kept));
    if (!tally.failed.empty()) out.write(format("; %zu failed", tally.failed.size()));
    out.write(stopped ? "; stopped\n" : "\n");
  }
  return finish(out, kName, tally.failed.empty() && !stopped ? kExitOk : kExitFailure);
}

CLI::Validator id_or_range() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (parse_id_range(text)) return {};
        return "'" + text +
               "' is not a file identifier or range (0x20000001, 0x20000000-0x2000FFFF)";
      },
      "");
}

}  // namespace

void add_extract(CLI::App& app, Runner& run) {
  auto options = std::make_shared<ExtractOptions>();
  CLI::App* command = app.add_subcommand(
      kName,
      "Write files, decompressed, to DIR/<type>/<identifier>.bin (e.g. DIR/0x20/0x20000001.bin), "
      "each complete or not at all, with the entry's timestamp as its modification time");
  add_archive_argument(*command, options->archive);
  command
      ->add_option("DIR", options->directory,
                   "Directory to extract into, created if needed (default: the archive's name "
                   "without extension, here); write ./NAME for a name that reads as an identifier")
      ->type_name("DIR");
  command
      ->add_option("ID", options->ids,
                   "Only these files: identifiers or ranges such as 0x20000000-0x2000FFFF")
      ->type_name("ID")
      ->check(id_or_range());
  add_type_option(*command, options->types);
  command->add_flag("-k,--keep-existing", options->keep_existing,
                    "Keep files that are already there instead of replacing them");
  command->add_flag("-q,--quiet", options->quiet,
                    "No progress display and no summary; errors are still reported");
  command->callback([options, &run] { run = [options] { return run_extract(*options); }; });
}

}  // namespace tallowmere_dat::cli
