#include "format.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "tallowmere_dat/error.h"

namespace tallowmere_dat::cli {

std::string format(const char* pattern, ...) {
  std::va_list args;
  va_start(args, pattern);
  std::va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, pattern, args);
  va_end(args);
  std::string text;
  if (length > 0) {
    // vsnprintf writes the terminator too: room for it, then drop it.
    text.resize(static_cast<std::size_t>(length) + 1);
    (void)std::vsnprintf(text.data(), text.size(), pattern, again);
    text.pop_back();
  }
  va_end(again);
  return text;
}

std::string hex(std::uint32_t value, int digits) {
  return format("0x%0*X", digits, value);
}

std::string float_text(float value) {
  if (std::isnan(value)) return format("nan:0x%08X", std::bit_cast<std::uint32_t>(value));
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // Shortest form that reads back to the same float; 48 characters hold any of them.
  std::array<char, 48> digits{};
  const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
  return {digits.data(), result.ptr};
}

std::string levels_text(float priority, float probability, float volume) {
  return "priority " + float_text(priority) + ", probability " + float_text(probability) +
         ", volume " + float_text(volume);
}

std::optional<std::uint32_t> parse_hex(std::string_view text, std::size_t max_digits) {
  if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
  if (text.empty() || text.size() > max_digits) return std::nullopt;
  std::uint32_t value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string human_size(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes);
  constexpr std::array kUnits = {'K', 'M', 'G', 'T', 'P', 'E'};
  double value = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (std::ceil(value) >= 1024 && unit + 1 < kUnits.size()) {
    value /= 1024;
    ++unit;
  }
  if (value < 10 && std::ceil(value * 10) < 100) {
    return format("%.1f%c", std::ceil(value * 10) / 10, kUnits[unit]);
  }
  return format("%.0f%c", std::ceil(value), kUnits[unit]);
}

std::string iso_time(std::int64_t seconds) {
  const auto time = static_cast<std::time_t>(seconds);
  std::tm utc{};
  if (::gmtime_r(&time, &utc) == nullptr) return std::to_string(seconds);
  std::array<char, 32> text{};
  const std::size_t length = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &utc);
  return {text.data(), length};
}

std::string escaped_text(std::string_view text) {
  return DatError(DatError::Other{std::string(text)}).message();
}

std::string count_text(std::uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace tallowmere_dat::cli
