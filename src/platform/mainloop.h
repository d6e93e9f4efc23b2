// TMainLoop: the main thread's event loop (Asio io_context). Timers, signals and
// every device event handler run on it. Other threads hand work to it with
// Post (fire and forget) or RunAndWait (hand-over: wait until the call ran).
// Owned by the service (or a test); Run is called on the main thread only.
#pragma once

#include <asio/io_context.hpp>
#include <functional>
#include <stop_token>

namespace orlo {

class TMainLoop {
 public:
  TMainLoop();
  ~TMainLoop();

  asio::io_context& Context() { return io_; }

  // Runs handlers until Stop is called (the loop is kept alive without work).
  void Run();
  void Stop();
  bool IsMainThread() const;

  // Queues fn to run on the main thread; any thread may call it.
  void Post(std::function<void()> fn);

  // Runs fn on the main thread and waits until it has returned. Returns true
  // when fn ran; false when stop was requested before fn started (fn then never
  // runs) or the loop has stopped; once fn has started, waits for its end.
  // Called on the main thread itself, runs fn directly. The waiting caller stops waiting as soon as stop is requested,
  // so closing a loop on the main thread never deadlocks against a hand-over.
  bool RunAndWait(std::function<void()> fn, std::stop_token stop);

 private:
  asio::io_context io_;
  // (implementation fields)
};

}  // namespace orlo
