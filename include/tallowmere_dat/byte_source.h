#pragma once

// What the decoders read from: any byte source, and the in-memory cursor over retrieved bytes.

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>

#include "tallowmere_dat/io_error.h"

namespace tallowmere_dat {

/// Anything that reads bytes, reports its position and seeks to an absolute position.
/// `read` may return fewer bytes than asked; 0 means the end of the data.
template <typename S>
concept ByteSource = requires(S& source, std::span<std::uint8_t> buffer, std::uint64_t pos) {
  { source.read(buffer) } -> std::same_as<std::expected<std::size_t, IoError>>;
  { source.position() } -> std::same_as<std::expected<std::uint64_t, IoError>>;
  { source.seek(pos) } -> std::same_as<std::expected<void, IoError>>;
};

/// An in-memory byte source over a borrowed span. It may be positioned past the end, where
/// reads return nothing; none of its operations fails.
class Cursor {
 public:
  /// A cursor at the start of `data`, which must outlive it.
  explicit Cursor(std::span<const std::uint8_t> data) : data_(data) {}

  /// Copies up to `buffer.size()` bytes from the position on and moves past them; returns how
  /// many (0 at or past the end).
  [[nodiscard]] std::expected<std::size_t, IoError> read(std::span<std::uint8_t> buffer) {
    const std::size_t n = std::min(buffer.size(), remaining().size());
    if (n != 0) std::memcpy(buffer.data(), data_.data() + pos_, n);
    pos_ += n;
    return n;
  }
  /// The position, counted from the start of the span.
  [[nodiscard]] std::expected<std::uint64_t, IoError> position() const { return pos_; }
  /// Moves to `pos`, which may lie past the end.
  [[nodiscard]] std::expected<void, IoError> seek(std::uint64_t pos) {
    pos_ = pos;
    return {};
  }

  /// The bytes from the position to the end (empty when positioned past the end).
  [[nodiscard]] std::span<const std::uint8_t> remaining() const {
    return pos_ >= data_.size() ? std::span<const std::uint8_t>() : data_.subspan(pos_);
  }

 private:
  std::span<const std::uint8_t> data_;
  std::uint64_t pos_ = 0;
};

}  // namespace tallowmere_dat
