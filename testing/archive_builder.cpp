#include "tallowmere_testing/archive_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "tallowmere_testing/lrs_codec.h"
#include "tallowmere_testing/random.h"

namespace tallowmere_testing {
namespace {

using tallowmere_dat::DatFileEntry;
using tallowmere_dat::DatHeader;

/// What unused blocks and the unused tails of blocks hold.
constexpr std::uint8_t kJunk = 0xA5;
/// Highest end of a built archive: leaves room above it for junk tail pointers that still lie
/// below the reader's 0xFFFFFFFC block-offset limit.
constexpr std::uint64_t kMaxBuiltSize = 0xFFFF0000;
constexpr std::uint32_t kJunkPointerSpread = 0xFFFF;

[[noreturn]] void fail(const char* message) {
  (void)std::fprintf(stderr, "archive builder: %s\n", message);
  std::abort();
}

void put_u32(std::span<std::uint8_t> out, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i)
    out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

/// A node of the planned directory: indices of its entries and of its children (none: -1).
struct PlannedNode {
  std::vector<std::size_t> entries;
  std::vector<std::ptrdiff_t> children;
};

/// Plans a B-tree over entries [begin, end) in pre-order, as full as the fan-out allows: a range
/// that fits is a leaf; otherwise the node takes as few children as a subtree one level lower
/// can hold (at least 2, at most `fan_out` + 1), one separator entry between each two, and the
/// children share the rest evenly, earlier ones taking the spare entries. A child left without
/// entries (only in tiny trees) becomes a 0 slot.
class TreePlanner {
 public:
  explicit TreePlanner(std::size_t fan_out) : fan_out_(fan_out) {}

  std::ptrdiff_t plan(std::size_t begin, std::size_t end) {
    const auto index = static_cast<std::ptrdiff_t>(nodes_.size());
    nodes_.emplace_back();
    const std::size_t count = end - begin;
    if (count <= fan_out_) {
      for (std::size_t i = begin; i < end; ++i)
        nodes_.back().entries.push_back(i);
      return index;
    }
    // The largest subtree that is one level lower than a tree of minimal height for `count`.
    std::size_t lower = fan_out_;  // entries in a full tree of height 1
    while ((lower + 1) * (fan_out_ + 1) - 1 < count)
      lower = (lower + 1) * (fan_out_ + 1) - 1;
    const std::size_t children =
        (count + 1 + lower) / (lower + 1);  // ceil((count + 1) / (lower + 1))
    const std::size_t rest = count - (children - 1);
    const std::size_t share = rest / children;
    const std::size_t spare = rest % children;
    std::size_t at = begin;
    for (std::size_t child = 0; child < children; ++child) {
      const std::size_t size = share + (child < spare ? 1 : 0);
      const std::ptrdiff_t planned = size == 0 ? -1 : plan(at, at + size);
      nodes_[static_cast<std::size_t>(index)].children.push_back(planned);
      at += size;
      if (child + 1 < children) nodes_[static_cast<std::size_t>(index)].entries.push_back(at++);
    }
    return index;
  }

  std::vector<PlannedNode> take() && { return std::move(nodes_); }

 private:
  std::size_t fan_out_;
  std::vector<PlannedNode> nodes_;
};

}  // namespace

std::array<std::uint8_t, DatFileEntry::kSize> encode_entry(const DatFileEntry& entry) {
  std::array<std::uint8_t, DatFileEntry::kSize> out{};
  const std::uint32_t fields[] = {entry.bit_flags, entry.id,        entry.offset,
                                  entry.size,      entry.timestamp, entry.version};
  for (std::size_t i = 0; i < 6; ++i)
    put_u32(out, 4 * i, fields[i]);
  return out;
}

std::array<std::uint8_t, kHeaderEnd - kHeaderOffset> encode_header(const DatHeader& h) {
  std::array<std::uint8_t, kHeaderEnd - kHeaderOffset> out{};
  const std::uint32_t fields[] = {h.magic,         h.block_size,     h.file_size,   h.dataset,
                                  h.subset,        h.free_head,      h.free_tail,   h.free_count,
                                  h.root_offset,   h.new_lru,        h.old_lru,     h.use_lru,
                                  h.master_map_id, h.engine_version, h.game_version};
  for (std::size_t i = 0; i < 15; ++i)
    put_u32(out, 4 * i, fields[i]);
  std::copy(h.version_string.begin(), h.version_string.end(), out.begin() + 60);
  put_u32(out, 76, h.version_minor);
  return out;
}

std::vector<std::uint8_t> DirectoryNode::encode() const {
  if (entries.size() > kNodeEntries) fail("a directory node holds at most 61 entries");
  std::vector<std::uint8_t> out(kNodeSize, 0);
  for (std::size_t slot = 0; slot < kNodeSlots; ++slot)
    put_u32(out, 4 * slot, branches[slot]);
  put_u32(out, 4 * kNodeSlots, entry_count.value_or(static_cast<std::uint32_t>(entries.size())));
  std::size_t at = 4 * kNodeSlots + 4;
  for (const DatFileEntry& entry : entries) {
    const auto bytes = encode_entry(entry);
    std::copy(bytes.begin(), bytes.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
    at += bytes.size();
  }
  return out;
}

ArchiveImage::ArchiveImage(std::uint32_t block_size, std::uint8_t fill)
    : block_size_(block_size), fill_(fill), bytes_(kHeaderEnd, fill) {
  header_.block_size = block_size;
}

void ArchiveImage::resize(std::uint64_t size) {
  if (size > 0xFFFFFFFFULL + 1) fail("an archive is at most 4 GiB");
  if (size > bytes_.size()) bytes_.resize(static_cast<std::size_t>(size), fill_);
}

void ArchiveImage::truncate(std::uint64_t size) {
  if (size < bytes_.size()) bytes_.resize(static_cast<std::size_t>(size));
}

std::uint32_t ArchiveImage::append(std::size_t count) {
  const std::uint64_t at = bytes_.size();
  if (at > 0xFFFFFFFFULL) fail("an appended block must start below 4 GiB");
  resize(at + count);
  return static_cast<std::uint32_t>(at);
}

void ArchiveImage::write(std::uint64_t at, std::span<const std::uint8_t> data) {
  resize(at + data.size());
  std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(at));
}

void ArchiveImage::write_u32(std::uint64_t at, std::uint32_t value) {
  std::array<std::uint8_t, 4> bytes{};
  put_u32(bytes, 0, value);
  write(at, bytes);
}

void ArchiveImage::write_block(std::uint64_t at, std::uint32_t next,
                               std::span<const std::uint8_t> payload) {
  write_u32(at, next);
  write(at + 4, payload);
}

void ArchiveImage::write_chain(std::span<const std::uint32_t> blocks,
                               std::span<const std::uint8_t> data, std::uint32_t last_next) {
  if (blocks.empty()) fail("a chain needs at least one block");
  if (blocks.size() > 1 && block_size_ <= 4) fail("chained blocks need a block size above 4");
  const std::size_t payload = block_size_ > 4 ? block_size_ - 4 : 0;
  for (std::size_t i = 0; i + 1 < blocks.size(); ++i) {
    const std::size_t take = std::min(payload, data.size());
    write_block(blocks[i], blocks[i + 1], data.first(take));
    data = data.subspan(take);
  }
  write_block(blocks.back(), last_next, data);
}

std::uint32_t ArchiveImage::append_chain(std::span<const std::uint8_t> data) {
  if (block_size_ <= 4) fail("appended chains need a block size above 4");
  const std::size_t payload = block_size_ - 4;
  const std::size_t count = std::max<std::size_t>(1, (data.size() + payload - 1) / payload);
  const std::uint32_t first = append(count * block_size_);
  std::vector<std::uint32_t> blocks(count);
  for (std::size_t i = 0; i < count; ++i) {
    blocks[i] = static_cast<std::uint32_t>(first + i * block_size_);
  }
  write_chain(blocks, data);
  return first;
}

std::uint32_t ArchiveImage::append_node(const DirectoryNode& node) {
  return append_chain(node.encode());
}

void ArchiveImage::stamp_header() {
  resize(kHeaderEnd);
  const auto bytes = encode_header(header_);
  std::copy(bytes.begin(), bytes.end(), bytes_.begin() + kHeaderOffset);
}

const std::vector<std::uint8_t>& ArchiveImage::bytes() {
  stamp_header();
  return bytes_;
}

std::vector<std::uint8_t> ArchiveImage::release() && {
  stamp_header();
  return std::move(bytes_);
}

ArchiveBuilder::ArchiveBuilder(ArchiveOptions options) : options_(options) {}

ArchiveBuilder& ArchiveBuilder::add_file(std::uint32_t id, std::vector<std::uint8_t> stored,
                                         std::uint32_t bit_flags, ChainLayout layout) {
  if (stored.size() > 0xFFFFFFFFULL) fail("a stored file is at most 4 GiB - 1");
  files_.push_back({id, bit_flags, std::move(stored), layout});
  return *this;
}

ArchiveBuilder& ArchiveBuilder::add_compressed_file(std::uint32_t id,
                                                    std::span<const std::uint8_t> content,
                                                    std::uint32_t bit_flags, ChainLayout layout) {
  return add_file(id, lrs_compress(content), bit_flags, layout);
}

BuiltArchive ArchiveBuilder::build() const {
  const std::uint32_t block_size = options_.block_size;
  if (block_size <= 4) fail("block_size must be at least 5");
  if (options_.fan_out < 1 || options_.fan_out > kNodeEntries) fail("fan_out must be 1 to 61");
  const std::size_t payload = block_size - 4;
  const auto blocks_for = [payload](std::size_t bytes) { return (bytes + payload - 1) / payload; };

  // One file per identifier, the last added winning, in identifier order.
  std::vector<std::pair<std::uint32_t, std::size_t>> order(files_.size());
  for (std::size_t i = 0; i < files_.size(); ++i)
    order[i] = {files_[i].id, i};
  std::sort(order.begin(), order.end());
  std::vector<const PendingFile*> unique;
  unique.reserve(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i + 1 < order.size() && order[i + 1].first == order[i].first) continue;
    unique.push_back(&files_[order[i].second]);
  }

  std::vector<PlannedNode> nodes;
  if (!unique.empty()) {
    TreePlanner planner(options_.fan_out);
    planner.plan(0, unique.size());
    nodes = std::move(planner).take();
  }

  // Every scattered chain takes its blocks in turn from one shuffled list of block slots, spare
  // slots included, so consecutive blocks of a chain almost never sit side by side. Contiguous
  // chains take the slots after those, unshuffled.
  std::vector<std::uint64_t> file_first(unique.size());
  std::vector<std::uint64_t> node_first(nodes.size());
  std::uint64_t used = 0;
  for (std::size_t i = 0; i < unique.size(); ++i) {
    if (unique[i]->layout == ChainLayout::kContiguous) continue;
    file_first[i] = used;
    used += blocks_for(unique[i]->stored.size());
  }
  const std::uint64_t node_blocks = blocks_for(kNodeSize);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    node_first[i] = used;
    used += node_blocks;
  }
  const std::uint64_t spare =
      options_.spare_percent == 0 ? 0 : used * options_.spare_percent / 100 + 1;
  const std::uint64_t shuffled = used + spare;
  std::uint64_t slots = shuffled;
  for (std::size_t i = 0; i < unique.size(); ++i) {
    if (unique[i]->layout != ChainLayout::kContiguous) continue;
    file_first[i] = slots;
    slots += blocks_for(unique[i]->stored.size());
  }
  const std::uint64_t total = kHeaderEnd + slots * block_size;
  if (slots > kMaxBuiltSize / block_size || total > kMaxBuiltSize) fail("archive exceeds 4 GiB");

  Random random(options_.seed);
  std::vector<std::uint32_t> slot_order(static_cast<std::size_t>(slots));
  std::iota(slot_order.begin(), slot_order.end(), 0U);
  for (std::size_t i = static_cast<std::size_t>(shuffled); i > 1; --i) {
    std::swap(slot_order[i - 1], slot_order[static_cast<std::size_t>(random.below(i))]);
  }
  const auto block_offset = [&](std::uint64_t k) {
    return static_cast<std::uint32_t>(kHeaderEnd + std::uint64_t{slot_order[k]} * block_size);
  };
  const auto tail_pointer = [&]() -> std::uint32_t {
    if (!options_.junk_tail_pointers) return 0;
    return static_cast<std::uint32_t>(total + 1 + random.below(kJunkPointerSpread));
  };

  ArchiveImage image(block_size, kJunk);
  image.resize(total);
  std::vector<std::uint32_t> blocks;
  const auto write_chain = [&](std::uint64_t first, std::span<const std::uint8_t> data) {
    blocks.clear();
    const std::uint64_t count = std::max<std::uint64_t>(1, blocks_for(data.size()));
    for (std::uint64_t k = 0; k < count; ++k)
      blocks.push_back(block_offset(first + k));
    image.write_chain(blocks, data, tail_pointer());
  };

  BuiltArchive built;
  std::vector<DatFileEntry> entries(unique.size());
  for (std::size_t i = 0; i < unique.size(); ++i) {
    const PendingFile& file = *unique[i];
    Random metadata(options_.seed ^ (std::uint64_t{file.id} * 0x9E3779B97F4A7C15ULL));
    const std::uint64_t stamp = metadata.next();
    entries[i] = DatFileEntry{
        .bit_flags = file.bit_flags,
        .id = file.id,
        .offset = file.stored.empty() ? 0 : block_offset(file_first[i]),
        .size = static_cast<std::uint32_t>(file.stored.size()),
        .timestamp = static_cast<std::uint32_t>(stamp),
        .version = static_cast<std::uint32_t>(stamp >> 32U),
    };
    if (!file.stored.empty()) write_chain(file_first[i], file.stored);
    built.entries.push_back(entries[i]);
  }
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    DirectoryNode node;
    for (const std::size_t e : nodes[i].entries)
      node.entries.push_back(entries[e]);
    for (std::size_t c = 0; c < nodes[i].children.size(); ++c) {
      const std::ptrdiff_t child = nodes[i].children[c];
      node.branches[c] = child < 0 ? 0 : block_offset(node_first[static_cast<std::size_t>(child)]);
    }
    write_chain(node_first[i], node.encode());
  }

  image.header() = options_.header;
  image.header().block_size = block_size;
  image.header().root_offset = nodes.empty() ? 0 : block_offset(node_first[0]);
  image.header().file_size = static_cast<std::uint32_t>(total);
  std::ranges::sort(built.entries, {}, &DatFileEntry::id);
  built.header = image.header();
  built.bytes = std::move(image).release();
  return built;
}

const DatFileEntry& BuiltArchive::entry(std::uint32_t id) const {
  const auto found = std::ranges::lower_bound(entries, id, {}, &DatFileEntry::id);
  if (found == entries.end() || found->id != id)
    throw std::out_of_range("no such file in the built archive");
  return *found;
}

bool write_archive(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),  // NOLINT: ofstream takes char
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

}  // namespace tallowmere_testing
