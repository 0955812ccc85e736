#include "tallowmere_dat/file_type/sound_table.h"

#include <algorithm>
#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <new>
#include <span>
#include <utility>

#include "little_endian.h"
#include "record_reader.h"
#include "tallowmere_dat/io_error.h"

namespace tallowmere_dat::file_type {
namespace {

// Smallest encodings, used to cap reservations at what the remaining bytes could hold: a
// declared count may be up to 2^32 - 1 whatever the input's length, and must then fail at the
// end of the data, never in an allocation.
constexpr std::size_t kHashRecordSize = 16;      // key, three f32
constexpr std::size_t kSoundRecordMinSize = 12;  // key, entry count, unknown
constexpr std::size_t kEntrySize = 16;

/// How many records of at least `record_size` bytes to make room for. Only a cursor knows how
/// many bytes are left; from other sources the arrays grow with the records actually read.
template <ByteSource S>
std::size_t reservation(std::uint64_t declared, const S& reader, std::size_t record_size) {
  if constexpr (std::same_as<S, Cursor>) {
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(declared, reader.remaining().size() / record_size));
  } else {
    return 0;
  }
}

/// The declared count of a signed count field: negative means none.
std::uint64_t record_count(std::int32_t declared) {
  return declared > 0 ? static_cast<std::uint64_t>(declared) : 0;
}

/// Reads N consecutive little-endian u32s. The first failure is returned unchanged, with the
/// source at the start of the number that failed.
template <std::size_t N, ByteSource S>
std::expected<std::array<std::uint32_t, N>, ReadError> read_words(S& reader) {
  std::array<std::uint32_t, N> words{};
  if constexpr (std::same_as<S, Cursor>) {
    const std::span<const std::uint8_t> bytes = reader.remaining();
    // The common case, loaded straight from memory: through the general primitive read, a table
    // takes several times as long. (A cursor's seek never fails; if it did, the slow path would
    // start from the unmoved position.)
    if (bytes.size() >= 4 * N && reader.seek(*reader.position() + 4 * N)) [[likely]] {
      for (std::size_t i = 0; i < N; ++i) {
        words[i] = detail::load_u32_le(bytes.subspan(4 * i).first<4>());
      }
      return words;
    }
  }
  // Any other source, or the data ends inside these numbers: the primitive reads find the one
  // that fails and leave the source at its start.
  for (std::uint32_t& word : words) {
    auto value = read_u32(reader);
    if (!value) return std::unexpected(std::move(value.error()));
    word = *value;
  }
  return words;
}

template <ByteSource S>
std::expected<std::uint32_t, ReadError> read_word(S& reader) {
  auto word = read_words<1>(reader);
  if (!word) return std::unexpected(std::move(word.error()));
  return (*word)[0];
}

/// Tells an optional observer of each record, with where it lies from the decoder's start. Only
/// a decode that asks for it pays for the positions.
template <ByteSource S>
class Observation {
 public:
  Observation(S& reader, const SoundTableObserver* observer)
      : reader_(reader), observer_(observer), start_(observer ? here() : 0), last_(start_) {}

  void note(SoundTableRecord::Kind kind, std::uint32_t value, std::uint32_t entries = 0) {
    if (observer_ == nullptr) return;
    const std::uint64_t at = here();
    (*observer_)({.kind = kind,
                  .value = value,
                  .entries = entries,
                  .offset = last_ - start_,
                  .size = at - last_});
    last_ = at;
  }

 private:
  std::uint64_t here() const { return reader_.position().value_or(0); }

  S& reader_;
  const SoundTableObserver* observer_;
  std::uint64_t start_;
  std::uint64_t last_;
};

std::uint32_t entry_count(const SoundHashData& /*data*/) {
  return 0;
}
std::uint32_t entry_count(const SoundData& data) {
  return static_cast<std::uint32_t>(data.entries.size());
}

/// Reads a count (i32, negative meaning none) and that many records of a key (u32) and a `V`,
/// into a map where a later record replaces an earlier one with the same key.
template <typename V, ByteSource S>
std::expected<FlatMap<std::uint32_t, V>, ReadError> read_map(S& reader, std::uint32_t declared,
                                                             std::size_t min_record_size,
                                                             Observation<S>& seen,
                                                             SoundTableRecord::Kind kind) {
  const std::uint64_t count = record_count(std::bit_cast<std::int32_t>(declared));
  std::vector<std::pair<std::uint32_t, V>> records;
  records.reserve(reservation(count, reader, min_record_size));
  for (std::uint64_t i = 0; i < count; ++i) {
    auto key = read_word(reader);
    if (!key) return std::unexpected(std::move(key.error()));
    auto value = V::read(reader);
    if (!value) return std::unexpected(std::move(value.error()));
    seen.note(kind, *key, entry_count(*value));
    records.emplace_back(*key, std::move(*value));
  }
  return FlatMap<std::uint32_t, V>(std::move(records));
}

template <ByteSource S>
std::expected<SoundTable, ReadError> read_table(S& reader, const SoundTableObserver* observer) {
  using Kind = SoundTableRecord::Kind;
  Observation<S> seen(reader, observer);
  auto id = read_word(reader);
  if (!id) return std::unexpected(std::move(id.error()));
  seen.note(Kind::Id, *id);
  auto hash_key = read_word(reader);
  if (!hash_key) return std::unexpected(std::move(hash_key.error()));
  seen.note(Kind::HashKey, *hash_key);
  auto declared_hashes = read_word(reader);
  if (!declared_hashes) return std::unexpected(std::move(declared_hashes.error()));
  seen.note(Kind::HashCount, *declared_hashes);
  auto hashes =
      read_map<SoundHashData>(reader, *declared_hashes, kHashRecordSize, seen, Kind::HashRecord);
  if (!hashes) return std::unexpected(std::move(hashes.error()));
  auto declared_sounds = read_word(reader);
  if (!declared_sounds) return std::unexpected(std::move(declared_sounds.error()));
  seen.note(Kind::SoundCount, *declared_sounds);
  auto sounds =
      read_map<SoundData>(reader, *declared_sounds, kSoundRecordMinSize, seen, Kind::SoundRecord);
  if (!sounds) return std::unexpected(std::move(sounds.error()));
  return SoundTable{.id = *id,
                    .hash_key = std::bit_cast<std::int32_t>(*hash_key),
                    .hashes = std::move(*hashes),
                    .sounds = std::move(*sounds)};
}

/// `read_table`, with running out of memory as an error value: the maps cost several times the
/// bytes of their records, which are capped by the input, but an input from a looping chain can
/// be gigabytes.
template <ByteSource S>
std::expected<SoundTable, ReadError> read_table_or_oom(S& reader,
                                                       const SoundTableObserver* observer) {
  try {
    return read_table(reader, observer);
  } catch (const std::bad_alloc&) {
    return std::unexpected(ReadError(IoError::with_message(
        IoErrorKind::OutOfMemory, "memory allocation failed decoding a sound table")));
  }
}

}  // namespace

template <ByteSource S>
std::expected<SoundHashData, ReadError> SoundHashData::read(S& reader) {
  auto w = read_words<3>(reader);
  if (!w) return std::unexpected(std::move(w.error()));
  return SoundHashData{std::bit_cast<float>((*w)[0]), std::bit_cast<float>((*w)[1]),
                       std::bit_cast<float>((*w)[2])};
}

template <ByteSource S>
std::expected<SoundEntry, ReadError> SoundEntry::read(S& reader) {
  auto w = read_words<4>(reader);
  if (!w) return std::unexpected(std::move(w.error()));
  return SoundEntry{(*w)[0], std::bit_cast<float>((*w)[1]), std::bit_cast<float>((*w)[2]),
                    std::bit_cast<float>((*w)[3])};
}

template <ByteSource S>
std::expected<SoundData, ReadError> SoundData::read(S& reader) {
  auto num_entries = read_word(reader);
  if (!num_entries) return std::unexpected(std::move(num_entries.error()));
  SoundData data;
  data.entries.reserve(reservation(*num_entries, reader, kEntrySize));
  for (std::uint32_t i = 0; i < *num_entries; ++i) {
    auto entry = SoundEntry::read(reader);
    if (!entry) return std::unexpected(std::move(entry.error()));
    data.entries.push_back(*entry);
  }
  auto unknown = read_word(reader);
  if (!unknown) return std::unexpected(std::move(unknown.error()));
  data.unknown = std::bit_cast<std::int32_t>(*unknown);
  return data;
}

template <ByteSource S>
std::expected<SoundTable, ReadError> SoundTable::read(S& reader) {
  return read_table_or_oom(reader, nullptr);
}

std::expected<SoundTable, ReadError> SoundTable::read(Cursor& reader,
                                                      const SoundTableObserver& observer) {
  return read_table_or_oom(reader, &observer);
}

template std::expected<SoundHashData, ReadError> SoundHashData::read(Cursor&);
template std::expected<SoundHashData, ReadError> SoundHashData::read(File&);
template std::expected<SoundEntry, ReadError> SoundEntry::read(Cursor&);
template std::expected<SoundEntry, ReadError> SoundEntry::read(File&);
template std::expected<SoundData, ReadError> SoundData::read(Cursor&);
template std::expected<SoundData, ReadError> SoundData::read(File&);
template std::expected<SoundTable, ReadError> SoundTable::read(Cursor&);
template std::expected<SoundTable, ReadError> SoundTable::read(File&);

}  // namespace tallowmere_dat::file_type

namespace tallowmere_dat {

std::vector<std::uint32_t> sound_table_ids(const DatDatabase& db) {
  const std::span<const DatFileEntry> tables = db.files().of_type(kSoundTableType);
  std::vector<std::uint32_t> ids;
  ids.reserve(tables.size());
  for (const DatFileEntry& entry : tables)
    ids.push_back(entry.id);
  return ids;
}

std::expected<file_type::SoundTable, DatError> read_sound_table(const DatDatabase& db,
                                                                std::uint32_t id) {
  auto bytes = db.get_file_verified(id);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  Cursor cursor(*bytes);
  auto table = file_type::SoundTable::read(cursor);
  if (!table) return std::unexpected(DatError(std::move(table.error())));
  return std::move(*table);
}

}  // namespace tallowmere_dat
