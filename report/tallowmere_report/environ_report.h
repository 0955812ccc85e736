#pragma once

// The environ report: which sound tables define slots in the environ range, and how many define
// slots in the ambient range. The environ probe and the command-line tool both print it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/file_type/sound_table.h"

namespace tallowmere_dat {

/// Slot keys 0x76 to 0x8A, both included.
inline constexpr std::uint32_t kEnvironFirst = 0x76;
inline constexpr std::uint32_t kEnvironLast = 0x8A;
/// Slot keys 0x46 to 0x4D, both included.
inline constexpr std::uint32_t kAmbientFirst = 0x46;
inline constexpr std::uint32_t kAmbientLast = 0x4D;

/// The whole report, line by line: the census line, one line per sound table with environ
/// slots (ascending identifiers; each slot with the wave of its first entry, 0 if none), a blank
/// line, the environ summary and the ambient cross-reference. A table that fails to fetch or
/// decode is counted in the census only.
std::string environ_report(const DatDatabase& db);

/// The smallest piece in which `write_environ_report` hands the report on (the last piece may
/// be shorter): large enough for few writes, small enough not to hold the whole report.
inline constexpr std::size_t kReportChunk = std::size_t{64} * 1024;

/// The report of `environ_report`, handed to `write` in order, in pieces of at least
/// `kReportChunk` bytes but the last, as it is produced. Stops at the first piece that `write`
/// refuses (returns false) and returns false; true once all of it has been written.
bool write_environ_report(const DatDatabase& db,
                          const std::function<bool(std::string_view)>& write);

}  // namespace tallowmere_dat
