#pragma once

// Reading many files of one archive at the speed of reading the archive once.

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/dat_file_entry.h"
#include "tallowmere_dat/error.h"

namespace tallowmere_dat {

/// Which bytes a `BulkReader` hands over.
enum class BulkContent : std::uint8_t {
  /// What `get_file_verified` returns: decompressed, and checked against the declared size.
  Verified,
  /// What `read_file_data(entry.offset, entry.size)` returns: the bytes as stored.
  Stored,
};

/// One file handed over by `BulkReader::next`.
struct BulkFile {
  /// The file's entry, one of those the reader was given.
  const DatFileEntry& entry;
  /// The file's bytes, valid until the next call to `next` or the reader's end; or the error
  /// that reading them one by one would give.
  std::expected<std::span<const std::uint8_t>, DatError> bytes;
};

/// Reads a set of files (all of an archive's, a type, a selection) in ascending order of their
/// first block's offset, through a window of a few MiB that moves forward over the archive: the
/// files whose blocks lie together cost a share of one large read each instead of a read or more
/// of their own. Blocks outside the window are read as single retrievals read them. Each file's
/// bytes and errors are exactly those of reading it alone (`get_file_verified`, or
/// `read_file_data` for `BulkContent::Stored`). The buffers are reused from file to file, so a
/// loop over a million files allocates a few times. One thread uses a reader; several readers
/// may share one archive. Move-only.
class BulkReader {
 public:
  /// A reader of `entries`, given in any order; they and `archive` must outlive it. Entries are
  /// taken as they are (an entry the archive's directory doesn't hold is read all the same).
  BulkReader(const DatDatabase& archive, std::vector<const DatFileEntry*> entries,
             BulkContent content = BulkContent::Verified);
  BulkReader(BulkReader&&) noexcept;
  BulkReader& operator=(BulkReader&&) noexcept;
  ~BulkReader();

  /// The next file in ascending offset order (ties in the order given), or nullopt after the
  /// last. A failed file is handed over with its error, and the reader goes on with the next.
  [[nodiscard]] std::optional<BulkFile> next();

  /// How many files `next` has still to hand over.
  [[nodiscard]] std::size_t remaining() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tallowmere_dat
