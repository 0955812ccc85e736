#include "tallowmere_dat/dat_database.h"

#include <new>
#include <string>
#include <utility>

#include "directory.h"
#include "tallowmere_dat/block_chain.h"
#include "tallowmere_dat/lrs.h"

namespace tallowmere_dat {

template <ByteSource S>
std::expected<DatHeader, ReadError> DatHeader::read(S& source) {
  DatHeader h;
  RecordReader<S> record(source, "DatHeader", kRecordSourceLabel);
  record.field(h.magic, "magic", 176);
  record.field(h.block_size, "block_size", 177);
  record.field(h.file_size, "file_size", 178);
  record.field(h.dataset, "dataset", 179);
  record.field(h.subset, "subset", 180);
  record.field(h.free_head, "free_head", 181);
  record.field(h.free_tail, "free_tail", 182);
  record.field(h.free_count, "free_count", 183);
  record.field(h.root_offset, "root_offset", 184);
  record.field(h.new_lru, "new_lru", 185);
  record.field(h.old_lru, "old_lru", 186);
  record.field(h.use_lru, "use_lru", 187);
  record.field(h.master_map_id, "master_map_id", 188);
  record.field(h.engine_version, "engine_version", 189);
  record.field(h.game_version, "game_version", 190);
  record.field(h.version_string, "version_string", 192);
  record.field(h.version_minor, "version_minor", 193);
  return std::move(record).finish(h);
}

template <ByteSource S>
std::expected<DatFileEntry, ReadError> DatFileEntry::read(S& source) {
  DatFileEntry e;
  RecordReader<S> record(source, "DatFileEntry", kRecordSourceLabel);
  record.field(e.bit_flags, "bit_flags", 222);
  record.field(e.id, "id", 223);
  record.field(e.offset, "offset", 224);
  record.field(e.size, "size", 225);
  record.field(e.timestamp, "timestamp", 226);
  record.field(e.version, "version", 227);
  return std::move(record).finish(e);
}

template std::expected<DatHeader, ReadError> DatHeader::read(Cursor&);
template std::expected<DatHeader, ReadError> DatHeader::read(File&);
template std::expected<DatFileEntry, ReadError> DatFileEntry::read(Cursor&);
template std::expected<DatFileEntry, ReadError> DatFileEntry::read(File&);

std::expected<DatDatabase, DatError> DatDatabase::open(const std::filesystem::path& path) {
  auto file = File::open_read_only(path);
  if (!file) return std::unexpected(DatError::PathError{path, std::move(file.error())});
  if (auto seeked = file->seek(DatHeader::kOffset); !seeked) {
    return std::unexpected(DatError(std::move(seeked.error())));
  }
  auto header = DatHeader::read(*file);
  if (!header) return std::unexpected(DatError(std::move(header.error())));
  // The length only sizes allocations; unknown counts as empty.
  const std::uint64_t length = file->size().value_or(0);
  DatDatabase db(*header, std::move(*file), length);
  auto files = detail::DirectoryWalk::load(detail::FileBlockSource(db.file_, length),
                                           header->block_size, header->root_offset);
  if (!files) return std::unexpected(std::move(files.error()));
  db.files_ = std::move(*files);
  return db;
}

std::expected<std::vector<std::uint8_t>, DatError> DatDatabase::read_file_data(
    std::uint32_t offset, std::uint32_t size) const {
  return detail::read_block_chain(detail::FileBlockSource(file_, file_length_), header_.block_size,
                                  offset, size);
}

std::expected<std::vector<std::uint8_t>, DatError> DatDatabase::get_file(std::uint32_t id) const {
  const DatFileEntry* entry = files_.find(id);
  if (entry == nullptr) return std::unexpected(DatError(DatError::NotFound{id}));
  auto stored = read_file_data(entry->offset, entry->size);
  if (!stored || !entry->is_compressed()) return stored;
  // A chain over overlapping blocks, or one looping within a large file, may legitimately store
  // gigabytes, whose output (up to eight times as much) may not fit: an error value like a chain
  // that can't grow, not the end of the process.
  try {
    return decompress_lrs(*stored);
  } catch (const std::bad_alloc&) {
    return std::unexpected(DatError(IoError::with_message(
        IoErrorKind::OutOfMemory,
        "memory allocation failed decompressing " + std::to_string(stored->size()) + " bytes")));
  }
}

}  // namespace tallowmere_dat
