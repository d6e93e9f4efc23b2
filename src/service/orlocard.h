// TOrloCard: the service module. It owns the message log, the service-wide
// database connection, the loops and the mail worker shared by the loops, and
// drives all of them from two timers on the main thread's event loop:
// tmrRestart (1000 ms) starts the service, retrying a failed start-up every 21
// seconds or more; timMain (750 ms) runs the maintenance tick while started.
//
// The process life is the service life: ServiceExecute arms the restart timer
// and the stop signals (SIGTERM, SIGINT); a stop signal runs ServiceStop as a
// handler of the event loop, so ShutDown comes between two handlers (a running
// tick or device event always ends first and none starts after it), and then
// the event loop ends.
//
// Threads: created and destroyed on the main thread (the thread that runs or
// will run the TMainLoop); every operation is for the main thread only.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace orlo {

class TLoop;
class TMailWorker;
class TMainLoop;
class TMessLog;
class TMonitor;
class TODBC;
class TODBCConn;

namespace detail {

// A periodic timer on the event loop that can be enabled and disabled. While
// enabled, its handler runs once per interval; the next interval is counted
// from the end of the handler (a handler that disables and enables its timer
// restarts the interval). Main thread only.
class TServiceTimer {
 public:
  TServiceTimer(TMainLoop& mainLoop, std::chrono::milliseconds interval,
                std::function<void()> onTimer);
  ~TServiceTimer();
  TServiceTimer(const TServiceTimer&) = delete;
  TServiceTimer& operator=(const TServiceTimer&) = delete;

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool on);

 private:
  struct TWait;  // the event loop's timer, kept out of this header
  void Arm();

  std::unique_ptr<TWait> wait_;
  const std::chrono::milliseconds interval_;
  std::function<void()> onTimer_;
  bool enabled_ = false;
  unsigned long long generation_ = 0;  // a wait of an older generation is stale
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace detail

// Sends a state line ("READY=1", "STOPPING=1", "STATUS=...") to the service
// manager when the process runs under systemd (NOTIFY_SOCKET set); else
// nothing. Any thread.
void NotifyServiceManager(const std::string& state);

class TOrloCard {
 public:
  static constexpr char kServiceName[] = "OrloCard";
  static constexpr char kDisplayName[] = "Orlo Card Access Controller";
  static constexpr std::chrono::milliseconds kMainInterval{750};
  static constexpr std::chrono::milliseconds kRestartInterval{1000};
  // A failed start-up is tried again when more whole seconds than this have
  // passed since it (so after 21 seconds at the least).
  static constexpr int kRetrySeconds = 20;

  explicit TOrloCard(TMainLoop& mainLoop);
  ~TOrloCard();  // ShutDown
  TOrloCard(const TOrloCard&) = delete;
  TOrloCard& operator=(const TOrloCard&) = delete;

  // Service life. ServiceExecute: Started false, the first restart tick may
  // start at once, tmrRestart on, stop signals armed, the service manager told
  // READY. ServiceStop: ShutDown, timers and signals off, the service manager
  // told STOPPING, the event loop stopped (Run returns).
  void ServiceExecute();
  void ServiceStop();

  // Timer handlers (public so tests can drive a tick at a chosen moment).
  void tmrRestartTimer();
  void timMainTimer();

  // Start-up and shut-down. StartUp: true when at least one loop was made.
  // ShutDown may run any number of times.
  bool StartUp();
  void ShutDown();

  // The maintenance tick and its jobs. Those with a time take "now" from the
  // caller; MainTick takes the present time anew for each.
  void MainTick();
  bool RestartRequested();
  void AutoReset(TDateTime now);
  void LotCountReset(TDateTime now);
  void GateControl(TDateTime now);
  void CheckOpenFlags(TDateTime now);
  void UpdateAllOutputs();
  void SyncAllClocks();

  // The two timers (main thread; tests switch them off to drive ticks alone).
  detail::TServiceTimer timMain;
  detail::TServiceTimer tmrRestart;

  // The metrics and the status page: for the life of the service, so their
  // counts go on across restart requests. The loops, connections, mail and
  // log below count into it; its HTTP server follows the [Monitor] settings
  // read at each StartUp and stops with the service.
  std::unique_ptr<TMonitor> Monitor;

  // Service-wide objects, made by StartUp and released by ShutDown, in the
  // order of release: Loops, DBConn, DB, Mail, MessLog.
  std::unique_ptr<TMessLog> MessLog;
  std::unique_ptr<TMailWorker> Mail;  // the loops' card mail; stopped after the loops
  std::unique_ptr<TODBC> DB;          // released after DBConn
  std::unique_ptr<TODBCConn> DBConn;
  std::vector<std::unique_ptr<TLoop>> Loops;  // in the order taken
  std::string LoopIdList;                     // "(4,9)"; empty without a loop of our own
  std::string ComputerName;                   // lower case, from the last start-up
  bool Started = false;
  TDateTime LastStartAttempt = 0;  // the last failed start-up
  int LastMinute = 0;              // minute (0..59) of the last minute jobs; kept across restarts

 private:
  bool Connected();
  void Log(const std::string& line);
  void LogRegistryProblems();
  void ConfigureMonitor();
  void CreateLoops();
  void ClearRestartRequest();
  void ArmStopSignals();

  struct TStopSignals;  // the event loop's signal set, kept out of this header

  TMainLoop& mainLoop_;
  std::unique_ptr<TStopSignals> signals_;
  bool stopping_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace orlo
