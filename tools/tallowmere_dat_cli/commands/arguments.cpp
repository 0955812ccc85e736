// The arguments that several subcommands share. Hexadecimal ones are checked and converted while
// parsing, so that a malformed one is a usage error and the subcommands get plain numbers.

#include <optional>

#include "commands.h"
#include "format.h"

namespace tallowmere_dat::cli {
namespace {

/// Accepts 1 to `max_digits` hex digits ("0x" optional) and hands the value on in decimal,
/// which is what CLI11 converts into the bound integer.
CLI::Validator hex_to_decimal(std::size_t max_digits, const std::string& what) {
  return CLI::Validator(
      [max_digits, what](std::string& text) -> std::string {
        const std::optional<std::uint32_t> value = parse_hex(text, max_digits);
        if (!value) return "'" + text + "' is not " + what;
        text = std::to_string(*value);
        return {};
      },
      "");
}

}  // namespace

CLI::Option* add_archive_argument(CLI::App& command, std::string& path) {
  return command.add_option("ARCHIVE", path, "The archive file")->required()->type_name("FILE");
}

CLI::Option* add_id_argument(CLI::App& command, std::uint32_t& id) {
  return command.add_option("ID", id, "File identifier in hexadecimal: 0x20000001 or 20000001")
      ->required()
      ->type_name("ID")
      ->transform(hex_to_decimal(8, "a file identifier (1 to 8 hex digits)"));
}

CLI::Option* add_type_option(CLI::App& command, std::vector<std::uint32_t>& types) {
  return command
      .add_option("--type", types,
                  "Only the files of this type byte (the identifier's top byte), e.g. 0x20; "
                  "may be given several times")
      ->type_name("0xNN")
      ->transform(hex_to_decimal(2, "a type byte (1 or 2 hex digits)"));
}

}  // namespace tallowmere_dat::cli
