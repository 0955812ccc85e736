#include "tallowmere_dat/bulk_reader.h"

#include <algorithm>
#include <utility>

#include "block_chain.h"
#include "window_source.h"

namespace tallowmere_dat {

struct BulkReader::State {
  State(const DatDatabase& of, std::vector<const DatFileEntry*> files, BulkContent wanted)
      : archive(of), window(*of.source_), entries(std::move(files)), content(wanted) {
    std::ranges::stable_sort(entries, {}, &DatFileEntry::offset);
  }

  const DatDatabase& archive;
  detail::WindowSource window;
  std::vector<const DatFileEntry*> entries;
  std::size_t next = 0;
  BulkContent content;
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint8_t> stored;
};

BulkReader::BulkReader(const DatDatabase& archive, std::vector<const DatFileEntry*> entries,
                       BulkContent content)
    : state_(std::make_unique<State>(archive, std::move(entries), content)) {}

BulkReader::BulkReader(BulkReader&&) noexcept = default;
BulkReader& BulkReader::operator=(BulkReader&&) noexcept = default;
BulkReader::~BulkReader() = default;

std::size_t BulkReader::remaining() const {
  return state_->entries.size() - state_->next;
}

std::optional<BulkFile> BulkReader::next() {
  State& s = *state_;
  if (s.next == s.entries.size()) return std::nullopt;
  const DatFileEntry& entry = *s.entries[s.next++];
  const std::uint32_t block_size = s.archive.header().block_size;
  if (entry.size > 0)
    s.window.cover(entry.offset, detail::contiguous_extent(block_size, entry.size));
  const auto read =
      s.content == BulkContent::Stored
          ? detail::read_block_chain_into(s.window, block_size, entry.offset, entry.size, s.bytes)
          : s.archive.retrieve(s.window, entry, s.bytes, s.stored, true);
  if (!read) return BulkFile{entry, std::unexpected(read.error())};
  return BulkFile{entry, std::span<const std::uint8_t>(s.bytes)};
}

}  // namespace tallowmere_dat
