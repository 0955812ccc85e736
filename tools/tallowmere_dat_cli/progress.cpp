#include "progress.h"

#include <unistd.h>

#include <string>

#include "format.h"
#include "tallowmere_report/write_all.h"

namespace tallowmere_dat::cli {
namespace {

constexpr std::size_t kWidth = 30;

}  // namespace

ProgressBar::ProgressBar(std::size_t total)
    : total_(total), enabled_(total != 0 && ::isatty(STDERR_FILENO) == 1) {}

ProgressBar::~ProgressBar() {
  // Carriage return, then erase to the end of the line.
  if (enabled_ && drawn_permille_ != static_cast<std::size_t>(-1)) {
    if (!write_all(STDERR_FILENO, "\r\x1b[K")) return;  // the terminal is gone; nothing to erase
  }
}

void ProgressBar::update(std::size_t done) {
  if (!enabled_) return;
  const std::size_t permille = done * 1000 / total_;
  if (permille == drawn_permille_ && done != total_) return;
  drawn_permille_ = permille;
  const std::size_t filled = done * kWidth / total_;
  std::string line = "\r[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] ";
  line += format("%zu/%zu", done, total_);
  // A bar that can't be drawn is not worth failing for: stop drawing it.
  if (!write_all(STDERR_FILENO, line)) enabled_ = false;
}

}  // namespace tallowmere_dat::cli
