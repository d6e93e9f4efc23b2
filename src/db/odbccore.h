// Internals of the ODBC layer shared by TODBC and TODBCStatement: the table of
// driver-manager entry points resolved at run time, the connection state that
// statements share with their TODBC, and a statement's own state.
// Everything here is guarded by OdbcCore::lock unless noted.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "db/odbc.h"

namespace orlo::detail {

// The driver-manager functions, in the order they are resolved; all are
// required. The pointer types come from the ODBC headers' own prototypes.
#define ORLO_ODBC_ENTRY_POINTS(X)                                                                 \
  X(SQLAllocHandle)                                                                               \
  X(SQLGetEnvAttr)                                                                                \
  X(SQLSetEnvAttr) X(SQLDrivers) X(SQLDataSources) X(SQLGetConnectAttr) X(SQLSetConnectAttr)      \
      X(SQLConnect) X(SQLDriverConnect) X(SQLBrowseConnect) X(SQLGetInfo) X(SQLGetStmtAttr)       \
          X(SQLSetStmtAttr) X(SQLTables) X(SQLStatistics) X(SQLPrimaryKeys) X(SQLForeignKeys)     \
              X(SQLExecDirect) X(SQLPrepare) X(SQLExecute) X(SQLEndTran) X(SQLNumResultCols)      \
                  X(SQLRowCount) X(SQLFetch) X(SQLFetchScroll) X(SQLGetData) X(SQLDescribeCol)    \
                      X(SQLColAttribute) X(SQLColumns) X(SQLSpecialColumns) X(SQLBindCol)         \
                          X(SQLBindParameter) X(SQLSetPos) X(SQLPutData) X(SQLCloseCursor)        \
                              X(SQLDisconnect) X(SQLFreeHandle) X(SQLFreeStmt) X(SQLGetDiagField) \
                                  X(SQLGetDiagRec) X(SQLCancel)

struct OdbcApi {
#define ORLO_ODBC_DECLARE(name) decltype(&::name) name = nullptr;
  ORLO_ODBC_ENTRY_POINTS(ORLO_ODBC_DECLARE)
#undef ORLO_ODBC_DECLARE
};

inline bool Succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

// One diagnostic record as the driver gave it.
struct DiagRecord {
  std::string state;
  SQLINTEGER native = 0;
  std::string message;
};

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
  bool allocated = false;
  bool bindColumns = true;
  bool canRefresh = false;
  bool eof = false;
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

  std::mutex lock;  // serialises all statement work against connect/disconnect

  // Set at construction, read-only afterwards.
  void* library = nullptr;
  OdbcApi api;
  SQLHENV env = SQL_NULL_HENV;

  bool alive = true;  // false once the TODBC is destroyed
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool connected = false;
  bool linkFailure = false;
  bool reportErrors = false;
  bool bindColumns = false;
  TDBKind kind = dbkUnknown;
  std::string connectString;
  TMessLog* log = nullptr;
  std::vector<TODBCStatement*> registry;  // not owned; empty slots are null
  DiagRecord lastDiag;

  bool Usable() const { return alive && connected && dbc != SQL_NULL_HDBC; }

  // Reads diagnostic record n of a handle (false when there is none or it
  // cannot be read); every record read goes to the link-failure check.
  bool ReadDiag(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT n, DiagRecord& rec,
                std::string& text);
  // Logs the diagnostics of a failed call when reportErrors is on.
  void Report(SQLSMALLINT type, SQLHANDLE handle, SQLRETURN rc);
  void ReportDbc(SQLRETURN rc) { Report(SQL_HANDLE_DBC, dbc, rc); }
  void CheckLinkFailure(const std::string& state, const std::string& message);
  void LogNow(const std::string& text);

  void Register(TODBCStatement* stmt);
  void Unregister(TODBCStatement* stmt);
  void ReleaseStatements();
  void Disconnect();
};

// The driver connection string for a connect without data-source name (or
// with DSN naming a settings file whose section "ODBC" holds the pairs).
std::string BuildConnectionString(const std::string& dsn, const std::string& user,
                                  const std::string& password, const std::string& database,
                                  const std::string& driver, const std::string& options,
                                  TDBKind kind);

}  // namespace orlo::detail
