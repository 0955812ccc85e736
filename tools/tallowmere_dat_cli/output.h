#pragma once

// Where the tool's output goes: standard output through a buffer that remembers the first failed
// write, and one-line messages on standard error.

#include <cstdint>
#include <expected>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tallowmere_dat/io_error.h"

namespace tallowmere_dat::cli {

// Exit statuses, as diff and grep have them: 0 when all went well and nothing was found; 1 for
// findings, damaged or missing files met; 2 for trouble (an unreadable archive, a usage error, a
// failed write).
inline constexpr int kExitOk = 0;
inline constexpr int kExitFindings = 1;
inline constexpr int kExitTrouble = 2;
inline constexpr int kExitUsage = kExitTrouble;

/// Standard output, buffered. After a write fails, later writes are dropped: the first failure
/// is what `finish` reports. A write to a pipe whose reader has gone ends the process by
/// SIGPIPE, as it does other Unix tools (see `die_of_closed_pipe`).
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
  /// Remembers a failed write; a closed pipe ends the process.
  void check(const std::expected<void, IoError>& written);

  std::string buffer_;
  std::optional<IoError> error_;
};

/// Restores SIGPIPE's default action and unblocks it, whatever the parent left, so that a
/// closed pipe ends the process quietly with the status shells show as 141.
void default_closed_pipe_action();

/// Writes "tallowmere-dat: " + the non-empty `parts` joined with ": " + a line feed to standard
/// error, e.g. report({"cat", "0x00000001", "file 0x00000001 not found"}). A failure there has
/// nowhere to be reported, so it is ignored.
void report(std::initializer_list<std::string_view> parts);

/// Flushes `out` and returns `status`, or reports `command` + ": cannot write to standard
/// output: " + the error and returns `kExitTrouble` when any write to it failed.
int finish(Stdout& out, std::string_view command, int status = kExitOk);

}  // namespace tallowmere_dat::cli
