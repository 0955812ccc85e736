#include "progress.h"

#include <unistd.h>

#include <string>

#include "format.h"
#include "tallowmere_report/write_all.h"

namespace tallowmere_dat::cli {
namespace {

constexpr std::size_t kWidth = 30;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

std::string duration_text(double seconds) {
  const auto whole = static_cast<unsigned long long>(seconds);
  return format("%llu:%02llu", whole / 60, whole % 60);
}

}  // namespace

ProgressBar::ProgressBar(std::size_t total_files, std::uint64_t total_bytes, bool enabled)
    : total_files_(total_files),
      total_bytes_(total_bytes),
      enabled_(enabled && total_files != 0 && ::isatty(STDERR_FILENO) == 1) {}

ProgressBar::~ProgressBar() {
  // Carriage return, then erase to the end of the line.
  if (enabled_ && drawn_) {
    if (!write_all(STDERR_FILENO, "\r\x1b[K")) return;  // the terminal is gone; nothing to erase
  }
}

void ProgressBar::update(std::size_t files, std::uint64_t bytes) {
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (drawn_ && files != total_files_ && now - last_draw_ < kRedrawInterval) return;
  drawn_ = true;
  last_draw_ = now;

  const std::size_t filled = files * kWidth / total_files_;
  std::string line = "\r[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] ";
  line += format("%zu/%zu files, %s/%s", files, total_files_, human_size(bytes).c_str(),
                 human_size(total_bytes_).c_str());
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  if (elapsed > 0 && bytes > 0) {
    const double rate = static_cast<double>(bytes) / elapsed;
    line += ", " + human_size(static_cast<std::uint64_t>(rate)) + "/s, " +
            duration_text(static_cast<double>(total_bytes_ - bytes) / rate) + " left";
  }
  line += "\x1b[K";
  // A display that can't be drawn is not worth failing for: stop drawing it.
  if (!write_all(STDERR_FILENO, line)) enabled_ = false;
}

}  // namespace tallowmere_dat::cli
