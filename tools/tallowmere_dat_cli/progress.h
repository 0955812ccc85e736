#pragma once

// A one-line progress display on standard error, drawn only when standard error is a terminal.

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace tallowmere_dat::cli {

class ProgressBar {
 public:
  /// A display for `total_files` files of `total_bytes` bytes; it draws nothing when `enabled`
  /// is false or standard error is not a terminal.
  ProgressBar(std::size_t total_files, std::uint64_t total_bytes, bool enabled);
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
  /// Erases the display.
  ~ProgressBar();

  /// Shows `files` of the files and `bytes` of the bytes done, with the rate so far and the
  /// time left. Redraws at most ten times a second, and always for the first and last step.
  void update(std::size_t files, std::uint64_t bytes);

 private:
  using Clock = std::chrono::steady_clock;

  std::size_t total_files_;
  std::uint64_t total_bytes_;
  bool enabled_;
  bool drawn_ = false;
  Clock::time_point start_ = Clock::now();
  Clock::time_point last_draw_;
};

}  // namespace tallowmere_dat::cli
