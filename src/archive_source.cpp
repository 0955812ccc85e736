#include "archive_source.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "file_ext.h"

namespace tallowmere_dat::detail {

std::expected<void, IoError> FileSource::read_at(std::span<std::uint8_t> head,
                                                 std::span<std::uint8_t> tail,
                                                 std::uint64_t offset) const {
  return read_exact_at_compat(file_, head, tail, offset);
}

std::expected<void, IoError> MemorySource::read_at(std::span<std::uint8_t> head,
                                                   std::span<std::uint8_t> tail,
                                                   std::uint64_t offset) const {
  const std::uint64_t wanted = std::uint64_t{head.size()} + tail.size();
  if (wanted == 0) return {};
  if (offset > bytes_.size() || bytes_.size() - offset < wanted) {
    return std::unexpected(IoError::fill_whole_buffer());
  }
  const std::span<const std::uint8_t> from = bytes_.subspan(static_cast<std::size_t>(offset));
  if (!head.empty()) std::memcpy(head.data(), from.data(), head.size());
  if (!tail.empty()) std::memcpy(tail.data(), from.data() + head.size(), tail.size());
  return {};
}

std::expected<OpenedArchive, DatError> open_archive(const std::filesystem::path& path) {
  auto file = File::open_read_only(path);
  if (!file) return std::unexpected(DatError::PathError{path, std::move(file.error())});
  if (auto seeked = file->seek(DatHeader::kOffset); !seeked) {
    return std::unexpected(DatError(std::move(seeked.error())));
  }
  auto header = DatHeader::read(*file);
  if (!header) return std::unexpected(DatError(std::move(header.error())));
  // The length only sizes allocations; unknown counts as empty.
  const std::uint64_t length = file->size().value_or(0);
  return OpenedArchive{std::make_unique<FileSource>(std::move(*file), length), *header, length};
}

std::expected<OpenedArchive, DatError> open_archive(std::span<const std::uint8_t> bytes) {
  Cursor cursor(bytes);
  if (auto seeked = cursor.seek(DatHeader::kOffset); !seeked) {
    return std::unexpected(DatError(std::move(seeked.error())));
  }
  auto header = DatHeader::read(cursor);
  if (!header) return std::unexpected(DatError(std::move(header.error())));
  return OpenedArchive{std::make_unique<MemorySource>(bytes), *header, bytes.size()};
}

}  // namespace tallowmere_dat::detail
