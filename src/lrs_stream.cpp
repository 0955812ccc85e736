#include "lrs_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "little_endian.h"

namespace tallowmere_dat::detail {
namespace {

/// How far back a reference reaches (12 bits of distance).
constexpr std::size_t kHistory = 4096;
/// The most one token writes.
constexpr std::size_t kMaxLength = 17;

}  // namespace

LrsStream::LrsStream(const ChunkSink& sink, std::size_t chunk) : sink_(sink), chunk_(chunk) {}

std::optional<std::uint32_t> LrsStream::declared() const {
  if (prefix_held_ < prefix_.size()) return std::nullopt;
  return limit_;
}

bool LrsStream::reserve(std::size_t count) {
  if (buffer_.empty()) {
    // Sized for what the prefix declares, so a small file costs a small buffer.
    buffer_.resize(std::min<std::size_t>(limit_, kHistory + chunk_) + kMaxLength);
  }
  if (used_ + count <= buffer_.size()) return true;
  stopped_ = !sink_(std::span(buffer_).subspan(handed_to_, used_ - handed_to_));
  // Only the history is kept, at the front.
  const std::size_t kept = std::min(used_, kHistory);
  std::memmove(buffer_.data(), buffer_.data() + used_ - kept, kept);
  used_ = kept;
  handed_to_ = kept;
  return !stopped_;
}

void LrsStream::token(std::uint8_t byte) {
  if ((control_ & flag_) == 0) {
    if (!reserve(1)) return;
    if (produced_ == 0) first_ = byte;
    buffer_[used_++] = byte;
    ++produced_;
  } else if (!low_) {
    low_ = byte;
    return;
  } else {
    const std::size_t distance = *low_ | (static_cast<std::size_t>(byte & 0xF0U) << 4U);
    low_.reset();
    if (distance == 0 || produced_ == 0) {  // an end marker, or nothing to copy from
      done_ = true;
      return;
    }
    const std::size_t length =
        std::min<std::uint64_t>((byte & 0x0FU) + std::size_t{2}, limit_ - produced_);
    if (!reserve(length)) return;
    // Byte by byte: a copy may overlap itself, and one reaching before the start takes the
    // first byte until the output is long enough.
    for (std::size_t k = 0; k < length; ++k, ++produced_) {
      buffer_[used_] = produced_ >= distance ? buffer_[used_ - distance] : first_;
      ++used_;
    }
  }
  flag_ >>= 1U;
  if (produced_ >= limit_) done_ = true;
}

bool LrsStream::feed(std::span<const std::uint8_t> stored) {
  for (const std::uint8_t byte : stored) {
    if (done_ || stopped_) break;
    if (prefix_held_ < prefix_.size()) {
      prefix_[prefix_held_++] = byte;
      if (prefix_held_ == prefix_.size()) {
        limit_ = load_u32_le(std::span(prefix_));
        done_ = limit_ == 0;
      }
    } else if (flag_ == 0) {
      control_ = byte;
      flag_ = 0x80;
    } else {
      token(byte);
    }
  }
  return !stopped_;
}

bool LrsStream::finish() {
  if (stopped_ || used_ == handed_to_) return !stopped_;
  stopped_ = !sink_(std::span(buffer_).subspan(handed_to_, used_ - handed_to_));
  handed_to_ = used_;
  return !stopped_;
}

std::expected<void, DatError> stream_entry(const BlockSource& source, std::uint32_t block_size,
                                           const DatFileEntry& entry, const ChunkSink& sink,
                                           std::size_t chunk) {
  if (!entry.is_compressed()) {
    return stream_block_chain(source, block_size, entry.offset, entry.size, sink, chunk);
  }
  try {
    LrsStream decoder(sink, chunk);
    bool stopped = false;
    // The whole chain is read even once decoding has stopped: its errors come first, as when
    // the stored bytes are read before they are decoded.
    auto read = stream_block_chain(
        source, block_size, entry.offset, entry.size,
        [&](std::span<const std::uint8_t> stored) {
          stopped = !decoder.feed(stored);
          return !stopped;
        },
        chunk);
    if (!read) return read;
    if (stopped || !decoder.finish()) return {};
    // An empty entry is an empty file; any other must hold a prefix and produce all it declares.
    const std::optional<std::uint32_t> declared = decoder.declared();
    if (entry.size != 0 && (!declared || decoder.produced() != *declared)) {
      return std::unexpected(DatError(DatError::DecompressionFailed{entry.id}));
    }
    return {};
  } catch (const std::bad_alloc&) {
    return std::unexpected(DatError(IoError::with_message(
        IoErrorKind::OutOfMemory, "memory allocation of a decompression buffer failed")));
  }
}

}  // namespace tallowmere_dat::detail
