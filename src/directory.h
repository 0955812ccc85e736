#pragma once

// Loading the directory tree into the file index.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "block_chain.h"
#include "tallowmere_dat/dat_file_entry.h"
#include "tallowmere_dat/error.h"
#include "tallowmere_dat/file_index.h"

namespace tallowmere_dat::detail {

/// 62 branch slots, the entry count, and room for 61 entries.
constexpr std::uint32_t kNodeSize = 1716;
constexpr std::size_t kSlotCount = 62;
constexpr std::size_t kMaxEntries = 61;
constexpr std::size_t kEntriesAt = kSlotCount * 4 + 4;

struct Child {
  std::uint32_t slot;
  std::uint32_t offset;
};

/// A directory node as the walk uses it.
struct Node {
  /// The non-zero slots to visit, in slot order: none for a leaf, else among the first
  /// `entry_count` + 1.
  std::array<Child, kSlotCount> children;
  std::size_t child_count = 0;
  std::array<DatFileEntry, kMaxEntries> entries;
  std::size_t entry_count = 0;

  std::span<const Child> child_span() const { return std::span(children).first(child_count); }
  std::span<const DatFileEntry> entry_span() const { return std::span(entries).first(entry_count); }
};

/// Reads the node at `offset` into `node`. Fails with the chain reader's error, or for a node
/// declaring more than 61 entries with the record reader's error for the 62nd, which finds the
/// node's bytes used up.
[[nodiscard]] std::expected<void, DatError> read_node(const BlockSource& source,
                                                      std::uint32_t block_size,
                                                      std::uint32_t offset, Node& node);

class DirectoryWalk {
 public:
  /// The index of the directory whose root node is at `root` (0: an empty directory), with the
  /// entries and the first error of the depth-first, pre-order walk that `DatDatabase::open`
  /// documents, in time linear in the distinct nodes.
  [[nodiscard]] static std::expected<FileIndex, DatError> load(const BlockSource& source,
                                                               std::uint32_t block_size,
                                                               std::uint32_t root);
};

}  // namespace tallowmere_dat::detail
