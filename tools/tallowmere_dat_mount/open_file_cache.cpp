#include "open_file_cache.h"

namespace tallowmere_dat::mount {

void OpenFileCache::open(std::uint64_t node) {
  const std::lock_guard lock(mutex_);
  ++slots_[node].opens;
}

void OpenFileCache::release(std::uint64_t node) {
  const std::lock_guard lock(mutex_);
  const auto found = slots_.find(node);
  if (found == slots_.end()) return;
  if (--found->second.opens > 0) return;
  drop_bytes(found->second);
  slots_.erase(found);
}

SharedBytes OpenFileCache::find(std::uint64_t node) {
  const std::lock_guard lock(mutex_);
  const auto found = slots_.find(node);
  if (found == slots_.end() || !found->second.bytes) return nullptr;
  recency_.splice(recency_.end(), recency_, found->second.recency);
  return found->second.bytes;
}

SharedBytes OpenFileCache::keep(std::uint64_t node, SharedBytes bytes) {
  const std::lock_guard lock(mutex_);
  if (bytes->size() > budget_) {
    const auto found = slots_.find(node);
    return found != slots_.end() && found->second.bytes ? found->second.bytes : bytes;
  }
  Slot& slot = slots_[node];
  if (slot.bytes) return slot.bytes;
  make_room(bytes->size());
  slot.bytes = bytes;
  slot.recency = recency_.insert(recency_.end(), node);
  kept_ += bytes->size();
  return bytes;
}

std::size_t OpenFileCache::kept_bytes() const {
  const std::lock_guard lock(mutex_);
  return kept_;
}

std::size_t OpenFileCache::open_nodes() const {
  const std::lock_guard lock(mutex_);
  return slots_.size();
}

void OpenFileCache::make_room(std::size_t size) {
  while (kept_ + size > budget_ && !recency_.empty()) {
    const auto oldest = slots_.find(recency_.front());
    drop_bytes(oldest->second);
    if (oldest->second.opens == 0) slots_.erase(oldest);
  }
}

void OpenFileCache::drop_bytes(Slot& slot) {
  if (!slot.bytes) return;
  kept_ -= slot.bytes->size();
  recency_.erase(slot.recency);
  slot.bytes.reset();
}

}  // namespace tallowmere_dat::mount
