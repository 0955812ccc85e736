#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "tallowmere_report/write_all.h"

namespace tallowmere_dat::cli {
namespace {

// The temporary file that a signal must remove, if any. The handler only reads the flag and the
// buffer; the buffer is filled while the flag is clear.
volatile std::sig_atomic_t g_armed = 0;
std::array<char, 4096> g_temporary{};

constexpr std::array kCleanupSignals = {SIGINT, SIGTERM, SIGHUP};

extern "C" void remove_temporary_and_reraise(int signal_number) {
  if (g_armed != 0) (void)::unlink(g_temporary.data());
  (void)std::signal(signal_number, SIG_DFL);
  (void)std::raise(signal_number);
}

void install_cleanup_handlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (const int signal_number : kCleanupSignals) {
      struct sigaction action {};
      action.sa_handler = remove_temporary_and_reraise;
      sigemptyset(&action.sa_mask);
      // Keep an ignored signal ignored (e.g. SIGHUP under nohup).
      struct sigaction previous {};
      if (::sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
        continue;
      }
      (void)::sigaction(signal_number, &action, nullptr);
    }
  });
}

/// Arms the signal cleanup for `path` while it lives.
class CleanupGuard {
 public:
  explicit CleanupGuard(const std::string& path) {
    if (path.size() >= g_temporary.size()) return;
    install_cleanup_handlers();
    std::memcpy(g_temporary.data(), path.c_str(), path.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_armed = 1;
  }
  CleanupGuard(const CleanupGuard&) = delete;
  CleanupGuard& operator=(const CleanupGuard&) = delete;
  ~CleanupGuard() { g_armed = 0; }
};

WriteFailure failure(std::string step) {
  return WriteFailure{std::move(step), IoError::last_os_error()};
}

}  // namespace

mode_t default_file_mode() {
  // umask can only be read by setting it; put it straight back (one thread).
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

std::expected<void, WriteFailure> write_file_atomically(const std::filesystem::path& path,
                                                        std::span<const std::uint8_t> bytes,
                                                        mode_t mode) {
  const std::filesystem::path directory = path.parent_path();
  std::string temporary = (directory / ("." + path.filename().string() + ".tmp-XXXXXX")).string();
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    return std::unexpected(
        failure("cannot create a temporary file in '" + directory.string() + "'"));
  }
  const CleanupGuard guard(temporary);
  auto abandon = [&](WriteFailure why) {
    (void)::unlink(temporary.c_str());
    return std::unexpected(std::move(why));
  };

  if (auto written = write_all(fd, bytes); !written) {
    ::close(fd);
    return abandon({"cannot write '" + temporary + "'", written.error()});
  }
  if (::fchmod(fd, mode) != 0) {
    WriteFailure why = failure("cannot set the permissions of '" + temporary + "'");
    ::close(fd);
    return abandon(std::move(why));
  }
  // close() reports write errors that the file system deferred (e.g. on NFS).
  if (::close(fd) != 0) return abandon(failure("cannot close '" + temporary + "'"));
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    return abandon(failure("cannot rename '" + temporary + "' to '" + path.string() + "'"));
  }
  return {};
}

}  // namespace tallowmere_dat::cli
