#pragma once

// The bytes of the mounted tree's open files, kept while a file is open so that a run of small
// reads decodes it once, within a fixed bound on the bytes kept.

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace tallowmere_dat::mount {

using Bytes = std::vector<std::uint8_t>;
using SharedBytes = std::shared_ptr<const Bytes>;

/// Open counts and decoded bytes per node number, safe to use from several threads. The bytes
/// kept never add up to more than the budget: keeping a file evicts the least recently read
/// files' bytes (they are decoded again on their next read), and a file larger than the whole
/// budget is never kept. A file's bytes are dropped when its last open is released; those of a
/// file read without an open (the kernel opens without asking where it can) stay until evicted.
class OpenFileCache {
 public:
  explicit OpenFileCache(std::size_t budget) : budget_(budget) {}

  /// Counts one more open of `node`.
  void open(std::uint64_t node);
  /// Counts one open of `node` less; the last one drops its bytes. Unknown nodes are ignored.
  void release(std::uint64_t node);

  /// The bytes kept for `node`, marked as the most recently read, or null.
  SharedBytes find(std::uint64_t node);
  /// Keeps `bytes` for `node` when they fit in the budget, and returns the bytes now kept for
  /// it: those of another reader that got there first, else `bytes`.
  SharedBytes keep(std::uint64_t node, SharedBytes bytes);

  /// The bytes kept now, at most `budget()`.
  std::size_t kept_bytes() const;
  std::size_t budget() const { return budget_; }
  /// The number of nodes open now or with bytes kept.
  std::size_t open_nodes() const;

 private:
  struct Slot {
    std::size_t opens = 0;
    SharedBytes bytes;
    std::list<std::uint64_t>::iterator recency;
  };

  /// Drops the bytes of the least recently read nodes until `size` more fit.
  void make_room(std::size_t size);
  void drop_bytes(Slot& slot);

  const std::size_t budget_;
  mutable std::mutex mutex_;
  std::unordered_map<std::uint64_t, Slot> slots_;
  /// The nodes with bytes kept, least recently read first.
  std::list<std::uint64_t> recency_;
  std::size_t kept_ = 0;
};

}  // namespace tallowmere_dat::mount
