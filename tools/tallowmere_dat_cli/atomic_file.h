#pragma once

// Writing a file so that its name never shows a partial file: the bytes go to a file without a
// name, linked at the name once complete, or to a temporary file beside it, renamed over the name.
// Everything happens relative to an open directory, so no symbolic link on the way is followed.

#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tallowmere_dat/io_error.h"

namespace tallowmere_dat::cli {

/// What failed while writing a file, and the operating system's error.
struct WriteFailure {
  std::string step;              ///< E.g. "cannot create a temporary file in 'DIR'".
  std::optional<IoError> error;  ///< None where the tool refused by itself.

  /// One line for people: the step, then the operating system's error if any.
  std::string message() const { return error ? step + ": " + error->message() : step; }
};

/// Whether the name written to may be taken already.
enum class Destination : std::uint8_t {
  kNew,      ///< Most likely free, e.g. in a directory just created.
  kMayExist  ///< May hold a file to replace.
};

/// An open directory (a descriptor, closed with the object) and its path for messages.
class OpenDirectory {
 public:
  OpenDirectory(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  OpenDirectory(const OpenDirectory&) = delete;
  OpenDirectory& operator=(const OpenDirectory&) = delete;
  OpenDirectory(OpenDirectory&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
    other.fd_ = -1;
  }
  OpenDirectory& operator=(OpenDirectory&& other) noexcept;
  ~OpenDirectory();

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  /// `name` in this directory, for messages.
  std::string path_of(std::string_view name) const;

 private:
  int fd_;
  std::string path_;
};

/// How the written file is to look: its permission bits and, if given, its modification time
/// (Unix seconds).
struct FileLook {
  mode_t mode = 0644;
  std::optional<std::int64_t> mtime;
};

/// What writes a file's content to the open descriptor `fd`, the file shown as `path` in
/// messages: a failure says what went wrong (its `error` none where the content itself couldn't
/// be had), and no file is left at the name.
using ContentWriter =
    std::function<std::expected<void, WriteFailure>(int fd, const std::string& path)>;

/// Writes `bytes` to `name` in `directory`, never following a symbolic link there (one at
/// `name` is replaced, as a rename replaces it). `name` either keeps what it held before or
/// holds all of `bytes`; on failure nothing new is left behind. For a `kNew` name, where the file
/// system allows, the bytes go to a file without a name (O_TMPFILE) that is linked at `name`,
/// which nothing can leave behind. Otherwise, or when the name turns out taken, they go to a
/// temporary file named by `temporary_name`, renamed over `name` once written and closed:
/// SIGINT, SIGTERM and SIGHUP are held back while it is created, and from then until the rename
/// they remove it before ending the process as they would have; only a SIGKILL or a crash can
/// leave one behind, for `is_stale_temporary` to find. Several threads may write at once (call
/// `default_file_mode` before they start); they should block `cleanup_signals` and take them on
/// one thread of their own, since the handler can run on one thread just as another has created
/// its temporary file.
std::expected<void, WriteFailure> write_file_atomically(const OpenDirectory& directory,
                                                        std::string_view name,
                                                        std::span<const std::uint8_t> bytes,
                                                        const FileLook& look,
                                                        Destination destination);

/// `write_file_atomically` of the content that `write` produces, written as it comes, so that a
/// large file never has to be in memory. `write` may be called twice (after a nameless file
/// can't be linked), and its failure fails the whole.
std::expected<void, WriteFailure> write_file_atomically(const OpenDirectory& directory,
                                                        std::string_view name,
                                                        const ContentWriter& write,
                                                        const FileLook& look,
                                                        Destination destination);

/// The name of a temporary file for `name` written by process `pid`: "." + NAME + ".tmp-" + pid +
/// "-" + `random` (six characters), NAME cut short so that the whole stays within 255 bytes.
std::string temporary_name(std::string_view name, pid_t pid, std::string_view random);

/// True when `entry` is a temporary file that `write_file_atomically` made for a name ending in
/// `suffix`, whose process is gone (so nothing will rename or remove it).
bool is_stale_temporary(std::string_view entry, std::string_view suffix);

/// The signals on which a temporary file is removed before they end the process: SIGINT,
/// SIGTERM and SIGHUP.
sigset_t cleanup_signals();

/// The permissions a new file gets under the process's umask (0666 less the umask). The umask is
/// read by the first call, which must come before any thread writes.
mode_t default_file_mode();

}  // namespace tallowmere_dat::cli
