// Internals of the ODBC layer shared by TODBC and TODBCStatement: the table of
// driver-manager entry points resolved at run time, the connection state that
// statements share with their TODBC, and a statement's own state.
// Everything here is guarded by OdbcCore::lock unless noted.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/odbc.h"
#include "platform/mutex.h"

namespace orlo::detail {

// The driver-manager functions, in the order they are resolved; all are
// required. The pointer types come from the ODBC headers' own prototypes.
#define ORLO_ODBC_ENTRY_POINTS(X)                                                                \
  X(SQLAllocHandle)                                                                              \
  X(SQLGetEnvAttr)                                                                               \
  X(SQLSetEnvAttr)                                                                               \
  X(SQLDrivers)                                                                                  \
  X(SQLDataSources)                                                                              \
  X(SQLGetConnectAttr)                                                                           \
  X(SQLSetConnectAttr)                                                                           \
  X(SQLConnect)                                                                                  \
  X(SQLDriverConnect)                                                                            \
  X(SQLBrowseConnect) X(SQLGetInfo) X(SQLGetStmtAttr) X(SQLSetStmtAttr) X(SQLTables)             \
      X(SQLStatistics) X(SQLPrimaryKeys) X(SQLForeignKeys) X(SQLExecDirect) X(SQLPrepare)        \
          X(SQLExecute) X(SQLEndTran) X(SQLNumResultCols) X(SQLRowCount) X(SQLFetch)             \
              X(SQLFetchScroll) X(SQLGetData) X(SQLDescribeCol) X(SQLColAttribute) X(SQLColumns) \
                  X(SQLSpecialColumns) X(SQLBindCol) X(SQLBindParameter) X(SQLSetPos)            \
                      X(SQLPutData) X(SQLCloseCursor) X(SQLDisconnect) X(SQLFreeHandle)          \
                          X(SQLFreeStmt) X(SQLGetDiagField) X(SQLGetDiagRec) X(SQLCancel)

struct OdbcApi {
#define ORLO_ODBC_DECLARE(name) decltype(&::name) name = nullptr;
  ORLO_ODBC_ENTRY_POINTS(ORLO_ODBC_DECLARE)
#undef ORLO_ODBC_DECLARE
};

inline bool Succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

// One diagnostic record as the driver gave it. Records that end a report
// (SQLSTATE "IM001", or an HY000 whose message cannot be read again) are
// still read for the link-failure check, but neither logged nor kept.
struct DiagRecord : TDBError {
  bool reportable = true;
};

// Diagnostic records 1, 2, ... of a handle, up to the first that cannot be
// read or that ends the report (kept, not reportable). No side effects.
std::vector<DiagRecord> ReadDiagnostics(const OdbcApi& api, SQLSMALLINT type, SQLHANDLE handle,
                                        int maxRecords = 99);
// The first diagnostic record of a failed call (empty when there is none).
TDBError FirstDiagnostic(const OdbcApi& api, SQLSMALLINT type, SQLHANDLE handle);

// Milliseconds of the steady clock, never 0 (0 means "none" in the stamps).
std::int64_t SteadyMs();

// A result column.
struct ColInfo {
  std::string name;  // upper-cased, at most 128 characters
  TColCategory category = ccUnsupported;
  SQLLEN size = 0;     // display size
  SQLLEN ind = 0;      // length/indicator target of the binding
  bool bound = false;  // read through a bound text buffer (else SQLGetData)
};

struct StatementState {
  SQLHSTMT handle = SQL_NULL_HSTMT;
  TDBError lastError;
  bool allocated = false;
  bool bindColumns = true;
  bool canRefresh = false;
  bool eof = false;
  bool onRow = false;  // the last fetch gave a row
  std::string lastSql;
  std::vector<ColInfo> cols;
  std::vector<std::vector<char>> bufs;
  // Text of unbound columns, read at most once per row (a second SQLGetData
  // of the same column answers SQL_NO_DATA on some drivers).
  std::vector<std::optional<std::string>> fetched;
};

struct OdbcCore {
  OdbcCore() = default;
  ~OdbcCore();  // releases the hold on the driver-manager library
  OdbcCore(const OdbcCore&) = delete;
  OdbcCore& operator=(const OdbcCore&) = delete;

  // Serialises all statement work against disconnect and the link check.
  // A connect builds its handle without it and only installs it under it.
  TMutex lock;

  // Set at construction, read-only afterwards.
  void* library = nullptr;
  OdbcApi api;
  SQLHENV env = SQL_NULL_HENV;

  bool alive GUARDED_BY(lock) = true;  // false once the TODBC is destroyed
  SQLHDBC dbc GUARDED_BY(lock) = SQL_NULL_HDBC;
  // Written under the lock, read by any thread without it.
  std::atomic<bool> connected{false};
  std::atomic<bool> linkFailure{false};
  std::atomic<TDBKind> kind{dbkUnknown};
  std::atomic<TDBKind> serverKind{dbkUnknown};  // the family of the last connected server
  std::atomic<std::uint64_t> faults{0};
  // SteadyMs when the call now waiting on the server began (0: none), and
  // when the server last answered a call.
  std::atomic<std::int64_t> callStart{0};
  std::atomic<std::int64_t> lastAnswer{0};

  bool reportErrors GUARDED_BY(lock) = false;
  bool bindColumns GUARDED_BY(lock) = false;
  // Autocommit is off on dbc. It stays off after EndTransaction, so that
  // back-to-back transactions cost no round trips to switch it; a statement
  // run outside a transaction switches it on again first.
  bool autocommitOff GUARDED_BY(lock) = false;
  bool transactionOpen GUARDED_BY(lock) = false;  // between BeginTransaction and EndTransaction
  bool workSinceCommit GUARDED_BY(lock) = false;  // statements ran since the last commit
  std::string connectString GUARDED_BY(lock);
  TMessLog* log GUARDED_BY(lock) = nullptr;
  // Never null.
  std::shared_ptr<TDBCounters> counters GUARDED_BY(lock) = std::make_shared<TDBCounters>();
  TStatementObserver observer GUARDED_BY(lock);            // may be empty
  std::vector<TODBCStatement*> registry GUARDED_BY(lock);  // not owned; empty slots are null
  DiagRecord lastDiag GUARDED_BY(lock);
  TDBError lastFault GUARDED_BY(lock);
  TDBFault lastFaultKind GUARDED_BY(lock) = TDBFault::None;

  bool Usable() const REQUIRES(lock) { return alive && connected && dbc != SQL_NULL_HDBC; }

  // Logs the diagnostics of a failed call when reportErrors is on; every
  // record read goes to the link-failure check.
  void Report(SQLSMALLINT type, SQLHANDLE handle, SQLRETURN rc) REQUIRES(lock);
  void ReportDbc(SQLRETURN rc) REQUIRES(lock) { Report(SQL_HANDLE_DBC, dbc, rc); }
  void LogDiagnostics(const std::vector<DiagRecord>& records) REQUIRES(lock);
  void CheckLinkFailure(const std::string& state, const std::string& message);
  // Classifies the failure of a call on this connection: a lost link marks
  // the connection, and every fault is counted (see TODBC::FaultCount).
  // Returns its kind.
  TDBFault NoteFailure(const TDBError& error) REQUIRES(lock);
  // A fault without a driver report (a failed commit, a replaced link).
  void CountFault(TDBFault kind, const TDBError& error) REQUIRES(lock);
  // Switches autocommit; on MySQL-family servers this is a round trip.
  bool SetAutocommit(bool on) REQUIRES(lock);
  void LogNow(const std::string& text) REQUIRES(lock);
  // Counts one executed statement and tells the observer.
  void NoteStatement(const std::string& sql, bool ok, std::chrono::steady_clock::duration took)
      REQUIRES(lock);

  void Register(TODBCStatement* stmt) REQUIRES(lock);
  void Unregister(TODBCStatement* stmt) REQUIRES(lock);
  void ReleaseStatements() REQUIRES(lock);
  void Disconnect() REQUIRES(lock);
};

// Marks a call that waits on the server for its duration, so that other
// threads can see a stalled link (TODBC::CallStalled) while the caller is
// stuck in the driver.
class ServerCall {
 public:
  explicit ServerCall(OdbcCore& core) : core_(core) { core_.callStart = SteadyMs(); }
  ~ServerCall() {
    const std::int64_t now = SteadyMs();
    core_.lastAnswer = now;
    core_.callStart = 0;
  }
  ServerCall(const ServerCall&) = delete;
  ServerCall& operator=(const ServerCall&) = delete;

 private:
  OdbcCore& core_;
};

// The family named by a connection string's DRIVER and DSN values; current
// when they name none.
TDBKind KindFromConnectString(std::string_view conn, TDBKind current);

// The driver connection string for a connect without data-source name (or
// with DSN naming a settings file whose section "ODBC" holds the pairs). For
// the MySQL family the found-rows flag and the server time-outs are added.
std::string BuildConnectionString(const std::string& dsn, const std::string& user,
                                  const std::string& password, const std::string& database,
                                  const std::string& driver, const std::string& options,
                                  TDBKind kind);

// The driver connection string of a data source whose family needs options
// of its own (see BuildConnectionString): the data source gives driver and
// server, the string adds the login, the database (when given: it names the
// database as the catalog attribute of a plain connect would) and those
// options. No DRIVER pair: next to DSN it would make the MySQL family's
// driver ignore the data source's own settings.
std::string DataSourceConnectionString(const std::string& dsn, const std::string& user,
                                       const std::string& password, const std::string& database,
                                       TDBKind kind);

}  // namespace orlo::detail
