#pragma once

// Where the tool's output goes: standard output through a buffer that remembers the first failed
// write, and one-line messages on standard error.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tallowmere_dat/io_error.h"

namespace tallowmere_dat::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

/// Standard output, buffered. After a write fails, later writes are dropped: the first failure
/// is what `finish` reports.
class Stdout {
 public:
  Stdout() = default;
  Stdout(const Stdout&) = delete;
  Stdout& operator=(const Stdout&) = delete;

  void write(std::string_view text);
  void write(std::span<const std::uint8_t> bytes);

  /// True once a write has failed.
  bool failed() const { return error_.has_value(); }

  /// Writes out what is buffered. Fails with the first failed write, this one or an earlier one.
  std::optional<IoError> flush();

 private:
  std::string buffer_;
  std::optional<IoError> error_;
};

/// Writes "tallowmere-dat: " + `message` + a line feed to standard error. A failure there has
/// nowhere to be reported, so it is ignored.
void report(std::string_view message);

/// Flushes `out` and returns `status`, or reports "failed writing to stdout: " + the error and
/// returns `kExitFailure` when any write to it failed.
int finish(Stdout& out, int status = kExitOk);

}  // namespace tallowmere_dat::cli
