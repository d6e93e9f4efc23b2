// TOrloCard: service life, the two timers and the stop signals.
#include "service/orlocard.h"

#include <systemd/sd-daemon.h>

#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>

#include "db/odbc.h"
#include "db/odbcconn.h"
#include "log/messlog.h"
#include "loop/loop.h"
#include "mail/mailworker.h"
#include "monitor/monitor.h"
#include "platform/mainloop.h"

namespace orlo {

namespace detail {

struct TServiceTimer::TWait {
  explicit TWait(TMainLoop& mainLoop) : timer(mainLoop.Context()) {}
  asio::steady_timer timer;
};

TServiceTimer::TServiceTimer(TMainLoop& mainLoop, std::chrono::milliseconds interval,
                             std::function<void()> onTimer)
    : wait_(std::make_unique<TWait>(mainLoop)), interval_(interval), onTimer_(std::move(onTimer)) {}

TServiceTimer::~TServiceTimer() {
  *alive_ = false;
  wait_->timer.cancel();
}

void TServiceTimer::SetEnabled(bool on) {
  if (on == enabled_) return;
  enabled_ = on;
  ++generation_;  // a wait already completed but not yet handled becomes stale
  if (on)
    Arm();
  else
    wait_->timer.cancel();
}

void TServiceTimer::Arm() {
  wait_->timer.expires_after(interval_);
  const unsigned long long generation = generation_;
  std::weak_ptr<bool> alive = alive_;
  wait_->timer.async_wait([this, generation, alive](const std::error_code& ec) {
    // The timer object may be gone (alive expired) or the wait superseded.
    if (ec || alive.expired() || generation != generation_ || !enabled_) return;
    onTimer_();
    // Still enabled and not re-armed by the handler: next interval from now.
    if (!alive.expired() && enabled_ && generation == generation_) Arm();
  });
}

}  // namespace detail

struct TOrloCard::TStopSignals {
  explicit TStopSignals(TMainLoop& mainLoop) : set(mainLoop.Context()) {}
  asio::signal_set set;
};

void NotifyServiceManager(const std::string& state) {
  if (std::getenv("NOTIFY_SOCKET") == nullptr) return;
  sd_notify(0, state.c_str());
}

TOrloCard::TOrloCard(TMainLoop& mainLoop)
    : timMain(mainLoop, kMainInterval, [this] { timMainTimer(); }),
      tmrRestart(mainLoop, kRestartInterval, [this] { tmrRestartTimer(); }),
      Monitor(std::make_unique<TMonitor>()),
      mainLoop_(mainLoop),
      signals_(std::make_unique<TStopSignals>(mainLoop)) {
  // An exception that escapes some posted handler must not end the service;
  // it is logged and the event loop goes on.
  mainLoop_.SetUnhandledErrorHook([this](std::exception_ptr error) {
    try {
      if (error) std::rethrow_exception(error);
    } catch (const std::exception& e) {
      Log(std::string("Unhandled exception: ") + e.what());
    } catch (...) {
      Log("Unhandled exception");
    }
  });
}

TOrloCard::~TOrloCard() {
  *alive_ = false;
  mainLoop_.SetUnhandledErrorHook({});
  std::error_code ignored;
  signals_->set.cancel(ignored);
  ShutDown();
  Monitor->Stop();
}

void TOrloCard::ServiceExecute() {
  Started = false;
  LastStartAttempt = Now() - 21.0 / kSecondsPerDay;
  stopping_ = false;
  tmrRestart.SetEnabled(true);
  ArmStopSignals();
  NotifyServiceManager("READY=1\nSTATUS=Starting");
}

void TOrloCard::ArmStopSignals() {
  std::error_code ignored;
  signals_->set.add(SIGTERM, ignored);
  signals_->set.add(SIGINT, ignored);
  std::weak_ptr<bool> alive = alive_;
  signals_->set.async_wait([this, alive](const std::error_code& ec, int) {
    if (ec || alive.expired()) return;
    ServiceStop();
  });
}

void TOrloCard::ServiceStop() {
  if (stopping_) return;
  stopping_ = true;
  // Before the first start-up and between retries the log file is closed:
  // the stop is told on standard error, which the service manager keeps.
  if (!MessLog) std::cerr << "orlocard: stop requested before the service had started\n";
  NotifyServiceManager("STOPPING=1\nSTATUS=Stopping");
  ShutDown();
  Monitor->Stop();
  tmrRestart.SetEnabled(false);
  timMain.SetEnabled(false);
  std::error_code ignored;
  signals_->set.cancel(ignored);
  mainLoop_.Stop();
}

void TOrloCard::tmrRestartTimer() {
  tmrRestart.SetEnabled(false);
  try {
    if (!Started && !stopping_) {
      // Whole seconds since the last failed attempt; a wall clock set back
      // counts as "long enough" rather than stalling the retries.
      // Counted in whole milliseconds first: 21 s as a difference of two
      // date-times is 20.99999... s in floating point.
      const long long ms = std::llround((Now() - LastStartAttempt) * kSecondsPerDay * 1000.0);
      if (ms / 1000 > kRetrySeconds || ms < 0) {
        if (StartUp()) {
          NotifyServiceManager("STATUS=Started");
        } else {
          LastStartAttempt = Now();
          NotifyServiceManager("STATUS=Waiting to start (no database or no loop)");
        }
      }
    }
  } catch (...) {
    // StartUp guards itself; nothing may keep the restart timer off.
  }
  if (!stopping_) tmrRestart.SetEnabled(true);
}

void TOrloCard::timMainTimer() {
  timMain.SetEnabled(false);
  MainTick();
  Monitor->Publish();
  if (Started && !stopping_) timMain.SetEnabled(true);
}

void TOrloCard::Log(const std::string& line) {
  if (MessLog) MessLog->Log(line);
}

}  // namespace orlo
