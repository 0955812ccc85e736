#pragma once

// Two streamed reads compared as they go, so that files of any size are compared exactly with
// memory of a chunk or two, however their chunks fall.

#include <expected>
#include <functional>
#include <optional>

#include "tallowmere_dat/chunk_sink.h"
#include "tallowmere_dat/error.h"

namespace tallowmere_dat::detail {

/// A streamed read: hands its bytes to the sink in order and ends with its result.
using StreamedRead = std::function<std::expected<void, DatError>(const ChunkSink&)>;

struct StreamComparison {
  std::optional<DatError> first_error;
  std::optional<DatError> second_error;
  /// Whether the two delivered the same bytes, to the same length.
  bool equal = false;
};

/// Runs both reads to their ends, `second` on a thread of its own that hands each chunk over and
/// waits until it is compared, and says how they ended and whether their bytes are equal. Each
/// read runs to its end even past a difference, so that its error is known.
[[nodiscard]] StreamComparison compare_streams(const StreamedRead& first,
                                               const StreamedRead& second);

}  // namespace tallowmere_dat::detail
