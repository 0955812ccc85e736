#include "block_chain.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "chain_trace.h"
#include "format_detail.h"
#include "huge_pages.h"

namespace tallowmere_dat {
namespace detail {
namespace {

constexpr std::uint32_t kPointerSize = 4;
/// The smallest step by which an output that outgrew the length hint grows.
constexpr std::size_t kMinGrowth = std::size_t{64} * 1024;

/// The result buffer of one chain read. It ends up `size` bytes long, but is allocated only as
/// far as the source can supply and then doubled each time it is full of bytes actually read, so
/// a `size` far beyond the file costs memory in proportion to the data, not to the declaration.
/// A chain over overlapping blocks legitimately yields more than the file holds and grows it the
/// same way, up to 4 GiB: more than a process may be allowed, so a failed allocation is an error
/// value. Whatever capacity the buffer already has is used before anything is allocated.
class ChainOutput {
 public:
  ChainOutput(std::vector<std::uint8_t>& bytes, std::uint32_t size, std::uint64_t length_hint)
      : size_(size),
        first_(static_cast<std::size_t>(std::min<std::uint64_t>(size, length_hint))),
        bytes_(bytes) {
    // The capacity stays; bytes are appended where they can be, since bytes a resize adds are
    // zeroed first, a second pass over every file.
    bytes_.clear();
  }

  /// Where the next bytes go: up to `count` bytes at `at`, the number of bytes produced so far.
  /// Never empty while `count` is positive; fails with `OutOfMemory` when the buffer can't grow.
  std::expected<std::span<std::uint8_t>, IoError> room(std::size_t at, std::size_t count) {
    if (at == bytes_.size() && count > 0) {
      const std::size_t grown = std::min<std::size_t>(
          bytes_.empty() && first_ > 0 ? first_ : std::max({bytes_.size() * 2, first_, kMinGrowth}),
          size_);
      if (auto reserved = reserve(grown); !reserved) return std::unexpected(reserved.error());
      bytes_.resize(grown);
    }
    return std::span(bytes_).subspan(at, std::min(count, bytes_.size() - at));
  }

  /// Copies `bytes` in at `at`, the number of bytes produced so far (at most the buffer's
  /// length), appending what goes beyond the buffer.
  std::expected<void, IoError> write(std::size_t at, std::span<const std::uint8_t> bytes) {
    const std::size_t inside = std::min(bytes.size(), bytes_.size() - at);
    std::copy_n(bytes.begin(), inside, bytes_.begin() + static_cast<std::ptrdiff_t>(at));
    bytes = bytes.subspan(inside);
    if (bytes.empty()) return {};
    const std::size_t end = bytes_.size() + bytes.size();
    if (end > bytes_.capacity()) {
      const std::size_t grown =
          std::min<std::size_t>(std::max({end, bytes_.capacity() * 2, first_, kMinGrowth}), size_);
      if (auto reserved = reserve(std::max(grown, end)); !reserved) return reserved;
    }
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return {};
  }

  /// The buffer as allocated so far.
  std::span<std::uint8_t> data() { return bytes_; }

 private:
  std::expected<void, IoError> reserve(std::size_t capacity) {
    try {
      if (capacity <= bytes_.capacity()) return {};
      bytes_.reserve(capacity);
      advise_huge_pages(bytes_.data() + bytes_.size(), bytes_.capacity() - bytes_.size());
    } catch (const std::bad_alloc&) {
      return std::unexpected(IoError::with_message(
          IoErrorKind::OutOfMemory,
          "memory allocation of " + std::to_string(capacity) + " bytes failed"));
    }
    return {};
  }

  std::size_t size_;
  std::size_t first_;
  std::vector<std::uint8_t>& bytes_;
};

/// A caller's buffer as the result of a chain read: all room is there from the start.
class FixedOutput {
 public:
  explicit FixedOutput(std::span<std::uint8_t> bytes) : bytes_(bytes) {}

  std::expected<std::span<std::uint8_t>, IoError> room(std::size_t at, std::size_t count) {
    return bytes_.subspan(at, std::min(count, bytes_.size() - at));
  }

  std::span<std::uint8_t> data() { return bytes_; }

 private:
  std::span<std::uint8_t> bytes_;
};

/// Reads `count` bytes at `position` into the output at `at`: one read unless the output has to
/// grow on the way.
template <typename Output>
std::expected<void, IoError> read_run(const BlockSource& source, Output& out,
                                      std::uint64_t position, std::size_t at, std::size_t count) {
  while (count > 0) {
    const auto room = out.room(at, count);
    if (!room) return std::unexpected(room.error());
    if (auto read = source.read_at(*room, {}, position); !read) return read;
    position += room->size();
    at += room->size();
    count -= room->size();
  }
  return {};
}

/// Copies `bytes` into the output at `at`, growing it as needed.
template <typename Output>
std::expected<void, IoError> copy_out(Output& out, std::size_t at,
                                      std::span<const std::uint8_t> bytes) {
  if constexpr (requires { out.write(at, bytes); }) return out.write(at, bytes);
  while (!bytes.empty()) {
    const auto room = out.room(at, bytes.size());
    if (!room) return std::unexpected(room.error());
    std::copy_n(bytes.begin(), room->size(), room->begin());
    at += room->size();
    bytes = bytes.subspan(room->size());
  }
  return {};
}

/// Fills the output from `filled` up to `size` with what it holds from `start` on, over and
/// over: from `start` it repeats with period `filled` - `start` (positive). Each copy takes whole
/// periods from as far back as the repetition already reaches, so the copies double in length.
template <typename Output>
std::expected<void, IoError> repeat_period(Output& out, std::size_t start, std::size_t filled,
                                           std::size_t size) {
  const std::size_t period = filled - start;
  while (filled < size) {
    const std::size_t distance = (filled - start) / period * period;
    const auto room = out.room(filled, std::min(distance, size - filled));
    if (!room) return std::unexpected(room.error());
    const std::span<const std::uint8_t> from = out.data().subspan(filled - distance, room->size());
    std::copy(from.begin(), from.end(), room->begin());
    filled += room->size();
  }
  return {};
}

/// The most blocks traced ahead of a read whose size exceeds the file, which keeps the trace
/// within a few MiB; a longer chain is left to the read, which meets the same errors later.
constexpr std::uint64_t kDoomTraceBlocks = std::uint64_t{1} << 15U;

/// The most a read-ahead covers: a few hundred KiB-sized blocks per request, and still inside a
/// core's cache (512 KiB of L2 on the machines measured) when the payloads are copied out. Half
/// the cache read 0.85x as fast as one `pread` of the span, a quarter 0.76x, the whole 0.79x.
constexpr std::size_t kWindowBytes = std::size_t{256} * 1024;
/// Windows up to this size live on the stack, so that short chains (directory nodes, most
/// files) cost no allocation.
constexpr std::size_t kStackWindowBytes = 4096;

/// Read-ahead over adjacent blocks. Where a chain's next block starts right where the current
/// one ends, one request fetches the run of blocks that the chain would occupy if it stayed
/// adjacent, and the pointers are then walked inside that window: as long as each one names the
/// block right behind it, the payload is copied out of the window instead of read. At the first
/// pointer that leads elsewhere the window is abandoned and the chain goes on with exact reads.
///
/// The window never changes what is reported. It only covers bytes that the exact reads of the
/// blocks it serves would cover, plus bytes of blocks the chain may not visit; so when it
/// succeeds, those exact reads would have succeeded with the same bytes, and when it fails (an
/// error or the end of the file, maybe in bytes the chain never needed), it is dropped and the
/// same block is read exactly, with read-ahead off for the rest of the chain.
class ReadAhead {
 public:
  ReadAhead(std::uint32_t block_size, std::uint64_t length_hint)
      : block_size_(block_size), length_hint_(length_hint) {}

  /// How far a walk got: the block to go on from (with whether it is the one right after the
  /// last block consumed), the end of the chain, or a block that `loop` has seen met again.
  struct Progress {
    bool done = false;
    bool looped = false;
    std::uint32_t current = 0;
    bool adjacent = false;
  };

  /// Tries to serve the chain from `current` on, with `remaining` bytes still wanted at `filled`,
  /// telling `loop` of every block met after `current`. Returns nullopt when no window was read
  /// (too short a run to be worth it, or read-ahead is off after a failure), so the caller reads
  /// the block exactly.
  template <typename Output>
  std::expected<std::optional<Progress>, DatError> serve(const BlockSource& source, Output& out,
                                                         LoopDetector& loop, std::uint32_t current,
                                                         std::size_t& filled,
                                                         std::size_t remaining) {
    const std::size_t slice_limit = block_size_ - kPointerSize;
    std::uint64_t blocks = (std::uint64_t{remaining} + slice_limit - 1) / slice_limit;
    blocks = std::min<std::uint64_t>(blocks, kWindowBytes / block_size_);
    // Keep within the file as last seen: near its end a window would only fail.
    const std::uint64_t room_in_file =
        length_hint_ > current ? length_hint_ - current : std::uint64_t{0};
    blocks = std::min<std::uint64_t>(blocks, room_in_file / block_size_);
    if (!enabled_ || blocks < 2) return std::nullopt;

    const std::uint64_t last_slice =
        std::min<std::uint64_t>(slice_limit, remaining - (blocks - 1) * slice_limit);
    const auto length =
        static_cast<std::size_t>((blocks - 1) * block_size_ + kPointerSize + last_slice);
    const std::span<std::uint8_t> window = buffer(length);
    if (window.empty()) return std::nullopt;
    if (auto read = source.read_at(window, {}, current); !read) {
      enabled_ = false;
      return std::nullopt;
    }

    std::size_t at = 0;  // the current block's position in the window
    while (true) {
      const std::uint32_t next = load_u32_le(window.subspan(at).first<kPointerSize>());
      const std::size_t slice = std::min(remaining, slice_limit);
      const std::span<const std::uint8_t> payload = window.subspan(at + kPointerSize);
      if (next == 0 && remaining > slice) {
        // The rest is one contiguous run: what the window holds of it, then the file.
        const std::size_t held = std::min(remaining, payload.size());
        if (auto copied = copy_out(out, filled, payload.first(held)); !copied) {
          return std::unexpected(DatError(std::move(copied.error())));
        }
        if (auto read = read_run(source, out, std::uint64_t{current} + kPointerSize + held,
                                 filled + held, remaining - held);
            !read) {
          return std::unexpected(DatError(std::move(read.error())));
        }
        filled += remaining;
        return Progress{.done = true};
      }
      if (auto copied = copy_out(out, filled, payload.first(slice)); !copied) {
        return std::unexpected(DatError(std::move(copied.error())));
      }
      filled += slice;
      remaining -= slice;
      if (remaining == 0) return Progress{.done = true};
      const bool adjacent = std::uint64_t{next} == std::uint64_t{current} + block_size_;
      const bool in_window = at + block_size_ < window.size();
      if (!adjacent || !in_window || next > kLastBlockOffset) {
        return Progress{.current = next, .adjacent = adjacent};
      }
      current = next;
      at += block_size_;
      if (loop.meets(current, filled)) return Progress{.looped = true};
    }
  }

 private:
  /// `length` bytes of scratch, or an empty span when it can't be had (read-ahead is then off;
  /// exact reads need no scratch).
  std::span<std::uint8_t> buffer(std::size_t length) {
    if (length <= stack_.size()) return std::span(stack_).first(length);
    if (heap_size_ < length) {
      // Sized for the longest window this chain can still ask for, so it is allocated once.
      try {
        heap_ = std::make_unique_for_overwrite<std::uint8_t[]>(kWindowBytes);
        heap_size_ = kWindowBytes;
      } catch (const std::bad_alloc&) {
        enabled_ = false;
        return {};
      }
    }
    return {heap_.get(), length};
  }

  std::uint32_t block_size_;
  std::uint64_t length_hint_;
  bool enabled_ = true;
  std::array<std::uint8_t, kStackWindowBytes> stack_;
  std::unique_ptr<std::uint8_t[]> heap_;
  std::size_t heap_size_ = 0;
};

/// The error for a block at `block`, beyond `kLastBlockOffset`. Its pointer is read first, as
/// following the chain would, so a file too short to hold it reports that read's error.
DatError unreachable_payload(const BlockSource& source, std::uint32_t block) {
  std::array<std::uint8_t, kPointerSize> pointer{};
  if (auto read = source.read_at(pointer, {}, block); !read) {
    return DatError(std::move(read.error()));
  }
  return corruption("block offset " + hex32(block) + " leaves no payload position below 4 GiB");
}

/// The error for a non-zero pointer at `block` that a `block_size` of 4 or less can't follow.
DatError block_size_too_small(std::uint32_t block_size, std::uint32_t block) {
  return corruption("block_size " + std::to_string(block_size) +
                    " is too small to follow the next-block pointer at " + hex32(block));
}

/// The error for a chain at `offset` that comes back to `block` while `size` bytes, more than
/// the source holds, are wanted.
DatError loops_beyond_file(const BlockSource& source, std::uint32_t offset, std::uint32_t block,
                           std::uint32_t size) {
  return corruption("block chain at " + hex32(offset) + " loops back to block " + hex32(block) +
                    " for a size of " + std::to_string(size) + " bytes, more than the file's " +
                    std::to_string(source.length_hint()));
}

/// Where a walk along a chain stopped: with every byte in, or at a block met again, from which
/// on the output repeats itself from `repeat_from`.
struct WalkEnd {
  std::optional<std::size_t> repeat_from;
  std::size_t filled = 0;
  std::uint64_t blocks_met = 0;
  /// The block met again, whose first visit produced the bytes from `repeat_from` on.
  std::uint32_t loop_block = 0;
};

/// Walks the chain into `out` until every byte is in or a block is met again. Each block is read
/// with its pointer and payload slice in one request. That gives the same bytes and the same
/// errors as reading the pointer first and the payload after it: both cover the same file range,
/// and whichever way the pointer turns out, its payload slice is read from the same position, so
/// any failure inside the slice fails either way. Runs of adjacent blocks are served by
/// read-ahead windows (see `ReadAhead`).
template <typename Output>
std::expected<WalkEnd, DatError> walk_chain(const BlockSource& source, std::uint32_t block_size,
                                            std::uint32_t offset, std::uint32_t size, Output& out) {
  const std::size_t slice_limit = block_size > kPointerSize ? block_size - kPointerSize : 0;
  ReadAhead ahead(block_size, source.length_hint());
  LoopDetector loop;
  std::size_t filled = 0;
  const auto looped = [&] {
    return WalkEnd{.repeat_from = static_cast<std::size_t>(loop.start()),
                   .filled = filled,
                   .blocks_met = loop.met(),
                   .loop_block = loop.block()};
  };
  std::uint32_t current = offset;
  // The first block counts as adjacent: a chain written in one go is likely to be a run.
  bool adjacent = true;
  while (filled < size) {
    if (loop.meets(current, filled)) return looped();
    if (current > kLastBlockOffset) return std::unexpected(unreachable_payload(source, current));
    const std::uint64_t payload_at = std::uint64_t{current} + kPointerSize;
    const std::size_t remaining = size - filled;
    const std::size_t slice = std::min(remaining, slice_limit);

    if (adjacent && remaining > slice_limit && slice_limit > 0) {
      auto served = ahead.serve(source, out, loop, current, filled, remaining);
      if (!served) return std::unexpected(std::move(served.error()));
      if (const std::optional<ReadAhead::Progress> progress = *served) {
        if (progress->done) break;
        if (progress->looped) return looped();
        current = progress->current;
        adjacent = progress->adjacent;
        continue;
      }
    }

    std::array<std::uint8_t, kPointerSize> pointer{};
    const auto room = out.room(filled, slice);
    if (!room) return std::unexpected(DatError(room.error()));
    const std::span<std::uint8_t> first = *room;
    if (auto read = source.read_at(pointer, first, current); !read) {
      return std::unexpected(DatError(std::move(read.error())));
    }
    if (auto read = read_run(source, out, payload_at + first.size(), filled + first.size(),
                             slice - first.size());
        !read) {
      return std::unexpected(DatError(std::move(read.error())));
    }
    const std::uint32_t next = load_u32_le(pointer);
    if (next == 0) {
      // Everything still wanted is one contiguous run from this payload on, not just one block.
      if (auto read = read_run(source, out, payload_at + slice, filled + slice, remaining - slice);
          !read) {
        return std::unexpected(DatError(std::move(read.error())));
      }
      break;
    }
    filled += slice;
    if (slice_limit == 0) {
      // Bytes are still wanted, but following the pointer takes none: a looping chain never ends.
      return std::unexpected(block_size_too_small(block_size, current));
    }
    adjacent = std::uint64_t{next} == std::uint64_t{current} + block_size;
    current = next;
  }
  return WalkEnd{.repeat_from = std::nullopt, .filled = size, .blocks_met = loop.met()};
}

/// Reads the file from `begin` up to `end` in pieces through `scratch`, as one read of it would
/// go: the first piece that fails gives the error.
std::expected<void, IoError> read_through(const BlockSource& source, std::uint64_t begin,
                                          std::uint64_t end, std::span<std::uint8_t> scratch) {
  while (begin < end) {
    const auto count =
        static_cast<std::size_t>(std::min<std::uint64_t>(end - begin, scratch.size()));
    if (auto read = source.read_at(scratch.first(count), {}, begin); !read) return read;
    begin += count;
  }
  return {};
}

/// Whether the file bytes that the walk reads for `blocks` can all be read: each block's
/// pointer and payload. Ranges that overlap are read once, so this costs at most the file's
/// length in reads, however many payloads the blocks make.
bool blocks_readable(const BlockSource& source, std::span<const TracedBlock> blocks,
                     std::span<std::uint8_t> scratch) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  ranges.reserve(blocks.size());
  for (const TracedBlock& block : blocks)
    ranges.emplace_back(block.offset, block.payload_end);
  std::ranges::sort(ranges);
  std::uint64_t done = 0;  // everything before this is read
  for (const auto& [begin, end] : ranges) {
    if (!read_through(source, std::max(begin, done), end, scratch)) return false;
    done = std::max(done, end);
  }
  return true;
}

/// The error a read of the chain is bound to meet, found by tracing its pointers, or nothing
/// when the chain may be complete (or the trace can't tell). Only a size beyond the source's
/// length is traced: there a doomed chain could cost memory or output out of proportion to the
/// file before its error, and only there does a loop fail. Each error is the one the walk
/// reports: the trace stops where the walk would; every byte the walk reads on the way is read
/// once, so that a failing read among them leaves the verdict to the walk; and a block past the
/// end is read as the walk reads it, to give that read's own error.
std::optional<DatError> doomed_chain(const BlockSource& source, std::uint32_t block_size,
                                     std::uint32_t offset, std::uint32_t size) {
  const std::uint64_t length = source.length_hint();
  if (size <= length) return std::nullopt;
  try {
    const auto trace = trace_chain(source, block_size, offset, size, length, kDoomTraceBlocks);
    if (!trace || trace->end == ChainEnd::Complete || trace->end == ChainEnd::OverBudget) {
      return std::nullopt;
    }
    std::span<const TracedBlock> read_before = trace->blocks;
    if (trace->end == ChainEnd::PastEnd) read_before = read_before.first(read_before.size() - 1);
    // As long as the longest block's range, up to a read-ahead window.
    std::uint64_t longest = 0;
    for (const TracedBlock& block : trace->blocks)
      longest = std::max(longest, block.payload_end - block.offset);
    std::vector<std::uint8_t> scratch(std::min<std::uint64_t>(longest, kWindowBytes));
    if (!blocks_readable(source, read_before, scratch)) return std::nullopt;
    switch (trace->end) {
      case ChainEnd::Loop:
        return loops_beyond_file(source, offset, trace->at, size);
      case ChainEnd::BadOffset:
        return unreachable_payload(source, trace->at);
      case ChainEnd::BlockSizeTooSmall:
        return block_size_too_small(block_size, trace->blocks.back().offset);
      default: {
        // The file may have grown since it was measured: then the walk decides.
        const TracedBlock& last = trace->blocks.back();
        auto read = read_through(source, last.offset, last.payload_end, scratch);
        if (read) return std::nullopt;
        return DatError(std::move(read.error()));
      }
    }
  } catch (const std::bad_alloc&) {
    return std::nullopt;  // the walk meets the same chain with what memory there is
  }
}

/// Chunks of a streamed read handed to a sink: one buffer, handed over each time it is full and
/// then refilled, so memory never follows the size.
class StreamOutput {
 public:
  StreamOutput(const ChunkSink& sink, std::span<std::uint8_t> buffer)
      : sink_(sink), buffer_(buffer) {}

  /// Room at `at`, the bytes produced so far: every byte before it is in, so a full buffer is
  /// handed over first. Fails when the sink asks to stop (`stopped` then says so).
  std::expected<std::span<std::uint8_t>, IoError> room(std::size_t at, std::size_t count) {
    if (at - base_ == buffer_.size()) {
      if (!hand_over(buffer_)) {
        return std::unexpected(
            IoError::with_message(IoErrorKind::Interrupted, "the reader stopped the stream"));
      }
      base_ = at;
    }
    const std::size_t from = at - base_;
    return buffer_.subspan(from, std::min(count, buffer_.size() - from));
  }

  /// Hands over what the buffer holds once `end` bytes are produced; false when the sink stops.
  bool finish(std::size_t end) { return end == base_ || hand_over(buffer_.first(end - base_)); }

  bool stopped() const { return stopped_; }

 private:
  bool hand_over(std::span<const std::uint8_t> chunk) {
    stopped_ = !sink_(chunk);
    return !stopped_;
  }

  const ChunkSink& sink_;
  std::span<std::uint8_t> buffer_;
  std::size_t base_ = 0;
  bool stopped_ = false;
};

/// An output seen from `shift` bytes on, so that a walk starting at 0 continues it.
template <typename Output>
class ShiftedOutput {
 public:
  ShiftedOutput(Output& out, std::size_t shift) : out_(out), shift_(shift) {}

  std::expected<std::span<std::uint8_t>, IoError> room(std::size_t at, std::size_t count) {
    return out_.room(shift_ + at, count);
  }

 private:
  Output& out_;
  std::size_t shift_;
};

/// Periods up to this size are read once and their copies repeated from memory; longer ones
/// are read again each time round, so a stream keeps no period in memory.
constexpr std::size_t kKeptPeriod = std::size_t{64} * 1024;

/// The streamed counterpart of `repeat_period`: the output from `filled` up to `size` goes round
/// the loop again, period after period from `loop_block`, whose bytes are those produced since
/// that block's first visit at `start` (every block of a loop gives a whole slice).
std::expected<void, DatError> replay_period(const BlockSource& source, std::uint32_t block_size,
                                            std::uint32_t loop_block, std::size_t start,
                                            std::size_t filled, std::uint32_t size,
                                            StreamOutput& out) {
  const std::size_t period = filled - start;
  if (period <= kKeptPeriod) {
    // As many whole periods as fit in the kept size, so that each copy moves a lot.
    std::vector<std::uint8_t> periods(
        std::min<std::size_t>(kKeptPeriod / period * period, size - filled + period - 1) / period *
        period);
    FixedOutput once(periods);
    auto read =
        walk_chain(source, block_size, loop_block, static_cast<std::uint32_t>(period), once);
    if (!read) return std::unexpected(std::move(read.error()));
    if (auto copied = repeat_period(once, 0, period, periods.size()); !copied) {
      return std::unexpected(DatError(std::move(copied.error())));
    }
    for (; filled < size; filled += std::min(periods.size(), size - filled)) {
      const std::span<const std::uint8_t> copy =
          std::span(periods).first(std::min(periods.size(), size - filled));
      if (auto copied = copy_out(out, filled, copy); !copied) {
        return std::unexpected(DatError(std::move(copied.error())));
      }
    }
    return {};
  }
  for (; filled < size; filled += std::min(period, size - filled)) {
    ShiftedOutput shifted(out, filled);
    auto read = walk_chain(source, block_size, loop_block,
                           static_cast<std::uint32_t>(std::min(period, size - filled)), shifted);
    if (!read) return std::unexpected(std::move(read.error()));
  }
  return {};
}

/// Reads the chain into `out`. A chain that comes back to a block already read repeats what it
/// produced since that block's first visit, so the rest is copied rather than read again (or,
/// streamed, read again without being kept). Where `size` exceeds the source's length, such a
/// chain is refused before the copies are made: a few KiB of file can't make the reader fill
/// gigabytes; and the chain is traced first, so that one bound to fail does so at once.
template <typename Output>
std::expected<void, DatError> follow_chain(const BlockSource& source, std::uint32_t block_size,
                                           std::uint32_t offset, std::uint32_t size, Output& out) {
  if (std::optional<DatError> doomed = doomed_chain(source, block_size, offset, size)) {
    return std::unexpected(std::move(*doomed));
  }
  auto walked = walk_chain(source, block_size, offset, size, out);
  if (!walked) return std::unexpected(std::move(walked.error()));
  // The walker may notice a return late, or not before the end: the trace tells exactly
  // whether the chain came back to a block while bytes were still wanted. The blocks were all
  // read just now, so the trace is not cut at the length seen at the open.
  if (size > source.length_hint()) {
    const auto trace = trace_chain(source, block_size, offset, size,
                                   std::numeric_limits<std::uint64_t>::max(), walked->blocks_met);
    if (trace && trace->end == ChainEnd::Loop) {
      return std::unexpected(loops_beyond_file(source, offset, trace->at, size));
    }
  }
  const std::optional<std::size_t> from = walked->repeat_from;
  if (!from) return {};
  if constexpr (std::is_same_v<Output, StreamOutput>) {
    return replay_period(source, block_size, walked->loop_block, *from, walked->filled, size, out);
  } else {
    if (auto copied = repeat_period(out, *from, walked->filled, size); !copied) {
      return std::unexpected(DatError(std::move(copied.error())));
    }
    return {};
  }
}

}  // namespace

std::expected<std::vector<std::uint8_t>, DatError> read_block_chain(const BlockSource& source,
                                                                    std::uint32_t block_size,
                                                                    std::uint32_t offset,
                                                                    std::uint32_t size) {
  std::vector<std::uint8_t> bytes;
  if (auto read = read_block_chain_into(source, block_size, offset, size, bytes); !read) {
    return std::unexpected(std::move(read.error()));
  }
  return bytes;
}

std::expected<void, DatError> read_block_chain_into(const BlockSource& source,
                                                    std::uint32_t block_size, std::uint32_t offset,
                                                    std::span<std::uint8_t> buffer) {
  FixedOutput out(buffer);
  return follow_chain(source, block_size, offset, static_cast<std::uint32_t>(buffer.size()), out);
}

std::expected<void, DatError> read_block_chain_into(const BlockSource& source,
                                                    std::uint32_t block_size, std::uint32_t offset,
                                                    std::uint32_t size,
                                                    std::vector<std::uint8_t>& buffer) {
  ChainOutput out(buffer, size, source.length_hint());
  return follow_chain(source, block_size, offset, size, out);
}

std::expected<void, DatError> stream_block_chain(const BlockSource& source,
                                                 std::uint32_t block_size, std::uint32_t offset,
                                                 std::uint32_t size, const ChunkSink& sink,
                                                 std::size_t chunk) {
  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(std::min<std::size_t>(size, chunk));
  } catch (const std::bad_alloc&) {
    return std::unexpected(DatError(IoError::with_message(
        IoErrorKind::OutOfMemory, "memory allocation of a stream's buffer failed")));
  }
  StreamOutput out(sink, buffer);
  auto followed = follow_chain(source, block_size, offset, size, out);
  if (out.stopped()) return {};
  if (!followed) return followed;
  (void)out.finish(size);
  return {};
}

}  // namespace detail

}  // namespace tallowmere_dat
