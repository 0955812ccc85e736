// `mount ARCHIVE MOUNTPOINT [-f] [--raw] [--salvage] [-o OPTIONS]...`: the archive as a read-only
// file system, one directory per type byte, until it is unmounted.

#include <syslog.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "archive.h"
#include "archive_fs.h"
#include "commands.h"
#include "format.h"
#include "fuse_binding.h"
#include "output.h"

namespace tallowmere_dat::cli {
namespace {

constexpr const char* kName = "mount";

struct MountOptions {
  std::string archive;
  std::string mountpoint;
  bool foreground = false;
  bool raw = false;
  bool salvage = false;
  std::vector<std::string> fuse_options;
};

/// One line per failed read: to standard error in the foreground, else to the system log.
mount::Log log_for(bool foreground) {
  if (foreground) return [](std::string_view line) { report({kName, line}); };
  openlog("tallowmere-dat", LOG_PID, LOG_USER);
  return [](std::string_view line) {
    syslog(LOG_ERR, "%.*s", static_cast<int>(line.size()), line.data());
  };
}

int run_mount(const MountOptions& options) {
  // The kernel's refusal of a missing mount point comes back from libfuse without a word.
  std::error_code error;
  if (!std::filesystem::is_directory(options.mountpoint, error)) {
    report({kName, options.mountpoint, error ? error.message() : std::strerror(ENOTDIR)});
    return kExitTrouble;
  }
  auto db = open_archive(options.archive, kName, {.salvage = options.salvage});
  if (!db) return kExitTrouble;
  // The server works from "/": it unmounts by the mount point's path, and check.json opens the
  // archive again by its path.
  std::error_code ignored;
  const std::string path = std::filesystem::absolute(options.archive, ignored).string();
  const std::string mountpoint = std::filesystem::absolute(options.mountpoint, ignored).string();
  const mount::Log log = log_for(options.foreground);
  mount::ArchiveTree tree(std::move(*db), path, {.raw = options.raw}, log);
  const mount::MountRequest request{.mountpoint = mountpoint,
                                    .source = path,
                                    .foreground = options.foreground,
                                    .options = options.fuse_options};
  return mount::serve(tree, request, log) ? kExitOk : kExitTrouble;
}

}  // namespace

void add_mount(CLI::App& app, Runner& run) {
  auto options = std::make_shared<MountOptions>();
  CLI::App* command = app.add_subcommand(
      kName,
      "Mount the archive as a read-only file system (FUSE): /0xTT/0xIIIIIIII holds each file's "
      "verified content, /sound-tables/0xIIIIIIII.json each sound table decoded, /.archive/ "
      "header.json, check.json and listing.json; a damaged file reads as an I/O error (EIO). "
      "Returns once mounted; unmount with 'fusermount3 -u MOUNTPOINT'");
  add_archive_argument(*command, options->archive);
  command->add_option("MOUNTPOINT", options->mountpoint, "An existing, empty directory")
      ->required()
      ->type_name("DIR");
  command->add_flag("-f,--foreground", options->foreground,
                    "Stay in the foreground, with read failures on standard error; Ctrl-C or "
                    "SIGTERM unmounts");
  command->add_flag("--raw", options->raw, "Show each file's stored bytes, not decompressed");
  command->add_flag("--salvage", options->salvage,
                    "Mount a damaged directory too: leave out the nodes that can't be read (each "
                    "named on standard error) and show every file still reachable");
  command
      ->add_option("-o", options->fuse_options,
                   "FUSE mount options, comma-separated (e.g. allow_other); may be repeated")
      ->type_name("OPTIONS");
  command->callback([options, &run] { run = [options] { return run_mount(*options); }; });
}

}  // namespace tallowmere_dat::cli
