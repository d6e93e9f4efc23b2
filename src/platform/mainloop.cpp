// The main thread's event loop and the hand-over of calls from other threads.
#include "platform/mainloop.h"

#include <asio/post.hpp>
#include <condition_variable>
#include <utility>

namespace orlo {

// One hand-over. Shared by the waiter and the queued handler, so either side
// may give up or finish first without the other touching freed memory.
struct TMainLoop::Call {
  // Released: still running, but its waiter has gone on.
  enum class State { Pending, Running, Released, Done, Cancelled };

  std::function<void()> fn;
  TMutex mutex;
  std::condition_variable_any changed;
  State state GUARDED_BY(mutex) = State::Pending;
  std::exception_ptr error;  // written before Done, read after it
};

TMainLoop::TMainLoop() : work_(asio::make_work_guard(io_)) {}

TMainLoop::~TMainLoop() { Stop(); }

void TMainLoop::Run() {
  mainThread_ = std::this_thread::get_id();
  for (;;) {
    {
      // A Stop that came before Run (an owner quitting at once) still counts.
      TLockGuard g(mutex_);
      if (stopped_) return;
    }
    try {
      io_.run();
      return;
    } catch (...) {
      std::function<void(std::exception_ptr)> hook;
      {
        TLockGuard g(mutex_);
        hook = hook_;
      }
      if (hook) {
        try {
          hook(std::current_exception());
        } catch (...) {
        }
      }
    }
  }
}

void TMainLoop::Stop() {
  std::unordered_set<std::shared_ptr<Call>> cancelled;
  {
    TLockGuard g(mutex_);
    stopped_ = true;
    cancelled.swap(pending_);
  }
  for (const auto& call : cancelled) {
    TLockGuard g(call->mutex);
    if (call->state == Call::State::Pending) call->state = Call::State::Cancelled;
    call->changed.notify_all();
  }
  io_.stop();
}

bool TMainLoop::IsMainThread() const { return mainThread_.load() == std::this_thread::get_id(); }

void TMainLoop::Post(std::function<void()> fn) { asio::post(io_, std::move(fn)); }

void TMainLoop::SetUnhandledErrorHook(std::function<void(std::exception_ptr)> hook) {
  TLockGuard g(mutex_);
  hook_ = std::move(hook);
}

bool TMainLoop::RunAndWait(std::function<void()> fn, std::stop_token stop) {
  if (IsMainThread()) {
    // A direct call is nobody's hand-over: ReleaseWaiter inside it must not
    // release the waiter of a hand-over that called it.
    auto outer = std::exchange(running_, nullptr);
    try {
      fn();
    } catch (...) {
      running_ = std::move(outer);
      throw;
    }
    running_ = std::move(outer);
    return true;
  }
  if (stop.stop_requested()) return false;
  auto call = std::make_shared<Call>();
  call->fn = std::move(fn);
  {
    TLockGuard g(mutex_);
    if (stopped_) return false;
    pending_.insert(call);
  }
  asio::post(io_, [this, call] { RunCall(call); });

  TUniqueLock lock(call->mutex);
  auto settled = [&]() REQUIRES(call->mutex) {
    return call->state == Call::State::Done || call->state == Call::State::Released ||
           call->state == Call::State::Cancelled;
  };
  call->changed.wait(lock, stop, settled);
  switch (call->state) {
    case Call::State::Pending:
      // Told to stop before the main thread took the call: it never runs.
      call->state = Call::State::Cancelled;
      call->fn = nullptr;  // release what it captured here, not on the main thread
      return false;
    case Call::State::Cancelled:
      call->fn = nullptr;
      return false;
    case Call::State::Running:
      // Already running: it uses the caller's data, so wait for its end
      // (or for it to let the caller go).
      call->changed.wait(lock, [&]() REQUIRES(call->mutex) {
        return call->state == Call::State::Done || call->state == Call::State::Released;
      });
      if (call->state == Call::State::Released) return true;
      break;
    case Call::State::Released:
      return true;
    case Call::State::Done:
      break;
  }
  if (call->error) std::rethrow_exception(call->error);
  return true;
}

void TMainLoop::RunCall(const std::shared_ptr<Call>& call) {
  {
    TLockGuard g(mutex_);
    pending_.erase(call);
  }
  {
    TLockGuard g(call->mutex);
    if (call->state != Call::State::Pending) return;
    call->state = Call::State::Running;
  }
  running_ = call;
  try {
    call->fn();
  } catch (...) {
    call->error = std::current_exception();
  }
  running_.reset();
  TUniqueLock g(call->mutex);
  const bool released = call->state == Call::State::Released;
  call->state = Call::State::Done;
  call->changed.notify_all();
  g.unlock();
  // Its waiter has gone: the error is the loop's, as for a posted handler.
  if (released && call->error) std::rethrow_exception(call->error);
}

void TMainLoop::ReleaseWaiter() {
  if (!IsMainThread() || !running_) return;
  TLockGuard g(running_->mutex);
  if (running_->state != Call::State::Running) return;
  running_->state = Call::State::Released;
  running_->changed.notify_all();
}

}  // namespace orlo
