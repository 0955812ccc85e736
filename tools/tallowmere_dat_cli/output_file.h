#pragma once

// Files the tool writes where a person points it (`-o PATH`), written as the shell's `>` would:
// "-" is standard output; a symbolic link is written through to its target and stays; a FIFO, a
// device or a /dev or /proc path such as /dev/stdout is opened and written, never replaced; a
// regular file, or a name not yet taken, gets the whole new content atomically and keeps its
// permission bits.

#include <sys/stat.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>

#include "atomic_file.h"

namespace tallowmere_dat::cli {

/// A file's device and inode: what makes two paths the same file.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

/// The identity of the file at `path` (links followed), or nothing when it can't be found.
std::optional<FileIdentity> identity_of(const std::string& path);

/// Writes `bytes` to the output `path` names, as described above. Refuses, writing nothing, a
/// path that is the file `protect` (the archive being read). Fails with what went wrong.
std::expected<void, WriteFailure> write_output(const std::string& path,
                                               std::span<const std::uint8_t> bytes,
                                               const std::optional<FileIdentity>& protect);

}  // namespace tallowmere_dat::cli
