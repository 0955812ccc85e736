#include "window_source.h"

#include <algorithm>
#include <cstring>

namespace tallowmere_dat::detail {

void WindowSource::cover(std::uint64_t offset, std::uint64_t extent) {
  if (extent > kCapacity || holds(offset, extent)) return;
  const std::uint64_t length = base_.length_hint();
  held_ = 0;
  if (offset >= length) return;
  // A small archive needs no more window than it has bytes.
  if (window_.empty())
    window_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kCapacity, length)));
  const auto size =
      static_cast<std::size_t>(std::min<std::uint64_t>(window_.size(), length - offset));
  if (base_.read_at(std::span(window_).first(size), {}, offset)) {
    start_ = offset;
    held_ = size;
  }
}

std::expected<void, IoError> WindowSource::read_at(std::span<std::uint8_t> head,
                                                   std::span<std::uint8_t> tail,
                                                   std::uint64_t offset) const {
  if (!holds(offset, std::uint64_t{head.size()} + tail.size())) {
    return base_.read_at(head, tail, offset);
  }
  const std::uint8_t* from = window_.data() + (offset - start_);
  if (!head.empty()) std::memcpy(head.data(), from, head.size());
  if (!tail.empty()) std::memcpy(tail.data(), from + head.size(), tail.size());
  return {};
}

std::uint64_t contiguous_extent(std::uint32_t block_size, std::uint32_t size) {
  constexpr std::uint64_t kPointer = 4;
  if (block_size <= kPointer) return kPointer;
  const std::uint64_t payload = block_size - kPointer;
  const std::uint64_t blocks = std::max<std::uint64_t>((size + payload - 1) / payload, 1);
  // The last block's pointer and payload slice, no further.
  return (blocks - 1) * block_size + kPointer + (size - (blocks - 1) * payload);
}

}  // namespace tallowmere_dat::detail
