#pragma once

// The directory as the integrity check and the annotated dump see it: the one directory walk,
// keeping what the open throws away (where each entry record lies, the nodes that can't be read,
// shared nodes, cycles) and going on past a node that fails, as a salvaging open does.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <vector>

#include "block_chain.h"
#include "chain_trace.h"
#include "directory.h"
#include "tallowmere_dat/dat_file_entry.h"
#include "tallowmere_dat/error.h"

namespace tallowmere_dat::detail {

struct ScannedNode {
  std::uint32_t offset = 0;
  /// The index of the node it was first reached from (none for the root), and by which slot.
  std::optional<std::size_t> parent;
  std::uint32_t slot = 0;
  /// Its entry records: `ScannedEntry`s from `first_entry` on.
  std::size_t first_entry = 0;
  std::size_t entry_count = 0;
  TracedChain chain;
  /// The slots it leads on by (none for a leaf or a node that can't be read).
  std::vector<Child> children;
  /// Why the node could not be read (the open's error for it); it then has no entries.
  std::optional<DatError> error;
};

struct ScannedEntry {
  DatFileEntry entry;
  std::size_t node = 0;     ///< index in `DirectoryScan::nodes`
  std::uint32_t index = 0;  ///< record number within the node
};

/// A slot that leads to a node already met: on the slot's own path (a cycle) or elsewhere.
struct NodeLink {
  std::size_t parent = 0;
  std::uint32_t slot = 0;
  std::size_t target = 0;
  bool on_path = false;
};

struct DirectoryScan {
  std::vector<ScannedNode> nodes;     ///< in the order the walk first met them
  std::vector<ScannedEntry> entries;  ///< in walk order
  std::vector<NodeLink> links;
  /// The entry the reader keeps for each identifier (a salvaging open's, where the strict open
  /// fails), as indexes into `entries`, in ascending identifier order. When the walk `stopped`,
  /// the first record met of each identifier.
  std::vector<std::size_t> kept;
  /// True when the nodes' chains took more blocks than allowed and the walk stopped early.
  bool stopped = false;
};

/// Scans the directory whose root node is at `root` (0: none) in a file of `length` bytes, by
/// the walk the open makes, each distinct node read once, its chain traced by the same reads
/// (a second, mirrored walk over what was read picks the entries that survive). The nodes' chains
/// are traced within `max_blocks` blocks in all; past that the walk stops (`stopped`). Fails only
/// when a pointer inside the file can't be read (`Io`), or with `Io` of kind `OutOfMemory`.
[[nodiscard]] std::expected<DirectoryScan, DatError> scan_directory(const BlockSource& source,
                                                                    std::uint32_t block_size,
                                                                    std::uint32_t root,
                                                                    std::uint64_t length,
                                                                    std::uint64_t max_blocks);

/// The absolute file offset of byte `at` of the content that `chain` holds, or nullopt when
/// the chain doesn't reach it.
[[nodiscard]] std::optional<std::uint64_t> file_offset_of(const TracedChain& chain,
                                                          std::uint64_t at);

}  // namespace tallowmere_dat::detail
