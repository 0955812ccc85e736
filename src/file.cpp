#include "tallowmere_dat/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <string>

#include "file_ext.h"

namespace tallowmere_dat {

std::expected<File, IoError> File::open_read_only(const std::filesystem::path& path) {
  const std::string& native = path.native();
  if (native.find('\0') != std::string::npos) {
    return std::unexpected(IoError::with_message(IoErrorKind::InvalidInput,
                                                 "file name contained an unexpected NUL byte"));
  }
  int fd = -1;
  do {
    fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);  // NOLINT(cppcoreguidelines-pro-type-vararg)
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(IoError::last_os_error());
  return File(fd);
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<std::size_t, IoError> File::read(std::span<std::uint8_t> buffer) {
  // Linux transfers at most this much per call anyway; larger requests are short reads.
  const ssize_t n = ::read(fd_, buffer.data(), std::min(buffer.size(), detail::kMaxTransfer));
  if (n < 0) return std::unexpected(IoError::last_os_error());
  return static_cast<std::size_t>(n);
}

std::expected<std::uint64_t, IoError> File::position() {
  const off_t pos = ::lseek(fd_, 0, SEEK_CUR);
  if (pos < 0) return std::unexpected(IoError::last_os_error());
  return static_cast<std::uint64_t>(pos);
}

std::expected<void, IoError> File::seek(std::uint64_t pos) {
  if (pos > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return std::unexpected(IoError::from_os(EINVAL));
  }
  if (::lseek(fd_, static_cast<off_t>(pos), SEEK_SET) < 0) {
    return std::unexpected(IoError::last_os_error());
  }
  return {};
}

std::expected<std::uint64_t, IoError> File::size() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return std::unexpected(IoError::last_os_error());
  return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace tallowmere_dat
