#pragma once

// The first steps of every open: the file, its header and its length.

#include <cstdint>
#include <expected>
#include <filesystem>

#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/error.h"
#include "tallowmere_dat/file.h"

namespace tallowmere_dat::detail {

struct OpenedArchive {
  File file;
  DatHeader header;
  /// The file's length as seen now; unknown counts as empty.
  std::uint64_t length = 0;
};

/// Opens the archive file at `path` and reads its header. Fails with `PathError` (the file
/// can't be opened), `Io` (the seek to the header fails) or `BinRead` (the header is cut short).
[[nodiscard]] std::expected<OpenedArchive, DatError> open_archive_file(
    const std::filesystem::path& path);

}  // namespace tallowmere_dat::detail
