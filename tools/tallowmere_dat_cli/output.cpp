#include "output.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "tallowmere_report/write_all.h"

namespace tallowmere_dat::cli {
namespace {

// Large enough that a listing is written in few system calls, small enough that `cat` of a big
// file goes straight through.
constexpr std::size_t kBufferSize = std::size_t{64} * 1024;

}  // namespace

void default_closed_pipe_action() {
  (void)std::signal(SIGPIPE, SIG_DFL);
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  (void)::sigprocmask(SIG_UNBLOCK, &pipe_only, nullptr);
}

void Stdout::check(const std::expected<void, IoError>& written) {
  if (written) return;
  // SIGPIPE normally ends the process inside the write; this covers its being ignored anyway.
  if (written.error().os_code() == EPIPE) {
    default_closed_pipe_action();
    (void)std::raise(SIGPIPE);
  }
  error_ = written.error();
}

void Stdout::write(std::string_view text) {
  if (error_) return;
  if (buffer_.size() + text.size() > kBufferSize) {
    if (flush()) return;
    if (text.size() >= kBufferSize) {
      check(write_all(STDOUT_FILENO, text));
      return;
    }
  }
  buffer_.append(text);
}

void Stdout::write(std::span<const std::uint8_t> bytes) {
  if (error_) return;
  if (flush()) return;
  check(write_all(STDOUT_FILENO, bytes));
}

std::optional<IoError> Stdout::flush() {
  if (!error_ && !buffer_.empty()) {
    check(write_all(STDOUT_FILENO, buffer_));
    buffer_.clear();
  }
  return error_;
}

void report(std::initializer_list<std::string_view> parts) {
  std::string line = "tallowmere-dat";
  for (const std::string_view part : parts) {
    if (part.empty()) continue;
    line += ": ";
    line += part;
  }
  line += '\n';
  if (!write_all(STDERR_FILENO, line)) return;  // nowhere left to report it
}

int finish(Stdout& out, std::string_view command, int status) {
  if (const auto error = out.flush()) {
    report({command, "cannot write to standard output", error->message()});
    return kExitTrouble;
  }
  return status;
}

}  // namespace tallowmere_dat::cli
