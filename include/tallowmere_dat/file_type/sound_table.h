#pragma once

// The sound table: which waves can play in each sound slot, with their priority, probability
// and volume. Its decoder validates nothing; the only failure is the data ending early.

#include <cstdint>
#include <expected>
#include <functional>
#include <vector>

#include "tallowmere_dat/byte_source.h"
#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/error.h"
#include "tallowmere_dat/file.h"
#include "tallowmere_dat/flat_map.h"
#include "tallowmere_dat/read_error.h"

namespace tallowmere_dat::file_type {

/// One hash record's values (its key is the map key). Stored, not interpreted.
struct SoundHashData {
  float priority = 0;
  float probability = 0;
  float volume = 0;

  /// Reads `priority`, `probability` and `volume` (f32 each) from any byte source. On failure
  /// the source is at the start of the number that could not be read, and the error is that
  /// read's, unframed.
  template <ByteSource S>
  [[nodiscard]] static std::expected<SoundHashData, ReadError> read(S& reader);

  /// Compares by value: a NaN field makes two records unequal.
  friend bool operator==(const SoundHashData&, const SoundHashData&) = default;
};

/// One wave that can play in a slot.
struct SoundEntry {
  std::uint32_t wave_did = 0;
  float priority = 0;
  float probability = 0;
  float volume = 0;

  /// Reads `wave_did` (u32), then `priority`, `probability` and `volume` (f32 each). Fails as
  /// `SoundHashData::read` does.
  template <ByteSource S>
  [[nodiscard]] static std::expected<SoundEntry, ReadError> read(S& reader);

  friend bool operator==(const SoundEntry&, const SoundEntry&) = default;
};

/// One sound slot's value (its key is the map key).
struct SoundData {
  // GCC 12 warns about designated initializers that skip a member without an initializer.
  // NOLINTBEGIN(readability-redundant-member-init)
  std::vector<SoundEntry> entries{};  ///< In file order; may be empty.
  // NOLINTEND(readability-redundant-member-init)
  std::int32_t unknown = 0;  ///< Stored, not interpreted.

  /// Reads the entry count (u32), that many entries, then `unknown` (i32). Fails as
  /// `SoundHashData::read` does, returning nothing of the entries read so far.
  template <ByteSource S>
  [[nodiscard]] static std::expected<SoundData, ReadError> read(S& reader);

  friend bool operator==(const SoundData&, const SoundData&) = default;
};

/// One record of a sound table as its decoder meets it, for a caller that wants to see where
/// each lies (`SoundTable::read` with an observer).
struct SoundTableRecord {
  enum class Kind : std::uint8_t {
    Id,           ///< The table's own `id`; `value` is it.
    HashKey,      ///< `hash_key`; `value` is its bits.
    HashCount,    ///< The hash records' count; `value` is its bits.
    HashRecord,   ///< A hash record; `value` is its key.
    SoundCount,   ///< The sound records' count; `value` is its bits.
    SoundRecord,  ///< A sound record; `value` is its slot key, `entries` its entry count.
  };
  Kind kind = Kind::Id;
  std::uint32_t value = 0;
  std::uint32_t entries = 0;
  /// Where the record lies, counted from the position the decoder started at.
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

/// Told of each record a sound-table decoder reads, in order, once the record is complete.
using SoundTableObserver = std::function<void(const SoundTableRecord&)>;

/// A decoded sound-table file.
struct SoundTable {
  std::uint32_t id = 0;  ///< As stored; not compared with the archive identifier.
  std::int32_t hash_key = 0;
  // GCC 12 warns about designated initializers that skip a member without an initializer.
  // NOLINTBEGIN(readability-redundant-member-init)
  FlatMap<std::uint32_t, SoundHashData> hashes{};  ///< Ascending by key.
  FlatMap<std::uint32_t, SoundData> sounds{};      ///< Ascending by slot key.
  // NOLINTEND(readability-redundant-member-init)

  /// Decodes a table starting at the source's position: `id`, `hash_key`, the hash count and
  /// records, the sound count and records. A negative count means no records; a repeated key
  /// keeps the later record; bytes after the last sound record are left unread. On success the
  /// source is just past the last sound record. On failure (the data ends inside a number) the
  /// error is that number's bare end-of-data `ReadError`, the source is at that number's start,
  /// and nothing decoded is returned; any other failure of the source is returned as its `Io`
  /// error. When the maps can't get memory (only an input of gigabytes needs that much), the
  /// error is `Io` of kind `OutOfMemory`. The library instantiates the readers for `Cursor` (the
  /// fast one) and `File`.
  template <ByteSource S>
  [[nodiscard]] static std::expected<SoundTable, ReadError> read(S& reader);

  /// `read`, telling `observer` of each record as it completes, with where it lies. The result
  /// and errors are `read`'s; on failure the records told of are those before the one that
  /// failed.
  [[nodiscard]] static std::expected<SoundTable, ReadError> read(
      Cursor& reader, const SoundTableObserver& observer);

  friend bool operator==(const SoundTable&, const SoundTable&) = default;
};

extern template std::expected<SoundHashData, ReadError> SoundHashData::read(Cursor&);
extern template std::expected<SoundHashData, ReadError> SoundHashData::read(File&);
extern template std::expected<SoundEntry, ReadError> SoundEntry::read(Cursor&);
extern template std::expected<SoundEntry, ReadError> SoundEntry::read(File&);
extern template std::expected<SoundData, ReadError> SoundData::read(Cursor&);
extern template std::expected<SoundData, ReadError> SoundData::read(File&);
extern template std::expected<SoundTable, ReadError> SoundTable::read(Cursor&);
extern template std::expected<SoundTable, ReadError> SoundTable::read(File&);

}  // namespace tallowmere_dat::file_type

namespace tallowmere_dat {

/// The type byte of sound tables.
inline constexpr std::uint8_t kSoundTableType = 0x20;

/// True when the identifier's type byte is 0x20, the sound-table type.
[[nodiscard]] constexpr bool is_sound_table_id(std::uint32_t id) {
  return type_of(id) == kSoundTableType;
}

/// The archive's sound-table identifiers, ascending. Cannot fail.
[[nodiscard]] std::vector<std::uint32_t> sound_table_ids(const DatDatabase& db);

/// The decoded sound table of file `id`: retrieved and checked as `get_file_verified` does, then
/// decoded from its first byte. Fails with retrieval's `DatError` (`NotFound`, `Io`,
/// `Corruption`, `DecompressionFailed`) or with `BinRead` carrying the decoder's `ReadError`.
[[nodiscard]] std::expected<file_type::SoundTable, DatError> read_sound_table(const DatDatabase& db,
                                                                              std::uint32_t id);

}  // namespace tallowmere_dat
