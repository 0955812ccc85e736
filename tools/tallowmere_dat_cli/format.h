#pragma once

// Text forms shared by the subcommands: identifiers and keys in hexadecimal, floats that read
// back to the same bits, and the parsing of hexadecimal arguments.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallowmere_dat::cli {

/// printf-style formatting into a string.
[[gnu::format(printf, 1, 2)]] std::string format(const char* pattern, ...);

/// "0x" + uppercase hexadecimal, zero-padded to `digits` digits (0: no padding), e.g.
/// hex(0x20000001) is "0x20000001", hex(0x76, 0) is "0x76".
std::string hex(std::uint32_t value, int digits = 8);

/// The shortest decimal text that reads back as exactly `value` ("0.1", "1e-45", "-0"), or,
/// for values a decimal number can't stand for, "inf", "-inf" and "nan:0x" + the eight
/// uppercase hex digits of the NaN's bits (sign and payload kept).
std::string float_text(float value);

/// Parses a hexadecimal number of 1 to `max_digits` digits, with or without a "0x" or "0X"
/// prefix. Nothing else is accepted: no sign, no spaces, no empty digits.
std::optional<std::uint32_t> parse_hex(std::string_view text, std::size_t max_digits);

}  // namespace tallowmere_dat::cli
