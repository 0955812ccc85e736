#include "tallowmere_report/write_all.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>

#include "file_ext.h"

namespace tallowmere_dat {
namespace {

std::expected<void, IoError> write_bytes(int fd, const void* data, std::size_t size) {
  // Linux transfers at most this much per call; asking for more is just a short write.
  const auto* next = static_cast<const unsigned char*>(data);
  while (size != 0) {
    const ssize_t n = ::write(fd, next, std::min(size, detail::kMaxTransfer));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::last_os_error());
    }
    next += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace

std::expected<void, IoError> write_all(int fd, std::span<const std::uint8_t> bytes) {
  return write_bytes(fd, bytes.data(), bytes.size());
}

std::expected<void, IoError> write_all(int fd, std::string_view text) {
  return write_bytes(fd, text.data(), text.size());
}

}  // namespace tallowmere_dat
