#pragma once

// Serves an `ArchiveTree` through libfuse's low-level API until it is unmounted.

#include <string>
#include <vector>

#include "archive_fs.h"

namespace tallowmere_dat::mount {

struct MountRequest {
  std::string mountpoint;
  /// The file system's name in the mount table: the archive's path.
  std::string source;
  /// Stay in the foreground; otherwise detach once the mount is in place.
  bool foreground = false;
  /// Further mount options, each as given to -o (comma-separated lists allowed).
  std::vector<std::string> options;
};

/// Mounts `tree` read-only at the request's mount point and serves it on several threads until
/// SIGINT, SIGTERM, SIGHUP or `fusermount3 -u` ends it, then unmounts. Without `foreground` the
/// process detaches (and its standard streams go to /dev/null) as soon as the mount is in
/// place, so that the parent's caller can use the mount point at once. libfuse's own messages
/// go to `log`. Returns false when the options are refused or the mount fails.
bool serve(ArchiveTree& tree, const MountRequest& request, const Log& log);

}  // namespace tallowmere_dat::mount
