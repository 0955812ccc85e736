#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>

#include "tallowmere_dat/byte_source.h"
#include "tallowmere_dat/file.h"
#include "tallowmere_dat/read_error.h"

namespace tallowmere_dat {

/// One 24-byte directory entry.
struct DatFileEntry {
  static constexpr std::size_t kSize = 24;

  std::uint32_t bit_flags = 0;
  std::uint32_t id = 0;
  std::uint32_t offset = 0;  ///< First block of the file's chain.
  std::uint32_t size = 0;    ///< Stored bytes (compressed size for a compressed entry).
  std::uint32_t timestamp = 0;
  std::uint32_t version = 0;

  /// True when bit 0 of `bit_flags` is set: the stored bytes are LRS-compressed.
  [[nodiscard]] bool is_compressed() const { return (bit_flags & 1U) != 0; }

  /// Reads the entry's fields in order, little-endian, by the same rules as `DatHeader::read`.
  template <ByteSource S>
  [[nodiscard]] static std::expected<DatFileEntry, ReadError> read(S& source);

  friend bool operator==(const DatFileEntry&, const DatFileEntry&) = default;
};

extern template std::expected<DatFileEntry, ReadError> DatFileEntry::read(Cursor&);
extern template std::expected<DatFileEntry, ReadError> DatFileEntry::read(File&);

}  // namespace tallowmere_dat
