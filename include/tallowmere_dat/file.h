#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <utility>

#include "tallowmere_dat/io_error.h"

namespace tallowmere_dat {

namespace detail {
struct FileDescriptor;
}  // namespace detail

/// A file opened read-only, owned: closed when destroyed. It is a byte source (sequential
/// `read`, `position`, absolute `seek`); positional reads go through `read_exact_at_compat`.
class File {
 public:
  /// Opens `path` read-only; the error is the operating system's.
  [[nodiscard]] static std::expected<File, IoError> open_read_only(
      const std::filesystem::path& path);

  File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  [[nodiscard]] std::expected<std::size_t, IoError> read(std::span<std::uint8_t> buffer);
  std::expected<std::uint64_t, IoError> position();
  [[nodiscard]] std::expected<void, IoError> seek(std::uint64_t pos);
  /// The file's current length in bytes.
  [[nodiscard]] std::expected<std::uint64_t, IoError> size() const;

 private:
  friend struct detail::FileDescriptor;
  explicit File(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace tallowmere_dat
