#pragma once

// The directory tree: reading its nodes, and the one walk over them that the open, the salvage,
// the integrity check and the annotated dump all share, so that they agree on which entry wins
// and on what a loop is.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "block_chain.h"
#include "tallowmere_dat/dat_database.h"
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

/// The node whose content is `bytes`, into `node`. Fails for a node declaring more than 61
/// entries, with the record reader's error for the 62nd, which finds the node's bytes used up.
[[nodiscard]] std::expected<void, DatError> parse_node(
    std::span<const std::uint8_t, kNodeSize> bytes, Node& node);

/// The order in which a walk takes a node's slots.
enum class Order : std::uint8_t {
  Forward,   ///< First slot first.
  Mirrored,  ///< Last slot first.
};

/// What a walk does at a node it can't read, or at a slot that leads back onto its own path.
enum class OnDamage : std::uint8_t {
  Stop,  ///< Ends the walk with that error, as the open does.
  Skip,  ///< Tells the visitor and goes on without that subtree, as salvage and the check do.
};

/// The hooks of a walk. Each distinct node gets an index, in the order the walk first meets it.
class DirectoryVisitor {
 public:
  DirectoryVisitor() = default;
  DirectoryVisitor(const DirectoryVisitor&) = delete;
  DirectoryVisitor& operator=(const DirectoryVisitor&) = delete;
  virtual ~DirectoryVisitor() = default;

  /// Node `index` at `offset`, reached from slot `slot` of node `parent` (none for the root),
  /// was read as `node`: its children follow.
  virtual void entered(std::size_t index, std::uint32_t offset, std::optional<std::size_t> parent,
                       std::uint32_t slot, const Node& node) = 0;
  /// Reads the node at `offset` for the walk: `read_node`, unless the visitor has a better way
  /// to the same result (the node's bytes at hand, or its chain wanted too).
  [[nodiscard]] virtual std::expected<void, DatError> read(const BlockSource& source,
                                                           std::uint32_t block_size,
                                                           std::uint32_t offset, Node& node) {
    return read_node(source, block_size, offset, node);
  }
  /// True to end the walk early, without error; asked before each step.
  [[nodiscard]] virtual bool done() const { return false; }
  /// Every child of node `index` is done.
  virtual void left(std::size_t /*index*/, std::uint32_t /*offset*/) {}
  /// Node `index` at `offset`, reached as `entered` says, can't be read (`OnDamage::Skip` only):
  /// the read's `error` is handed over.
  virtual void failed(std::size_t /*index*/, std::uint32_t /*offset*/,
                      std::optional<std::size_t> /*parent*/, std::uint32_t /*slot*/,
                      DatError&& /*error*/) {}
  /// Slot `slot` of node `parent` leads to node `target`, met before and not on the slot's own
  /// path: a node shared by several parents.
  virtual void shared(std::size_t /*parent*/, std::uint32_t /*slot*/, std::size_t /*target*/) {}
  /// Slot `slot` of node `parent` leads back to node `target` at `offset`, on the slot's own
  /// path (`OnDamage::Skip` only; `Stop` ends the walk with `error`).
  virtual void cycle(std::size_t /*parent*/, std::uint32_t /*slot*/, std::size_t /*target*/,
                     std::uint32_t /*offset*/, const DatError& /*error*/) {}
};

/// Walks the directory whose root node is at `root` (0: none) depth-first over distinct nodes:
/// each node is read once, when first met, and a slot leading to a node met before is not
/// followed again. The stack is explicit, so the file can't decide how deep the call stack
/// goes. Fails with a node's read error or `Corruption` for a slot back onto its own path
/// (`OnDamage::Stop` only), or with `Io` of kind `OutOfMemory`.
[[nodiscard]] std::expected<void, DatError> walk_directory(const BlockSource& source,
                                                           std::uint32_t block_size,
                                                           std::uint32_t root, Order order,
                                                           OnDamage on_damage,
                                                           DirectoryVisitor& visitor);

/// Sorts `items` by identifier and keeps the first of each, where `items` lists entries in the
/// mirrored walk's order (a node's entries at its `left`, last first): the entry that survives
/// for an identifier repeated in the directory, as `DatDatabase::open` defines it.
template <typename T, typename Id>
void keep_first_of_each_id(std::vector<T>& items, Id id_of) {
  std::ranges::stable_sort(items, {}, id_of);
  const auto repeats = std::ranges::unique(items, {}, id_of);
  items.erase(repeats.begin(), repeats.end());
}

/// The directory as the open loads it: one entry per identifier, and with `OnDamage::Skip` the
/// nodes left out.
struct LoadedDirectory {
  FileIndex files;
  std::vector<SkippedNode> skipped;
};

/// Loads the directory whose root node is at `root` (0: an empty directory): the entries and,
/// with `OnDamage::Stop`, the first error of the walk that `DatDatabase::open` documents, in
/// time linear in the distinct nodes.
[[nodiscard]] std::expected<LoadedDirectory, DatError> load_directory(const BlockSource& source,
                                                                      std::uint32_t block_size,
                                                                      std::uint32_t root,
                                                                      OnDamage on_damage);

}  // namespace tallowmere_dat::detail
