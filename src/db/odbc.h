// The ODBC layer: TODBC (one data source connection) and TODBCStatement (the
// only way the rest of the program runs SQL and reads rows).
//
// Threads: a TODBC may be used from several threads. It has one lock that
// serialises every piece of statement work on the connection against the
// supervisor's disconnect and link check, so the check thread can never pull
// the connection out from under a running statement.
// A TODBCStatement belongs to the thread that made it (it is not shared), and
// each of its calls takes its connection's lock for its own duration.
//
// Bounded waits: every call that waits on a database server (connect, each
// statement, fetch, commit) ends within kServerTimeoutSeconds; the driver then
// drops the link, which counts as lost. Connecting runs outside the lock, so
// statement work on a connection being rebuilt fails at once instead of
// waiting for the login. The supervisor's check never waits behind statement
// work (CheckLink), and any thread can see without a lock whether the
// connection is usable right now (Healthy).
//
// Lifetime: the creator owns a TODBC. Statements made on it are owned by their
// makers; a disconnect (or the TODBC's destruction) only invalidates them: their
// driver handle is freed and from then on every call fails as on a statement
// that never got a handle (execute False, readers give their defaults). Holding
// or destroying an invalidated statement is always safe, also after the TODBC
// itself is gone. Statements made after a reconnect work normally.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/format.h"
#include "platform/histogram.h"

namespace orlo {

class TDBRow;
class TMessLog;
class TODBCStatement;

namespace detail {
struct OdbcCore;
struct StatementState;
}  // namespace detail

// The database family, detected from the driver name and the connection string.
using TDBKind = std::uint8_t;
constexpr TDBKind dbkUnknown = 0;
constexpr TDBKind dbkOracle = 1;
constexpr TDBKind dbkMySQL = 2;   // MySQL and MariaDB
constexpr TDBKind dbkFoxPro = 3;  // FoxPro / dBase files
constexpr TDBKind dbkFirebird = 4;
constexpr TDBKind dbkAccess = 5;
constexpr TDBKind dbkExcel = 6;
constexpr TDBKind dbkSQLServer = 7;
constexpr TDBKind dbkCodeBase = 8;
constexpr TDBKind dbkSQLite = 9;  // known from the connected server only

// Searches the lower-cased text for the known family names (in a fixed order,
// first match wins); returns `current` when none is found.
TDBKind DetectDBKind(std::string_view text, TDBKind current);
// The family of a connected server from its own name (SQLGetInfo
// SQL_DBMS_NAME: "MariaDB", "MySQL", "SQLite", ...); `hint` (the family the
// driver name and connect string suggested) when the name is not known.
TDBKind KindFromServerName(std::string_view dbmsName, TDBKind hint);

// Every wait on a database server ends after this many seconds: the driver's
// read, write and connect time-outs, added to the connection options of the
// MySQL family unless the site's options set them. A statement that outwaits
// it has lost its link. (A card waits for its answer at most about this long
// when the server falls silent during its decision.)
constexpr int kServerTimeoutSeconds = 4;
// Row-lock waits of the server end sooner, with an error of their own, so a
// lock held elsewhere fails the statement without costing the link, and
// before the supervisor would take the wait for a silent server.
constexpr int kLockWaitSeconds = 2;

// A table name as SQL text for this family: names that are reserved words
// there are quoted ("loop" is reserved in MySQL/MariaDB and becomes `loop`);
// everywhere else the name is returned as given. Every statement on the
// `loop` table builds its table name with this.
std::string QuoteTable(TDBKind kind, std::string_view table);

// Column categories of a result, from the driver's SQL type.
enum TColCategory : std::uint8_t {
  ccUnsupported = 0,
  ccText = 1,
  ccInteger = 2,
  ccDecimal = 3,
  ccBit = 4,
  ccDate = 5,
  ccTime = 6,
  ccDateTime = 7,
  ccLongText = 8,
};

// True for the client-server families (MySQL/MariaDB, SQL Server, Oracle,
// Firebird). Each commit there is a log flush on the server, and row locks let
// one connection's multi-statement transaction proceed while other writers
// work. (A file database such as SQLite takes one lock for the whole file, and
// in WAL mode a read snapshot cannot be turned into a write once another
// connection has written: there a transaction spanning reads and writes can
// fail where single statements would not.)
bool IsServerDatabase(TDBKind kind);

// True for the SQLSTATEs and message texts that show a lost network link.
bool IsLinkFailureDiag(std::string_view sqlState, std::string_view message);

// A failure as the driver reported it (its first diagnostic record).
struct TDBError {
  std::string state;  // SQLSTATE; empty when the driver gave none
  int native = 0;     // the driver's or server's own error number
  std::string message;
  // message + ". State:  " + state, as the diagnostics are logged
  std::string Text() const;
};

// What a failure means for the work in progress on its connection. Every kind
// but None voids an open transaction: its work is not on record.
enum class TDBFault : std::uint8_t {
  None,         // the statement alone failed (syntax, constraint, no such column)
  LinkLost,     // the link is gone or stayed silent past its time-out
  Deadlock,     // the server rolled the transaction back to break a deadlock
  LockTimeout,  // a row-lock wait ran out; the server may keep earlier work
  Busy,         // a database file stayed locked by another connection
};
TDBFault ClassifyFailure(TDBKind kind, const TDBError& error);

// What one connection did, for monitoring. Written by the threads that run
// statements on it and by its supervisor's check thread, read by any thread
// (relaxed atomics, each figure on its own).
struct TDBCounters {
  enum TState : int { Down = 0, Up = 1, NotAnswering = 2 };

  std::atomic<int> state{Down};                  // the supervisor's last verdict
  std::atomic<std::uint64_t> statements{0};      // executes that reached the driver
  std::atomic<std::uint64_t> failures{0};        // of them failed
  std::atomic<std::uint64_t> commitFailures{0};  // commits that failed
  std::atomic<std::uint64_t> reconnects{0};      // connections made after the first
  // Calls that waited on the server past the supervisor's stall limit.
  std::atomic<std::uint64_t> timeouts{0};
  std::array<std::atomic<std::uint64_t>, 5> faults{};  // by TDBFault (None: failed commits)
  // The driver's time of one execute (fetching the rows aside).
  TLatencyHistogram latency{0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                            0.05,   0.1,     0.25,   0.5,   1,      2.5,   5};
};

// Told of each statement a connection runs, after it ran, on the thread that
// ran it and under the connection's lock (so it must be short): the benchmarks
// record the card path's SQL through it. The monitoring counters are kept at
// the same point (TDBCounters).
using TStatementObserver = std::function<void(const std::string& sql, bool ok)>;

class TODBC {
 public:
  // Binds the driver manager (libodbc.so.2, else libodbc.so; every entry point
  // by name) and allocates an ODBC 3 environment. When the binding fails the
  // object exists but every connect attempt fails.
  TODBC();
  ~TODBC();  // disconnects (invalidating the statements) and frees the environment
  TODBC(const TODBC&) = delete;
  TODBC& operator=(const TODBC&) = delete;

  // Connects by data-source name, or by a driver connection string built from
  // the other arguments (or from the "ODBC" section of the file named by DSN).
  // Returns Connected(); while already connected does nothing and returns true.
  bool ConnectToDataSource(const std::string& DSN, const std::string& User,
                           const std::string& Password, const std::string& Database,
                           const std::string& Driver, const std::string& Options);
  // Invalidates every statement made on the connection, commits, disconnects.
  // Safe when not connected.
  void DisconnectFromDataSource();
  // True when a diagnostic showed a lost link, or the driver says the
  // connection is dead (also when that question itself fails while connected).
  // Waits for statement work in progress.
  bool IsConnectionDead();

  // The supervisor's check of a connected link; it never waits for the lock:
  // Busy while statement work holds it. Otherwise the dead test above, and on
  // a server that has not answered for idleBeforeProbe a probe statement,
  // which needs a real round trip (the MySQL family's dead test does not ask
  // the server, so a silent host would pass it for ever).
  enum class TLinkState { Alive, Dead, Busy };
  TLinkState CheckLink(std::chrono::milliseconds idleBeforeProbe);
  // True when a call has waited on a server for longer than limit. Any
  // thread, no lock.
  bool CallStalled(std::chrono::milliseconds limit) const;
  // Connected, no lost link known, and no call stalled past limit. Any
  // thread, no lock: what the supervisor answers between its checks.
  bool Healthy(std::chrono::milliseconds stallLimit) const;

  // Faults (see TDBFault) counted over the object's life, failed commits and
  // disconnects included: work of an open transaction that spans a change of
  // this count is not on record. Any thread.
  std::uint64_t FaultCount() const;
  // The last fault and its kind.
  TDBError LastFault() const;
  TDBFault LastFaultKind() const;

  bool Bound() const;  // the driver manager and all its entry points were found
  bool Connected() const;
  bool LinkFailure() const;
  TDBKind DBKind() const;
  std::string ConnectString() const;
  // The table name written for this connection's family (see QuoteTable).
  std::string QuoteTable(std::string_view table) const;

  // Groups the statements that follow into one transaction, until
  // EndTransaction: autocommit is switched off (unless the last transaction
  // left it off). False when not connected or when the driver refuses; the
  // statements then commit one by one.
  bool BeginTransaction();
  // Commits the open transaction; autocommit stays off, so the statements
  // that follow form the next one. False when the commit failed: it counts as
  // a fault, and "Transaction commit failed: " is logged with the driver's
  // message. With nothing run since the last commit it asks nothing of the
  // server.
  bool CommitTransaction();
  // Discards the work of the open transaction.
  bool RollbackTransaction();
  // Commits as CommitTransaction does. Autocommit stays off until a statement
  // runs outside a transaction, which switches it on first: transactions in a
  // row (a loop's decisions) pay no round trips to switch it.
  bool EndTransaction();

  // When on, every failing ODBC call of this layer logs the driver's diagnostics.
  bool ReportErrors() const;
  void SetReportErrors(bool on);
  // Copied into each new statement: read columns through bound text buffers.
  bool BindColumns() const;
  void SetBindColumns(bool on);
  // The message log (not owned; null means no log).
  TMessLog* Log() const;
  void SetLog(TMessLog* log);
  // Where the statement work counts itself; by default the TODBC's own.
  // Null is ignored.
  void SetCounters(std::shared_ptr<TDBCounters> counters);
  // An empty observer removes the one set.
  void SetStatementObserver(TStatementObserver observer);

 private:
  friend class TODBCStatement;
  std::shared_ptr<detail::OdbcCore> core_;
};

// One transaction for the life of a scope, on connections where grouping pays
// (see IsServerDatabase); elsewhere statements commit one by one. Commit tells
// whether the work so far is on record: false when the commit failed or a
// fault since the scope began (or since the last Commit) voided the work: a
// lost or rebuilt link, a deadlock, a lock-wait time-out, a locked database
// file. Voided work of an open transaction is rolled back, never committed in
// part. What follows a Commit forms the next transaction, without the round
// trips of switching autocommit off and on again. The destructor commits the
// rest (or rolls it back after a fault) and ends the transaction.
// Used on the thread that runs the scope's statements.
class TODBCTransaction {
 public:
  explicit TODBCTransaction(TODBC& odbc);
  ~TODBCTransaction();
  TODBCTransaction(const TODBCTransaction&) = delete;
  TODBCTransaction& operator=(const TODBCTransaction&) = delete;
  bool Commit();
  // Why the last Commit failed (None after a successful one).
  TDBFault Fault() const { return fault_; }
  const TDBError& FaultError() const { return faultError_; }

 private:
  bool Voided() const;

  TODBC& odbc_;
  std::uint64_t mark_;  // FaultCount at the start of the work not yet committed
  const bool open_;
  TDBFault fault_ = TDBFault::None;
  TDBError faultError_;
};

// One SQL statement handle on a TODBC. Typical use:
//   TODBCStatement q(odbc);
//   for (bool ok = q.ExecSQLFmt("SELECT * FROM card WHERE number = %f", n); ok; ok = q.dbSkip())
//     name = q.FieldAsString("last_name");
// Executes run on the calling thread and block until the driver has answered.
class TODBCStatement {
 public:
  // A statement on odbc; when no handle can be allocated (not connected) it
  // exists but every call on it fails. A null odbc gives such a statement too.
  explicit TODBCStatement(TODBC& odbc);
  explicit TODBCStatement(TODBC* odbc);
  ~TODBCStatement();
  TODBCStatement(const TODBCStatement&) = delete;
  TODBCStatement& operator=(const TODBCStatement&) = delete;

  // Runs SQL text. True on success; for a SELECT (the text's first word, not
  // after leading blanks) only when a first row is there, which is then the
  // current row; "SELECT ... INTO ..." is true without fetching. An UPDATE,
  // INSERT or DELETE that matches no row is true with Eof() set. False with
  // Eof() set means "no row"; false with Eof() clear means failure.
  // ExecSQL logs the SQL text and the driver's diagnostics of a failure; DoSQL
  // logs nothing.
  bool ExecSQL(const std::string& sql);
  bool DoSQL(const std::string& sql);
  // The same with the SQL text formatted from fmt (%d integer, %s text inserted
  // unchanged, %f two decimals). A format error fails the call (and ExecSQLFmt
  // logs it). Text arguments must never come unchecked from outside: they are
  // not quoted or escaped.
  template <class... A>
  bool ExecSQLFmt(std::string_view fmt, const A&... args) {
    const FormatArg list[] = {detail::ToFormatArg(args)..., FormatArg{}};
    return ExecSQLFmtV(fmt, std::span<const FormatArg>(list, sizeof...(A)), true);
  }
  template <class... A>
  bool DoSQLFmt(std::string_view fmt, const A&... args) {
    const FormatArg list[] = {detail::ToFormatArg(args)..., FormatArg{}};
    return ExecSQLFmtV(fmt, std::span<const FormatArg>(list, sizeof...(A)), false);
  }
  bool ExecSQLFmtV(std::string_view fmt, std::span<const FormatArg> args, bool logged);

  // Fetches the next row; true when there is one (it is now the current row).
  bool dbSkip();
  bool Eof() const;

  // Readers of the current row, by column name (any letter case; of two
  // columns with the same name the first wins). They never fail:
  // '' / 0 / false for an absent or NULL column; FieldAsInteger gives 0 for a
  // text that is not a whole number; FieldAsDateTime gives 0 for NULL and
  // today 00:00 for an absent column or one that is not a date/time column.
  std::string FieldAsString(std::string_view name);
  int FieldAsInteger(std::string_view name);
  double FieldAsFloat(std::string_view name);
  bool FieldAsBoolean(std::string_view name);
  TDateTime FieldAsDateTime(std::string_view name);
  // A copy of the current row, every column read now (db/dbrow.h); past the
  // last row, or after a failure, a row that is not Found.
  TDBRow CurrentRow();

  // The table's column names, upper-cased, comma-separated (names holding a
  // blank in double quotes); '' on failure. Discards the current result.
  std::string GetFieldNames(const std::string& table);

  // Description of the current result.
  int FieldCount() const;
  int FieldIndex(std::string_view name) const;  // -1 when absent
  std::string FieldName(int index) const;       // upper-cased
  TColCategory FieldCategory(int index) const;

  // The database family of the statement's connection (dbkUnknown without one).
  TDBKind DBKind() const;
  bool Allocated() const;  // false when never allocated or invalidated
  bool CanRefresh() const;
  std::string LastSQL() const;
  // The driver's report of this statement's last failed execute or fetch
  // (empty after a success).
  TDBError LastError() const;

 private:
  friend struct detail::OdbcCore;
  bool Execute(const std::string& sql, bool logged);

  std::shared_ptr<detail::OdbcCore> core_;
  std::unique_ptr<detail::StatementState> st_;  // guarded by core_->lock
};

}  // namespace orlo
