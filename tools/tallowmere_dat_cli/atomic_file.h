#pragma once

// Writing a file so that its name never shows a partial file: the bytes go to a temporary file
// beside it, which is renamed over the name once complete.

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>

#include "tallowmere_dat/io_error.h"

namespace tallowmere_dat::cli {

/// What failed while writing a file, and the operating system's error.
struct WriteFailure {
  std::string step;  ///< E.g. "cannot create a temporary file in 'DIR'".
  IoError error;
};

/// Writes `bytes` to `path` with permissions `mode`: into a new temporary file in the same
/// directory, renamed over `path` once written and closed. `path` either keeps what it held
/// before or holds all of `bytes`. On failure the temporary file is removed. While a temporary
/// file exists, SIGINT, SIGTERM and SIGHUP remove it before ending the process as they would
/// have (paths of 4 KiB or more are left out of that, and only a SIGKILL or a crash can leave
/// a ".NAME.tmp-XXXXXX" behind).
std::expected<void, WriteFailure> write_file_atomically(const std::filesystem::path& path,
                                                        std::span<const std::uint8_t> bytes,
                                                        mode_t mode);

/// The permissions a new file gets under the process's umask (0666 less the umask).
mode_t default_file_mode();

}  // namespace tallowmere_dat::cli
