#include "tallowmere_dat/dat_database.h"

#include <array>
#include <cstddef>
#include <string>
#include <utility>

#include "archive_source.h"
#include "block_chain.h"
#include "directory.h"
#include "entry_content.h"
#include "format_detail.h"
#include "lrs_stream.h"
#include "record_reader.h"
#include "tallowmere_dat/lrs.h"

namespace tallowmere_dat {

namespace {

/// The line each header field's frame names in the exact renderings, in `kHeaderFields` order.
constexpr std::array<std::uint32_t, kHeaderFields.size()> kHeaderFieldLines = {
    176, 177, 178, 179, 180, 181, 182, 183, 184, 185, 186, 187, 188, 189, 190, 192, 193};

}  // namespace

template <ByteSource S>
std::expected<DatHeader, ReadError> DatHeader::read(S& source) {
  DatHeader h;
  RecordReader<S> record(source, "DatHeader", kRecordSourceLabel);
  for (std::size_t i = 0; i < kHeaderFields.size(); ++i) {
    const HeaderField& f = kHeaderFields[i];
    if (f.number != nullptr) {
      record.field(h.*f.number, f.name, kHeaderFieldLines[i]);
    } else {
      record.field(h.version_string, f.name, kHeaderFieldLines[i]);
    }
  }
  return std::move(record).finish(h);
}

template <ByteSource S>
std::expected<DatFileEntry, ReadError> DatFileEntry::read(S& source) {
  DatFileEntry e;
  RecordReader<S> record(source, "DatFileEntry", kRecordSourceLabel);
  // The lines each field's frame names in the exact renderings.
  std::uint32_t line = 222;
  for (const EntryField& f : kEntryFields)
    record.field(e.*f.member, f.name, line++);
  return std::move(record).finish(e);
}

template std::expected<DatHeader, ReadError> DatHeader::read(Cursor&);
template std::expected<DatHeader, ReadError> DatHeader::read(File&);
template std::expected<DatFileEntry, ReadError> DatFileEntry::read(Cursor&);
template std::expected<DatFileEntry, ReadError> DatFileEntry::read(File&);

std::expected<DatDatabase, DatError> DatDatabase::load(
    std::expected<detail::OpenedArchive, DatError> opened, OpenOptions options) {
  if (!opened) return std::unexpected(std::move(opened.error()));
  auto directory =
      detail::load_directory(*opened->source, opened->header.block_size, opened->header.root_offset,
                             options.salvage ? detail::OnDamage::Skip : detail::OnDamage::Stop);
  if (!directory) return std::unexpected(std::move(directory.error()));
  return DatDatabase(opened->header, std::move(opened->source), std::move(directory->files),
                     std::move(directory->skipped));
}

DatDatabase::DatDatabase(DatHeader header, std::unique_ptr<const detail::BlockSource> source,
                         FileIndex files, std::vector<SkippedNode> skipped)
    : header_(header),
      files_(std::move(files)),
      skipped_(std::move(skipped)),
      source_(std::move(source)) {}

DatDatabase::DatDatabase(DatDatabase&&) noexcept = default;
DatDatabase& DatDatabase::operator=(DatDatabase&&) noexcept = default;
DatDatabase::~DatDatabase() = default;

std::expected<DatDatabase, DatError> DatDatabase::open(const std::filesystem::path& path,
                                                       OpenOptions options) {
  return load(detail::open_archive(path), options);
}

std::expected<DatDatabase, DatError> DatDatabase::open(std::span<const std::uint8_t> bytes,
                                                       OpenOptions options) {
  return load(detail::open_archive(bytes), options);
}

std::expected<std::vector<std::uint8_t>, DatError> DatDatabase::read_file_data(
    std::uint32_t offset, std::uint32_t size) const {
  return detail::read_block_chain(*source_, header_.block_size, offset, size);
}

std::expected<void, DatError> DatDatabase::read_file_data(std::uint32_t offset, std::uint32_t size,
                                                          std::vector<std::uint8_t>& out) const {
  return detail::read_block_chain_into(*source_, header_.block_size, offset, size, out);
}

namespace {

/// The most that a thread's scratch for stored bytes keeps between calls.
constexpr std::size_t kKeptScratch = std::size_t{1} << 20;

/// This thread's scratch for the stored bytes of compressed entries, lent to one retrieval: kept
/// for the next one, so that a loop over files does not allocate for each, unless it has grown
/// past `kKeptScratch`, so that one large entry does not hold its memory for the thread's life.
class ScratchLoan {
 public:
  ScratchLoan() = default;
  ScratchLoan(const ScratchLoan&) = delete;
  ScratchLoan& operator=(const ScratchLoan&) = delete;
  ~ScratchLoan() {
    if (bytes_.capacity() > kKeptScratch) bytes_ = std::vector<std::uint8_t>();
  }
  std::vector<std::uint8_t>& bytes() { return bytes_; }

 private:
  static thread_local std::vector<std::uint8_t> bytes_;
};

thread_local std::vector<std::uint8_t> ScratchLoan::bytes_;

/// `out` as the value of a retrieval that left it, or the retrieval's error.
std::expected<std::vector<std::uint8_t>, DatError> value_of(std::expected<void, DatError> read,
                                                            std::vector<std::uint8_t>& out) {
  if (!read) return std::unexpected(std::move(read.error()));
  return std::move(out);
}

}  // namespace

std::expected<void, DatError> DatDatabase::retrieve(std::uint32_t id,
                                                    std::vector<std::uint8_t>& out,
                                                    std::vector<std::uint8_t>& stored,
                                                    bool verified) const {
  const DatFileEntry* entry = files_.find(id);
  if (entry == nullptr) return std::unexpected(DatError(DatError::NotFound{id}));
  return retrieve(*source_, *entry, out, stored, verified);
}

std::expected<void, DatError> DatDatabase::retrieve(const detail::BlockSource& source,
                                                    const DatFileEntry& entry,
                                                    std::vector<std::uint8_t>& out,
                                                    std::vector<std::uint8_t>& stored,
                                                    bool verified) const {
  if (!entry.is_compressed()) {
    return detail::read_block_chain_into(source, header_.block_size, entry.offset, entry.size, out);
  }
  if (auto read = detail::read_block_chain_into(source, header_.block_size, entry.offset,
                                                entry.size, stored);
      !read) {
    return read;
  }
  return detail::decompress_entry(entry.id, stored, out, verified);
}

std::expected<std::vector<std::uint8_t>, DatError> DatDatabase::get_file(std::uint32_t id) const {
  // Fresh buffers, both: the stored bytes are released as soon as the file is decompressed.
  std::vector<std::uint8_t> out;
  std::vector<std::uint8_t> stored;
  return value_of(retrieve(id, out, stored, false), out);
}

std::expected<void, DatError> DatDatabase::get_file(std::uint32_t id,
                                                    std::vector<std::uint8_t>& out) const {
  ScratchLoan stored;
  return retrieve(id, out, stored.bytes(), false);
}

std::expected<std::vector<std::uint8_t>, DatError> DatDatabase::get_file_verified(
    std::uint32_t id) const {
  std::vector<std::uint8_t> out;
  std::vector<std::uint8_t> stored;
  return value_of(retrieve(id, out, stored, true), out);
}

std::expected<void, DatError> DatDatabase::get_file_verified(std::uint32_t id,
                                                             std::vector<std::uint8_t>& out) const {
  ScratchLoan stored;
  return retrieve(id, out, stored.bytes(), true);
}

namespace {

DatError size_mismatch(std::uint32_t id, std::size_t declared, std::size_t asked) {
  return DatError::Other{"file " + detail::hex32(id) + " declares " + std::to_string(declared) +
                         " bytes, not the " + std::to_string(asked) + " asked for"};
}

}  // namespace

std::expected<void, DatError> DatDatabase::get_file_verified_into(
    const DatFileEntry& entry, std::span<std::uint8_t> out) const {
  const detail::BlockSource& source = *source_;
  if (!entry.is_compressed() || entry.size == 0) {
    if (out.size() != entry.size)
      return std::unexpected(size_mismatch(entry.id, entry.size, out.size()));
    return detail::read_block_chain_into(source, header_.block_size, entry.offset, out);
  }
  ScratchLoan stored;
  if (auto read = detail::read_block_chain_into(source, header_.block_size, entry.offset,
                                                entry.size, stored.bytes());
      !read) {
    return read;
  }
  return decompress_verified_into(entry.id, stored.bytes(), out);
}

std::expected<void, DatError> decompress_verified_into(std::uint32_t id,
                                                       std::span<const std::uint8_t> stored,
                                                       std::span<std::uint8_t> out) {
  if (stored.empty()) {  // an empty compressed entry is an empty file
    if (!out.empty()) return std::unexpected(size_mismatch(id, 0, out.size()));
    return {};
  }
  if (stored.size() < 4) return std::unexpected(DatError(DatError::DecompressionFailed{id}));
  const std::uint32_t declared = detail::load_u32_le(stored.first<4>());
  if (declared != out.size()) return std::unexpected(size_mismatch(id, declared, out.size()));
  if (decompress_lrs_to(stored, out) != out.size()) {
    return std::unexpected(DatError(DatError::DecompressionFailed{id}));
  }
  return {};
}

std::expected<void, DatError> DatDatabase::stream_file_data(std::uint32_t offset,
                                                            std::uint32_t size,
                                                            const ChunkSink& sink) const {
  return detail::stream_block_chain(*source_, header_.block_size, offset, size, sink);
}

std::expected<void, DatError> DatDatabase::stream_file(const DatFileEntry& entry,
                                                       const ChunkSink& sink) const {
  return detail::stream_entry(*source_, header_.block_size, entry, sink);
}

std::expected<std::uint32_t, DatError> DatDatabase::decompressed_size(
    const DatFileEntry& entry) const {
  std::array<std::uint8_t, 4> prefix{};
  if (!entry.is_compressed() || entry.size < prefix.size()) return detail::declared_size(entry, {});
  if (auto read = detail::read_block_chain_into(*source_, header_.block_size, entry.offset, prefix);
      !read) {
    return std::unexpected(std::move(read.error()));
  }
  return detail::declared_size(entry, prefix);
}

}  // namespace tallowmere_dat
