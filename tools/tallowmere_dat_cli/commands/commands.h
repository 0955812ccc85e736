#pragma once

// The subcommands. Each `add_*` adds its subcommand, with its options and help, to `app`; when
// parsing picks that subcommand, `run` is set to the function that carries it out and returns
// the exit status.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "selection_args.h"

namespace tallowmere_dat::cli {

using Runner = std::function<int()>;

void add_info(CLI::App& app, Runner& run);
void add_ls(CLI::App& app, Runner& run);
void add_cat(CLI::App& app, Runner& run);
void add_extract(CLI::App& app, Runner& run);
void add_sound_table(CLI::App& app, Runner& run);
void add_environ(CLI::App& app, Runner& run);
void add_check(CLI::App& app, Runner& run);
void add_explain(CLI::App& app, Runner& run);
void add_map(CLI::App& app, Runner& run);
void add_diff(CLI::App& app, Runner& run);
/// Only in builds with TALLOWMERE_BUILD_MOUNT (TALLOWMERE_HAVE_MOUNT defined).
void add_mount(CLI::App& app, Runner& run);

/// The ARCHIVE positional every subcommand takes first.
CLI::Option* add_archive_argument(CLI::App& command, std::string& path);
/// The "--salvage" flag of the subcommands that read the directory's files.
CLI::Option* add_salvage_flag(CLI::App& command, bool& salvage);
/// A required file identifier positional (hexadecimal, "0x" optional).
CLI::Option* add_id_argument(CLI::App& command, std::uint32_t& id);
/// Makes parsing fail with "missing SEL" unless `args` name some files.
void require_selection(CLI::App& command, const SelectionArgs& args);

}  // namespace tallowmere_dat::cli
