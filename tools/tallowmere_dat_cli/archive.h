#pragma once

// Opening the archive and fetching files for the subcommands, with the one-line failure messages
// they share: "tallowmere-dat: COMMAND: WHAT: " + the library's message for people.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/selection.h"

namespace tallowmere_dat::cli {

/// Reports `command` + ": " + `error`'s message for people, preceded by `path` unless the message
/// names it already (a file that can't be opened).
void report_archive_error(std::string_view command, const std::string& path, const DatError& error);

/// The one line `report_archive_error` writes, without the tool's and the command's names.
std::string archive_error_text(const std::string& path, const DatError& error);

/// Opens the archive at `path` with `options`, or reports `command` + ": " + the error's message
/// (which names the path when the file can't be opened, and is preceded by the path otherwise)
/// and returns nothing. A salvaging open that left subtrees out reports how many.
std::optional<DatDatabase> open_archive(const std::string& path, std::string_view command,
                                        OpenOptions options = {});

/// The bytes of `entry`'s file into `out`, verified against the size a compressed entry
/// declares; false after reporting `command` + ": " + the identifier + ": " + what was being
/// read where a read failed + ": " + the error's message.
bool fetch_file(const DatDatabase& db, const DatFileEntry& entry, std::vector<std::uint8_t>& out,
                std::string_view command);

/// Whether `entry`'s file may be too large to hold in memory, and so is streamed: more than
/// 8 MiB stored, or more than 1 MiB stored compressed (which may decode to eight times as much).
bool is_large_file(const DatFileEntry& entry);

/// Reports that `entry`'s file can't be read, as `fetch_file` does: `command` + ": " + the
/// identifier + ": " + what was being read where a read failed + ": " + `error`'s message.
void report_file_error(std::string_view command, const DatFileEntry& entry, const DatError& error);

/// Reports each identifier that `selection` names one by one and won't cover: "file 0x... not
/// found" where the archive lacks it, "not of the types selected by --type" where the type bytes
/// leave it out. Returns how many it reported.
std::size_t report_unselected_ids(std::string_view command, const Selection& selection,
                                  const DatDatabase& db);

}  // namespace tallowmere_dat::cli
