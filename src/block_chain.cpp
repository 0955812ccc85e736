#include "tallowmere_dat/block_chain.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <new>
#include <string>
#include <utility>

#include "format_detail.h"
#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/file_ext.h"
#include "tallowmere_dat/lrs.h"

namespace tallowmere_dat {
namespace detail {
namespace {

constexpr std::uint32_t kPointerSize = 4;
/// The last block offset whose payload position (offset + 4) is still below 4 GiB.
constexpr std::uint32_t kLastBlockOffset = 0xFFFFFFFB;
/// The smallest step by which an output that outgrew the length hint grows.
constexpr std::size_t kMinGrowth = std::size_t{64} * 1024;

/// The result buffer of one chain read. It ends up `size` bytes long, but is allocated only as
/// far as the source can supply and then doubled each time it is full of bytes actually read, so
/// a `size` far beyond the file costs memory in proportion to the data, not to the declaration.
/// A looping chain, which legitimately yields more than the file holds, grows it the same way,
/// up to 4 GiB: more than a process may be allowed, so a failed allocation is an error value.
class ChainOutput {
 public:
  ChainOutput(std::uint32_t size, std::uint64_t length_hint)
      : size_(size), first_(static_cast<std::size_t>(std::min<std::uint64_t>(size, length_hint))) {}

  /// Where the next bytes go: up to `count` bytes at `at`, the number of bytes produced so far.
  /// Never empty while `count` is positive; fails with `OutOfMemory` when the buffer can't grow.
  std::expected<std::span<std::uint8_t>, IoError> room(std::size_t at, std::size_t count) {
    if (at == bytes_.size() && count > 0) {
      const std::size_t grown = std::min<std::size_t>(
          bytes_.empty() && first_ > 0 ? first_ : std::max(bytes_.size() * 2, kMinGrowth), size_);
      try {
        bytes_.resize(grown);
      } catch (const std::bad_alloc&) {
        return std::unexpected(IoError::with_message(
            IoErrorKind::OutOfMemory,
            "memory allocation of " + std::to_string(grown) + " bytes failed"));
      }
    }
    return std::span(bytes_).subspan(at, std::min(count, bytes_.size() - at));
  }

  std::vector<std::uint8_t> take() && { return std::move(bytes_); }

 private:
  std::size_t size_;
  std::size_t first_;
  std::vector<std::uint8_t> bytes_;
};

/// Reads `count` bytes at `position` into the output at `at`: one read unless the output has to
/// grow on the way.
std::expected<void, IoError> read_run(const BlockSource& source, ChainOutput& out,
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

}  // namespace

std::expected<void, IoError> FileBlockSource::read_at(std::span<std::uint8_t> head,
                                                      std::span<std::uint8_t> tail,
                                                      std::uint64_t offset) const {
  return read_exact_at_compat(file_, head, tail, offset);
}

// Each block is read with its pointer and payload slice in one request. That gives the same
// bytes and the same errors as reading the pointer first and the payload after it: both cover
// the same file range, and whichever way the pointer turns out, its payload slice is read from
// the same position, so any failure inside the slice fails either way.
std::expected<std::vector<std::uint8_t>, DatError> read_block_chain(const BlockSource& source,
                                                                    std::uint32_t block_size,
                                                                    std::uint32_t offset,
                                                                    std::uint32_t size) {
  ChainOutput out(size, source.length_hint());
  const std::size_t slice_limit = block_size > kPointerSize ? block_size - kPointerSize : 0;
  std::size_t filled = 0;
  std::uint32_t current = offset;
  while (filled < size) {
    if (current > kLastBlockOffset) {
      return std::unexpected(
          corruption("block offset " + hex32(current) + " leaves no payload position below 4 GiB"));
    }
    const std::uint64_t payload_at = std::uint64_t{current} + kPointerSize;
    const std::size_t remaining = size - filled;
    const std::size_t slice = std::min(remaining, slice_limit);

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
      return std::unexpected(corruption("block_size " + std::to_string(block_size) +
                                        " is too small to follow the next-block pointer at " +
                                        hex32(current)));
    }
    current = next;
  }
  return std::move(out).take();
}

}  // namespace detail

std::expected<std::vector<std::uint8_t>, DatError> DatDatabase::read_file_data(
    std::uint32_t offset, std::uint32_t size) const {
  return detail::read_block_chain(detail::FileBlockSource(file_, file_length_), header_.block_size,
                                  offset, size);
}

std::expected<std::vector<std::uint8_t>, DatError> DatDatabase::get_file(std::uint32_t id) const {
  const auto found = files_.find(id);
  if (found == files_.end()) return std::unexpected(DatError(DatError::NotFound{id}));
  auto stored = read_file_data(found->second.offset, found->second.size);
  if (!stored || !found->second.is_compressed()) return stored;
  return decompress_lrs(*stored);
}

}  // namespace tallowmere_dat
