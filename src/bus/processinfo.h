// TProcessInfo: the dispatcher of one loop. The poll thread posts events into
// a 64-slot ring; the dispatcher thread hands them one by one to the main
// thread, at most one every 30 ms, where they raise the TCard's events.
// Owned by the loop's TPoll (created and stopped with it). Post is called by
// the poll thread, DispatchOne runs on the main thread.
#pragma once

#include <condition_variable>
#include <stop_token>
#include <thread>

#include "bus/card.h"
#include "platform/mutex.h"
#include "platform/ring.h"

namespace orlo {

class TMainLoop;

// The event ring: 64 slots, so at most 63 events wait; a comm status event is
// skipped while another one still waits. Thread-safe (one internal lock).
class TEventRing {
 public:
  static constexpr int kSlots = 64;

  // False when the ring is full and the event was dropped.
  bool Post(TEventKind kind, const TEventValues& values);
  // Copies the oldest waiting event; false when none waits.
  bool Peek(TEventKind& kind, TEventValues& values) const;
  // Removes the oldest waiting event (after it was raised).
  void Drop();
  bool Empty() const;
  int Waiting() const;

  // Blocks until an event waits or stop is requested; true when one waits.
  bool WaitForEvent(std::stop_token stop);
  // Sleeps ms milliseconds or until stop is requested.
  void Pause(std::stop_token stop, int ms);

 private:
  struct TSlot {
    TEventKind kind = TEventKind::Counter;
    TEventValues values;
  };
  mutable TMutex lock_;
  std::condition_variable_any posted_;
  TBoundedRing<TSlot, kSlots> ring_ GUARDED_BY(lock_);
  int commWaiting_ GUARDED_BY(lock_) = 0;  // comm status events in the ring
};

class TProcessInfo {
 public:
  // Starts the dispatcher thread at once; it idles while the ring is empty.
  TProcessInfo(TCard& owner, TMainLoop& mainLoop);
  ~TProcessInfo();  // Stop
  TProcessInfo(const TProcessInfo&) = delete;
  TProcessInfo& operator=(const TProcessInfo&) = delete;

  // Poll thread: queues one event; false when the ring was full.
  bool Post(TEventKind kind, const TEventValues& values) { return ring_.Post(kind, values); }
  // Main thread: raises the oldest waiting event, then removes it even when
  // its handler raised.
  void DispatchOne();
  // Asks the dispatcher to end and waits for it.
  void Stop();
  void RequestStop() { thread_.request_stop(); }

  TEventRing& Ring() { return ring_; }

 private:
  void Execute(std::stop_token stop);

  static constexpr int kDispatchPauseMs = 30;

  TCard& owner_;
  TMainLoop& mainLoop_;
  TEventRing ring_;
  std::jthread thread_;  // last member: started after, and joined before, the rest
};

}  // namespace orlo
