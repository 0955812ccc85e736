#pragma once

// Writing a whole buffer to a file descriptor, for the executables built on the library: the
// environ probe and the command-line tool report a failed write instead of losing output.

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

#include "tallowmere_dat/io_error.h"

namespace tallowmere_dat {

/// Writes all of `bytes` to the open descriptor `fd`, continuing short writes and retrying
/// interrupted ones. Fails with the operating system's error of the first write that fails;
/// the bytes before it may already have been written. Writing to a pipe whose reader is gone
/// fails with "Broken pipe" only if SIGPIPE is ignored; otherwise the signal ends the process.
std::expected<void, IoError> write_all(int fd, std::span<const std::uint8_t> bytes);

/// `write_all` of the characters of `text`.
std::expected<void, IoError> write_all(int fd, std::string_view text);

}  // namespace tallowmere_dat
