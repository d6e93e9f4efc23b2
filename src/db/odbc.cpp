// TODBC: run-time binding of the ODBC driver manager, the connection, and the
// diagnostics report shared with the statements.
#include "db/odbc.h"

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>

#include "db/odbccore.h"
#include "log/messlog.h"

namespace orlo {

namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::string Upper(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return out;
}

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

// Binds the driver manager; on any missing entry point the library is
// released again and the table stays empty. The library is never unloaded
// (RTLD_NODELETE): unixODBC keeps process-wide state that an unload would
// leak, and the service connects again and again over its lifetime.
void* BindDriverManager(detail::OdbcApi& api) {
  void* lib = dlopen("libodbc.so.2", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!lib) lib = dlopen("libodbc.so", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!lib) return nullptr;
  bool complete = true;
#define ORLO_ODBC_RESOLVE(name)                                         \
  if (complete) {                                                       \
    api.name = reinterpret_cast<decltype(api.name)>(dlsym(lib, #name)); \
    complete = api.name != nullptr;                                     \
  }
  ORLO_ODBC_ENTRY_POINTS(ORLO_ODBC_RESOLVE)
#undef ORLO_ODBC_RESOLVE
  if (!complete) {
    api = detail::OdbcApi{};
    dlclose(lib);
    return nullptr;
  }
  return lib;
}

// A value for a connection string: values holding ';' (a password, a path)
// would otherwise end the attribute early and turn the rest into attributes
// of their own, so they go in braces, with '}' doubled.
std::string ConnValue(const std::string& value) {
  if (value.find(';') == std::string::npos) return value;
  std::string out = "{";
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  return out + "}";
}

// The key=value lines of section [ODBC] of a settings file, in file order.
std::vector<std::pair<std::string, std::string>> ReadOdbcSection(const std::string& path) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::ifstream in(path);
  std::string line;
  bool inSection = false;
  while (std::getline(in, line)) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') continue;
    if (t.front() == '[') {
      inSection = t.back() == ']' && Lower(Trim(t.substr(1, t.size() - 2))) == "odbc";
      continue;
    }
    if (!inSection) continue;
    size_t eq = t.find('=');
    if (eq == std::string::npos) continue;
    std::string key = Trim(t.substr(0, eq));
    if (!key.empty()) pairs.emplace_back(key, Trim(t.substr(eq + 1)));
  }
  return pairs;
}

// MySQL/MariaDB count only the rows an UPDATE changed, unless the client asks
// for found rows (flag 2 of the driver's OPTION attribute). "No row matched"
// must not be confused with "the row already held these values", so the flag
// is added to the connection string.
std::string WithFoundRows(const std::string& conn) {
  const std::string lower = Lower(conn);
  size_t at = 0;
  while ((at = lower.find("option=", at)) != std::string::npos) {
    if (at == 0 || lower[at - 1] == ';') break;
    at += 7;
  }
  if (at == std::string::npos) return conn + (conn.empty() ? "" : ";") + "OPTION=2";
  size_t begin = at + 7, end = conn.find(';', begin);
  if (end == std::string::npos) end = conn.size();
  unsigned long long flags = 0;
  std::string value = Trim(std::string_view(conn).substr(begin, end - begin));
  try {
    flags = value.empty() ? 0 : std::stoull(value);
  } catch (...) {
    return conn;  // not a number: leave the admin's text alone
  }
  return conn.substr(0, begin) + std::to_string(flags | 2u) + conn.substr(end);
}

// The database family named by a connection string's DRIVER and DSN values.
// Other values (a database file path, a password, a server name) may hold any
// text and must not decide the family: a SQLite file under /srv/access/ is
// still SQLite.
TDBKind KindFromConnectString(std::string_view conn, TDBKind current) {
  TDBKind kind = current;
  size_t begin = 0;
  while (begin <= conn.size()) {
    size_t end = begin;
    int depth = 0;  // a braced value may hold ';'
    while (end < conn.size() && (conn[end] != ';' || depth > 0)) {
      if (conn[end] == '{')
        ++depth;
      else if (conn[end] == '}' && depth > 0)
        --depth;
      ++end;
    }
    std::string_view item = conn.substr(begin, end - begin);
    size_t eq = item.find('=');
    if (eq != std::string_view::npos) {
      const std::string key = Lower(Trim(item.substr(0, eq)));
      if (key == "driver" || key == "dsn") kind = DetectDBKind(item.substr(eq + 1), kind);
    }
    begin = end + 1;
  }
  return kind;
}

bool IsExistingFile(const std::string& path) {
  std::error_code ec;
  return !path.empty() && std::filesystem::is_regular_file(path, ec);
}

}  // namespace

namespace detail {

std::string BuildConnectionString(const std::string& dsn, const std::string& user,
                                  const std::string& password, const std::string& database,
                                  const std::string& driver, const std::string& options,
                                  TDBKind kind) {
  std::vector<std::string> pairs;
  if (IsExistingFile(dsn)) {
    for (auto& [key, value] : ReadOdbcSection(dsn)) {
      bool braces =
          Lower(key) == "driver" && value.find(' ') != std::string::npos && value.front() != '{';
      pairs.push_back(key + "=" + (braces ? "{" + value + "}" : ConnValue(value)));
    }
  }
  if (pairs.empty()) {
    if (!dsn.empty()) pairs.push_back("DSN=" + ConnValue(dsn));
    pairs.push_back("DRIVER={" + driver + "}");
    if (!database.empty()) {
      const char* key = (kind == dbkOracle || kind == dbkCodeBase) ? "DBQ"
                        : kind == dbkFoxPro                        ? "SourceDB"
                                                                   : "Database";
      pairs.push_back(std::string(key) + "=" + ConnValue(database));
    }
  }
  if (!user.empty()) pairs.push_back("UID=" + ConnValue(user));
  if (!password.empty()) pairs.push_back("PWD=" + ConnValue(password));
  std::string out;
  for (const auto& p : pairs) {
    if (!out.empty()) out += ';';
    out += p;
  }
  if (!options.empty()) {
    if (!out.empty()) out += ';';
    out += options;
  }
  if (KindFromConnectString(out, kind) == dbkMySQL) out = WithFoundRows(out);
  return out;
}

}  // namespace detail

TDBKind DetectDBKind(std::string_view text, TDBKind current) {
  // "mariadb" follows "mysql": MariaDB Connector/ODBC registers itself under
  // its own name, and MariaDB is of the MySQL family.
  static constexpr std::pair<std::string_view, TDBKind> kMarks[] = {
      {"oracle", dbkOracle},     {"firebird", dbkFirebird},    {"mysql", dbkMySQL},
      {"mariadb", dbkMySQL},     {"sql server", dbkSQLServer}, {"sql native client", dbkSQLServer},
      {"codebase", dbkCodeBase}, {"foxpro", dbkFoxPro},        {"dbf", dbkFoxPro},
      {"access", dbkAccess},     {"excel", dbkExcel},
  };
  const std::string lower = Lower(text);
  for (const auto& [mark, kind] : kMarks)
    if (lower.find(mark) != std::string::npos) return kind;
  return current;
}

std::string QuoteTable(TDBKind kind, std::string_view table) {
  if (kind == dbkMySQL && Lower(table) == "loop") return "`" + std::string(table) + "`";
  return std::string(table);
}

bool IsServerDatabase(TDBKind kind) {
  return kind == dbkMySQL || kind == dbkSQLServer || kind == dbkOracle || kind == dbkFirebird;
}

bool IsLinkFailureDiag(std::string_view sqlState, std::string_view message) {
  static constexpr std::string_view kStates[] = {"08001", "08002", "08003", "08004",
                                                 "08005", "08006", "08007", "08S01"};
  for (auto s : kStates)
    if (sqlState == s) return true;
  return Upper(message).find("UNABLE TO COMPLETE NETWORK REQUEST TO HOST") != std::string::npos;
}

namespace detail {

// The last holder of the core (the TODBC or a statement that outlived it)
// releases the library; the environment is already freed by then.
OdbcCore::~OdbcCore() {
  if (library) dlclose(library);
}

void OdbcCore::LogNow(const std::string& text) {
  if (log) log->Log(text);
}

void OdbcCore::CheckLinkFailure(const std::string& state, const std::string& message) {
  if (!linkFailure && IsLinkFailureDiag(state, message)) linkFailure = true;
}

bool OdbcCore::ReadDiag(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT n, DiagRecord& rec,
                        std::string& text) {
  if (handle == SQL_NULL_HANDLE) return false;
  SQLCHAR state[6] = {};
  SQLCHAR msg[512] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT len = 0;
  if (!Succeeded(api.SQLGetDiagRec(type, handle, n, state, &native, msg, sizeof msg, &len)))
    return false;
  rec.state.assign(reinterpret_cast<char*>(state), strnlen(reinterpret_cast<char*>(state), 5));
  rec.native = native;
  bool ok = true;
  if (rec.state == "HY000") {
    msg[0] = 0;
    ok = Succeeded(
        api.SQLGetDiagField(type, handle, n, SQL_DIAG_MESSAGE_TEXT, msg, sizeof msg, &len));
  }
  rec.message.assign(reinterpret_cast<char*>(msg),
                     strnlen(reinterpret_cast<char*>(msg), sizeof msg - 1));
  CheckLinkFailure(rec.state, rec.message);
  if (!ok || rec.state == "IM001") return false;
  lastDiag = rec;
  text = rec.message + ". State:  " + rec.state;
  return true;
}

void OdbcCore::Report(SQLSMALLINT type, SQLHANDLE handle, SQLRETURN rc) {
  if (!reportErrors || Succeeded(rc)) return;
  DiagRecord rec;
  std::string text;
  for (SQLSMALLINT n = 1; n < 100 && ReadDiag(type, handle, n, rec, text); ++n) LogNow(text);
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
    api.SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT);
    ReportDbc(api.SQLDisconnect(dbc));
    ReportDbc(api.SQLFreeHandle(SQL_HANDLE_DBC, dbc));
    linkFailure = false;
  }
  dbc = SQL_NULL_HDBC;
  connected = false;
}

}  // namespace detail

TODBC::TODBC() : core_(std::make_shared<detail::OdbcCore>()) {
  auto& c = *core_;
  c.library = BindDriverManager(c.api);
  if (!c.library) return;
  if (!detail::Succeeded(c.api.SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &c.env))) {
    c.env = SQL_NULL_HENV;
    return;
  }
  c.api.SQLSetEnvAttr(c.env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
}

TODBC::~TODBC() {
  std::lock_guard guard(core_->lock);
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
  std::lock_guard guard(core_->lock);
  auto& c = *core_;
  if (c.connected) return true;
  if (c.env == SQL_NULL_HENV) return false;
  if (!detail::Succeeded(c.api.SQLAllocHandle(SQL_HANDLE_DBC, c.env, &c.dbc))) {
    c.dbc = SQL_NULL_HDBC;
    return false;
  }
  auto& api = c.api;
  c.ReportDbc(api.SQLSetConnectAttr(c.dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(5),
                                    SQL_IS_UINTEGER));
  c.kind = DetectDBKind(Driver, dbkUnknown);
  // MariaDB Connector/ODBC leaks the catalog name set before a connect (a few
  // bytes per attempt, and the supervisor retries every second while the
  // server is down); its connection string names the database anyway.
  const bool catalogInString = c.kind == dbkMySQL && DSN.empty();
  if (!Database.empty() && c.kind != dbkCodeBase && !catalogInString) {
    std::string catalog = Database;
    c.ReportDbc(api.SQLSetConnectAttr(c.dbc, SQL_ATTR_CURRENT_CATALOG,
                                      reinterpret_cast<SQLCHAR*>(catalog.data()), SQL_NTS));
  }
  api.SQLSetConnectAttr(c.dbc, SQL_ATTR_METADATA_ID, reinterpret_cast<SQLPOINTER>(SQL_FALSE),
                        SQL_IS_UINTEGER);
  c.ReportDbc(api.SQLSetConnectAttr(c.dbc, SQL_ATTR_ODBC_CURSORS,
                                    reinterpret_cast<SQLPOINTER>(SQL_CUR_USE_IF_NEEDED),
                                    SQL_IS_UINTEGER));

  SQLRETURN rc = SQL_ERROR;
  if (!DSN.empty()) {
    std::string dsn = DSN, user = User, pass = Password;
    rc = api.SQLConnect(c.dbc, reinterpret_cast<SQLCHAR*>(dsn.data()), SQL_NTS,
                        reinterpret_cast<SQLCHAR*>(user.data()), SQL_NTS,
                        reinterpret_cast<SQLCHAR*>(pass.data()), SQL_NTS);
  }
  if (detail::Succeeded(rc)) {
    c.connectString = DSN;
    SQLCHAR name[256], desc[256];
    SQLSMALLINT nameLen = 0, descLen = 0;
    SQLUSMALLINT dir = SQL_FETCH_FIRST;
    while (detail::Succeeded(
        api.SQLDataSources(c.env, dir, name, 255, &nameLen, desc, 255, &descLen))) {
      dir = SQL_FETCH_NEXT;
      if (DSN == reinterpret_cast<char*>(name)) {
        c.connectString = reinterpret_cast<char*>(desc);
        break;
      }
    }
  } else {
    std::string in =
        detail::BuildConnectionString(DSN, User, Password, Database, Driver, Options, c.kind);
    std::array<SQLCHAR, 1024> out{};
    SQLSMALLINT outLen = 0;
    rc = api.SQLDriverConnect(c.dbc, nullptr, reinterpret_cast<SQLCHAR*>(in.data()), SQL_NTS,
                              out.data(), 1023, &outLen, SQL_DRIVER_NOPROMPT);
    c.connectString.assign(reinterpret_cast<char*>(out.data()),
                           strnlen(reinterpret_cast<char*>(out.data()), 1023));
  }
  if (!detail::Succeeded(rc)) {
    c.kind = dbkUnknown;
    c.ReportDbc(rc);
    api.SQLFreeHandle(SQL_HANDLE_DBC, c.dbc);
    c.dbc = SQL_NULL_HDBC;
    c.connectString.clear();
    return false;
  }
  c.kind = KindFromConnectString(c.connectString, c.kind);
  c.linkFailure = false;
  c.connected = true;
  return true;
}

void TODBC::DisconnectFromDataSource() {
  std::lock_guard guard(core_->lock);
  try {
    core_->Disconnect();
  } catch (const std::exception& e) {
    core_->LogNow(std::string("EXCEPTION: DisconnectFromDataSource ") + e.what());
    core_->dbc = SQL_NULL_HDBC;
    core_->connected = false;
  }
}

bool TODBC::IsConnectionDead() {
  std::lock_guard guard(core_->lock);
  auto& c = *core_;
  if (c.linkFailure) return true;
  if (!c.connected) return false;
  SQLUINTEGER dead = SQL_CD_FALSE;
  SQLRETURN rc =
      c.api.SQLGetConnectAttr(c.dbc, SQL_ATTR_CONNECTION_DEAD, &dead, sizeof dead, nullptr);
  // A failed question counts as dead only when its diagnostics show a lost
  // link; a driver that merely lacks the attribute must not be reconnected
  // every second.
  c.ReportDbc(rc);
  if (!detail::Succeeded(rc)) return c.linkFailure;
  return dead == SQL_CD_TRUE;
}

bool TODBC::Bound() const { return core_->library != nullptr && core_->env != SQL_NULL_HENV; }

bool TODBC::Connected() const {
  std::lock_guard guard(core_->lock);
  return core_->connected;
}

bool TODBC::LinkFailure() const {
  std::lock_guard guard(core_->lock);
  return core_->linkFailure;
}

TDBKind TODBC::DBKind() const {
  std::lock_guard guard(core_->lock);
  return core_->kind;
}

std::string TODBC::ConnectString() const {
  std::lock_guard guard(core_->lock);
  return core_->connectString;
}

std::string TODBC::QuoteTable(std::string_view table) const {
  return orlo::QuoteTable(DBKind(), table);
}

bool TODBC::BeginTransaction() {
  std::lock_guard guard(core_->lock);
  auto& c = *core_;
  if (!c.Usable()) return false;
  const SQLRETURN rc =
      c.api.SQLSetConnectAttr(c.dbc, SQL_ATTR_AUTOCOMMIT,
                              reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), SQL_IS_UINTEGER);
  c.ReportDbc(rc);
  return detail::Succeeded(rc);
}

bool TODBC::CommitTransaction() {
  std::lock_guard guard(core_->lock);
  auto& c = *core_;
  // A disconnect in between has committed what it could, and a new
  // connection starts in autocommit mode: nothing is left to commit.
  if (!c.Usable()) return false;
  const SQLRETURN rc = c.api.SQLEndTran(SQL_HANDLE_DBC, c.dbc, SQL_COMMIT);
  if (!detail::Succeeded(rc)) {
    c.LogNow("Transaction commit failed");
    c.ReportDbc(rc);
  }
  return detail::Succeeded(rc);
}

bool TODBC::EndTransaction() {
  const bool committed = CommitTransaction();
  std::lock_guard guard(core_->lock);
  auto& c = *core_;
  if (c.Usable())
    c.ReportDbc(c.api.SQLSetConnectAttr(c.dbc, SQL_ATTR_AUTOCOMMIT,
                                        reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON),
                                        SQL_IS_UINTEGER));
  return committed;
}

TODBCTransaction::TODBCTransaction(TODBC& odbc)
    : odbc_(odbc), open_(IsServerDatabase(odbc.DBKind()) && odbc.BeginTransaction()) {}

TODBCTransaction::~TODBCTransaction() {
  try {
    if (open_) odbc_.EndTransaction();
  } catch (...) {
  }
}

bool TODBCTransaction::Commit() { return !open_ || odbc_.CommitTransaction(); }

bool TODBC::ReportErrors() const {
  std::lock_guard guard(core_->lock);
  return core_->reportErrors;
}

void TODBC::SetReportErrors(bool on) {
  std::lock_guard guard(core_->lock);
  core_->reportErrors = on;
}

bool TODBC::BindColumns() const {
  std::lock_guard guard(core_->lock);
  return core_->bindColumns;
}

void TODBC::SetBindColumns(bool on) {
  std::lock_guard guard(core_->lock);
  core_->bindColumns = on;
}

TMessLog* TODBC::Log() const {
  std::lock_guard guard(core_->lock);
  return core_->log;
}

void TODBC::SetLog(TMessLog* log) {
  std::lock_guard guard(core_->lock);
  core_->log = log;
}

}  // namespace orlo
