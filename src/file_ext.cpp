#include "tallowmere_dat/file_ext.h"

#include <unistd.h>

#include <algorithm>

namespace tallowmere_dat {

std::expected<void, IoError> read_exact_at_compat(const File& file, std::span<std::uint8_t> buffer,
                                                  std::uint64_t offset) {
  return detail::read_exact_at(
      [fd = file.fd()](std::uint8_t* data, std::size_t count, std::uint64_t at) {
        // Linux transfers at most this much per call; larger requests become short reads.
        constexpr std::size_t kMaxChunk = 0x7ffff000;
        return ::pread(fd, data, std::min(count, kMaxChunk), static_cast<off_t>(at));
      },
      buffer, offset);
}

}  // namespace tallowmere_dat
