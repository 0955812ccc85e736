#include "json.h"

#include <bit>
#include <cmath>
#include <cstdlib>

#include "format.h"

namespace tallowmere_dat::cli {

Json float_json(float value) {
  if (!std::isfinite(value)) return float_text(value);
  // The JSON writer prints the shortest text of a double. The double nearest the float's own
  // shortest text prints that same short text; use it when it still narrows to the same float
  // (rounding twice could, in principle, land on a neighbour), and the float's exact value
  // otherwise.
  const std::string text = float_text(value);
  const double shortest = std::strtod(text.c_str(), nullptr);
  if (std::bit_cast<std::uint32_t>(static_cast<float>(shortest)) ==
      std::bit_cast<std::uint32_t>(value)) {
    return shortest;
  }
  return static_cast<double>(value);
}

std::string json_line(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace tallowmere_dat::cli
