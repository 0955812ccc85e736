#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include "tallowmere_report/write_all.h"

namespace tallowmere_dat::cli {
namespace {

/// A temporary file that a signal must remove: a directory descriptor and a name, in a slot that
/// one writing thread claims (`taken`) and fills, then arms. The handler, on whichever thread it
/// runs, reads only armed slots; the atomics are lock-free, so it may read them.
struct CleanupSlot {
  std::atomic<bool> taken = false;
  std::atomic<bool> armed = false;
  int directory = -1;
  std::array<char, 256> name{};
};

/// More slots than threads that ever write at once.
std::array<CleanupSlot, 8> g_cleanup;
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler reads the slots");

constexpr std::array kCleanupSignals = {SIGINT, SIGTERM, SIGHUP};
constexpr std::string_view kTmp = ".tmp-";
constexpr std::size_t kRandom = 6;
constexpr std::size_t kNameMax = 255;

extern "C" void remove_temporary_and_reraise(int signal_number) {
  for (const CleanupSlot& slot : g_cleanup) {
    if (slot.armed.load(std::memory_order_acquire))
      (void)::unlinkat(slot.directory, slot.name.data(), 0);
  }
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

/// Arms the signal cleanup for a temporary file while it lives, in a slot of its own.
class CleanupGuard {
 public:
  CleanupGuard() = default;
  CleanupGuard(const CleanupGuard&) = delete;
  CleanupGuard& operator=(const CleanupGuard&) = delete;
  ~CleanupGuard() {
    if (slot_ == nullptr) return;
    slot_->armed.store(false, std::memory_order_release);
    slot_->taken.store(false, std::memory_order_release);
  }

  void arm(int directory, const std::string& name) {
    slot_ = claim_slot();
    std::memcpy(slot_->name.data(), name.c_str(), name.size() + 1);
    slot_->directory = directory;
    slot_->armed.store(true, std::memory_order_release);
  }

 private:
  static CleanupSlot* claim_slot() {
    for (;; std::this_thread::yield()) {
      for (CleanupSlot& slot : g_cleanup) {
        if (!slot.taken.exchange(true, std::memory_order_acquire)) return &slot;
      }
    }
  }

  CleanupSlot* slot_ = nullptr;
};

std::string random_characters() {
  static constexpr std::string_view kAlphabet =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  // One generator a thread, seeded apart, so that writers on several threads draw different names.
  thread_local std::minstd_rand generator(static_cast<std::uint32_t>(
      static_cast<std::size_t>(std::chrono::steady_clock::now().time_since_epoch().count() ^
                               ::getpid()) ^
      std::hash<std::thread::id>()(std::this_thread::get_id())));
  std::string text(kRandom, ' ');
  for (char& c : text)
    c = kAlphabet[generator() % kAlphabet.size()];
  return text;
}

/// Creates a new temporary file for `name` in `directory` (never through a symbolic link), with
/// the cleanup signals held back on this thread until `guard` is armed for it, so that no signal
/// finds the file existing but unknown to the handler. Its name goes to `temporary`.
int create_temporary(const OpenDirectory& directory, std::string_view name, std::string& temporary,
                     CleanupGuard& guard) {
  install_cleanup_handlers();
  const sigset_t held = cleanup_signals();
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = temporary_name(name, ::getpid(), random_characters());
    sigset_t previous;
    (void)::pthread_sigmask(SIG_BLOCK, &held, &previous);
    fd = ::openat(directory.fd(), temporary.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    const int saved_errno = errno;
    if (fd >= 0) guard.arm(directory.fd(), temporary);
    (void)::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = saved_errno;
    if (fd < 0 && errno != EEXIST) break;
  }
  return fd;
}

WriteFailure failure(std::string step) {
  return WriteFailure{std::move(step), IoError::last_os_error()};
}

/// The process's file mode creation mask. umask can only be read by setting it (and putting it
/// straight back), which would give a file created meanwhile on another thread the wrong mode: so
/// it is read once, before any writing (`default_file_mode`), and this tool never changes it.
mode_t process_umask() {
  static const mode_t mask = [] {
    const mode_t read = ::umask(0);
    ::umask(read);
    return read;
  }();
  return mask;
}

/// Sets the permissions of `fd`, unless it was created with them (`created_with` the mode given
/// to its creation, which the mask may have cut), and when given, its access and modification
/// times.
bool set_look(int fd, const FileLook& look, std::optional<mode_t> created_with = std::nullopt) {
  const bool has_mode = created_with == look.mode && (look.mode & process_umask()) == 0;
  if (!has_mode && ::fchmod(fd, look.mode) != 0) return false;
  if (!look.mtime) return true;
  const std::array<timespec, 2> times = {timespec{.tv_sec = *look.mtime, .tv_nsec = 0},
                                         timespec{.tv_sec = *look.mtime, .tv_nsec = 0}};
  return ::futimens(fd, times.data()) == 0;
}

/// Links the nameless file `fd` at `name` in `directory`. By the descriptor itself where the
/// kernel lets this process (it is cheaper: no walk through /proc), else through its
/// /proc/self/fd entry. A link never replaces a name, nor follows one.
bool link_at(int fd, const OpenDirectory& directory, std::string_view name) {
  const std::string target(name);
  if (::linkat(fd, "", directory.fd(), target.c_str(), AT_EMPTY_PATH) == 0) return true;
  if (errno != EPERM && errno != ENOENT) return false;
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::linkat(AT_FDCWD, self.c_str(), directory.fd(), target.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

/// Writes the content to a file without a name (O_TMPFILE) and links it at `name`. Until the link
/// the file has no name, so nothing can leave it behind. std::nullopt, with nothing written
/// anywhere, where this can't be done: a file system without O_TMPFILE, no /proc, or `name`
/// taken.
std::optional<std::expected<void, WriteFailure>> write_anonymous_then_link(
    const OpenDirectory& directory, std::string_view name, const ContentWriter& write,
    const FileLook& look) {
  const int fd = ::openat(directory.fd(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, look.mode);
  if (fd < 0) return std::nullopt;
  const std::string path = directory.path_of(name);
  if (auto written = write(fd, path); !written) {
    ::close(fd);
    return std::unexpected(std::move(written.error()));
  }
  if (!set_look(fd, look, look.mode)) {
    WriteFailure why = failure("cannot set the permissions and times of '" + path + "'");
    ::close(fd);
    return std::unexpected(std::move(why));
  }
  if (!link_at(fd, directory, name)) {
    ::close(fd);
    return std::nullopt;
  }
  // close() reports write errors that the file system deferred; the name held nothing before.
  if (::close(fd) != 0) {
    WriteFailure why = failure("cannot close '" + path + "'");
    (void)::unlinkat(directory.fd(), std::string(name).c_str(), 0);
    return std::unexpected(std::move(why));
  }
  return std::expected<void, WriteFailure>{};
}

/// Writes the content to a new temporary file beside `name` and renames it over `name`, removing
/// it on failure or on a cleanup signal.
std::expected<void, WriteFailure> write_named_then_rename(const OpenDirectory& directory,
                                                          std::string_view name,
                                                          const ContentWriter& write,
                                                          const FileLook& look) {
  std::string temporary;
  CleanupGuard guard;
  const int fd = create_temporary(directory, name, temporary, guard);
  if (fd < 0) {
    return std::unexpected(failure("cannot create a temporary file in '" + directory.path() + "'"));
  }
  const std::string shown = directory.path_of(temporary);
  auto abandon = [&](WriteFailure why) {
    (void)::unlinkat(directory.fd(), temporary.c_str(), 0);
    return std::unexpected(std::move(why));
  };
  if (auto written = write(fd, shown); !written) {
    ::close(fd);
    return abandon(std::move(written.error()));
  }
  if (!set_look(fd, look)) {
    WriteFailure why = failure("cannot set the permissions and times of '" + shown + "'");
    ::close(fd);
    return abandon(std::move(why));
  }
  // close() reports write errors that the file system deferred (e.g. on NFS).
  if (::close(fd) != 0) return abandon(failure("cannot close '" + shown + "'"));
  if (::renameat(directory.fd(), temporary.c_str(), directory.fd(), std::string(name).c_str()) !=
      0) {
    return abandon(failure("cannot rename '" + shown + "' to '" + directory.path_of(name) + "'"));
  }
  return {};
}

}  // namespace

OpenDirectory& OpenDirectory::operator=(OpenDirectory&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

OpenDirectory::~OpenDirectory() {
  if (fd_ >= 0) ::close(fd_);
}

std::string OpenDirectory::path_of(std::string_view name) const {
  std::string path = path_;
  if (!path.empty() && !path.ends_with('/')) path += '/';
  path += name;
  return path;
}

sigset_t cleanup_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal_number : kCleanupSignals)
    sigaddset(&signals, signal_number);
  return signals;
}

mode_t default_file_mode() {
  return 0666 & ~process_umask();
}

std::expected<void, WriteFailure> write_file_atomically(const OpenDirectory& directory,
                                                        std::string_view name,
                                                        const ContentWriter& write,
                                                        const FileLook& look,
                                                        Destination destination) {
  // Linking never replaces a name: where one may be taken, writing first would likely be wasted.
  if (destination == Destination::kNew) {
    if (auto linked = write_anonymous_then_link(directory, name, write, look)) return *linked;
  }
  return write_named_then_rename(directory, name, write, look);
}

std::expected<void, WriteFailure> write_file_atomically(const OpenDirectory& directory,
                                                        std::string_view name,
                                                        std::span<const std::uint8_t> bytes,
                                                        const FileLook& look,
                                                        Destination destination) {
  const ContentWriter write =
      [bytes](int fd, const std::string& path) -> std::expected<void, WriteFailure> {
    if (auto written = write_all(fd, bytes); !written) {
      return std::unexpected(WriteFailure{"cannot write '" + path + "'", written.error()});
    }
    return {};
  };
  return write_file_atomically(directory, name, write, look, destination);
}

std::string temporary_name(std::string_view name, pid_t pid, std::string_view random) {
  const std::string tail = std::string(kTmp) + std::to_string(pid) + "-" + std::string(random);
  const std::size_t room = kNameMax - 1 - tail.size();
  // Appended piece by piece: GCC 12 warns falsely about overlap in `"." + std::string`.
  std::string temporary = ".";
  temporary += name.substr(0, room);
  temporary += tail;
  return temporary;
}

bool is_stale_temporary(std::string_view entry, std::string_view suffix) {
  // "." NAME SUFFIX ".tmp-" PID "-" RANDOM
  if (!entry.starts_with('.') || entry.size() < 1 + kRandom + 1) return false;
  entry.remove_prefix(1);
  entry.remove_suffix(kRandom);
  if (!entry.ends_with('-')) return false;
  entry.remove_suffix(1);
  const std::size_t tmp = entry.rfind(kTmp);
  if (tmp == std::string_view::npos || !entry.substr(0, tmp).ends_with(suffix)) return false;
  const std::string_view digits = entry.substr(tmp + kTmp.size());
  pid_t pid = 0;
  const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
  if (parsed.ec != std::errc() || parsed.ptr != digits.data() + digits.size() || pid <= 0) {
    return false;
  }
  // A process that is there (whoever's) or can't be asked about may still own it.
  return pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH;
}

}  // namespace tallowmere_dat::cli
