#pragma once

// Opening the archive and fetching files for the subcommands, with the failure messages they
// share: each names what failed and ends with the library's debug rendering of the error.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tallowmere_dat/dat_database.h"

namespace tallowmere_dat::cli {

/// Opens the archive at `path`, or reports "cannot open archive 'PATH': " + the error's debug
/// rendering and returns nothing.
std::optional<DatDatabase> open_archive(const std::string& path);

/// The bytes of file `id`, or nothing after reporting `command` + ": " + the identifier + ": " +
/// the error's debug rendering (for instance "cat: 0x20000001: NotFound(536870913)").
std::optional<std::vector<std::uint8_t>> fetch_file(const DatDatabase& db, std::uint32_t id,
                                                    std::string_view command);

/// The archive's entries in ascending identifier order; with `type`, only those of that type
/// byte.
std::span<const DatFileEntry> listed_entries(const DatDatabase& db,
                                             std::optional<std::uint32_t> type = std::nullopt);

}  // namespace tallowmere_dat::cli
