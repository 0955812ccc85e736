#include "selection_args.h"

#include <algorithm>

#include "format.h"

namespace tallowmere_dat::cli {
namespace {

constexpr std::string_view kIdForms =
    "0x20000001, 0x20000000-0x2000FFFF, 0x20000000- or -0x0FFFFFFF";

/// `text` cut at each comma; an empty piece stays, so that "1,,2" is an error.
std::vector<std::string_view> comma_pieces(std::string_view text) {
  std::vector<std::string_view> pieces;
  for (std::size_t comma = text.find(','); comma != std::string_view::npos;
       comma = text.find(',')) {
    pieces.push_back(text.substr(0, comma));
    text.remove_prefix(comma + 1);
  }
  pieces.push_back(text);
  return pieces;
}

std::expected<IdRange, std::string> parse_one_range(std::string_view text) {
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos) {
    const auto id = parse_id(text);
    if (!id) return std::unexpected(id.error());
    return IdRange{*id, *id};
  }
  const std::string_view first_text = text.substr(0, dash);
  const std::string_view last_text = text.substr(dash + 1);
  const auto first =
      first_text.empty() ? std::optional<std::uint32_t>(0) : parse_hex(first_text, 8);
  const auto last =
      last_text.empty() ? std::optional<std::uint32_t>(0xFFFFFFFF) : parse_hex(last_text, 8);
  if (!first || !last || (first_text.empty() && last_text.empty())) {
    return std::unexpected("'" + std::string(text) + "' is not a file identifier or range (" +
                           std::string(kIdForms) + ")");
  }
  if (*first > *last) {
    return std::unexpected("'" + std::string(text) + "' is a reversed range: " + hex(*first) +
                           " is above " + hex(*last));
  }
  return IdRange{*first, *last};
}

/// A CLI11 check that runs `parse` on each word and keeps its message.
template <typename Parse>
CLI::Validator checked_by(Parse parse) {
  return CLI::Validator(
      [parse](std::string& text) -> std::string {
        const auto parsed = parse(text);
        return parsed ? std::string() : parsed.error();
      },
      "");
}

}  // namespace

std::expected<std::uint32_t, std::string> parse_id(std::string_view text) {
  if (const auto id = parse_hex(text, 8)) return *id;
  return std::unexpected("'" + std::string(text) +
                         "' is not a file identifier (1 to 8 hex digits: 0x20000001 or 20000001)");
}

std::expected<std::vector<IdRange>, std::string> parse_id_ranges(std::string_view text) {
  std::vector<IdRange> ranges;
  for (const std::string_view piece : comma_pieces(text)) {
    const auto range = parse_one_range(piece);
    if (!range) return std::unexpected(range.error());
    ranges.push_back(*range);
  }
  return ranges;
}

std::expected<std::vector<std::uint8_t>, std::string> parse_types(std::string_view text) {
  std::vector<std::uint8_t> types;
  for (const std::string_view piece : comma_pieces(text)) {
    const auto type = parse_hex(piece, 2);
    if (!type) {
      return std::unexpected("'" + std::string(piece) +
                             "' is not a type byte (1 or 2 hex digits, e.g. 0x20)");
    }
    types.push_back(static_cast<std::uint8_t>(*type));
  }
  return types;
}

std::expected<Selection, std::string> parse_selection(const SelectionArgs& args) {
  Selection selection;
  for (const std::string& item : args.items) {
    auto ranges = parse_id_ranges(item);
    if (!ranges) return std::unexpected(ranges.error());
    selection.ranges.insert(selection.ranges.end(), ranges->begin(), ranges->end());
  }
  for (const std::string& text : args.types) {
    auto types = parse_types(text);
    if (!types) return std::unexpected(types.error());
    selection.types.insert(selection.types.end(), types->begin(), types->end());
  }
  std::ranges::sort(selection.types);
  const auto [repeats, end] = std::ranges::unique(selection.types);
  selection.types.erase(repeats, end);
  return selection;
}

void add_selection_arguments(CLI::App& command, SelectionArgs& args, const std::string& what) {
  command.add_option("SEL", args.items, what)->type_name("SEL")->check(checked_by(parse_id_ranges));
  // One value per flag: a word after `--type T` is the next positional, never a second type.
  command
      .add_option("--type", args.types,
                  "Only the files of these type bytes (the identifier's top byte), e.g. 0x20 or "
                  "0x06,0x20; may be given several times")
      ->type_name("T")
      ->expected(1)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->check(checked_by(parse_types));
}

std::vector<std::uint32_t> missing_ids(const Selection& selection, const FileIndex& index) {
  std::vector<std::uint32_t> missing;
  for (const IdRange range : selection.ranges) {
    if (range.first == range.last && !index.contains(range.first)) missing.push_back(range.first);
  }
  std::ranges::sort(missing);
  const auto [repeats, end] = std::ranges::unique(missing);
  missing.erase(repeats, end);
  return missing;
}

}  // namespace tallowmere_dat::cli
