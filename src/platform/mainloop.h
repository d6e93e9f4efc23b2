// TMainLoop: the main thread's event loop (Asio io_context). Timers, signals and
// every device event handler run on it. Other threads hand work to it with
// Post (fire and forget) or RunAndWait (hand-over: wait until the call ran).
// Owned by the service (or a test); Run is called on the main thread only.
// Every other operation may be called from any thread.
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <stop_token>
#include <thread>
#include <unordered_set>

#include "platform/mutex.h"

namespace orlo {

class TMainLoop {
 public:
  TMainLoop();
  ~TMainLoop();
  TMainLoop(const TMainLoop&) = delete;
  TMainLoop& operator=(const TMainLoop&) = delete;

  asio::io_context& Context() { return io_; }

  // Runs handlers until Stop is called (the loop is kept alive without work).
  // The calling thread becomes the main thread (and stays it after Run
  // returns). An exception escaping a posted handler is passed to the
  // unhandled-error hook (when set) and the loop goes on.
  void Run();
  // Ends Run after the running handler; hand-overs not yet started are
  // cancelled (their waiters get false). Stop is final: a Run that starts
  // after it (even one that had not started yet) returns at once.
  void Stop();
  bool IsMainThread() const;

  // Queues fn to run on the main thread; any thread may call it.
  void Post(std::function<void()> fn);

  // Runs fn on the main thread and waits until it has returned. Returns true
  // when fn ran; false when stop was requested before fn started (fn then never
  // runs) or the loop has stopped; once fn has started, waits for its end.
  // Called on the main thread itself, runs fn directly. The waiting caller stops waiting as soon as
  // stop is requested, so closing a loop on the main thread never deadlocks against a hand-over. An
  // exception thrown by fn is rethrown to the caller, as if fn had been called directly.
  // fn may use the caller's data only until it calls ReleaseWaiter.
  bool RunAndWait(std::function<void()> fn, std::stop_token stop);
  // Called by the call that RunAndWait handed over, on the main thread: its
  // waiter goes on now (RunAndWait returns true) while the call runs to its
  // end. An exception the call raises after this goes to the unhandled-error
  // hook instead of the waiter. Does nothing outside a handed-over call.
  void ReleaseWaiter();

  // Receives exceptions that escape posted handlers (runs on the main thread).
  void SetUnhandledErrorHook(std::function<void(std::exception_ptr)> hook);

 private:
  struct Call;
  void RunCall(const std::shared_ptr<Call>& call) EXCLUDES(mutex_);

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::atomic<std::thread::id> mainThread_{};  // none until the first Run
  std::shared_ptr<Call> running_;              // main thread only: the hand-over being run

  TMutex mutex_;
  bool stopped_ GUARDED_BY(mutex_) = false;
  std::unordered_set<std::shared_ptr<Call>> pending_ GUARDED_BY(mutex_);  // not yet started
  std::function<void(std::exception_ptr)> hook_ GUARDED_BY(mutex_);
};

}  // namespace orlo
