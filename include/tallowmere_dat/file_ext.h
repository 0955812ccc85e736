#pragma once

// Positional reads: they never move a file's read position, so a shared handle can serve
// several threads at once.

#include <sys/types.h>

#include <cerrno>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <span>

#include "tallowmere_dat/file.h"
#include "tallowmere_dat/io_error.h"

namespace tallowmere_dat {

namespace detail {

/// Fills `buffer` from `offset` with a `pread`-shaped function `(data, count, offset) ->
/// ssize_t` that reports failures in `errno`: short reads continue, interrupted reads retry,
/// a read of 0 bytes while bytes are missing is "failed to fill whole buffer".
template <typename Pread>
  requires std::invocable<Pread&, std::uint8_t*, std::size_t, std::uint64_t>
std::expected<void, IoError> read_exact_at(Pread&& pread_fn, std::span<std::uint8_t> buffer,
                                           std::uint64_t offset) {
  while (!buffer.empty()) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
      return std::unexpected(IoError::from_os(EINVAL));
    }
    const ssize_t n = pread_fn(buffer.data(), buffer.size(), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::last_os_error());
    }
    if (n == 0) return std::unexpected(IoError::fill_whole_buffer());
    buffer = buffer.subspan(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return {};
}

}  // namespace detail

/// Fills all of `buffer` from absolute position `offset` of `file` without moving its read
/// position. Fails with the OS error, or with "failed to fill whole buffer" (kind
/// `UnexpectedEof`) when the file ends first. An empty buffer succeeds without a read.
std::expected<void, IoError> read_exact_at_compat(const File& file, std::span<std::uint8_t> buffer,
                                                  std::uint64_t offset);

}  // namespace tallowmere_dat
