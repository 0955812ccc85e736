#pragma once

// The mounted tree's file-system operations, apart from any FUSE binding so that they can be
// driven in-process. Every node has a fixed number that says what it is:
//
//   1                       /
//   2                       /.archive
//   3                       /sound-tables
//   4, 5, 6                 /.archive/header.json, check.json, listing.json
//   0x100 + type byte       /0xTT
//   0x1'0000'0000 + id      /0xTT/0xIIIIIIII: the file's content
//   0x2'0000'0000 + id      /sound-tables/0xIIIIIIII.json: the sound table decoded
//
// so that lookups need no table and the kernel may keep any node for as long as it likes.
// Failures are errno values.

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdint>
#include <expected>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "open_file_cache.h"
#include "tallowmere_dat/dat_database.h"

namespace tallowmere_dat::mount {

using Node = std::uint64_t;
inline constexpr Node kRootNode = 1;

/// The bytes of open files kept at most, unless set otherwise: 256 MiB.
inline constexpr std::size_t kDefaultCacheBudget = std::size_t{256} << 20U;

struct TreeOptions {
  /// Show each file's stored bytes instead of its decompressed, verified content.
  bool raw = false;
  /// The bound on the bytes kept for open files (see `OpenFileCache`).
  std::size_t cache_budget = kDefaultCacheBudget;
};

/// One directory entry as `readdir` hands it on.
struct DirEntry {
  std::string_view name;
  Node node;
  /// S_IFDIR or S_IFREG.
  mode_t type;
};

/// Takes one directory entry and the offset that continues after it; false when the page is
/// full, in which case the entry is not taken.
using DirSink = std::function<bool(const DirEntry& entry, std::uint64_t next_offset)>;

/// Where the reasons for failed reads go, one line each, e.g. "0x20000001: file 0x20000001 ...".
using Log = std::function<void(std::string_view line)>;

/// The tree of one open archive. Every operation may run on several threads at once.
class ArchiveTree {
 public:
  /// `archive_path` names the archive in the documents, and `check.json` checks the file there
  /// again, so it should be absolute. Owner, directory times and the size for `statfs` are
  /// taken now.
  ArchiveTree(DatDatabase db, std::string archive_path, TreeOptions options, Log log);

  /// The attributes of `name` in directory `parent`. ENOENT when there is no such entry,
  /// ENOTDIR when `parent` is a file.
  std::expected<struct stat, int> lookup(Node parent, std::string_view name) const;
  /// The attributes of `node`: mode 0555 for directories and 0444 for files, owned by the
  /// mounting user, a file's times its entry's timestamp. ENOENT for an unknown node.
  std::expected<struct stat, int> getattr(Node node) const;
  /// Hands the entries of directory `node` from position `offset` ("." and ".." first, then the
  /// children in name order) to `sink` until it is full or the directory ends. Each call costs
  /// only the entries it hands on. ENOTDIR for a file, ENOENT for an unknown node.
  int readdir(Node node, std::uint64_t offset, const DirSink& sink) const;

  /// Opens file `node` with open(2) `flags`: EROFS for any access but reading, EISDIR for a
  /// directory, ENOENT for an unknown node. Each successful open needs one `release`.
  int open(Node node, int flags);
  /// Copies the file's bytes from `offset` into `out` and returns how many: fewer at the end of
  /// the file. EIO, with the reason logged, when the archive can't give the file's bytes.
  std::expected<std::size_t, int> read(Node node, std::uint64_t offset,
                                       std::span<std::uint8_t> out);
  /// Ends one open of `node`; the last one drops the bytes kept for it.
  void release(Node node);

  /// The archive's size (in 1-byte fragments) and node count; nothing free; read-only.
  struct statvfs statfs() const;

  const OpenFileCache& cache() const { return cache_; }

 private:
  enum class Kind : std::uint8_t { Root, ArchiveDir, SoundDir, Document, TypeDir, File, SoundJson };
  struct Decoded {
    Kind kind;
    std::uint32_t value;  // the type byte, identifier or document index
  };

  std::optional<Decoded> decode(Node node) const;
  std::expected<struct stat, int> attributes(Node node) const;
  struct stat directory_stat(Node node) const;
  struct stat file_stat(Node node, std::uint64_t size, struct timespec time) const;
  /// The size a file shows: its content's, or when that can't be had, at least 1 so that reads
  /// reach `read` and fail there instead of showing an empty file.
  std::uint64_t file_size(const Decoded& what, Node node) const;
  /// The bytes of file `node`, or the reason they can't be had.
  std::expected<Bytes, std::string> content(const Decoded& what) const;
  /// The file's path in the tree, for the log.
  std::string path_of(const Decoded& what) const;
  /// Rendered documents' sizes, kept: they cost a render to learn.
  std::uint64_t document_size(const Decoded& what, Node node) const;
  /// The number of children of directory `what` and the name, node and type of the `index`th.
  std::size_t child_count(const Decoded& what) const;
  DirEntry child(const Decoded& what, std::size_t index, std::string& name) const;
  std::expected<Node, int> child_node(const Decoded& parent, std::string_view name) const;

  DatDatabase db_;
  std::string archive_path_;
  TreeOptions options_;
  Log log_;
  uid_t uid_;
  gid_t gid_;
  struct timespec archive_time_ {};
  std::uint64_t archive_size_ = 0;
  /// The type bytes that have files, ascending.
  std::vector<std::uint8_t> types_;
  OpenFileCache cache_;
  mutable std::mutex sizes_mutex_;
  mutable std::unordered_map<Node, std::uint64_t> document_sizes_;
};

}  // namespace tallowmere_dat::mount
