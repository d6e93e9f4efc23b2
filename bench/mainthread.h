// A TMainLoop running on a thread of its own: the "main thread" that the bus
// component and the loop controller expect their handlers to run on. Owned by
// the benchmark that makes it; Do may be called from any other thread.
#pragma once

#include <pthread.h>
#include <time.h>

#include <functional>
#include <stop_token>
#include <thread>
#include <utility>

#include "platform/mainloop.h"

namespace orlo::bench {

class TMainThread {
 public:
  TMainThread() : thread_([this] { loop_.Run(); }) {}
  ~TMainThread() {
    loop_.Stop();
    thread_.join();
  }
  TMainThread(const TMainThread&) = delete;
  TMainThread& operator=(const TMainThread&) = delete;

  TMainLoop& Loop() { return loop_; }
  // CPU time the thread has used so far (user and system), in seconds.
  double CpuSeconds() {
    clockid_t clock;
    timespec ts{};
    if (pthread_getcpuclockid(thread_.native_handle(), &clock) != 0 ||
        clock_gettime(clock, &ts) != 0)
      return 0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  }
  // Runs fn on the main thread and waits for it.
  void Do(std::function<void()> fn) {
    std::stop_source never;
    loop_.RunAndWait(std::move(fn), never.get_token());
  }

 private:
  TMainLoop loop_;
  std::thread thread_;
};

}  // namespace orlo::bench
