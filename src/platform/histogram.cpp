#include "platform/histogram.h"

#include <cmath>

namespace orlo {

TLatencyHistogram::TLatencyHistogram(std::initializer_list<double> boundsSeconds) {
  for (double bound : boundsSeconds) {
    if (size_ == kMaxBounds) break;
    boundsNs_[size_++] = std::llround(bound * 1e9);
  }
}

void TLatencyHistogram::Observe(std::chrono::nanoseconds duration) {
  const std::int64_t ns = duration.count() > 0 ? duration.count() : 0;
  std::size_t bucket = 0;
  while (bucket < size_ && ns > boundsNs_[bucket]) ++bucket;
  counts_[bucket].fetch_add(1, std::memory_order_relaxed);
  sumNs_.fetch_add(static_cast<std::uint64_t>(ns), std::memory_order_relaxed);
}

TLatencyHistogram::TSnapshot TLatencyHistogram::Snapshot() const {
  TSnapshot s;
  for (std::size_t i = 0; i < size_; ++i)
    s.bounds.push_back(static_cast<double>(boundsNs_[i]) / 1e9);
  for (std::size_t i = 0; i <= size_; ++i)
    s.buckets.push_back(counts_[i].load(std::memory_order_relaxed));
  s.sumSeconds = static_cast<double>(sumNs_.load(std::memory_order_relaxed)) / 1e9;
  return s;
}

std::uint64_t TLatencyHistogram::TSnapshot::Count() const {
  std::uint64_t n = 0;
  for (std::uint64_t b : buckets) n += b;
  return n;
}

}  // namespace orlo
