// The arguments that several subcommands share, checked while parsing, so that a malformed one
// is a usage error and the subcommands get plain values.

#include "commands.h"

namespace tallowmere_dat::cli {

CLI::Option* add_archive_argument(CLI::App& command, std::string& path) {
  return command.add_option("ARCHIVE", path, "The archive file")->required()->type_name("FILE");
}

CLI::Option* add_id_argument(CLI::App& command, std::uint32_t& id) {
  return command.add_option("ID", id, "File identifier in hexadecimal: 0x20000001 or 20000001")
      ->required()
      ->type_name("ID")
      ->transform(CLI::Validator(
          [](std::string& text) -> std::string {
            const auto parsed = parse_id(text);
            if (!parsed) return parsed.error();
            text = std::to_string(*parsed);  // what CLI11 converts into the bound integer
            return {};
          },
          ""));
}

CLI::Option* add_salvage_flag(CLI::App& command, bool& salvage) {
  return command.add_flag(
      "--salvage", salvage,
      "Read a damaged directory as far as it goes, leaving out the subtrees that can't be read "
      "(how many is said on standard error; the exit status is then 1)");
}

void require_selection(CLI::App& command, const SelectionArgs& args) {
  command.parse_complete_callback([&args] {
    if (args.items.empty() && args.types.empty()) throw CLI::RequiredError("SEL");
  });
}

}  // namespace tallowmere_dat::cli
