#include "file_ext.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>

namespace tallowmere_dat {

using detail::kMaxTransfer;

std::expected<void, IoError> read_exact_at_compat(const File& file, std::span<std::uint8_t> buffer,
                                                  std::uint64_t offset) {
  return detail::read_exact_at(
      [fd = detail::FileDescriptor::of(file)](std::uint8_t* data, std::size_t count,
                                              std::uint64_t at) {
        return ::pread(fd, data, std::min(count, kMaxTransfer), static_cast<off_t>(at));
      },
      buffer, offset);
}

std::expected<void, IoError> read_exact_at_compat(const File& file, std::span<std::uint8_t> head,
                                                  std::span<std::uint8_t> tail,
                                                  std::uint64_t offset) {
  return detail::read_exact_at_pair(
      [fd = detail::FileDescriptor::of(file)](std::span<std::uint8_t> first,
                                              std::span<std::uint8_t> second,
                                              std::uint64_t at) -> ssize_t {
        const std::size_t first_count = std::min(first.size(), kMaxTransfer);
        const std::size_t second_count = std::min(second.size(), kMaxTransfer - first_count);
        if (second_count == 0) {
          return ::pread(fd, first.data(), first_count, static_cast<off_t>(at));
        }
        const std::array<iovec, 2> parts{
            {{first.data(), first_count}, {second.data(), second_count}}};
        return ::preadv(fd, parts.data(), 2, static_cast<off_t>(at));
      },
      head, tail, offset);
}

}  // namespace tallowmere_dat
