// TODBCConn: keeps one TODBC connected. The creator makes the TODBC, hands it
// over with SetODBC (it stays the creator's and must outlive the supervisor),
// attaches the log with SetLog, passes the parameters with SetParams, sets
// PingHost and asks IsConnected before every piece of database work.
//
// Until the first successful connect every IsConnected makes a connect attempt
// on the caller's thread. From then on the check thread (TProcessConn,
// "CheckConn") checks the connection about once a second, drops a dead one,
// reconnects it, and IsConnected answers without blocking: the last check's
// result, and false at once while the link is known lost or a call has
// waited on the server longer than kStallLimit. The check never waits for
// statement work: a link whose server stays silent is noticed by the stalled
// call itself, or by the probe of an idle link (TODBC::CheckLink).
// Statements made on a connection that was dropped are invalidated (see
// odbc.h) and fail cleanly; callers make new ones after IsConnected is true.
//
// Threads: IsConnected and the setters are for the owner's thread; the
// setters belong before the first IsConnected. Checks are serialised by the
// supervisor's own mutex; the TODBC's lock keeps them apart from statements.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "platform/mutex.h"
#include "platform/ping.h"

namespace orlo {

class TMessLog;
class TODBC;
class TODBCConn;
struct TDBCounters;

// The "CheckConn" thread of one supervisor: owned by it, started at its
// construction, stopped and joined at its destruction. Checks nothing until
// the owner has connected once.
class TProcessConn {
 public:
  explicit TProcessConn(TODBCConn& owner, int periodMs = 1000);
  ~TProcessConn();  // asks the thread to stop and joins it
  TProcessConn(const TProcessConn&) = delete;
  TProcessConn& operator=(const TProcessConn&) = delete;

  bool Status() const { return status_.load(); }  // result of the last check
  void Stop();                                    // asks and joins; idempotent

 private:
  void Run(std::stop_token stop);

  TODBCConn& owner_;
  const int periodMs_;
  std::atomic<bool> status_{true};
  std::mutex sleepLock_;
  std::condition_variable_any wake_;
  std::jthread thread_;  // last: starts after the fields above exist
};

class TODBCConn {
 public:
  // One echo try: the platform's ICMP echo unless a test replaces it.
  using TPingFunc = std::function<TPingResult(const std::string& host, int timeoutMs)>;

  // A call that has waited on the server this long means a silent link:
  // IsConnected answers false until the call ends (by the driver's time-out
  // at the latest) and the link is checked again.
  static constexpr std::chrono::milliseconds kStallLimit{3000};
  // An idle link is probed once it has not heard from the server this long.
  static constexpr std::chrono::milliseconds kProbeIdle{1000};

  // pingTimeout in ms; 0 or less switches the ping off.
  explicit TODBCConn(int pingTimeout = 700);
  ~TODBCConn();  // stops the check thread, then disconnects
  TODBCConn(const TODBCConn&) = delete;
  TODBCConn& operator=(const TODBCConn&) = delete;

  void SetODBC(TODBC* odbc);
  TODBC* ODBC() const { return odbc_; }
  // Stores the log and gives it to the TODBC when that has none yet.
  void SetLog(TMessLog* log);
  void SetParams(const std::string& DSN, const std::string& Driver, const std::string& Database,
                 const std::string& User, const std::string& Password, const std::string& Options);
  void SetPingHost(const std::string& host) { pingHost_ = host; }
  const std::string& PingHost() const { return pingHost_; }
  int PingTimeout() const { return pingTimeout_; }
  void SetPingFunc(TPingFunc ping);
  // Where the connection and its statements count themselves (given to the
  // TODBC too, so SetODBC comes first); by default their own.
  void SetCounters(std::shared_ptr<TDBCounters> counters);

  // Before the first successful connect: a connect attempt now. Afterwards:
  // the check thread's last result, unless the link is known lost or stalled.
  bool IsConnected();
  // One connection check: drops a dead connection, connects when down.
  bool ConnectToODBC();
  bool FirstTime() const { return firstTime_.load(); }

 private:
  bool Connect() REQUIRES(checkLock_);
  void Disconnect();
  // The state of a connected link; false after logging why it is not usable.
  bool LinkUsable();
  bool Ping() REQUIRES(checkLock_);
  void LogLine(const std::string& text);

  TMutex checkLock_;  // serialises ConnectToODBC and the setters
  TODBC* odbc_ = nullptr;
  TMessLog* log_ = nullptr;
  std::string dsn_ GUARDED_BY(checkLock_);
  std::string driver_ GUARDED_BY(checkLock_);
  std::string database_ GUARDED_BY(checkLock_);
  std::string user_ GUARDED_BY(checkLock_);
  std::string password_ GUARDED_BY(checkLock_);
  std::string options_ GUARDED_BY(checkLock_);
  std::string pingHost_;
  const int pingTimeout_;
  TPingFunc ping_ GUARDED_BY(checkLock_);
  // Set before the first IsConnected; never null.
  std::shared_ptr<TDBCounters> counters_ GUARDED_BY(checkLock_);
  std::atomic<bool> firstTime_{true};
  bool stallLogged_ GUARDED_BY(checkLock_) = false;  // the stall of the moment is logged
  TProcessConn thread_;                              // last: destroyed (stopped) first
};

}  // namespace orlo
