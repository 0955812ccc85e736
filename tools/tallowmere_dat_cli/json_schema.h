#pragma once

// The tool's JSON documents, one builder per kind, shared by the subcommands that print them and
// by the mounted tree that serves them as files.

#include <cstdint>
#include <string>

#include "json.h"
#include "tallowmere_dat/check.h"
#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/file_type/sound_table.h"
#include "tallowmere_dat/selection.h"

namespace tallowmere_dat::cli {

/// `info --json`: the archive's path, the header's fields (offsets and identifiers as hex
/// strings), and the entries counted in total and by type byte.
Json header_document(const std::string& archive_path, const DatDatabase& db);

/// `ls --json`: an array with one object per selected entry, in ascending identifier order, with
/// every field of the entry.
Json listing_document(const std::string& archive_path, const DatDatabase& db,
                      const Selection& selection);

/// `check --json`: the archive's path, the counts of errors and warnings, and every finding with
/// its kind, severity, offsets, identifiers and message.
Json check_document(const std::string& archive_path, const CheckReport& report);

/// `sound-table --json`: sound table `id` decoded, every float in a form that reads back to the
/// same bits.
Json sound_table_json(std::uint32_t id, const file_type::SoundTable& table);

}  // namespace tallowmere_dat::cli
