#pragma once

// LRS decoding as the stored bytes arrive, and the streamed read of a whole entry built on it:
// the output goes to a sink a chunk at a time, and only the last 4 KiB (as far back as a
// reference reaches) and the first byte (which references from before the start copy) are
// kept, so memory never follows the size a stream declares.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "block_chain.h"
#include "tallowmere_dat/chunk_sink.h"
#include "tallowmere_dat/dat_file_entry.h"
#include "tallowmere_dat/error.h"

namespace tallowmere_dat::detail {

/// Decodes a compressed entry's stored bytes, prefix included, fed in pieces of any size. The
/// output is that of `decompress_lrs`: decoding stops at the declared size, at an end marker,
/// at a reference met before any output, or where the input ends.
class LrsStream {
 public:
  /// The decoded bytes go to `sink`, in chunks of about `chunk` bytes (positive).
  explicit LrsStream(const ChunkSink& sink, std::size_t chunk = std::size_t{256} * 1024);

  /// Decodes the next stored bytes; once decoding has stopped, they are ignored. False when the
  /// sink asked to stop.
  bool feed(std::span<const std::uint8_t> stored);

  /// Hands over the bytes still held, once the input is complete. False when the sink asked to
  /// stop.
  bool finish();

  /// The size the prefix declares; nullopt while fewer than 4 bytes have been fed.
  std::optional<std::uint32_t> declared() const;

  /// How many bytes have been decoded.
  std::uint64_t produced() const { return produced_; }

 private:
  /// Makes room for `count` more bytes, handing over the buffer when it is full; false when the
  /// sink stops.
  bool reserve(std::size_t count);
  /// Decodes one token byte (after the prefix and the group's control byte).
  void token(std::uint8_t byte);

  const ChunkSink& sink_;
  std::size_t chunk_;
  std::vector<std::uint8_t> buffer_;
  std::size_t used_ = 0;       ///< Bytes of `buffer_` in use, the last of them the newest.
  std::size_t handed_to_ = 0;  ///< Bytes of `buffer_` already handed over.
  std::array<std::uint8_t, 4> prefix_{};
  std::size_t prefix_held_ = 0;
  std::uint32_t limit_ = 0;
  std::uint64_t produced_ = 0;
  std::uint8_t first_ = 0;
  unsigned control_ = 0;
  unsigned flag_ = 0;  ///< The control bit of the next token; 0 before a control byte.
  std::optional<std::uint8_t> low_;  ///< A reference's first byte, its second still to come.
  bool done_ = false;
  bool stopped_ = false;
};

/// `DatDatabase::stream_file` of `entry` read from `source`: its stored bytes streamed, and for a
/// compressed entry decoded as they come and checked against the declared size; with chunks of
/// about `chunk` bytes.
std::expected<void, DatError> stream_entry(const BlockSource& source, std::uint32_t block_size,
                                           const DatFileEntry& entry, const ChunkSink& sink,
                                           std::size_t chunk = kStreamChunk);

}  // namespace tallowmere_dat::detail
