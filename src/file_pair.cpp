#include "file_pair.h"

#include <algorithm>
#include <utility>

#include "entry_content.h"

namespace tallowmere_dat::detail {
namespace {

constexpr std::uint32_t kWholeStored = std::uint32_t{8} << 20;
constexpr std::uint32_t kWholeCompressed = std::uint32_t{1} << 20;

std::optional<DatError> error_of(const ReadBytes& bytes) {
  if (bytes) return std::nullopt;
  return bytes.error();
}

}  // namespace

std::optional<ChangeKind> metadata_change(const DatFileEntry& a, const DatFileEntry& b) {
  if (a.bit_flags != b.bit_flags || a.timestamp != b.timestamp || a.version != b.version) {
    return ChangeKind::Metadata;
  }
  return std::nullopt;
}

std::optional<ChangeKind> compare_files(FilePair& files, UnreadableEntry& unreadable) {
  const DatFileEntry& a = files.entry(DiffSide::Old);
  const DatFileEntry& b = files.entry(DiffSide::New);
  std::optional<bool> stored_equal;
  if (a.size != b.size) {
    stored_equal = false;
  } else if (a.is_compressed() || b.is_compressed()) {
    // A compressed side stores other bytes than its content, so compare what is stored.
    if (files.stored_error(DiffSide::Old) || files.stored_error(DiffSide::New)) {
      unreadable.old_error = files.content_error(DiffSide::Old);
      unreadable.new_error = files.content_error(DiffSide::New);
      return std::nullopt;
    }
    stored_equal = files.stored_equal();
    if (*stored_equal && a.is_compressed() == b.is_compressed()) {
      // The same bytes decode the same way: one side's decoding answers for both.
      unreadable.old_error = files.content_error(DiffSide::Old);
      if (unreadable.old_error) {
        unreadable.new_error = files.content_error(DiffSide::New);
        return std::nullopt;
      }
      return metadata_change(a, b);
    }
  }
  const auto size_a = files.size(DiffSide::Old);
  const auto size_b = files.size(DiffSide::New);
  if (size_a && size_b && *size_a != *size_b) return ChangeKind::Content;
  unreadable.old_error = size_a ? files.content_error(DiffSide::Old) : size_a.error();
  unreadable.new_error = size_b ? files.content_error(DiffSide::New) : size_b.error();
  if (unreadable.old_error || unreadable.new_error) return std::nullopt;
  if (!files.content_equal()) return ChangeKind::Content;
  // Two uncompressed files of one size store exactly their content.
  if (!stored_equal.value_or(true)) return ChangeKind::Stored;
  return metadata_change(a, b);
}

void WholeFilePair::take(const DatFileEntry& old_entry, ReadBytes old_stored,
                         const DatFileEntry& new_entry) {
  Side& old_side = of(DiffSide::Old);
  old_side.entry = &old_entry;
  old_side.stored_bytes = std::move(old_stored);
  old_side.content_bytes.reset();
  Side& new_side = of(DiffSide::New);
  new_side.entry = &new_entry;
  new_side.stored_bytes.reset();
  new_side.content_bytes.reset();
}

const ReadBytes& WholeFilePair::Side::stored() {
  if (!stored_bytes) {
    auto read = archive->read_file_data(entry->offset, entry->size, stored_buffer);
    stored_bytes = read ? ReadBytes(stored_buffer) : std::unexpected(std::move(read.error()));
  }
  return *stored_bytes;
}

const ReadBytes& WholeFilePair::Side::content() {
  if (!content_bytes) {
    if (!stored() || !entry->is_compressed()) {
      content_bytes = stored();
    } else {
      auto decoded = decompress_entry(entry->id, *stored(), content_buffer, true);
      content_bytes =
          decoded ? ReadBytes(content_buffer) : std::unexpected(std::move(decoded.error()));
    }
  }
  return *content_bytes;
}

std::optional<DatError> WholeFilePair::stored_error(DiffSide side) {
  return error_of(of(side).stored());
}

bool WholeFilePair::stored_equal() {
  return std::ranges::equal(*of(DiffSide::Old).stored(), *of(DiffSide::New).stored());
}

std::optional<DatError> WholeFilePair::content_error(DiffSide side) {
  return error_of(of(side).content());
}

bool WholeFilePair::content_equal() {
  return std::ranges::equal(*of(DiffSide::Old).content(), *of(DiffSide::New).content());
}

std::expected<std::uint32_t, DatError> WholeFilePair::size(DiffSide side) {
  Side& s = of(side);
  if (!s.entry->is_compressed() || s.entry->size < 4) return declared_size(*s.entry, {});
  // The prefix alone may be readable where the whole chain isn't.
  if (!s.stored()) return s.archive->decompressed_size(*s.entry);
  return declared_size(*s.entry, *s.stored());
}

StreamComparison StreamedFilePair::compare(SideRead read) const {
  const auto side = [&](std::size_t i) -> StreamedRead {
    return [&, i](const ChunkSink& sink) { return read(*archives_[i], *entries_[i], sink); };
  };
  return compare_streams(side(0), side(1));
}

const StreamComparison& StreamedFilePair::stored() {
  if (!stored_) {
    stored_ =
        compare([](const DatDatabase& archive, const DatFileEntry& entry, const ChunkSink& sink) {
          return archive.stream_file_data(entry.offset, entry.size, sink);
        });
  }
  return *stored_;
}

const StreamComparison& StreamedFilePair::content() {
  if (!content_) {
    content_ = compare([](const DatDatabase& archive, const DatFileEntry& entry,
                          const ChunkSink& sink) { return archive.stream_file(entry, sink); });
  }
  return *content_;
}

std::optional<DatError> StreamedFilePair::error_of(const StreamComparison& compared,
                                                   DiffSide side) {
  return side == DiffSide::Old ? compared.first_error : compared.second_error;
}

std::optional<DatError> StreamedFilePair::stored_error(DiffSide side) {
  return error_of(stored(), side);
}

bool StreamedFilePair::stored_equal() {
  return stored().equal;
}

std::optional<DatError> StreamedFilePair::content_error(DiffSide side) {
  return error_of(content(), side);
}

bool StreamedFilePair::content_equal() {
  return content().equal;
}

std::expected<std::uint32_t, DatError> StreamedFilePair::size(DiffSide side) {
  return archives_[index(side)]->decompressed_size(*entries_[index(side)]);
}

bool held_whole(const DatFileEntry& entry) {
  return entry.size <= (entry.is_compressed() ? kWholeCompressed : kWholeStored);
}

}  // namespace tallowmere_dat::detail
