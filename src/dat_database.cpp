#include "tallowmere_dat/dat_database.h"

#include <utility>

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
  // The length only sizes allocations and bounds the directory walk; unknown counts as empty.
  const std::uint64_t length = file->size().value_or(0);
  DatDatabase db(*header, std::move(*file), length);
  if (auto walked = db.read_directory(); !walked) {
    return std::unexpected(std::move(walked.error()));
  }
  return db;
}

}  // namespace tallowmere_dat
