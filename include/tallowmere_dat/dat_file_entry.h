#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

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
  /// Instantiated for `Cursor` and `File`.
  template <ByteSource S>
  [[nodiscard]] static std::expected<DatFileEntry, ReadError> read(S& source);

  /// The entry stored in `bytes`, its fields little-endian at their `kEntryFields` offsets.
  /// Cannot fail.
  [[nodiscard]] static constexpr DatFileEntry from_bytes(
      std::span<const std::uint8_t, kSize> bytes);

  friend bool operator==(const DatFileEntry&, const DatFileEntry&) = default;
};

/// One field of a directory entry as stored: its name, its offset within the entry's 24 bytes
/// (each field is a little-endian 32-bit number) and the member that holds it.
struct EntryField {
  std::string_view name;
  std::uint32_t offset = 0;
  std::uint32_t DatFileEntry::*member = nullptr;
};

/// The entry's six fields in file order: the one list its readers and printers are made from.
inline constexpr std::array<EntryField, 6> kEntryFields{{
    {"bit_flags", 0, &DatFileEntry::bit_flags},
    {"id", 4, &DatFileEntry::id},
    {"offset", 8, &DatFileEntry::offset},
    {"size", 12, &DatFileEntry::size},
    {"timestamp", 16, &DatFileEntry::timestamp},
    {"version", 20, &DatFileEntry::version},
}};

constexpr DatFileEntry DatFileEntry::from_bytes(std::span<const std::uint8_t, kSize> bytes) {
  DatFileEntry entry;
  for (const EntryField& field : kEntryFields) {
    std::uint32_t value = 0;
    for (std::uint32_t i = 0; i < 4; ++i)
      value |= std::uint32_t{bytes[field.offset + i]} << (8U * i);
    entry.*field.member = value;
  }
  return entry;
}

extern template std::expected<DatFileEntry, ReadError> DatFileEntry::read(Cursor&);
extern template std::expected<DatFileEntry, ReadError> DatFileEntry::read(File&);

}  // namespace tallowmere_dat
