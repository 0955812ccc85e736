#pragma once

// The selection grammar every subcommand shares: which files an operation covers, as the command
// line names them. SEL is an identifier ("0x20000001" or "20000001"), a closed range
// ("0x20000000-0x2000FFFF"), an open one ("0x20000000-" or "-0x0FFFFFFF"), or a comma list of
// these; `--type T` names type bytes, once per flag, each a type byte or a comma list of them.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "tallowmere_dat/file_index.h"
#include "tallowmere_dat/selection.h"

namespace tallowmere_dat::cli {

/// The selection's words as given: the SEL positionals and the values of every `--type`.
struct SelectionArgs {
  std::vector<std::string> items;
  std::vector<std::string> types;
};

/// One identifier ("0x20000001" or "20000001", 1 to 8 hex digits), or a message for people.
std::expected<std::uint32_t, std::string> parse_id(std::string_view text);

/// One SEL word (a comma list of identifiers and ranges) as ranges, or a message for people
/// naming the piece that is wrong ("a reversed range" gets its own).
std::expected<std::vector<IdRange>, std::string> parse_id_ranges(std::string_view text);

/// One `--type` value (a comma list of type bytes, 1 or 2 hex digits each), or a message.
std::expected<std::vector<std::uint8_t>, std::string> parse_types(std::string_view text);

/// The selection `args` name (everything when they name nothing), or the first word's message.
std::expected<Selection, std::string> parse_selection(const SelectionArgs& args);

/// Adds the SEL... positionals (described by `what`) and the repeatable `--type` option to
/// `command`, each word checked while parsing so that a malformed one is a usage error.
void add_selection_arguments(CLI::App& command, SelectionArgs& args, const std::string& what);

/// The identifiers `selection` names one by one (a range of one) that `index` lacks, ascending:
/// those a person asked for by name and won't get.
std::vector<std::uint32_t> missing_ids(const Selection& selection, const FileIndex& index);

}  // namespace tallowmere_dat::cli
