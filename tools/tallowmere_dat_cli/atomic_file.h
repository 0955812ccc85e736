#pragma once

// Writing a file so that its name never shows a partial file: the bytes go to a temporary file
// beside it, which is renamed over the name once complete.

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

/// Writes `bytes` to `path` with permissions `mode` and modification time `mtime` (Unix
/// seconds): into a new temporary file ".NAME.tmp-XXXXXX" in the same directory, renamed over
/// `path` once written and closed. `path` either keeps what it held before or holds all of
/// `bytes`. On failure the temporary file is removed. SIGINT, SIGTERM and SIGHUP are held back
/// while the temporary file is created, and from then until it is renamed they remove it before
/// ending the process as they would have; only a SIGKILL, a crash or a path of 4 KiB or more can
/// leave one behind (see `is_temporary_name`).
std::expected<void, WriteFailure> write_file_atomically(const std::filesystem::path& path,
                                                        std::span<const std::uint8_t> bytes,
                                                        mode_t mode, std::int64_t mtime);

/// True when `name` is one that `write_file_atomically` gives its temporary files, for a file
/// whose name ends in `suffix`: "." + NAME + `suffix` + ".tmp-" + six characters.
bool is_temporary_name(std::string_view name, std::string_view suffix);

/// The permissions a new file gets under the process's umask (0666 less the umask).
mode_t default_file_mode();

}  // namespace tallowmere_dat::cli
