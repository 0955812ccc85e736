#include "directory.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <map>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "format_detail.h"
#include "record_reader.h"
#include "tallowmere_dat/dat_file_entry.h"

// The directory is defined by a recursive pre-order walk: a node's entries go in before its
// children are read, each child's subtree is finished before the next slot, a node reachable
// from several parents is walked again under each, and for a repeated identifier the entry met
// last wins. Walking it that way can take time exponential in the file's size (nodes sharing
// children), so the walk here reads each distinct node once and gets the same result from two
// facts:
//  - A subtree that was walked once without error walks again identically, so the first error
//    in pre-order is found by skipping nodes already finished.
//  - Every entry of an earlier walk of a shared subtree is inserted again by its later walk. So
//    the entry that survives for an identifier is the first one met in the mirror-image walk
//    (slots last to first, a node's own entries after its children, last entry first) that
//    skips nodes it has already entered.
// Where no identifier repeats, which entry survives is moot and one forward walk suffices; only
// otherwise is the mirror-image walk made, reading the nodes again.

namespace tallowmere_dat::detail {
namespace {

std::uint32_t u32_at(std::span<const std::uint8_t> bytes, std::size_t at) {
  return load_u32_le(bytes.subspan(at).first<4>());
}

}  // namespace

std::expected<void, DatError> read_node(const BlockSource& source, std::uint32_t block_size,
                                        std::uint32_t offset, Node& node) {
  // On the stack: a directory of a million entries has tens of thousands of nodes.
  std::array<std::uint8_t, kNodeSize> content;
  if (auto read = read_block_chain_into(source, block_size, offset, content); !read) {
    return std::unexpected(std::move(read.error()));
  }
  return parse_node(content, node);
}

std::expected<void, DatError> parse_node(std::span<const std::uint8_t, kNodeSize> bytes,
                                         Node& node) {
  const std::uint32_t declared = u32_at(bytes, kSlotCount * 4);
  if (declared > kMaxEntries) {
    Cursor cursor(bytes.subspan(kEntriesAt));
    if (auto end = cursor.seek(kMaxEntries * DatFileEntry::kSize); !end) {
      return std::unexpected(DatError(std::move(end.error())));
    }
    auto entry = DatFileEntry::read(cursor);
    return std::unexpected(entry ? corruption("a node's entries outgrew it")
                                 : DatError(std::move(entry.error())));
  }
  node.entry_count = declared;
  for (std::size_t i = 0; i < node.entry_count; ++i) {
    node.entries[i] = DatFileEntry::from_bytes(
        bytes.subspan(kEntriesAt + i * DatFileEntry::kSize).first<DatFileEntry::kSize>());
  }
  node.child_count = 0;
  if (u32_at(bytes, 0) == 0) return {};
  for (std::uint32_t slot = 0; slot <= declared && slot < kSlotCount; ++slot) {
    if (const std::uint32_t child = u32_at(bytes, std::size_t{slot} * 4); child != 0) {
      node.children[node.child_count++] = {slot, child};
    }
  }
  return {};
}

std::expected<void, DatError> walk_directory(const BlockSource& source, std::uint32_t block_size,
                                             std::uint32_t root, Order order, OnDamage on_damage,
                                             DirectoryVisitor& visitor) {
  if (root == 0) return {};
  struct State {
    std::size_t index;
    bool on_path;
  };
  // Ordered, not hashed: the offsets come from the file and must not be able to collide.
  std::map<std::uint32_t, State> met;
  struct Frame {
    std::uint32_t offset;
    std::size_t index;
    std::size_t start;  // the node's children in `pending`: from `start` to its end
    std::size_t next;
  };
  std::vector<Frame> path;
  // The children of every node on the path, the deepest node's last: its run ends at the end.
  std::vector<Child> pending;
  Node node;

  const auto visit = [&](std::uint32_t offset, std::optional<std::size_t> parent,
                         std::uint32_t slot) -> std::expected<void, DatError> {
    const std::size_t index = met.size();
    if (auto read = visitor.read(source, block_size, offset, node); !read) {
      if (on_damage == OnDamage::Stop) return read;
      met.emplace(offset, State{index, false});
      visitor.failed(index, offset, parent, slot, std::move(read.error()));
      return {};
    }
    met.emplace(offset, State{index, true});
    visitor.entered(index, offset, parent, slot, node);
    const std::span<const Child> children = node.child_span();
    const std::size_t start = pending.size();
    if (order == Order::Forward) {
      pending.insert(pending.end(), children.begin(), children.end());
    } else {
      pending.insert(pending.end(), children.rbegin(), children.rend());
    }
    path.push_back({offset, index, start, start});
    return {};
  };

  try {
    if (auto read = visit(root, std::nullopt, 0); !read) return read;
    while (!path.empty() && !visitor.done()) {
      Frame& frame = path.back();
      if (frame.next == pending.size()) {
        met.find(frame.offset)->second.on_path = false;
        visitor.left(frame.index, frame.offset);
        pending.resize(frame.start);
        path.pop_back();
        continue;
      }
      const Child child = pending[frame.next++];
      const auto known = met.find(child.offset);
      if (known == met.end()) {
        if (auto read = visit(child.offset, frame.index, child.slot); !read) return read;
        continue;
      }
      if (!known->second.on_path) {
        visitor.shared(frame.index, child.slot, known->second.index);
        continue;
      }
      DatError cycle = corruption("directory node " + hex32(frame.offset) + " slot " +
                                  std::to_string(child.slot) + " leads back to node " +
                                  hex32(child.offset) + " on its own path");
      if (on_damage == OnDamage::Stop) return std::unexpected(std::move(cycle));
      visitor.cycle(frame.index, child.slot, known->second.index, child.offset, cycle);
    }
    return {};
  } catch (const std::bad_alloc&) {
    return std::unexpected(DatError(IoError::with_message(
        IoErrorKind::OutOfMemory, "memory allocation failed walking the directory")));
  }
}

namespace {

/// The leaves' entries in the order the walk meets them, kept in fixed-size chunks: collecting a
/// million entries never copies them to grow, so the directory costs its own size once, not the
/// twice a growing vector briefly needs.
class LeafEntries {
 public:
  void append(std::span<const DatFileEntry> entries) {
    for (const DatFileEntry& entry : entries) {
      if (chunks_.empty() || chunks_.back().size() == chunks_.back().capacity()) {
        // Small directories get small chunks; large ones up to `kChunk` entries at a time.
        chunks_.emplace_back().reserve(std::clamp<std::size_t>(size_, kFirstChunk, kChunk));
      }
      sorted_ = sorted_ && (size_ == 0 || last_id_ < entry.id);
      last_id_ = entry.id;
      chunks_.back().push_back(entry);
      ++size_;
    }
  }

  [[nodiscard]] std::size_t size() const { return size_; }
  /// True while every entry's id is greater than the one before.
  [[nodiscard]] bool sorted() const { return sorted_; }

  /// Hands the entries to `take` in order, one chunk at a time, releasing each after it.
  template <typename Take>
  void drain(Take take) {
    for (std::vector<DatFileEntry>& chunk : chunks_) {
      take(std::span<const DatFileEntry>(chunk));
      chunk = std::vector<DatFileEntry>();
    }
    chunks_.clear();
  }

 private:
  static constexpr std::size_t kFirstChunk = 256;
  static constexpr std::size_t kChunk = std::size_t{1} << 16;
  std::vector<std::vector<DatFileEntry>> chunks_;
  std::size_t size_ = 0;
  std::uint32_t last_id_ = 0;
  bool sorted_ = true;
};

/// The leaves' and interior nodes' entries together, sorted by identifier, in one allocation of
/// exactly their number. In a B-tree laid out as usual a pre-order walk meets the leaves in
/// identifier order, and the interior nodes hold about one entry in sixty: that case is one
/// merge. Any other shape gets a plain sort.
std::vector<DatFileEntry> sorted_by_id(LeafEntries& leaves, std::vector<DatFileEntry>& inner) {
  std::ranges::sort(inner, {}, &DatFileEntry::id);
  std::vector<DatFileEntry> out;
  out.reserve(leaves.size() + inner.size());
  if (!leaves.sorted()) {
    leaves.drain([&](std::span<const DatFileEntry> chunk) {
      out.insert(out.end(), chunk.begin(), chunk.end());
    });
    out.insert(out.end(), inner.begin(), inner.end());
    std::ranges::sort(out, {}, &DatFileEntry::id);
    return out;
  }
  auto next_inner = inner.begin();
  leaves.drain([&](std::span<const DatFileEntry> chunk) {
    for (const DatFileEntry& leaf : chunk) {
      for (; next_inner != inner.end() && next_inner->id <= leaf.id; ++next_inner)
        out.push_back(*next_inner);
      out.push_back(leaf);
    }
  });
  out.insert(out.end(), next_inner, inner.end());
  return out;
}

/// The open's visitor for the forward walk: every entry, and the nodes salvage leaves out.
class Collector final : public DirectoryVisitor {
 public:
  void entered(std::size_t /*index*/, std::uint32_t /*offset*/,
               std::optional<std::size_t> /*parent*/, std::uint32_t /*slot*/,
               const Node& node) override {
    if (node.child_count == 0) {
      leaves.append(node.entry_span());
    } else {
      inner.insert(inner.end(), node.entry_span().begin(), node.entry_span().end());
    }
  }
  void failed(std::size_t /*index*/, std::uint32_t offset, std::optional<std::size_t> /*parent*/,
              std::uint32_t /*slot*/, DatError&& error) override {
    skipped.push_back({offset, error.message()});
  }
  void cycle(std::size_t /*parent*/, std::uint32_t /*slot*/, std::size_t /*target*/,
             std::uint32_t offset, const DatError& error) override {
    skipped.push_back({offset, error.message()});
  }

  LeafEntries leaves;
  std::vector<DatFileEntry> inner;  // the interior nodes' entries
  std::vector<SkippedNode> skipped;
};

/// The mirrored walk's visitor: each node's entries when it is left, last first, re-read then so
/// that the walk keeps no node's entries on its stack.
class MirroredEntries final : public DirectoryVisitor {
 public:
  MirroredEntries(const BlockSource& source, std::uint32_t block_size)
      : source_(source), block_size_(block_size) {}

  void entered(std::size_t /*index*/, std::uint32_t /*offset*/,
               std::optional<std::size_t> /*parent*/, std::uint32_t /*slot*/,
               const Node& /*node*/) override {}
  void left(std::size_t /*index*/, std::uint32_t offset) override {
    // It was read without error when entered, and the file is read-only to us.
    if (read_node(source_, block_size_, offset, node_)) {
      entries.insert(entries.end(), node_.entry_span().rbegin(), node_.entry_span().rend());
    }
  }

  std::vector<DatFileEntry> entries;

 private:
  const BlockSource& source_;
  std::uint32_t block_size_;
  Node node_;
};

}  // namespace

struct IndexAccess {
  static FileIndex make(std::vector<DatFileEntry> entries) { return FileIndex(std::move(entries)); }
};

std::expected<LoadedDirectory, DatError> load_directory(const BlockSource& source,
                                                        std::uint32_t block_size,
                                                        std::uint32_t root, OnDamage on_damage) {
  try {
    Collector collector;
    if (auto walked =
            walk_directory(source, block_size, root, Order::Forward, on_damage, collector);
        !walked) {
      return std::unexpected(std::move(walked.error()));
    }
    std::vector<DatFileEntry> entries = sorted_by_id(collector.leaves, collector.inner);
    collector.inner = std::vector<DatFileEntry>();
    if (std::ranges::adjacent_find(entries, {}, &DatFileEntry::id) == entries.end()) {
      return LoadedDirectory{IndexAccess::make(std::move(entries)), std::move(collector.skipped)};
    }
    // Some identifier repeats: the mirrored walk's first entry of each is the one that survives.
    entries = std::vector<DatFileEntry>();
    MirroredEntries mirrored(source, block_size);
    if (auto walked =
            walk_directory(source, block_size, root, Order::Mirrored, on_damage, mirrored);
        !walked) {
      return std::unexpected(std::move(walked.error()));
    }
    keep_first_of_each_id(mirrored.entries, &DatFileEntry::id);
    return LoadedDirectory{IndexAccess::make(std::move(mirrored.entries)),
                           std::move(collector.skipped)};
  } catch (const std::bad_alloc&) {
    return std::unexpected(DatError(IoError::with_message(
        IoErrorKind::OutOfMemory, "memory allocation failed loading the directory")));
  }
}

}  // namespace tallowmere_dat::detail
