// TODBC: run-time binding of the ODBC driver manager, the connection, and the
// state of its link that the supervisor and the statements share.
#include "db/odbc.h"

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "db/odbccore.h"
#include "log/messlog.h"

namespace orlo {

namespace {

using detail::OdbcApi;
using detail::Succeeded;

// Binds the driver manager; on any missing entry point the library is
// released again and the table stays empty. The library is never unloaded
// (RTLD_NODELETE): unixODBC keeps process-wide state that an unload would
// leak, and the service connects again and again over its lifetime.
void* BindDriverManager(OdbcApi& api) {
  void* lib = dlopen("libodbc.so.2", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!lib) lib = dlopen("libodbc.so", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!lib) return nullptr;
  // The driver manager loads its installer library to read data sources and
  // drops it again, while the ini cache it built stays allocated: kept loaded
  // once, the library and its cache live as long as the process.
  dlopen("libodbcinst.so.2", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  bool complete = true;
#define ORLO_ODBC_RESOLVE(name)                                         \
  if (complete) {                                                       \
    api.name = reinterpret_cast<decltype(api.name)>(dlsym(lib, #name)); \
    complete = api.name != nullptr;                                     \
  }
  ORLO_ODBC_ENTRY_POINTS(ORLO_ODBC_RESOLVE)
#undef ORLO_ODBC_RESOLVE
  if (!complete) {
    api = OdbcApi{};
    dlclose(lib);
    return nullptr;
  }
  return lib;
}

// The driver description the driver manager lists for a data source (its
// driver name), or "" when the data source is not listed.
std::string DataSourceDriver(const OdbcApi& api, SQLHENV env, const std::string& dsn) {
  SQLCHAR name[256], desc[256];
  SQLSMALLINT nameLen = 0, descLen = 0;
  SQLUSMALLINT dir = SQL_FETCH_FIRST;
  while (Succeeded(api.SQLDataSources(env, dir, name, 255, &nameLen, desc, 255, &descLen))) {
    dir = SQL_FETCH_NEXT;
    if (dsn == reinterpret_cast<char*>(name)) return reinterpret_cast<char*>(desc);
  }
  return {};
}

// The family of the server a connection reached, by the name it gives.
TDBKind ServerKind(const OdbcApi& api, SQLHDBC dbc, TDBKind hint) {
  SQLCHAR name[128] = {};
  SQLSMALLINT len = 0;
  if (!Succeeded(api.SQLGetInfo(dbc, SQL_DBMS_NAME, name, sizeof name, &len))) return hint;
  return KindFromServerName(
      std::string_view(reinterpret_cast<char*>(name), strnlen(reinterpret_cast<char*>(name), 127)),
      hint);
}

// The connect parameters of TODBC::ConnectToDataSource.
struct ConnectParams {
  const std::string& dsn;
  const std::string& user;
  const std::string& password;
  const std::string& database;
  const std::string& driver;
  const std::string& options;
};

// One connect attempt on a handle of its own, before it is installed.
struct ConnectAttempt {
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool ok = false;
  std::string connectString;
  std::vector<detail::DiagRecord> diagnostics;  // of the calls that failed

  void Note(const OdbcApi& api, SQLRETURN rc) {
    if (Succeeded(rc)) return;
    auto records = detail::ReadDiagnostics(api, SQL_HANDLE_DBC, dbc);
    diagnostics.insert(diagnostics.end(), records.begin(), records.end());
  }
};

void FreeConnection(const OdbcApi& api, SQLHDBC dbc, bool connected) {
  if (dbc == SQL_NULL_HDBC) return;
  if (connected) api.SQLDisconnect(dbc);
  api.SQLFreeHandle(SQL_HANDLE_DBC, dbc);
}

// Connects a new handle for the given family. A data source of the MySQL
// family is reached through a driver connect, which alone can carry the
// server time-outs; other data sources through SQLConnect, falling back to
// the driver connection string.
ConnectAttempt Attempt(const OdbcApi& api, SQLHENV env, const ConnectParams& p, TDBKind kind) {
  ConnectAttempt a;
  if (!Succeeded(api.SQLAllocHandle(SQL_HANDLE_DBC, env, &a.dbc))) {
    a.dbc = SQL_NULL_HDBC;
    return a;
  }
  a.Note(api, api.SQLSetConnectAttr(a.dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(5),
                                    SQL_IS_UINTEGER));
  // Only a connect by SQLConnect needs the catalog attribute: a connection
  // string names the database itself. (MariaDB Connector/ODBC leaks the
  // catalog name set before a connect, a few bytes per attempt, and the
  // supervisor retries every second while the server is down.)
  const bool byConnect = !p.dsn.empty() && kind != dbkMySQL;
  if (!p.database.empty() && kind != dbkCodeBase && byConnect) {
    std::string catalog = p.database;
    a.Note(api, api.SQLSetConnectAttr(a.dbc, SQL_ATTR_CURRENT_CATALOG,
                                      reinterpret_cast<SQLCHAR*>(catalog.data()), SQL_NTS));
  }
  api.SQLSetConnectAttr(a.dbc, SQL_ATTR_METADATA_ID, reinterpret_cast<SQLPOINTER>(SQL_FALSE),
                        SQL_IS_UINTEGER);
  a.Note(api, api.SQLSetConnectAttr(a.dbc, SQL_ATTR_ODBC_CURSORS,
                                    reinterpret_cast<SQLPOINTER>(SQL_CUR_USE_IF_NEEDED),
                                    SQL_IS_UINTEGER));

  SQLRETURN rc = SQL_ERROR;
  std::string in;
  if (!p.dsn.empty() && kind == dbkMySQL) {
    in = detail::DataSourceConnectionString(p.dsn, p.user, p.password, p.database, kind);
  } else if (byConnect) {
    std::string dsn = p.dsn, user = p.user, pass = p.password;
    rc = api.SQLConnect(a.dbc, reinterpret_cast<SQLCHAR*>(dsn.data()), SQL_NTS,
                        reinterpret_cast<SQLCHAR*>(user.data()), SQL_NTS,
                        reinterpret_cast<SQLCHAR*>(pass.data()), SQL_NTS);
    if (Succeeded(rc)) {
      a.connectString = DataSourceDriver(api, env, p.dsn);
      if (a.connectString.empty()) a.connectString = p.dsn;
    }
  }
  if (!Succeeded(rc)) {
    if (in.empty())
      in = detail::BuildConnectionString(p.dsn, p.user, p.password, p.database, p.driver, p.options,
                                         kind);
    std::array<SQLCHAR, 1024> out{};
    SQLSMALLINT outLen = 0;
    rc = api.SQLDriverConnect(a.dbc, nullptr, reinterpret_cast<SQLCHAR*>(in.data()), SQL_NTS,
                              out.data(), 1023, &outLen, SQL_DRIVER_NOPROMPT);
    a.connectString.assign(reinterpret_cast<char*>(out.data()),
                           strnlen(reinterpret_cast<char*>(out.data()), 1023));
  }
  a.Note(api, rc);
  a.ok = Succeeded(rc);
  if (!a.ok) {
    FreeConnection(api, a.dbc, false);
    a.dbc = SQL_NULL_HDBC;
    a.connectString.clear();
  }
  return a;
}

// The probe statement of a link check, by family; none where the family's
// dialect is not known to take it.
const char* ProbeSql(TDBKind kind) {
  switch (kind) {
    case dbkMySQL:
    case dbkSQLServer:
      return "SELECT 1";
    case dbkOracle:
      return "SELECT 1 FROM DUAL";
    case dbkFirebird:
      return "SELECT 1 FROM RDB$DATABASE";
    default:
      return nullptr;
  }
}

}  // namespace

namespace detail {

// The last holder of the core (the TODBC or a statement that outlived it)
// releases the library; the environment is already freed by then.
OdbcCore::~OdbcCore() {
  if (library) dlclose(library);
}

void OdbcCore::Register(TODBCStatement* stmt) {
  auto slot = std::find(registry.begin(), registry.end(), nullptr);
  if (slot != registry.end())
    *slot = stmt;
  else
    registry.push_back(stmt);
}

void OdbcCore::Unregister(TODBCStatement* stmt) {
  std::replace(registry.begin(), registry.end(), stmt, static_cast<TODBCStatement*>(nullptr));
}

void OdbcCore::Disconnect() {
  ReleaseStatements();
  if (connected) {
    // Autocommit leaves nothing to commit, and nothing can be committed over
    // a lost link: a commit there would only wait for the server's time-out.
    if (autocommitOff && workSinceCommit && !linkFailure) {
      ServerCall call(*this);
      api.SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT);
    }
    ReportDbc(api.SQLDisconnect(dbc));
    ReportDbc(api.SQLFreeHandle(SQL_HANDLE_DBC, dbc));
    linkFailure = false;
    // Work of a transaction still open on this link is gone with it.
    CountFault(TDBFault::LinkLost, {"08003", 0, "Connection closed"});
  }
  dbc = SQL_NULL_HDBC;
  connected = false;
  autocommitOff = false;
  transactionOpen = false;
  workSinceCommit = false;
}

}  // namespace detail

TODBC::TODBC() : core_(std::make_shared<detail::OdbcCore>()) {
  auto& c = *core_;
  c.library = BindDriverManager(c.api);
  if (!c.library) return;
  if (!Succeeded(c.api.SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &c.env))) {
    c.env = SQL_NULL_HENV;
    return;
  }
  c.api.SQLSetEnvAttr(c.env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
}

TODBC::~TODBC() {
  TLockGuard guard(core_->lock);
  auto& c = *core_;
  try {
    c.Disconnect();
  } catch (...) {
  }
  c.alive = false;
  if (c.env != SQL_NULL_HENV) c.api.SQLFreeHandle(SQL_HANDLE_ENV, c.env);
  c.env = SQL_NULL_HENV;
  c.log = nullptr;
}

bool TODBC::ConnectToDataSource(const std::string& DSN, const std::string& User,
                                const std::string& Password, const std::string& Database,
                                const std::string& Driver, const std::string& Options) {
  auto& c = *core_;
  {
    TLockGuard guard(c.lock);
    if (c.connected) return true;
    if (c.env == SQL_NULL_HENV) return false;
  }
  // The login may wait for the server up to its time-out, so it runs without
  // the lock: statement work meanwhile fails at once (not connected).
  const ConnectParams params{DSN, User, Password, Database, Driver, Options};
  // The family a server named at an earlier connect of this object comes
  // first: a reconnect then needs no second attempt.
  TDBKind hint = c.serverKind;
  if (hint == dbkUnknown) {
    hint = DetectDBKind(Driver, dbkUnknown);
    if (!DSN.empty()) hint = DetectDBKind(DataSourceDriver(c.api, c.env, DSN), hint);
  }
  ConnectAttempt a = Attempt(c.api, c.env, params, hint);
  TDBKind kind = dbkUnknown;
  if (a.ok) {
    kind = ServerKind(c.api, a.dbc, detail::KindFromConnectString(a.connectString, hint));
    // A MySQL-family server reached under a name that did not tell the
    // family got none of the options the family needs: connect again.
    if (kind == dbkMySQL && hint != dbkMySQL) {
      FreeConnection(c.api, a.dbc, true);
      auto diagnostics = std::move(a.diagnostics);
      a = Attempt(c.api, c.env, params, dbkMySQL);
      a.diagnostics.insert(a.diagnostics.begin(), diagnostics.begin(), diagnostics.end());
      if (a.ok) kind = ServerKind(c.api, a.dbc, dbkMySQL);
    }
  }

  TLockGuard guard(c.lock);
  if (c.reportErrors) c.LogDiagnostics(a.diagnostics);
  if (!a.ok || !c.alive || c.connected) {
    FreeConnection(c.api, a.dbc, a.ok);
    if (c.connected) return true;
    c.kind = dbkUnknown;
    c.connectString.clear();
    return false;
  }
  c.dbc = a.dbc;
  c.connectString = a.connectString;
  c.kind = kind;
  c.serverKind = kind;
  c.linkFailure = false;
  c.autocommitOff = false;
  c.transactionOpen = false;
  c.workSinceCommit = false;
  c.lastAnswer = detail::SteadyMs();
  c.connected = true;
  return true;
}

void TODBC::DisconnectFromDataSource() {
  TLockGuard guard(core_->lock);
  try {
    core_->Disconnect();
  } catch (const std::exception& e) {
    core_->LogNow(std::string("EXCEPTION: DisconnectFromDataSource ") + e.what());
    core_->dbc = SQL_NULL_HDBC;
    core_->connected = false;
  }
}

namespace {

// The dead-connection test, under the lock.
bool DeadLocked(detail::OdbcCore& c) REQUIRES(c.lock) {
  if (c.linkFailure) return true;
  if (!c.connected) return false;
  SQLUINTEGER dead = SQL_CD_FALSE;
  SQLRETURN rc =
      c.api.SQLGetConnectAttr(c.dbc, SQL_ATTR_CONNECTION_DEAD, &dead, sizeof dead, nullptr);
  // A failed question counts as dead only when its diagnostics show a lost
  // link; a driver that merely lacks the attribute must not be reconnected
  // every second.
  c.ReportDbc(rc);
  if (!Succeeded(rc)) return c.linkFailure;
  return dead == SQL_CD_TRUE;
}

// One round trip on a statement handle of its own; a failure is classified
// like any statement's.
void Probe(detail::OdbcCore& c, const char* sql) REQUIRES(c.lock) {
  // Left off by the last transaction: the probe must not begin the next one.
  if (c.autocommitOff && !c.transactionOpen && !c.SetAutocommit(true)) return;
  SQLHSTMT h = SQL_NULL_HSTMT;
  if (!Succeeded(c.api.SQLAllocHandle(SQL_HANDLE_STMT, c.dbc, &h))) return;
  SQLRETURN rc;
  {
    detail::ServerCall call(c);
    rc = c.api.SQLExecDirect(h, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql)), SQL_NTS);
  }
  if (!Succeeded(rc)) c.NoteFailure(detail::FirstDiagnostic(c.api, SQL_HANDLE_STMT, h));
  c.api.SQLFreeStmt(h, SQL_CLOSE);
  c.api.SQLFreeHandle(SQL_HANDLE_STMT, h);
}

}  // namespace

bool TODBC::IsConnectionDead() {
  TLockGuard guard(core_->lock);
  return DeadLocked(*core_);
}

TODBC::TLinkState TODBC::CheckLink(std::chrono::milliseconds idleBeforeProbe) {
  auto& c = *core_;
  if (!c.lock.TryLock()) return TLinkState::Busy;
  TLockGuard guard(c.lock, std::adopt_lock);
  if (!c.connected || DeadLocked(c)) return TLinkState::Dead;
  const char* probe = ProbeSql(c.kind);
  if (probe && detail::SteadyMs() - c.lastAnswer >= idleBeforeProbe.count()) {
    Probe(c, probe);
    if (c.linkFailure) return TLinkState::Dead;
  }
  return TLinkState::Alive;
}

bool TODBC::CallStalled(std::chrono::milliseconds limit) const {
  const auto& c = *core_;
  const std::int64_t start = c.callStart;
  return start != 0 && IsServerDatabase(c.kind) && detail::SteadyMs() - start > limit.count();
}

bool TODBC::Healthy(std::chrono::milliseconds stallLimit) const {
  return core_->connected && !core_->linkFailure && !CallStalled(stallLimit);
}

std::uint64_t TODBC::FaultCount() const { return core_->faults; }

TDBError TODBC::LastFault() const {
  TLockGuard guard(core_->lock);
  return core_->lastFault;
}

TDBFault TODBC::LastFaultKind() const {
  TLockGuard guard(core_->lock);
  return core_->lastFaultKind;
}

bool TODBC::Bound() const { return core_->library != nullptr && core_->env != SQL_NULL_HENV; }

bool TODBC::Connected() const { return core_->connected; }

bool TODBC::LinkFailure() const { return core_->linkFailure; }

TDBKind TODBC::DBKind() const { return core_->kind; }

std::string TODBC::ConnectString() const {
  TLockGuard guard(core_->lock);
  return core_->connectString;
}

std::string TODBC::QuoteTable(std::string_view table) const {
  return orlo::QuoteTable(DBKind(), table);
}

bool TODBC::ReportErrors() const {
  TLockGuard guard(core_->lock);
  return core_->reportErrors;
}

void TODBC::SetReportErrors(bool on) {
  TLockGuard guard(core_->lock);
  core_->reportErrors = on;
}

bool TODBC::BindColumns() const {
  TLockGuard guard(core_->lock);
  return core_->bindColumns;
}

void TODBC::SetBindColumns(bool on) {
  TLockGuard guard(core_->lock);
  core_->bindColumns = on;
}

TMessLog* TODBC::Log() const {
  TLockGuard guard(core_->lock);
  return core_->log;
}

void TODBC::SetLog(TMessLog* log) {
  TLockGuard guard(core_->lock);
  core_->log = log;
}

void TODBC::SetCounters(std::shared_ptr<TDBCounters> counters) {
  if (!counters) return;
  TLockGuard guard(core_->lock);
  core_->counters = std::move(counters);
}

void TODBC::SetStatementObserver(TStatementObserver observer) {
  TLockGuard guard(core_->lock);
  core_->observer = std::move(observer);
}

}  // namespace orlo
