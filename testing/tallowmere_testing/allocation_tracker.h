#pragma once

// Heap measurement for tests. A test program that links `tallowmere_allocation_tracker` has the
// global operator new and delete replaced by counting ones, so a test can show that sizes and
// counts declared by a file never size an allocation beyond what the input could supply.

#include <cstddef>

namespace tallowmere_testing::allocations {

/// Starts a measurement: the largest allocation and the peak count from here.
void reset();
/// The largest single allocation since `reset`.
std::size_t largest();
/// The most heap bytes live at once since `reset`, minus those live at `reset`.
std::size_t peak_growth();
/// Heap bytes live now.
std::size_t live();

/// While alive, an allocation that would take the live heap past `growth` bytes beyond what was
/// live at construction fails with std::bad_alloc, as it would in a process with little memory.
class Limit {
 public:
  explicit Limit(std::size_t growth);
  Limit(const Limit&) = delete;
  Limit& operator=(const Limit&) = delete;
  ~Limit();
};

}  // namespace tallowmere_testing::allocations
