#include "entry_content.h"

#include <new>
#include <optional>
#include <string>

#include "little_endian.h"
#include "tallowmere_dat/io_error.h"
#include "tallowmere_dat/lrs.h"

namespace tallowmere_dat::detail {

std::expected<std::uint32_t, DatError> declared_size(const DatFileEntry& entry,
                                                     std::span<const std::uint8_t> prefix) {
  if (!entry.is_compressed() || entry.size == 0) return entry.size;
  if (entry.size < 4) return std::unexpected(DatError(DatError::DecompressionFailed{entry.id}));
  return load_u32_le(prefix.first<4>());
}

std::expected<void, DatError> decompress_entry(std::uint32_t id,
                                               std::span<const std::uint8_t> stored,
                                               std::vector<std::uint8_t>& out, bool verified) {
  // A chain over overlapping blocks, or one looping within a large file, may legitimately store
  // gigabytes, whose output (up to eight times as much) may not fit: an error value like a chain
  // that can't grow, not the end of the process.
  std::optional<std::uint32_t> declared;
  try {
    declared = decompress_lrs_into(stored, out);
  } catch (const std::bad_alloc&) {
    return std::unexpected(DatError(IoError::with_message(
        IoErrorKind::OutOfMemory,
        "memory allocation failed decompressing " + std::to_string(stored.size()) + " bytes")));
  }
  // An empty entry is an empty file; any other must hold a prefix and produce all it declares.
  if (verified && !stored.empty() && (!declared || out.size() != *declared)) {
    return std::unexpected(DatError(DatError::DecompressionFailed{id}));
  }
  return {};
}

}  // namespace tallowmere_dat::detail
