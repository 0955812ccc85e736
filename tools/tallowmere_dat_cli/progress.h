#pragma once

// A one-line progress bar on standard error, drawn only when standard error is a terminal.

#include <cstddef>

namespace tallowmere_dat::cli {

class ProgressBar {
 public:
  /// A bar for `total` steps; it draws nothing unless standard error is a terminal.
  explicit ProgressBar(std::size_t total);
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
  /// Erases the bar.
  ~ProgressBar();

  /// Shows `done` of the total steps. Redraws only when the text would change by a tenth of a
  /// percent or more, so a million steps cost about a thousand writes.
  void update(std::size_t done);

 private:
  std::size_t total_;
  bool enabled_;
  std::size_t drawn_permille_ = static_cast<std::size_t>(-1);
};

}  // namespace tallowmere_dat::cli
