#include "bus/linetrace.h"

#include <utility>

#include "bus/tracefile.h"
#include "log/messlog.h"
#include "platform/format.h"

namespace orlo {

TLineTrace::TLineTrace(const TLineTraceSettings& settings, TMessLog* log)
    : loopId_(settings.loopId), log_(log), file_(std::make_unique<TTraceFile>(settings, log)) {
  queue_.reserve(256);
  if (log_)
    log_->Log(Format("Line trace of loop %d on COM%d: into %s, at most %d MB a day",
                     settings.loopId, settings.port, settings.folder,
                     settings.maxBytes / (1024 * 1024)));
  writer_ = std::jthread([this](std::stop_token st) { Run(st); });
}

TLineTrace::~TLineTrace() {
  writer_.request_stop();
  if (writer_.joinable()) writer_.join();
}

void TLineTrace::Record(TTraceDirection direction, TTraceOutcome outcome, int address,
                        std::string_view bytes) {
  const auto at = std::chrono::system_clock::now();
  bool wake = false;
  {
    TLockGuard lk(lock_);
    if (queue_.size() >= kMaxQueued) {
      ++refused_;
      return;
    }
    queue_.push_back(TTraceRecord{at, direction, outcome, static_cast<std::uint8_t>(address),
                                  std::string(bytes)});
    wake = queue_.size() == kMaxQueued / 2;
  }
  // Half full before the writer's next round: the disk is slow, don't wait for it.
  if (wake) wake_.notify_one();
}

void TLineTrace::Run(std::stop_token stop) {
  std::vector<TTraceRecord> batch;
  batch.reserve(256);
  for (;;) {
    std::uint64_t refused = 0;
    {
      TUniqueLock lk(lock_);
      wake_.wait_for(lk, stop, kWriteEvery,
                     [this]() REQUIRES(lock_) { return queue_.size() >= kMaxQueued / 2; });
      // The swap keeps both vectors' capacity: no allocation on the poll thread.
      batch.swap(queue_);
      refused = std::exchange(refused_, 0);
    }
    WriteBatch(batch, refused);
    batch.clear();
    if (stop.stop_requested()) break;
  }
  // The poll thread has ended before the trace is destroyed: the last
  // swap took everything it recorded.
  file_.reset();
}

void TLineTrace::WriteBatch(std::vector<TTraceRecord>& batch, std::uint64_t refused) {
  if (refused > 0 && log_)
    log_->Log(
        Format("Line trace of loop %d: %d frames lost, the trace could not write them "
               "fast enough",
               loopId_, refused));
  if (batch.empty()) return;
  for (const TTraceRecord& r : batch) file_->Write(r);
  file_->Flush();
}

}  // namespace orlo
