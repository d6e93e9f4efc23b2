// The main-thread loop and its hand-over of calls from other threads.
#include "platform/mainloop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

namespace orlo {
namespace {

using namespace std::chrono_literals;

// Runs a TMainLoop on its own thread, which is the "main thread" of the test.
class RunningLoop {
 public:
  RunningLoop() {
    std::promise<void> started;
    auto ready = started.get_future();
    thread_ = std::thread([this, &started] {
      loop.Post([&started] { started.set_value(); });
      loop.Run();
    });
    ready.wait();
  }
  ~RunningLoop() {
    loop.Stop();
    thread_.join();
  }
  TMainLoop loop;

 private:
  std::thread thread_;
};

// Blocks the main thread inside a handler until Release.
class Blocker {
 public:
  explicit Blocker(TMainLoop& loop) {
    auto entered = entered_.get_future();
    loop.Post([this, gate = gate_.get_future().share()] {
      entered_.set_value();
      gate.wait();
    });
    entered.wait();
  }
  ~Blocker() { Release(); }
  void Release() {
    if (!released_) gate_.set_value();
    released_ = true;
  }

 private:
  std::promise<void> entered_;
  std::promise<void> gate_;
  bool released_ = false;
};

// Hands the text of the first exception that reaches the loop's hook to hooked.
void HookFirstError(TMainLoop& loop, std::promise<std::string>& hooked) {
  loop.SetUnhandledErrorHook([&hooked](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& ex) {
      hooked.set_value(ex.what());
    }
  });
}

// Waits until everything posted before has run.
void Drain(TMainLoop& loop) {
  std::promise<void> done;
  auto f = done.get_future();
  loop.Post([&] { done.set_value(); });
  ASSERT_EQ(f.wait_for(30s), std::future_status::ready);
}

TEST(MainLoop, PostAndRunAndWaitRunOnTheMainThread) {
  RunningLoop r;
  EXPECT_FALSE(r.loop.IsMainThread());
  std::promise<bool> onMain;
  r.loop.Post([&] { onMain.set_value(r.loop.IsMainThread()); });
  EXPECT_TRUE(onMain.get_future().get());

  int value = 0;
  bool wasMain = false;
  std::jthread worker([&](std::stop_token st) {
    EXPECT_TRUE(r.loop.RunAndWait(
        [&] {
          wasMain = r.loop.IsMainThread();
          value = 42;
        },
        st));
  });
  worker.join();
  EXPECT_TRUE(wasMain);
  EXPECT_EQ(value, 42);
}

TEST(MainLoop, RunAndWaitOnTheMainThreadRunsDirectly) {
  RunningLoop r;
  std::promise<int> result;
  r.loop.Post([&] {
    int order = 0;
    std::stop_source never;
    bool ran = r.loop.RunAndWait([&] { order = 1; }, never.get_token());
    result.set_value(ran ? order : -1);
  });
  EXPECT_EQ(result.get_future().get(), 1);
}

TEST(MainLoop, CancelledWhilePendingReturnsFalseAndNeverRunsLater) {
  RunningLoop r;
  std::atomic<bool> ran{false};
  std::promise<bool> answer;
  {
    Blocker busy(r.loop);
    std::jthread waiter(
        [&](std::stop_token st) { answer.set_value(r.loop.RunAndWait([&] { ran = true; }, st)); });
    waiter.request_stop();
    auto f = answer.get_future();
    ASSERT_EQ(f.wait_for(30s), std::future_status::ready) << "waiter did not give up";
    EXPECT_FALSE(f.get());
    waiter.join();
  }
  Drain(r.loop);
  EXPECT_FALSE(ran);
}

TEST(MainLoop, StopRequestedBeforehandNeverRuns) {
  RunningLoop r;
  std::stop_source src;
  src.request_stop();
  bool ran = false;
  std::thread t([&] { EXPECT_FALSE(r.loop.RunAndWait([&] { ran = true; }, src.get_token())); });
  t.join();
  Drain(r.loop);
  EXPECT_FALSE(ran);
}

TEST(MainLoop, StopRequestedWhileRunningWaitsForTheEnd) {
  RunningLoop r;
  std::promise<void> entered, gate;
  std::atomic<bool> finished{false};
  std::promise<bool> answer;
  std::jthread waiter([&](std::stop_token st) {
    answer.set_value(r.loop.RunAndWait(
        [&] {
          entered.set_value();
          gate.get_future().wait();
          finished = true;
        },
        st));
  });
  entered.get_future().wait();
  waiter.request_stop();
  auto f = answer.get_future();
  EXPECT_EQ(f.wait_for(50ms), std::future_status::timeout);  // still running: must wait
  gate.set_value();
  EXPECT_TRUE(f.get());
  EXPECT_TRUE(finished);
}

TEST(MainLoop, StoppingTheLoopReleasesPendingWaiters) {
  TMainLoop loop;
  std::stop_source never;
  std::atomic<bool> ran{false};
  std::promise<bool> answer;
  // The loop is not running: the call stays pending until Stop cancels it.
  std::thread waiter(
      [&] { answer.set_value(loop.RunAndWait([&] { ran = true; }, never.get_token())); });
  std::this_thread::sleep_for(20ms);
  loop.Stop();
  auto f = answer.get_future();
  ASSERT_EQ(f.wait_for(30s), std::future_status::ready) << "Stop left a waiter hanging";
  waiter.join();
  // Either the waiter got in before Stop (cancelled) or after (refused).
  EXPECT_FALSE(f.get());
  EXPECT_FALSE(ran);
  EXPECT_FALSE(loop.RunAndWait([] {}, never.get_token()));
}

TEST(MainLoop, ManyWaitersGivingUpAtRandomNeverDeadlockOrRunLate) {
  RunningLoop r;
  std::atomic<int> ran{0}, answeredTrue{0};
  for (int round = 0; round < 200; ++round) {
    std::jthread waiter([&](std::stop_token st) {
      if (r.loop.RunAndWait([&] { ++ran; }, st)) ++answeredTrue;
    });
    if (round % 2) std::this_thread::yield();
    waiter.request_stop();
  }
  Drain(r.loop);
  EXPECT_EQ(ran.load(), answeredTrue.load());
}

TEST(MainLoop, ExceptionsReachTheWaiterOrTheHookAndTheLoopGoesOn) {
  RunningLoop r;
  std::promise<std::string> hooked;
  HookFirstError(r.loop, hooked);
  r.loop.Post([] { throw std::runtime_error("posted"); });
  EXPECT_EQ(hooked.get_future().get(), "posted");

  std::jthread waiter([&](std::stop_token st) {
    EXPECT_THROW(r.loop.RunAndWait([] { throw std::runtime_error("handed over"); }, st),
                 std::runtime_error);
    EXPECT_TRUE(r.loop.RunAndWait([] {}, st));
  });
  waiter.join();  // a jthread's destructor would request stop first
}

// A handed-over call lets its waiter go and runs on; what it raises after
// that reaches the hook, not the waiter, which has long returned true.
TEST(MainLoop, AReleasedWaiterGoesOnWhileTheCallRunsToItsEnd) {
  RunningLoop r;
  std::promise<std::string> hooked;
  HookFirstError(r.loop, hooked);
  std::promise<void> finish;
  auto mayFinish = finish.get_future().share();
  std::atomic<int> steps{0};
  std::jthread waiter([&](std::stop_token st) {
    const bool ran = r.loop.RunAndWait(
        [&r, &steps, mayFinish] {
          steps = 1;
          r.loop.ReleaseWaiter();
          mayFinish.wait();  // the waiter must not be waiting for this
          steps = 2;
          throw std::runtime_error("after release");
        },
        st);
    EXPECT_TRUE(ran);
    EXPECT_EQ(steps.load(), 1);
  });
  waiter.join();
  finish.set_value();
  EXPECT_EQ(hooked.get_future().get(), "after release");
  EXPECT_EQ(steps.load(), 2);
}

// Outside a hand-over, and inside a direct call nested in one, ReleaseWaiter
// lets nobody go early.
TEST(MainLoop, ReleaseWaiterOutsideAHandOverChangesNothing) {
  RunningLoop r;
  std::promise<void> posted;
  r.loop.Post([&] {
    r.loop.ReleaseWaiter();
    posted.set_value();
  });
  posted.get_future().wait();
  r.loop.ReleaseWaiter();  // not the main thread

  std::atomic<bool> finished{false};
  std::jthread waiter([&](std::stop_token st) {
    EXPECT_TRUE(r.loop.RunAndWait(
        [&] {
          std::stop_source never;
          r.loop.RunAndWait([&] { r.loop.ReleaseWaiter(); }, never.get_token());
          std::this_thread::sleep_for(50ms);
          finished = true;
        },
        st));
    EXPECT_TRUE(finished.load());
  });
  waiter.join();  // a jthread's destructor would request stop first
}

}  // namespace
}  // namespace orlo

namespace orlo {
namespace {

TEST(MainLoop, StopBeforeRunStillEndsRun) {
  // An owner that quits before its loop thread got going must not hang in join.
  TMainLoop loop;
  loop.Stop();
  std::thread t([&] { loop.Run(); });
  t.join();
  std::stop_source never;
  EXPECT_FALSE(loop.RunAndWait([] {}, never.get_token()));
}

}  // namespace
}  // namespace orlo
