#pragma once

// Runs an executable of the project in a child process and collects what it did, for tests of
// the probe and the command-line tool.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tallowmere_testing {

/// Where the child's standard output goes.
enum class StdoutTarget : std::uint8_t {
  kCapture,     ///< Into `ProcessResult::out`.
  kDevFull,     ///< /dev/full: every write fails with "No space left on device".
  kDevNull,     ///< /dev/null: everything written is dropped, however much.
  kClosedPipe,  ///< A pipe whose reading end is already closed: every write fails with EPIPE.
};

// GCC 12 warns about designated initializers that skip a member without an initializer.
// NOLINTBEGIN(readability-redundant-member-init)
struct ProcessOptions {
  StdoutTarget stdout_target = StdoutTarget::kCapture;
  std::string stdin_data{};
  /// An address-space limit (RLIMIT_AS) for the child, in bytes.
  std::optional<std::uint64_t> address_space_limit{};
  /// The child's working directory.
  std::optional<std::string> working_directory{};
};

struct ProcessResult {
  int exit_status = -1;  ///< The exit status, or -1 if the child was killed by a signal.
  int signal = 0;        ///< The signal that killed the child, or 0.
  std::string out{};
  std::string err{};
};
// NOLINTEND(readability-redundant-member-init)

/// Runs `argv[0]` (a path) with `argv`, waits for it and returns what it did. Aborts if the
/// child can't be started: this is test code.
ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});

}  // namespace tallowmere_testing
