#pragma once

// Loading the directory tree into the file index.

#include <cstdint>
#include <expected>

#include "block_chain.h"
#include "tallowmere_dat/error.h"
#include "tallowmere_dat/file_index.h"

namespace tallowmere_dat::detail {

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
