#pragma once

// The primitive little-endian reads and the record-reading convention: a failed read never
// leaves the source anywhere but where the failed unit began.

#include <algorithm>
#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "little_endian.h"
#include "tallowmere_dat/byte_source.h"
#include "tallowmere_dat/io_error.h"
#include "tallowmere_dat/read_error.h"

namespace tallowmere_dat {

/// The source-file label that the field frames of the archive records carry.
inline constexpr std::string_view kRecordSourceLabel = "crates/tallowmere-dat/src/lib";

namespace detail {

/// The wording of a field frame, "While parsing field 'F' in R": its lead and the joint between
/// field and record. Messages read the field and record back out of it.
inline constexpr std::string_view kFieldFrameLead = "While parsing field '";
inline constexpr std::string_view kFieldFrameJoint = "' in ";

/// Reads until `buffer` is full or the source ends; returns how many bytes arrived.
/// Interrupted reads are retried.
template <ByteSource S>
std::expected<std::size_t, IoError> read_up_to(S& source, std::span<std::uint8_t> buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    auto n = source.read(buffer.subspan(filled));
    if (!n) {
      if (n.error().kind() == IoErrorKind::Interrupted) continue;
      return std::unexpected(std::move(n.error()));
    }
    if (*n == 0) break;
    filled += *n;
  }
  return filled;
}

}  // namespace detail

/// Seeks back to `pos` after `error`; if that seek fails too, the seek's error becomes the
/// innermost error and `error` is kept as a frame under "rewinding after a failure".
template <ByteSource S>
ReadError rewind_after_failure(S& source, std::uint64_t pos, ReadError error) {
  auto seeked = source.seek(pos);
  if (seeked) return error;
  const BacktraceFrame note = BacktraceFrame::Message{"rewinding after a failure"};
  ReadError seek_error(std::move(seeked.error()));
  if (const auto* bt = error.get_if<ReadError::Backtrace>()) {
    ReadError::Backtrace swapped{std::make_shared<const ReadError>(std::move(seek_error)), {}};
    swapped.frames.push_back(note);
    swapped.frames.push_back(BacktraceFrame::Custom{bt->error});
    swapped.frames.insert(swapped.frames.end(), bt->frames.begin(), bt->frames.end());
    return swapped;
  }
  return ReadError::Backtrace{
      std::make_shared<const ReadError>(std::move(seek_error)),
      {note, BacktraceFrame::Custom{std::make_shared<const ReadError>(std::move(error))}}};
}

/// Reads exactly N bytes. A short read fails with "failed to fill whole buffer"; on any
/// failure the source is back where the read began.
template <std::size_t N, ByteSource S>
std::expected<std::array<std::uint8_t, N>, ReadError> read_bytes(S& source) {
  auto start = source.position();
  if (!start) return std::unexpected(ReadError(std::move(start.error())));
  std::array<std::uint8_t, N> bytes{};
  auto filled = detail::read_up_to(source, bytes);
  if (filled && *filled == N) return bytes;
  ReadError error = filled ? ReadError(IoError::fill_whole_buffer()) : ReadError(filled.error());
  return std::unexpected(rewind_after_failure(source, *start, std::move(error)));
}

/// Reads a counted byte array of exactly N bytes: fewer fail with "not enough bytes in reader".
/// Unlike the primitive reads it does not rewind; records do that.
template <std::size_t N, ByteSource S>
std::expected<std::array<std::uint8_t, N>, ReadError> read_counted(S& source) {
  std::array<std::uint8_t, N> bytes{};
  auto filled = detail::read_up_to(source, bytes);
  if (!filled) return std::unexpected(ReadError(std::move(filled.error())));
  if (*filled != N) return std::unexpected(ReadError(IoError::not_enough_bytes()));
  return bytes;
}

/// Little-endian u32.
template <ByteSource S>
std::expected<std::uint32_t, ReadError> read_u32(S& source) {
  auto bytes = read_bytes<4>(source);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  return detail::load_u32_le(*bytes);
}

/// Little-endian two's-complement i32.
template <ByteSource S>
std::expected<std::int32_t, ReadError> read_i32(S& source) {
  auto value = read_u32(source);
  if (!value) return std::unexpected(std::move(value.error()));
  return std::bit_cast<std::int32_t>(*value);
}

/// Little-endian IEEE 754 single, bit for bit (NaN payloads kept).
template <ByteSource S>
std::expected<float, ReadError> read_f32(S& source) {
  auto value = read_u32(source);
  if (!value) return std::unexpected(std::move(value.error()));
  return std::bit_cast<float>(*value);
}

/// Reads the fields of one record in declaration order. The first failing field gets one
/// context frame ("While parsing field 'F' in R", with the declaration's file and line), the
/// source is rewound to the record's start, and no later field is read.
template <ByteSource S>
class RecordReader {
 public:
  RecordReader(S& source, std::string_view record, std::string_view file)
      : source_(source), record_(record), file_(file) {
    auto start = source_.position();
    if (start) {
      start_ = *start;
    } else {
      error_ = ReadError(std::move(start.error()));
    }
  }

  /// Reads a little-endian u32 field.
  void field(std::uint32_t& out, std::string_view name, std::uint32_t line) {
    if (error_) return;
    take(read_u32(source_), out, name, line);
  }

  /// Reads a counted byte-array field of fixed length N.
  template <std::size_t N>
  void field(std::array<std::uint8_t, N>& out, std::string_view name, std::uint32_t line) {
    if (error_) return;
    take(read_counted<N>(source_), out, name, line);
  }

  /// The record, or the first field's error.
  template <typename R>
  std::expected<R, ReadError> finish(R record) && {
    if (error_) return std::unexpected(std::move(*error_));
    return record;
  }

 private:
  template <typename T>
  void take(std::expected<T, ReadError> value, T& out, std::string_view name, std::uint32_t line) {
    if (value) {
      out = std::move(*value);
      return;
    }
    BacktraceFrame frame =
        BacktraceFrame::Full{std::string(detail::kFieldFrameLead) + std::string(name) +
                                 std::string(detail::kFieldFrameJoint) + std::string(record_),
                             std::string(file_), line, std::nullopt};
    error_ = rewind_after_failure(source_, start_,
                                  with_context(std::move(value.error()), std::move(frame)));
  }

  S& source_;
  std::string_view record_;
  std::string_view file_;
  std::uint64_t start_ = 0;
  std::optional<ReadError> error_;
};

}  // namespace tallowmere_dat
