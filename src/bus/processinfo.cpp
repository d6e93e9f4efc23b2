#include "bus/processinfo.h"

#include <chrono>

#include "platform/mainloop.h"

namespace orlo {

bool TEventRing::Post(TEventKind kind, const TEventValues& values) {
  {
    TLockGuard lk(lock_);
    if (kind == TEventKind::CommStatus && commWaiting_ > 0) return true;
    if (!ring_.Push(TSlot{kind, values})) return false;
    if (kind == TEventKind::CommStatus) ++commWaiting_;
  }
  posted_.notify_one();
  return true;
}

bool TEventRing::Peek(TEventKind& kind, TEventValues& values) const {
  TLockGuard lk(lock_);
  const TSlot* oldest = ring_.Front();
  if (!oldest) return false;
  kind = oldest->kind;
  values = oldest->values;
  return true;
}

void TEventRing::Drop() {
  TLockGuard lk(lock_);
  const TSlot* oldest = ring_.Front();
  if (!oldest) return;
  if (oldest->kind == TEventKind::CommStatus) --commWaiting_;
  ring_.PopFront();
}

bool TEventRing::Empty() const {
  TLockGuard lk(lock_);
  return ring_.Empty();
}

int TEventRing::Waiting() const {
  TLockGuard lk(lock_);
  return ring_.Size();
}

bool TEventRing::WaitForEvent(std::stop_token stop) {
  TUniqueLock lk(lock_);
  return posted_.wait(lk, stop, [this]() REQUIRES(lock_) { return !ring_.Empty(); });
}

void TEventRing::Pause(std::stop_token stop, int ms) {
  TUniqueLock lk(lock_);
  posted_.wait_for(lk, stop, std::chrono::milliseconds(ms), [] { return false; });
}

TProcessInfo::TProcessInfo(TCard& owner, TMainLoop& mainLoop)
    : owner_(owner), mainLoop_(mainLoop), thread_([this](std::stop_token st) { Execute(st); }) {}

TProcessInfo::~TProcessInfo() { Stop(); }

void TProcessInfo::Stop() {
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
}

void TProcessInfo::DispatchOne() {
  TEventKind kind;
  TEventValues values;
  if (!ring_.Peek(kind, values)) return;
  owner_.Raise(kind, values);  // contains the handler's exceptions
  ring_.Drop();
}

void TProcessInfo::Execute(std::stop_token stop) {
  while (!stop.stop_requested()) {
    // Waking the main thread only when there is something to deliver keeps
    // an idle loop from costing anything.
    if (!ring_.WaitForEvent(stop)) break;
    mainLoop_.RunAndWait([this] { DispatchOne(); }, stop);
    std::this_thread::yield();
    ring_.Pause(stop, kDispatchPauseMs);
  }
}

}  // namespace orlo
