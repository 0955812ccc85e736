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

/// A sound record's levels: "priority P, probability Q, volume V", each as `float_text` gives it.
std::string levels_text(float priority, float probability, float volume);

/// Parses a hexadecimal number of 1 to `max_digits` digits, with or without a "0x" or "0X"
/// prefix. Nothing else is accepted: no sign, no spaces, no empty digits.
std::optional<std::uint32_t> parse_hex(std::string_view text, std::size_t max_digits);

/// A size as `ls -h` shows it: bytes below 1024 as they are ("512"), larger ones in K, M, G or
/// T (powers of 1024) with one decimal below 10 ("1.5K", "12M"), rounded up as GNU ls rounds.
std::string human_size(std::uint64_t bytes);

/// Unix seconds as an ISO 8601 UTC time, e.g. "2023-11-14T22:13:20Z".
std::string iso_time(std::int64_t seconds);

/// Text from outside (a path, a name) made safe to print on one line: valid UTF-8, with control
/// and other unprintable characters escaped as `DatError::message()` escapes them.
std::string escaped_text(std::string_view text);

/// `count` and the noun that goes with it: "1 file", "2 files".
std::string count_text(std::uint64_t count, const char* one, const char* many);

}  // namespace tallowmere_dat::cli
