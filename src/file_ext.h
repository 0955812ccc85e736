#pragma once

// Positional reads: they never move a file's read position, so a shared handle can serve
// several threads at once.

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <span>
#include <utility>

#include "tallowmere_dat/file.h"
#include "tallowmere_dat/io_error.h"

namespace tallowmere_dat {

namespace detail {

/// Linux transfers at most this much per call; larger requests become short reads.
inline constexpr std::size_t kMaxTransfer = 0x7ffff000;

/// The descriptor of an open `File`, for the positional reads.
struct FileDescriptor {
  static int of(const File& file) { return file.fd_; }
};

/// Fills `head` and then `tail` from consecutive positions starting at `offset`, as if they were
/// one buffer, with a `preadv`-shaped function `(head, tail, offset) -> ssize_t` that reports
/// failures in `errno` and fills `head` before `tail`. Short reads continue with the bytes still
/// missing, interrupted reads retry, a read of 0 bytes while bytes are missing is "failed to fill
/// whole buffer", and any other error is the OS error unchanged. Nothing is read when both are
/// empty.
template <typename Preadv>
requires std::invocable<Preadv&, std::span<std::uint8_t>, std::span<std::uint8_t>, std::uint64_t>
    std::expected<void, IoError> read_exact_at_pair(Preadv&& preadv_fn,
                                                    std::span<std::uint8_t> head,
                                                    std::span<std::uint8_t> tail,
                                                    std::uint64_t offset) {
  while (!head.empty() || !tail.empty()) {
    if (head.empty()) std::swap(head, tail);  // the missing bytes always start in `head`
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
      return std::unexpected(IoError::from_os(EINVAL));
    }
    const ssize_t n = preadv_fn(head, tail, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::last_os_error());
    }
    if (n == 0) return std::unexpected(IoError::fill_whole_buffer());
    const auto got = static_cast<std::size_t>(n);
    const std::size_t from_head = std::min(got, head.size());
    head = head.subspan(from_head);
    tail = tail.subspan(std::min(got - from_head, tail.size()));
    offset += static_cast<std::uint64_t>(got);
  }
  return {};
}

/// Fills `buffer` from `offset` with a `pread`-shaped function `(data, count, offset) ->
/// ssize_t` that reports failures in `errno`, by the rules of `read_exact_at_pair`.
template <typename Pread>
requires std::invocable<Pread&, std::uint8_t*, std::size_t, std::uint64_t>
    std::expected<void, IoError> read_exact_at(Pread&& pread_fn, std::span<std::uint8_t> buffer,
                                               std::uint64_t offset) {
  return read_exact_at_pair(
      [&pread_fn](std::span<std::uint8_t> head, std::span<std::uint8_t> /*tail*/,
                  std::uint64_t at) { return pread_fn(head.data(), head.size(), at); },
      buffer, {}, offset);
}

}  // namespace detail

/// Fills all of `buffer` from absolute position `offset` of `file` without moving its read
/// position. Fails with the OS error, or with "failed to fill whole buffer" (kind
/// `UnexpectedEof`) when the file ends first. An empty buffer succeeds without a read.
std::expected<void, IoError> read_exact_at_compat(const File& file, std::span<std::uint8_t> buffer,
                                                  std::uint64_t offset);

/// Fills `head` and then `tail` from consecutive positions of `file` starting at `offset`, with
/// a single vectored positional read when the file supplies them at once. Results and errors
/// are exactly those of `read_exact_at_compat` on one buffer holding both.
std::expected<void, IoError> read_exact_at_compat(const File& file, std::span<std::uint8_t> head,
                                                  std::span<std::uint8_t> tail,
                                                  std::uint64_t offset);

}  // namespace tallowmere_dat
