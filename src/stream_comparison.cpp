#include "stream_comparison.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>
#include <utility>

namespace tallowmere_dat::detail {
namespace {

/// One chunk at a time from a producing thread to a consuming one, without a copy: the producer
/// waits while the consumer reads the chunk it handed over.
class Handover {
 public:
  /// Producer: hands `chunk` over and returns once the consumer is done with it.
  void give(std::span<const std::uint8_t> chunk) {
    std::unique_lock lock(mutex_);
    chunk_ = chunk;
    held_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !held_; });
  }

  /// Producer: there are no more chunks.
  void close() {
    const std::scoped_lock lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }

  /// Consumer: the next chunk, to be given back with `release`, or an empty span once closed.
  std::span<const std::uint8_t> take() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return held_ || closed_; });
    return held_ ? chunk_ : std::span<const std::uint8_t>();
  }

  /// Consumer: done with the chunk `take` gave.
  void release() {
    const std::scoped_lock lock(mutex_);
    held_ = false;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::span<const std::uint8_t> chunk_;
  bool held_ = false;
  bool closed_ = false;
};

/// The consumer's side: the first read's chunks against those the second hands over.
class Comparer {
 public:
  explicit Comparer(Handover& second) : second_(second) {}

  void compare(std::span<const std::uint8_t> chunk) {
    while (!chunk.empty()) {
      if (pending_.empty() && !next()) {
        equal_ = false;  // the second ended first
        return;
      }
      const std::size_t count = std::min(chunk.size(), pending_.size());
      equal_ = equal_ && std::ranges::equal(chunk.first(count), pending_.first(count));
      chunk = chunk.subspan(count);
      pending_ = pending_.subspan(count);
      if (pending_.empty()) second_.release();
    }
  }

  /// After the first read's end: whatever the second still delivers is bytes over.
  bool finish() {
    if (!pending_.empty()) {
      equal_ = false;
      pending_ = {};
      second_.release();
    }
    while (next()) {
      equal_ = false;
      pending_ = {};
      second_.release();
    }
    return equal_;
  }

 private:
  bool next() {
    if (ended_) return false;
    pending_ = second_.take();
    ended_ = pending_.empty();
    return !ended_;
  }

  Handover& second_;
  std::span<const std::uint8_t> pending_;
  bool ended_ = false;
  bool equal_ = true;
};

std::optional<DatError> error_of(std::expected<void, DatError> result) {
  if (result) return std::nullopt;
  return std::move(result.error());
}

}  // namespace

StreamComparison compare_streams(const StreamedRead& first, const StreamedRead& second) {
  Handover handover;
  StreamComparison comparison;
  std::thread producer([&] {
    comparison.second_error = error_of(second([&](std::span<const std::uint8_t> chunk) {
      handover.give(chunk);
      return true;
    }));
    handover.close();
  });
  Comparer comparer(handover);
  comparison.first_error = error_of(first([&](std::span<const std::uint8_t> chunk) {
    comparer.compare(chunk);
    return true;
  }));
  comparison.equal = comparer.finish();
  producer.join();
  return comparison;
}

}  // namespace tallowmere_dat::detail
