#include "directory_scan.h"

#include <map>
#include <new>
#include <utility>

#include "directory.h"

namespace tallowmere_dat::detail {
namespace {

struct Frame {
  std::size_t node;
  std::size_t start;  // the node's children in `pending`, from `start` to its end
  std::size_t next;
};

struct Pending {
  std::uint32_t slot;
  std::uint32_t offset;
};

class Scanner {
 public:
  Scanner(const BlockSource& source, std::uint32_t block_size, std::uint64_t length)
      : source_(source), block_size_(block_size), length_(length) {}

  std::expected<DirectoryScan, DatError> run(std::uint32_t root) {
    if (root == 0) return std::move(scan_);
    if (auto entered = enter(root, std::nullopt, 0); !entered)
      return std::unexpected(entered.error());
    while (!path_.empty()) {
      Frame& frame = path_.back();
      if (frame.next == pending_.size()) {
        on_path_[frame.node] = false;
        pending_.resize(frame.start);
        path_.pop_back();
        continue;
      }
      const Pending child = pending_[frame.next++];
      const std::size_t parent = frame.node;
      if (const auto met = met_.find(child.offset); met != met_.end()) {
        scan_.links.push_back({.parent = parent,
                               .slot = child.slot,
                               .target = met->second,
                               .on_path = on_path_[met->second]});
        continue;
      }
      if (auto entered = enter(child.offset, parent, child.slot); !entered) {
        return std::unexpected(entered.error());
      }
    }
    return std::move(scan_);
  }

 private:
  std::expected<void, DatError> enter(std::uint32_t offset, std::optional<std::size_t> parent,
                                      std::uint32_t slot) {
    auto chain = trace_chain(source_, block_size_, offset, kNodeSize, length_);
    if (!chain) return std::unexpected(DatError(std::move(chain.error())));
    const std::size_t index = scan_.nodes.size();
    met_.emplace(offset, index);
    on_path_.push_back(true);
    ScannedNode& scanned = scan_.nodes.emplace_back(ScannedNode{.offset = offset,
                                                                .parent = parent,
                                                                .slot = slot,
                                                                .first_entry = scan_.entries.size(),
                                                                .chain = std::move(*chain),
                                                                .error = std::nullopt});
    const std::size_t start = pending_.size();
    path_.push_back({index, start, start});
    if (auto read = read_node(source_, block_size_, offset, node_); !read) {
      scanned.error = std::move(read.error());
      return {};
    }
    scanned.entry_count = node_.entry_count;
    for (std::uint32_t i = 0; i < node_.entry_count; ++i) {
      scan_.entries.push_back({.entry = node_.entries[i], .node = index, .index = i});
    }
    for (const Child& child : node_.child_span())
      pending_.push_back({child.slot, child.offset});
    return {};
  }

  const BlockSource& source_;
  std::uint32_t block_size_;
  std::uint64_t length_;
  DirectoryScan scan_;
  // Ordered, not hashed: the offsets come from the file and must not be able to collide.
  std::map<std::uint32_t, std::size_t> met_;
  std::vector<bool> on_path_;
  std::vector<Frame> path_;
  std::vector<Pending> pending_;
  Node node_;
};

}  // namespace

std::expected<DirectoryScan, DatError> scan_directory(const BlockSource& source,
                                                      std::uint32_t block_size, std::uint32_t root,
                                                      std::uint64_t length) {
  try {
    return Scanner(source, block_size, length).run(root);
  } catch (const std::bad_alloc&) {
    return std::unexpected(DatError(IoError::with_message(
        IoErrorKind::OutOfMemory, "memory allocation failed scanning the directory")));
  }
}

std::optional<std::uint64_t> file_offset_of(const TracedChain& chain, std::uint64_t at) {
  for (const TracedBlock& block : chain.blocks) {
    const std::uint64_t length = block.payload_end - block.payload_begin;
    if (at < length) return block.payload_begin + at;
    at -= length;
  }
  return std::nullopt;
}

}  // namespace tallowmere_dat::detail
