// The monitor: what a running orlocard shows of itself to an installer or an
// operator. Metrics for Prometheus on /metrics, and a live status page on
// /status (HTML that refreshes itself) and /status.json, served over HTTP
// when the settings file's [Monitor] section switches the server on. GET
// (and HEAD) only; nothing served changes anything.
//
// Ownership: the service owns one TMonitor for the life of the process. It
// outlives every loop, connection, mail worker and log: they only write into
// counter blocks it hands out (per loop a TLoopMonitor with the bus and
// connection counters; the service connection's, the log's and the mail's),
// so the counts go on across a restart request that rebuilds the loops.
//
// Threads: counters are relaxed atomics written by the thread where the event
// happens (a poll thread, the main thread, a connection's check thread, the
// mail worker) and read by the HTTP threads; nobody waits for anybody. What
// describes the site (loops, devices, last reports, gates held, decisions)
// is main-thread state, copied by Publish into a snapshot guarded by the
// monitor's own mutex; the HTTP threads take that snapshot and never touch a
// loop, card, connection or log. Every other operation is for the main thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bus/card.h"
#include "db/odbc.h"
#include "log/messlog.h"
#include "mail/mailworker.h"
#include "platform/clock.h"
#include "platform/histogram.h"
#include "platform/mutex.h"

namespace orlo {

class TIniFileEx;

namespace detail {
class THttpServer;
struct THttpResponse;
struct TStatusSnapshot;
}  // namespace detail

// The [Monitor] keys of the HTTP server; a missing key is written back with
// its default.
struct TMonitorSettings {
  static constexpr int kDefaultPort = 9464;

  bool Enabled = false;               // "HTTP Server"
  std::string Address = "127.0.0.1";  // "HTTP Address": where it listens (IPv4)
  int Port = kDefaultPort;            // "HTTP Port"; 0 takes any free port

  static TMonitorSettings Read(TIniFileEx& ini);
  bool operator==(const TMonitorSettings&) const = default;
};

// The device reports a loop counts, by kind.
enum class TReportKind : std::uint8_t {
  Card,
  MemoryCard,
  Ticket,
  Barcode,
  Counter,
  Input,
  Printer,
  PowerUp,
};
constexpr std::size_t kReportKinds = 8;

// What the monitor keeps of one loop (one loop id). Counters: any thread.
// Everything else: main thread. Made by TMonitor::Loop (then it lives as long
// as the monitor), or by a loop of its own when no monitor is given.
class TLoopMonitor {
 public:
  static constexpr std::size_t kDecisionsKept = 50;

  explicit TLoopMonitor(int loopId);
  TLoopMonitor(const TLoopMonitor&) = delete;
  TLoopMonitor& operator=(const TLoopMonitor&) = delete;

  int LoopId() const { return loopId_; }
  // For the loop's bus component and its connection (they write them).
  const std::shared_ptr<TLineCounters>& LineCounters() const { return line_; }
  const std::shared_ptr<TDBCounters>& DBCounters() const { return db_; }

  // The loop is being set up on COM<port> (0: no serial line, as a POE/POF
  // loop of soft counters); forgets the devices of an earlier set-up.
  void SetUp(int port);
  void AddDevice(int address, const std::string& name, const std::string& kind);
  // The port is open and the poll thread asks these addresses.
  void LineOpened(int firstAddress, int lastAddress);
  // The loop is gone (its counts stay).
  void Close();

  // Events, as they are handled. text: the report as the device sent it.
  void Report(int address, TReportKind kind, const std::string& text);
  void GateHeld(int address, bool up);
  // A live card's decision (code: the access decision's result code).
  void Decision(int address, const std::string& card, int code);
  // From the card reply's last byte to its gate command queued.
  void CardToGate(std::chrono::nanoseconds latency);
  // A presentation answered without a decision: opened on the low-security
  // setting, or refused.
  void UndecidedAnswer(bool opened);

 private:
  friend class TMonitor;

  struct TDevice {
    std::string name;
    std::string kind;
    std::string lastReport;
    TDateTime lastReportTime = 0;
    bool gateUp = false;
  };
  struct TDecision {
    TDateTime time = 0;
    std::uint64_t sequence = 0;  // orders decisions of all loops
    int address = 0;
    std::string card;
    int code = 0;
  };

  TDevice& Device(int address);

  const int loopId_;
  const std::shared_ptr<TLineCounters> line_ = std::make_shared<TLineCounters>();
  const std::shared_ptr<TDBCounters> db_ = std::make_shared<TDBCounters>();

  // Any thread.
  std::atomic<int> firstAddress_{0};
  std::atomic<int> lastAddress_{-1};
  std::array<std::array<std::atomic<std::uint64_t>, kReportKinds>, kAddressSlots> reports_{};
  std::array<std::atomic<std::uint64_t>, 16> decisions_{};  // by result code
  std::atomic<std::uint64_t> lowSecurity_{0};
  std::atomic<std::uint64_t> refusedUndecided_{0};
  TLatencyHistogram cardToGate_{0.0005, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05,
                                0.1,    0.25,  0.5,   1,     2.5,  5};

  // Main thread.
  bool present_ = false;
  int port_ = 0;
  bool portOpen_ = false;
  std::map<int, TDevice> devices_;
  std::deque<TDecision> decisionsKept_;
};

class TMonitor {
 public:
  TMonitor();
  ~TMonitor();  // stops the server
  TMonitor(const TMonitor&) = delete;
  TMonitor& operator=(const TMonitor&) = delete;

  // The record of a loop id: the same object for the monitor's life.
  TLoopMonitor& Loop(int loopId);
  // The counters of a named connection ("service"); the same for a name.
  std::shared_ptr<TDBCounters> Connection(const std::string& name);
  const std::shared_ptr<TLogCounters>& LogCounters() const { return log_; }
  const std::shared_ptr<TMailCounters>& MailCounters() const { return mail_; }

  // Starts, moves or stops the HTTP server as the settings say, and logs
  // what it did (log may be null). A server that cannot listen (the port in
  // use) is a log line; it is tried again at the next Configure.
  void Configure(const TMonitorSettings& settings, TMessLog* log);
  void Stop();
  // The port the server listens on; 0 when it does not.
  int Port() const;

  // Copies what the loops describe into the snapshot the HTTP server shows.
  void Publish();

 private:
  struct TConnection {
    std::string name;
    std::shared_ptr<TDBCounters> counters;
  };
  // On the HTTP threads: the page of a known path, and the metrics.
  detail::THttpResponse Respond(const std::string& path) const;
  std::string MetricsText() const;

  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  const double startedUnix_;
  const std::shared_ptr<TLogCounters> log_ = std::make_shared<TLogCounters>();
  const std::shared_ptr<TMailCounters> mail_ = std::make_shared<TMailCounters>();

  // registryLock_ guards the lists (the main thread adds, HTTP threads read);
  // the records themselves are never removed while the monitor lives.
  mutable TMutex registryLock_;
  std::map<int, std::unique_ptr<TLoopMonitor>> loops_ GUARDED_BY(registryLock_);
  std::vector<TConnection> connections_ GUARDED_BY(registryLock_);

  mutable TMutex snapshotLock_;
  std::shared_ptr<const detail::TStatusSnapshot> snapshot_ GUARDED_BY(snapshotLock_);

  // Main thread.
  TMonitorSettings running_;  // the settings of the server below
  std::unique_ptr<detail::THttpServer> server_;
};

}  // namespace orlo
