#pragma once

// Writing a file so that its name never shows a partial file: the bytes go to a file without a
// name, linked at the name once complete, or to a temporary file beside it, renamed over the name.

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "tallowmere_dat/io_error.h"

namespace tallowmere_dat::cli {

/// What failed while writing a file, and the operating system's error.
struct WriteFailure {
  std::string step;  ///< E.g. "cannot create a temporary file in 'DIR'".
  IoError error;
};

/// Whether the name written to may be taken already.
enum class Destination {
  kNew,      ///< Most likely free, e.g. in a directory just created.
  kMayExist  ///< May hold a file to replace.
};

/// Writes `bytes` to `path` with permissions `mode` (within the umask, as `default_file_mode`
/// gives them) and modification time `mtime` (Unix seconds). `path` either keeps what it held
/// before or holds all of `bytes`; on failure nothing new is left behind. For a `kNew` path, where
/// the file system allows, the bytes go to a file without a name (O_TMPFILE) that is linked at
/// `path`, which nothing can leave behind. Otherwise, or when `path` turns out taken, they go to a
/// new
/// temporary file ".NAME.tmp-XXXXXX" in the same directory, renamed over `path` once written and
/// closed: SIGINT, SIGTERM and SIGHUP are held back while it is created, and from then until it is
/// renamed they remove it before ending the process as they would have; only a SIGKILL, a crash
/// or a path of 4 KiB or more can leave one behind (see `is_temporary_name`).
std::expected<void, WriteFailure> write_file_atomically(const std::filesystem::path& path,
                                                        std::span<const std::uint8_t> bytes,
                                                        mode_t mode, std::int64_t mtime,
                                                        Destination destination);

/// True when `name` is one that `write_file_atomically` gives its temporary files, for a file
/// whose name ends in `suffix`: "." + NAME + `suffix` + ".tmp-" + six characters.
bool is_temporary_name(std::string_view name, std::string_view suffix);

/// The permissions a new file gets under the process's umask (0666 less the umask).
mode_t default_file_mode();

}  // namespace tallowmere_dat::cli
