#include "directory_scan.h"

#include <algorithm>
#include <map>
#include <new>
#include <utility>

#include "directory.h"

namespace tallowmere_dat::detail {
namespace {

/// The forward walk's visitor: every node with its chain, every entry record, every link.
class Recorder final : public DirectoryVisitor {
 public:
  Recorder(std::uint64_t length, std::uint64_t max_blocks)
      : length_(length), max_blocks_(max_blocks) {}

  bool done() const override { return scan.stopped; }

  /// Reads the node by tracing its chain, so that its blocks are known from the same reads.
  std::expected<void, DatError> read(const BlockSource& source, std::uint32_t block_size,
                                     std::uint32_t offset, Node& node) override {
    content_.clear();
    const std::uint64_t left = max_blocks_ - std::min(max_blocks_, traced_);
    auto chain = trace_chain(source, block_size, offset, kNodeSize, length_, left, &content_);
    if (!chain) {
      if (!trace_error) trace_error = std::move(chain.error());
      chain = TracedChain{};
    }
    traced_ += chain->blocks.size();
    scan.stopped = scan.stopped || chain->end == ChainEnd::OverBudget;
    chain_ = std::move(*chain);
    if (chain_.end == ChainEnd::Complete && content_.size() == kNodeSize) {
      return parse_node(std::span(content_).first<kNodeSize>(), node);
    }
    // The chain stops short: the open's own read of it says how.
    return read_node(source, block_size, offset, node);
  }

  void entered(std::size_t index, std::uint32_t offset, std::optional<std::size_t> parent,
               std::uint32_t slot, const Node& node) override {
    ScannedNode& scanned = add(offset, parent, slot);
    scanned.children.assign(node.child_span().begin(), node.child_span().end());
    scanned.entry_count = node.entry_count;
    for (std::uint32_t i = 0; i < node.entry_count; ++i) {
      scan.entries.push_back({.entry = node.entries[i], .node = index, .index = i});
    }
  }
  void failed(std::size_t /*index*/, std::uint32_t offset, std::optional<std::size_t> parent,
              std::uint32_t slot, DatError&& error) override {
    add(offset, parent, slot).error = std::move(error);
  }
  void shared(std::size_t parent, std::uint32_t slot, std::size_t target) override {
    scan.links.push_back({.parent = parent, .slot = slot, .target = target, .on_path = false});
  }
  void cycle(std::size_t parent, std::uint32_t slot, std::size_t target, std::uint32_t /*offset*/,
             const DatError& /*error*/) override {
    scan.links.push_back({.parent = parent, .slot = slot, .target = target, .on_path = true});
  }

  /// The first failure to trace a node's chain (a pointer read the OS refused).
  std::optional<IoError> trace_error;
  DirectoryScan scan;

 private:
  // The walk numbers nodes in the order it meets them, which is the order they are added here.
  ScannedNode& add(std::uint32_t offset, std::optional<std::size_t> parent, std::uint32_t slot) {
    return scan.nodes.emplace_back(ScannedNode{.offset = offset,
                                               .parent = parent,
                                               .slot = slot,
                                               .first_entry = scan.entries.size(),
                                               .chain = std::move(chain_),
                                               .children = {},
                                               .error = std::nullopt});
  }

  std::uint64_t length_;
  std::uint64_t max_blocks_;
  std::uint64_t traced_ = 0;
  TracedChain chain_;  // the chain of the node read last
  std::vector<std::uint8_t> content_;
};

/// The mirrored walk's visitor: the scanned entry records in that walk's order (each node's when
/// it is left, last first), whose first of each identifier is the one the reader keeps.
class MirroredRecords final : public DirectoryVisitor {
 public:
  explicit MirroredRecords(const DirectoryScan& scan) : scan_(scan) {
    for (std::size_t i = 0; i < scan.nodes.size(); ++i)
      forward_.emplace(scan.nodes[i].offset, i);
  }

  /// The node as the forward walk read it: its children are all this walk needs.
  std::expected<void, DatError> read(const BlockSource& /*source*/, std::uint32_t /*block_size*/,
                                     std::uint32_t offset, Node& node) override {
    // Every node this walk reaches, by the slots the forward walk recorded, that walk met.
    const ScannedNode& scanned = scan_.nodes[forward_.find(offset)->second];
    if (scanned.error) return std::unexpected(*scanned.error);
    node.child_count = scanned.children.size();
    std::ranges::copy(scanned.children, node.children.begin());
    node.entry_count = 0;
    return {};
  }
  void entered(std::size_t /*index*/, std::uint32_t /*offset*/,
               std::optional<std::size_t> /*parent*/, std::uint32_t /*slot*/,
               const Node& /*node*/) override {}
  void left(std::size_t /*index*/, std::uint32_t offset) override {
    const ScannedNode& node = scan_.nodes[forward_.find(offset)->second];
    for (std::size_t i = node.entry_count; i-- > 0;)
      order.push_back(node.first_entry + i);
  }

  std::vector<std::size_t> order;

 private:
  const DirectoryScan& scan_;
  // Ordered, not hashed: the offsets come from the file and must not be able to collide.
  std::map<std::uint32_t, std::size_t> forward_;
};

}  // namespace

std::expected<DirectoryScan, DatError> scan_directory(const BlockSource& source,
                                                      std::uint32_t block_size, std::uint32_t root,
                                                      std::uint64_t length,
                                                      std::uint64_t max_blocks) {
  try {
    Recorder recorder(length, max_blocks);
    if (auto walked =
            walk_directory(source, block_size, root, Order::Forward, OnDamage::Skip, recorder);
        !walked) {
      return std::unexpected(std::move(walked.error()));
    }
    if (recorder.trace_error) return std::unexpected(DatError(std::move(*recorder.trace_error)));
    DirectoryScan scan = std::move(recorder.scan);
    const auto id_of = [&](std::size_t i) { return scan.entries[i].entry.id; };
    std::vector<std::size_t> kept(scan.entries.size());
    for (std::size_t i = 0; i < kept.size(); ++i)
      kept[i] = i;
    std::ranges::stable_sort(kept, {}, id_of);
    if (scan.stopped) {
      // The mirrored walk needs every node: with the walk cut short, the first record met of
      // each identifier stands for it, so that each one still counts once.
      keep_first_of_each_id(kept, id_of);
    } else if (std::ranges::adjacent_find(kept, {}, id_of) != kept.end()) {
      MirroredRecords mirrored(scan);
      if (auto walked =
              walk_directory(source, block_size, root, Order::Mirrored, OnDamage::Skip, mirrored);
          !walked) {
        return std::unexpected(std::move(walked.error()));
      }
      kept = std::move(mirrored.order);
      keep_first_of_each_id(kept, id_of);
    }
    scan.kept = std::move(kept);
    return scan;
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
