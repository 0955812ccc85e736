#include "tallowmere_testing/allocation_tracker.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>

namespace {

constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

std::atomic<std::size_t> g_live{0};
std::atomic<std::size_t> g_base{0};
std::atomic<std::size_t> g_peak{0};
std::atomic<std::size_t> g_largest{0};
std::atomic<std::size_t> g_limit{kNoLimit};

void raise_to(std::atomic<std::size_t>& value, std::size_t candidate) {
  std::size_t seen = value.load(std::memory_order_relaxed);
  while (candidate > seen && !value.compare_exchange_weak(seen, candidate)) {
  }
}

}  // namespace

void* operator new(std::size_t size) {
  const std::size_t limit = g_limit.load(std::memory_order_relaxed);
  const std::size_t live = g_live.load(std::memory_order_relaxed);
  if (size > limit - std::min(live, limit)) throw std::bad_alloc();
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  const std::size_t usable = malloc_usable_size(p);
  raise_to(g_peak, g_live.fetch_add(usable, std::memory_order_relaxed) + usable);
  raise_to(g_largest, size);
  return p;
}

// std::stable_sort's scratch comes from the nothrow form: it must take the same heap as the
// others, so that the delete below frees what it allocated.
void* operator new(std::size_t size, const std::nothrow_t& /*unused*/) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// These pair with the malloc above. Kept out of line, and hidden from the analyser, so that
// neither GCC nor clang-tidy takes the free for one of a pointer from a built-in new.
// NOLINTBEGIN(clang-analyzer-cplusplus.NewDelete)
[[gnu::noinline]] void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  g_live.fetch_sub(malloc_usable_size(p), std::memory_order_relaxed);
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t /*size*/) noexcept {
  operator delete(p);
}
[[gnu::noinline]] void operator delete(void* p, const std::nothrow_t& /*unused*/) noexcept {
  operator delete(p);
}
// NOLINTEND(clang-analyzer-cplusplus.NewDelete)

namespace tallowmere_testing::allocations {

void reset() {
  g_base = g_live.load();
  g_peak = g_base.load();
  g_largest = 0;
}

std::size_t largest() {
  return g_largest.load();
}
std::size_t peak_growth() {
  return g_peak.load() - std::min(g_peak.load(), g_base.load());
}
std::size_t live() {
  return g_live.load();
}

Limit::Limit(std::size_t growth) {
  g_limit = g_live.load() + growth;
}
Limit::~Limit() {
  g_limit = kNoLimit;
}

}  // namespace tallowmere_testing::allocations
