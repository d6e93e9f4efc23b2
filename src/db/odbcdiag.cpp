// Diagnostics of the ODBC layer: reading the driver's records, logging them,
// and what a failure means for the connection (lost link, deadlock, ...).
#include <cstring>

#include "db/odbc.h"
#include "db/odbccore.h"
#include "log/messlog.h"
#include "platform/text.h"

namespace orlo {

namespace {

// MySQL/MariaDB server errors that void a transaction.
constexpr int kMySqlDeadlock = 1213;     // the server rolled the transaction back
constexpr int kMySqlLockTimeout = 1205;  // only the statement was rolled back
// MySQL/MariaDB client errors of a lost link: gone away, lost during a query,
// no connection to the server.
constexpr int kMySqlLinkErrors[] = {2006, 2013, 2002, 2003, 2055};
// SQLite result codes of a file locked by another connection.
constexpr int kSqliteBusy = 5;
constexpr int kSqliteLocked = 6;

bool IsMySqlLinkError(int native) {
  for (int code : kMySqlLinkErrors)
    if (native == code) return true;
  return false;
}

}  // namespace

std::string TDBError::Text() const { return message + ". State:  " + state; }

bool IsLinkFailureDiag(std::string_view sqlState, std::string_view message) {
  static constexpr std::string_view kStates[] = {"08001", "08002", "08003", "08004",
                                                 "08005", "08006", "08007", "08S01"};
  for (auto s : kStates)
    if (sqlState == s) return true;
  return UpperCase(message).find("UNABLE TO COMPLETE NETWORK REQUEST TO HOST") != std::string::npos;
}

TDBFault ClassifyFailure(TDBKind kind, const TDBError& error) {
  // HYT00/HYT01: the driver's own time-out ran out waiting for the server.
  if (IsLinkFailureDiag(error.state, error.message) || error.state == "HYT00" ||
      error.state == "HYT01")
    return TDBFault::LinkLost;
  if (error.state == "40001" || error.state == "40P01") return TDBFault::Deadlock;
  if (kind == dbkMySQL) {
    if (error.native == kMySqlDeadlock) return TDBFault::Deadlock;
    if (error.native == kMySqlLockTimeout) return TDBFault::LockTimeout;
    if (IsMySqlLinkError(error.native)) return TDBFault::LinkLost;
  }
  if (kind == dbkSQLite && (error.native == kSqliteBusy || error.native == kSqliteLocked))
    return TDBFault::Busy;
  return TDBFault::None;
}

namespace detail {

std::int64_t SteadyMs() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
  return ms > 0 ? ms : 1;
}

std::vector<DiagRecord> ReadDiagnostics(const OdbcApi& api, SQLSMALLINT type, SQLHANDLE handle,
                                        int maxRecords) {
  std::vector<DiagRecord> records;
  if (handle == SQL_NULL_HANDLE || !api.SQLGetDiagRec) return records;
  for (SQLSMALLINT n = 1; n <= maxRecords; ++n) {
    SQLCHAR state[6] = {};
    SQLCHAR msg[512] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    if (!Succeeded(api.SQLGetDiagRec(type, handle, n, state, &native, msg, sizeof msg, &len)))
      break;
    DiagRecord rec;
    rec.state.assign(reinterpret_cast<char*>(state), strnlen(reinterpret_cast<char*>(state), 5));
    rec.native = native;
    bool readable = true;
    // Some drivers give a general error's own text only through the field.
    if (rec.state == "HY000") {
      msg[0] = 0;
      readable = Succeeded(
          api.SQLGetDiagField(type, handle, n, SQL_DIAG_MESSAGE_TEXT, msg, sizeof msg, &len));
    }
    rec.message.assign(reinterpret_cast<char*>(msg),
                       strnlen(reinterpret_cast<char*>(msg), sizeof msg - 1));
    rec.reportable = readable && rec.state != "IM001";
    records.push_back(std::move(rec));
    if (!records.back().reportable) break;
  }
  return records;
}

TDBError FirstDiagnostic(const OdbcApi& api, SQLSMALLINT type, SQLHANDLE handle) {
  auto records = ReadDiagnostics(api, type, handle, 1);
  if (records.empty()) return {};
  return static_cast<TDBError&>(records.front());
}

void OdbcCore::LogNow(const std::string& text) {
  if (log) log->Log(text);
}

void OdbcCore::CheckLinkFailure(const std::string& state, const std::string& message) {
  if (!linkFailure && IsLinkFailureDiag(state, message)) linkFailure = true;
}

void OdbcCore::LogDiagnostics(const std::vector<DiagRecord>& records) {
  for (const DiagRecord& rec : records) {
    CheckLinkFailure(rec.state, rec.message);
    if (!rec.reportable) break;
    lastDiag = rec;
    LogNow(rec.Text());
  }
}

void OdbcCore::Report(SQLSMALLINT type, SQLHANDLE handle, SQLRETURN rc) {
  if (!reportErrors || Succeeded(rc)) return;
  LogDiagnostics(ReadDiagnostics(api, type, handle));
}

TDBFault OdbcCore::NoteFailure(const TDBError& error) {
  const TDBFault fault = ClassifyFailure(kind, error);
  if (fault == TDBFault::LinkLost) linkFailure = true;
  if (fault != TDBFault::None) CountFault(fault, error);
  return fault;
}

void OdbcCore::CountFault(TDBFault kind, const TDBError& error) {
  lastFault = error;
  lastFaultKind = kind;
  ++faults;
  counters->faults[static_cast<std::size_t>(kind)].fetch_add(1, std::memory_order_relaxed);
}

}  // namespace detail

}  // namespace orlo
