// TLatencyHistogram: durations counted into fixed buckets without a lock, so
// the thread where something happens (a poll thread, the main thread on the
// card path, a statement's caller) adds to it at the cost of two relaxed
// atomic additions, while another thread reads it.
//
// The bounds are fixed at construction. Any thread may call Observe and
// Snapshot. A snapshot taken while others observe may show an observation in
// its bucket but not yet in the sum: each figure is exact on its own.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace orlo {

class TLatencyHistogram {
 public:
  static constexpr std::size_t kMaxBounds = 16;

  // The upper bounds of the buckets in seconds, ascending; at most kMaxBounds
  // are kept. A last bucket without bound takes everything above them.
  explicit TLatencyHistogram(std::initializer_list<double> boundsSeconds);
  TLatencyHistogram(const TLatencyHistogram&) = delete;
  TLatencyHistogram& operator=(const TLatencyHistogram&) = delete;

  // A negative duration counts as 0.
  void Observe(std::chrono::nanoseconds duration);

  struct TSnapshot {
    std::vector<double> bounds;          // seconds
    std::vector<std::uint64_t> buckets;  // per bucket, not cumulative; one more than bounds
    double sumSeconds = 0;
    std::uint64_t Count() const;
  };
  TSnapshot Snapshot() const;

 private:
  std::size_t size_ = 0;                             // bounds in use
  std::array<std::int64_t, kMaxBounds> boundsNs_{};  // set at construction only
  std::array<std::atomic<std::uint64_t>, kMaxBounds + 1> counts_{};
  std::atomic<std::uint64_t> sumNs_{0};
};

}  // namespace orlo
