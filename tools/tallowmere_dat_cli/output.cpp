#include "output.h"

#include <unistd.h>

#include "tallowmere_report/write_all.h"

namespace tallowmere_dat::cli {
namespace {

// Large enough that a listing is written in few system calls, small enough that `cat` of a big
// file goes straight through.
constexpr std::size_t kBufferSize = std::size_t{64} * 1024;

}  // namespace

void Stdout::write(std::string_view text) {
  if (error_) return;
  if (buffer_.size() + text.size() > kBufferSize) {
    if (flush()) return;
    if (text.size() >= kBufferSize) {
      if (auto written = write_all(STDOUT_FILENO, text); !written) error_ = written.error();
      return;
    }
  }
  buffer_.append(text);
}

void Stdout::write(std::span<const std::uint8_t> bytes) {
  if (error_) return;
  if (flush()) return;
  if (auto written = write_all(STDOUT_FILENO, bytes); !written) error_ = written.error();
}

std::optional<IoError> Stdout::flush() {
  if (!error_ && !buffer_.empty()) {
    if (auto written = write_all(STDOUT_FILENO, buffer_); !written) error_ = written.error();
    buffer_.clear();
  }
  return error_;
}

void report(std::string_view message) {
  std::string line = "tallowmere-dat: ";
  line += message;
  line += '\n';
  if (!write_all(STDERR_FILENO, line)) return;  // nowhere left to report it
}

int finish(Stdout& out, int status) {
  if (const auto error = out.flush()) {
    report("failed writing to stdout: " + error->display());
    return kExitFailure;
  }
  return status;
}

}  // namespace tallowmere_dat::cli
