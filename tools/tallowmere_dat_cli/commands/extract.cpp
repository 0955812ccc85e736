// `extract ARCHIVE [SEL...] [--type T]... [-C DIR]`: files, decompressed and verified, to
// DIR/0xTT/0xIIIIIIII.bin, read in the order they lie in the archive, by a writer per core, each
// with types of its own. Each file appears complete or not at all. A file the archive can't give
// is named and the rest goes on; a destination that can't be written stops the extract.
//
// Below DIR nothing is reached through a symbolic link: the type directories and the files are
// opened relative to DIR's descriptor without following links, and a type directory that is a
// link is refused.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <variant>

#include "archive.h"
#include "atomic_file.h"
#include "commands.h"
#include "format.h"
#include "output.h"
#include "progress.h"
#include "tallowmere_dat/bulk_reader.h"
#include "tallowmere_report/write_all.h"

namespace tallowmere_dat::cli {
namespace {

namespace fs = std::filesystem;

constexpr const char* kName = "extract";
constexpr std::string_view kSuffix = ".bin";

struct ExtractOptions {
  bool salvage = false;
  std::string archive;
  std::string directory;
  SelectionArgs selection;
  bool keep_existing = false;
  bool quiet = false;
};

/// The name of `entry`'s file in its type directory: "0x20000001.bin".
std::string file_name(const DatFileEntry& entry) {
  return hex(entry.id) + std::string(kSuffix);
}

/// The directory named after the archive, in the current directory: "client_portal" for
/// "data/client_portal.dat", "archive.d" for an "archive" without extension.
std::string default_directory(const std::string& archive) {
  const fs::path name = fs::path(archive).filename();
  return name.has_extension() ? name.stem().string() : name.string() + ".d";
}

void report_os(std::string_view what, int code) {
  report({kName, what, IoError::from_os(code).message()});
}

/// Removes, from `directory`, the temporary files that an extract killed without its chance to
/// clean up left behind: only this tool's, only those whose process is gone. Reads the open
/// directory itself, so it never looks through a link.
void remove_stale_temporaries(const OpenDirectory& directory) {
  const int fd = ::dup(directory.fd());
  if (fd < 0) return;
  DIR* listing = ::fdopendir(fd);
  if (listing == nullptr) {
    ::close(fd);
    return;
  }
  while (const dirent* item = ::readdir(listing)) {
    if (is_stale_temporary(item->d_name, kSuffix))
      (void)::unlinkat(directory.fd(), item->d_name, 0);
  }
  ::closedir(listing);
}

struct Tally {
  std::size_t extracted = 0;
  std::size_t kept = 0;
  std::uint64_t bytes = 0;
  std::size_t failed = 0;  ///< Files the archive couldn't give, and identifiers it lacks.
  bool refused = false;    ///< A type directory was refused (a link, or not a directory).

  Tally& operator+=(const Tally& other) {
    extracted += other.extracted;
    kept += other.kept;
    bytes += other.bytes;
    failed += other.failed;
    refused = refused || other.refused;
    return *this;
  }
};

/// Where one type's files go: its open directory, and whether it was just created.
struct TypeDirectory {
  OpenDirectory open;
  Destination destination = Destination::kMayExist;
};

/// A type directory that was refused: a link, or not a directory.
struct RefusedDirectory {};

/// What is known of one type's directory: nothing yet (or it couldn't be created), refused, or
/// open.
using TypeState = std::variant<std::monostate, RefusedDirectory, TypeDirectory>;

class Extraction {
 public:
  Extraction(const DatDatabase& db, std::string root, bool keep_existing)
      : db_(db), root_path_(std::move(root)), keep_existing_(keep_existing) {}

  /// What to do with a file: write it, leave it (kept, or its type directory refused: counted
  /// in the tally), or stop (its destination can't be made, reported).
  enum class Plan : std::uint8_t { kWrite, kLeave, kStop };

  /// Makes ready the directory `entry` goes to and decides what to do with it.
  Plan plan(const DatFileEntry& entry, Tally& tally) {
    const OpenDirectory* root = ensure_root();
    if (root == nullptr) return Plan::kStop;
    TypeState& state = types_[type_of(entry.id)];
    if (std::holds_alternative<std::monostate>(state))
      state = open_type_directory(*root, type_of(entry.id));
    if (std::holds_alternative<std::monostate>(state)) return Plan::kStop;
    const auto* directory = std::get_if<TypeDirectory>(&state);
    if (directory == nullptr) {
      ++tally.failed;
      tally.refused = true;
      return Plan::kLeave;
    }
    struct stat existing {};
    if (keep_existing_ &&
        ::fstatat(directory->open.fd(), file_name(entry).c_str(), &existing, AT_SYMLINK_NOFOLLOW) ==
            0 &&
        S_ISREG(existing.st_mode)) {
      ++tally.kept;
      return Plan::kLeave;
    }
    return Plan::kWrite;
  }

  /// Writes `bytes` as `entry`'s file, planned to be written; false when the destination can't
  /// be written, after reporting why. Several threads may write at once.
  bool write(const DatFileEntry& entry, std::span<const std::uint8_t> bytes, Tally& tally) const {
    const TypeDirectory& directory = planned_directory(entry);
    if (auto written = write_file_atomically(directory.open, file_name(entry), bytes,
                                             FileLook{.mode = mode_, .mtime = entry.timestamp},
                                             directory.destination);
        !written) {
      report({kName, written.error().message()});
      return false;
    }
    ++tally.extracted;
    tally.bytes += bytes.size();
    return true;
  }

  /// Writes `entry`'s file, planned to be written, streamed from the archive into its
  /// destination, which still gets all of it or nothing: for files too large to hold. False
  /// when the destination can't be written, after reporting why.
  bool write_streamed(const DatFileEntry& entry, Tally& tally) {
    const TypeDirectory& directory = planned_directory(entry);
    std::optional<DatError> unreadable;
    std::uint64_t bytes = 0;
    const ContentWriter write = [&](int fd,
                                    const std::string& path) -> std::expected<void, WriteFailure> {
      std::optional<IoError> write_error;
      bytes = 0;
      auto streamed = db_.stream_file(entry, [&](std::span<const std::uint8_t> chunk) {
        if (auto written = write_all(fd, chunk); !written) {
          write_error = written.error();
          return false;
        }
        bytes += chunk.size();
        return true;
      });
      if (write_error)
        return std::unexpected(WriteFailure{"cannot write '" + path + "'", write_error});
      if (!streamed) {
        unreadable = streamed.error();
        return std::unexpected(WriteFailure{"cannot read the archive", std::nullopt});
      }
      return {};
    };
    auto written = write_file_atomically(directory.open, file_name(entry), write,
                                         FileLook{.mode = mode_, .mtime = entry.timestamp},
                                         directory.destination);
    if (unreadable) {
      report_file_error(kName, entry, *unreadable);
      ++tally.failed;
      return true;
    }
    if (!written) {
      report({kName, written.error().message()});
      return false;
    }
    ++tally.extracted;
    tally.bytes += bytes;
    return true;
  }

 private:
  /// Creates and opens DIR the first time a file is to go there, so that an extract that writes
  /// nothing leaves no directory behind. Null when it can't, after reporting why.
  const OpenDirectory* ensure_root() {
    if (root_) return &*root_;
    std::error_code ec;
    fs::create_directories(root_path_, ec);
    const int fd = ec ? -1 : ::open(root_path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      report_os("cannot create directory '" + root_path_ + "'", ec ? ec.value() : errno);
      return nullptr;
    }
    return &root_.emplace(fd, root_path_);
  }

  /// Creates and opens `root`/0xTT without following a link; a refused one (a link, or not a
  /// directory) is reported. Nothing known when it can't be created at all, after reporting why.
  static TypeState open_type_directory(const OpenDirectory& root, std::uint8_t type) {
    const std::string name = hex(type, 2);
    const std::string shown = root.path_of(name);
    Destination destination = Destination::kMayExist;
    if (::mkdirat(root.fd(), name.c_str(), 0777) == 0) {
      destination = Destination::kNew;
    } else if (errno != EEXIST) {
      report_os("cannot create directory '" + shown + "'", errno);
      return std::monostate{};
    }
    const int fd =
        ::openat(root.fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      const int open_errno = errno;
      struct stat status {};
      const bool link = ::fstatat(root.fd(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISLNK(status.st_mode);
      if (link) {
        report({kName,
                "'" + shown + "' is a symbolic link; not extracting the files of type " + name});
      } else {
        report_os("cannot open directory '" + shown + "'", open_errno);
      }
      return RefusedDirectory{};
    }
    TypeDirectory directory{.open = OpenDirectory(fd, shown), .destination = destination};
    if (destination == Destination::kMayExist) remove_stale_temporaries(directory.open);
    return directory;
  }

  /// The directory of `entry`'s type, which `plan` opened before choosing to write the file;
  /// throws std::bad_variant_access when it didn't.
  const TypeDirectory& planned_directory(const DatFileEntry& entry) const {
    return std::get<TypeDirectory>(types_[type_of(entry.id)]);
  }

  const DatDatabase& db_;
  std::string root_path_;
  bool keep_existing_;
  mode_t mode_ = default_file_mode();
  std::optional<OpenDirectory> root_;
  std::array<TypeState, 256> types_{};
};

/// How far the writers have got, for the progress display.
struct Done {
  std::atomic<std::size_t> files = 0;
  std::atomic<std::uint64_t> bytes = 0;
};

/// The files one writer extracts, and what it tallied.
struct Share {
  std::vector<const DatFileEntry*> files;
  Tally tally;
};

/// `files` dealt into at most `count` shares by type, the most numerous types first, each to the
/// share with the fewest files so far: no two writers then create files in one directory, which
/// the file system would make them take turns at.
std::vector<Share> shares_by_type(const std::vector<const DatFileEntry*>& files,
                                  std::size_t count) {
  std::array<std::vector<const DatFileEntry*>, 256> by_type;
  for (const DatFileEntry* entry : files)
    by_type[type_of(entry->id)].push_back(entry);
  std::ranges::stable_sort(by_type, std::greater{}, &std::vector<const DatFileEntry*>::size);
  std::vector<Share> shares(count);
  for (auto& type : by_type) {
    if (type.empty()) break;
    Share& lightest = *std::ranges::min_element(
        shares, {}, [](const Share& share) { return share.files.size(); });
    lightest.files.insert(lightest.files.end(), type.begin(), type.end());
  }
  std::erase_if(shares, [](const Share& share) { return share.files.empty(); });
  return shares;
}

/// Extracts `share`'s files, read in the order they lie in the archive so that it is read front
/// to back in large pieces, until they are done or `stop` is set; sets `stop` when a destination
/// can't be written.
void extract_share(const DatDatabase& db, const Extraction& extraction, Share& share,
                   std::atomic<bool>& stop, Done& done) {
  BulkReader reader(db, share.files);
  while (!stop) {
    const auto file = reader.next();
    if (!file) return;
    if (!file->bytes) {
      report_file_error(kName, file->entry, file->bytes.error());
      ++share.tally.failed;
    } else if (!extraction.write(file->entry, *file->bytes, share.tally)) {
      stop = true;
    }
    ++done.files;
    done.bytes += file->entry.size;
  }
}

/// Creating files costs the kernel more than reading them costs us, so each core gets a writer.
std::size_t writer_count() {
  return std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4);
}

/// Blocks `signals` on this thread, and on the threads it starts, while it lives.
class SignalsBlocked {
 public:
  explicit SignalsBlocked(const sigset_t& signals) {
    (void)::pthread_sigmask(SIG_BLOCK, &signals, &previous_);
  }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;
  ~SignalsBlocked() { (void)::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_{};
};

/// Extracts the shares' files with a writer each, showing progress until all are done; true
/// when one was stopped by a destination that can't be written.
bool extract_in_parallel(const DatDatabase& db, const Extraction& extraction,
                         std::vector<Share>& shares, ProgressBar& progress, Done& done) {
  std::atomic<bool> stop = false;
  std::atomic<std::size_t> running = shares.size();
  int ended_by = -1;
  {
    // The signals that end an extract wait here while the writers run, rather than in the
    // handler that removes a temporary file, which could run just after a writer created one and
    // before it was known: the writers stop after the file each has in hand, and the signal then
    // ends the process as it would have.
    const sigset_t signals = cleanup_signals();
    const SignalsBlocked blocked(signals);
    // The empty bar comes first: writers of a few small files can be done before this thread
    // runs again.
    progress.update(done.files, done.bytes);
    {
      std::vector<std::jthread> writers;
      writers.reserve(shares.size());
      for (Share& share : shares) {
        writers.emplace_back([&, &share = share] {
          extract_share(db, extraction, share, stop, done);
          --running;
        });
      }
      constexpr timespec kTick{.tv_sec = 0, .tv_nsec = 10'000'000};
      while (running != 0 && ended_by <= 0) {
        progress.update(done.files, done.bytes);
        ended_by = ::sigtimedwait(&signals, nullptr, &kTick);
      }
      if (ended_by > 0) stop = true;
    }
    // Pending until the signals are let through again, when it takes its default action.
    if (ended_by > 0) {
      (void)std::signal(ended_by, SIG_DFL);
      (void)::raise(ended_by);
    }
  }
  return stop;
}

int run_extract(const ExtractOptions& options) {
  const auto selection = parse_selection(options.selection);  // checked while parsing
  const std::string directory =
      options.directory.empty() ? default_directory(options.archive) : options.directory;
  const auto db = open_archive(options.archive, kName, {.salvage = options.salvage});
  if (!db) return kExitTrouble;

  Tally tally;
  // An identifier named that the archive lacks is a failure, as a missing file is to cp.
  const std::size_t missing = report_unselected_ids(kName, *selection, *db);
  tally.failed = missing;

  const std::vector<const DatFileEntry*> chosen = selection->select(db->files());
  Extraction extraction(*db, directory, options.keep_existing);
  bool stopped = false;
  // Files small enough to hold are read together; the large ones are streamed one by one.
  std::vector<const DatFileEntry*> to_read;
  std::vector<const DatFileEntry*> to_stream;
  std::uint64_t total_bytes = 0;
  for (const DatFileEntry* entry : chosen) {
    const Extraction::Plan plan = extraction.plan(*entry, tally);
    if (plan == Extraction::Plan::kStop) {
      stopped = true;
      break;
    }
    if (plan == Extraction::Plan::kWrite) {
      (is_large_file(*entry) ? to_stream : to_read).push_back(entry);
      total_bytes += entry->size;
    }
  }
  if (!stopped) {
    ProgressBar progress(to_read.size() + to_stream.size(), total_bytes, !options.quiet);
    Done done;
    std::vector<Share> shares = shares_by_type(to_read, writer_count());
    stopped = extract_in_parallel(*db, extraction, shares, progress, done);
    for (const Share& share : shares)
      tally += share.tally;
    for (std::size_t i = 0; i < to_stream.size() && !stopped; ++i) {
      progress.update(done.files, done.bytes);
      stopped = !extraction.write_streamed(*to_stream[i], tally);
      ++done.files;
      done.bytes += to_stream[i]->size;
    }
    if (!stopped) progress.update(done.files, done.bytes);
  }

  const std::size_t wanted = chosen.size() + missing;
  Stdout out;
  if (!options.quiet) {
    out.write(format("extracted %zu of %s (%s) into %s", tally.extracted,
                     count_text(wanted, "file", "files").c_str(),
                     count_text(tally.bytes, "byte", "bytes").c_str(),
                     escaped_text(directory).c_str()));
    if (tally.kept != 0) out.write(format("; %zu kept", tally.kept));
    if (tally.failed != 0) out.write(format("; %zu failed", tally.failed));
    out.write(stopped ? "; stopped\n" : "\n");
  }
  const int status = stopped || tally.refused                      ? kExitTrouble
                     : tally.failed != 0 || !db->skipped().empty() ? kExitFindings
                                                                   : kExitOk;
  return finish(out, kName, status);
}

}  // namespace

void add_extract(CLI::App& app, Runner& run) {
  auto options = std::make_shared<ExtractOptions>();
  CLI::App* command = app.add_subcommand(
      kName,
      "Write files, decompressed, to DIR/<type>/<identifier>.bin (e.g. DIR/0x20/0x20000001.bin), "
      "each complete or not at all, with the entry's timestamp as its modification time");
  add_archive_argument(*command, options->archive);
  add_selection_arguments(*command, options->selection,
                          "Only these files: identifiers, ranges or comma lists of them "
                          "(default: all)");
  command
      ->add_option("-C,--directory,-d", options->directory,
                   "Directory to extract into, created if needed (default: the archive's name "
                   "without extension, in the current directory)")
      ->type_name("DIR");
  command->add_flag("-k,--keep-existing", options->keep_existing,
                    "Keep regular files that are already there instead of replacing them");
  command->add_flag("-q,--quiet", options->quiet,
                    "No progress display and no summary; errors are still reported");
  add_salvage_flag(*command, options->salvage);
  command->callback([options, &run] { run = [options] { return run_extract(*options); }; });
}

}  // namespace tallowmere_dat::cli
