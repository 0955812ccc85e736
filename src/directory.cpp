#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <unordered_set>
#include <utility>
#include <vector>

#include "format_detail.h"
#include "tallowmere_dat/block_chain.h"
#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/record_reader.h"

namespace tallowmere_dat {
namespace {

/// 62 branch slots, the entry count, and room for 61 entries.
constexpr std::uint32_t kNodeSize = 1716;
constexpr std::size_t kSlotCount = 62;
constexpr std::size_t kEntriesAt = kSlotCount * 4 + 4;

/// The fewest node visits the walk allows, so that small archives whose nodes are shared by a
/// few parents (each read once per parent) still open.
constexpr std::uint64_t kMinVisitBudget = 1024;

}  // namespace

/// A node's child slots and how far the walk has got through them.
struct DatDatabase::NodeLinks {
  std::uint32_t offset = 0;
  std::array<std::uint32_t, kSlotCount> branches{};
  std::size_t child_count =
      0;  ///< Slots to visit: 0 for a leaf, else `entry_count` + 1, at most 62.
  std::size_t next_slot = 0;
};

std::expected<void, DatError> DatDatabase::read_node(std::uint32_t offset, NodeLinks& links) {
  // On the stack: a directory of a million entries has tens of thousands of nodes.
  std::array<std::uint8_t, kNodeSize> content;
  if (auto read = detail::read_block_chain_into(detail::FileBlockSource(file_, file_length_),
                                                header_.block_size, offset, content);
      !read) {
    return std::unexpected(std::move(read.error()));
  }
  const std::span<const std::uint8_t> bytes(content);
  for (std::size_t slot = 0; slot < kSlotCount; ++slot) {
    links.branches[slot] = detail::load_u32_le(bytes.subspan(slot * 4).first<4>());
  }
  const std::uint32_t entry_count = detail::load_u32_le(bytes.subspan(kSlotCount * 4).first<4>());

  // No check of `entry_count`: past 61 entries the cursor runs out and the entry read fails.
  Cursor cursor(bytes.subspan(kEntriesAt));
  for (std::uint32_t i = 0; i < entry_count; ++i) {
    auto entry = DatFileEntry::read(cursor);
    if (!entry) return std::unexpected(DatError(std::move(entry.error())));
    files_.insert_or_assign(entry->id, *entry);
  }
  links.offset = offset;
  links.child_count = links.branches[0] == 0 ? 0
                                             : static_cast<std::size_t>(std::min<std::uint64_t>(
                                                   std::uint64_t{entry_count} + 1, kSlotCount));
  links.next_slot = 0;
  return {};
}

// Pre-order, depth-first, with an explicit stack instead of recursion so that the file cannot
// decide how deep the call stack goes. A node's entries go in before any child is read and each
// child's subtree is finished before the next slot, so the entry met last wins.
std::expected<void, DatError> DatDatabase::read_directory() {
  const std::uint32_t root = header_.root_offset;
  if (root == 0) return {};

  // Each node of a real archive takes at least 1716 bytes of its file.
  const std::uint64_t visit_budget = std::max(file_length_ / kNodeSize + 1, kMinVisitBudget);
  std::uint64_t visits = 0;
  std::vector<NodeLinks> path;  // interior nodes from the root down to the one being walked
  std::unordered_set<std::uint32_t> on_path;

  const auto visit = [&](std::uint32_t offset) -> std::expected<void, DatError> {
    if (visits == visit_budget) {
      return std::unexpected(detail::corruption("directory walk exceeds " +
                                                std::to_string(visit_budget) +
                                                " node visits at node " + detail::hex32(offset)));
    }
    ++visits;
    NodeLinks links;
    if (auto read = read_node(offset, links); !read) return read;
    if (links.child_count > 0) {
      path.push_back(links);
      on_path.insert(offset);
    }
    return {};
  };

  if (auto read = visit(root); !read) return read;
  while (!path.empty()) {
    NodeLinks& node = path.back();
    if (node.next_slot == node.child_count) {
      on_path.erase(node.offset);
      path.pop_back();
      continue;
    }
    const std::size_t slot = node.next_slot++;
    const std::uint32_t child = node.branches[slot];
    if (child == 0) continue;
    if (on_path.contains(child)) {
      return std::unexpected(detail::corruption(
          "directory node " + detail::hex32(node.offset) + " slot " + std::to_string(slot) +
          " leads back to node " + detail::hex32(child) + " on its own path"));
    }
    if (auto read = visit(child); !read) return read;
  }
  return {};
}

}  // namespace tallowmere_dat
