#pragma once

// Opening the archive and fetching files for the subcommands, with the one-line failure messages
// they share: "tallowmere-dat: COMMAND: WHAT: " + the library's message for people.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tallowmere_dat/dat_database.h"

namespace tallowmere_dat::cli {

/// Reports `command` + ": " + `error`'s message for people, preceded by `path` unless the message
/// names it already (a file that can't be opened).
void report_archive_error(std::string_view command, const std::string& path, const DatError& error);

/// Opens the archive at `path` with `options`, or reports `command` + ": " + the error's message
/// (which names the path when the file can't be opened, and is preceded by the path otherwise)
/// and returns nothing.
std::optional<DatDatabase> open_archive(const std::string& path, std::string_view command,
                                        OpenOptions options = {});

/// The bytes of file `id`, verified against the size a compressed entry declares, or nothing
/// after reporting `command` + ": " + the identifier + ": " + the error's message (for instance
/// "cat: 0x20000001: file 0x20000001 not found").
std::optional<std::vector<std::uint8_t>> fetch_file(const DatDatabase& db, std::uint32_t id,
                                                    std::string_view command);

}  // namespace tallowmere_dat::cli
