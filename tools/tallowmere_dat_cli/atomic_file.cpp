#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

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
  CleanupGuard() = default;
  CleanupGuard(const CleanupGuard&) = delete;
  CleanupGuard& operator=(const CleanupGuard&) = delete;
  ~CleanupGuard() { g_armed = 0; }

  void arm(const std::string& path) {
    if (path.size() >= g_temporary.size()) return;
    std::memcpy(g_temporary.data(), path.c_str(), path.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_armed = 1;
  }
};

/// Creates the temporary file for `temporary` (a mkostemp template, filled in) with the cleanup
/// signals held back until `guard` is armed for it, so that no signal finds the file existing
/// but unknown to the handler.
int create_temporary(std::string& temporary, CleanupGuard& guard) {
  install_cleanup_handlers();
  sigset_t cleanup_signals;
  sigemptyset(&cleanup_signals);
  for (const int signal_number : kCleanupSignals)
    sigaddset(&cleanup_signals, signal_number);
  sigset_t previous;
  (void)::sigprocmask(SIG_BLOCK, &cleanup_signals, &previous);
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  const int saved_errno = errno;
  if (fd >= 0) guard.arm(temporary);
  (void)::sigprocmask(SIG_SETMASK, &previous, nullptr);
  errno = saved_errno;
  return fd;
}

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

namespace {

/// Sets the access and modification times of `fd` to `mtime` (Unix seconds).
bool set_times(int fd, std::int64_t mtime) {
  const std::array<timespec, 2> times = {timespec{.tv_sec = mtime, .tv_nsec = 0},
                                         timespec{.tv_sec = mtime, .tv_nsec = 0}};
  return ::futimens(fd, times.data()) == 0;
}

/// Links the nameless file `fd` at `path`. By the descriptor itself where the kernel lets this
/// process (it is cheaper: no walk through /proc), else through its /proc/self/fd entry.
bool link_at(int fd, const std::filesystem::path& path) {
  if (::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0) return true;
  if (errno != EPERM && errno != ENOENT) return false;
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

/// Writes `bytes` to a file without a name in `path`'s directory (O_TMPFILE) and links it at
/// `path`. Until the link the file has no name, so no signal, crash or kill can leave it behind
/// and no cleanup handler is needed; and it costs fewer system calls than a named temporary file.
/// std::nullopt, with nothing written anywhere, where this can't be done: a file system without
/// O_TMPFILE, no /proc, or `path` existing (a link never replaces a name).
std::optional<std::expected<void, WriteFailure>> write_anonymous_then_link(
    const std::filesystem::path& path, std::span<const std::uint8_t> bytes, mode_t mode,
    std::int64_t mtime) {
  const int fd = ::open(path.parent_path().c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  if (fd < 0) return std::nullopt;
  if (auto written = write_all(fd, bytes); !written) {
    ::close(fd);
    return std::unexpected(WriteFailure{"cannot write '" + path.string() + "'", written.error()});
  }
  if (!set_times(fd, mtime)) {
    WriteFailure why = failure("cannot set the times of '" + path.string() + "'");
    ::close(fd);
    return std::unexpected(std::move(why));
  }
  if (!link_at(fd, path)) {
    ::close(fd);
    return std::nullopt;
  }
  // close() reports write errors that the file system deferred; the name held nothing before.
  if (::close(fd) != 0) {
    WriteFailure why = failure("cannot close '" + path.string() + "'");
    (void)::unlink(path.c_str());
    return std::unexpected(std::move(why));
  }
  return std::expected<void, WriteFailure>{};
}

/// Writes `bytes` to a new temporary file ".NAME.tmp-XXXXXX" beside `path` and renames it over
/// `path`, removing it on failure or on a cleanup signal.
std::expected<void, WriteFailure> write_named_then_rename(const std::filesystem::path& path,
                                                          std::span<const std::uint8_t> bytes,
                                                          mode_t mode, std::int64_t mtime) {
  const std::filesystem::path directory = path.parent_path();
  // Appended piece by piece: GCC 12 warns falsely about overlap in `"." + std::string`.
  std::string name = ".";
  name += path.filename().string();
  name += ".tmp-XXXXXX";
  std::string temporary = (directory / name).string();
  CleanupGuard guard;
  const int fd = create_temporary(temporary, guard);
  if (fd < 0) {
    return std::unexpected(
        failure("cannot create a temporary file in '" + directory.string() + "'"));
  }
  auto abandon = [&](WriteFailure why) {
    (void)::unlink(temporary.c_str());
    return std::unexpected(std::move(why));
  };

  if (auto written = write_all(fd, bytes); !written) {
    ::close(fd);
    return abandon({"cannot write '" + temporary + "'", written.error()});
  }
  if (::fchmod(fd, mode) != 0 || !set_times(fd, mtime)) {
    WriteFailure why = failure("cannot set the permissions and times of '" + temporary + "'");
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

}  // namespace

std::expected<void, WriteFailure> write_file_atomically(const std::filesystem::path& path,
                                                        std::span<const std::uint8_t> bytes,
                                                        mode_t mode, std::int64_t mtime,
                                                        Destination destination) {
  // Linking never replaces a name: where one may be taken, writing first would likely be wasted.
  if (destination == Destination::kNew) {
    if (auto linked = write_anonymous_then_link(path, bytes, mode, mtime)) return *linked;
  }
  return write_named_then_rename(path, bytes, mode, mtime);
}

bool is_temporary_name(std::string_view name, std::string_view suffix) {
  constexpr std::string_view kTmp = ".tmp-";
  constexpr std::size_t kRandom = 6;
  if (!name.starts_with('.') || name.size() < 1 + suffix.size() + kTmp.size() + kRandom) {
    return false;
  }
  name.remove_suffix(kRandom);
  return name.ends_with(std::string(suffix) + std::string(kTmp));
}

}  // namespace tallowmere_dat::cli
