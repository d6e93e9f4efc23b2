#include "support/sitedatabase.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>

#include "config/registryex.h"
#include "support/sqlfile.h"

namespace orlo::test {

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// Where the test's own databases are made and dropped from.
constexpr const char* kBootDatabase = "tarn";

}  // namespace

std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::SQLite ? "SQLite" : "MariaDB";
}

::testing::internal::ParamGenerator<Backend> Backends() {
  return ::testing::Values(Backend::SQLite, Backend::MariaDB);
}

bool InCI() { return Env("CI") == "true"; }

bool FindMariaDB(MariaDBServer& server) {
  server.port = Env("ORLO_MARIADB_PORT");
  server.templateDir = Env("ORLO_MARIADB_TEMPLATE");
  if (!Env("ORLO_MARIADB_HOST").empty()) server.host = Env("ORLO_MARIADB_HOST");
  if (!Env("ORLO_MARIADB_USER").empty()) server.user = Env("ORLO_MARIADB_USER");
  if (!Env("ORLO_MARIADB_PASS").empty()) server.password = Env("ORLO_MARIADB_PASS");
  return !server.port.empty();
}

std::string SqliteFnPath() { return ORLO_SQLITEFN_PATH; }

std::string SchemaFile(const std::string& name) {
  return std::string(ORLO_SOURCE_DIR) + "/schema/" + name;
}

std::string SQLiteOptions() {
  return "LoadExt=" + SqliteFnPath() + ";JournalMode=WAL;Timeout=1000";
}

ConnSettings SqliteSettings(const std::string& file) {
  return {"", "SQLite3", file, "", "", SQLiteOptions()};
}

ConnSettings MariaDBSettings(const MariaDBServer& server, const std::string& database) {
  return {"",
          "MySQL ODBC 3.51 Driver",
          database,
          server.user,
          server.password,
          "SERVER=" + server.host + ";PORT=" + server.port + ";database=" + database};
}

bool Connect(TODBC& odbc, const ConnSettings& s) {
  odbc.SetBindColumns(true);
  return odbc.ConnectToDataSource(s.dsn, s.user, s.password, s.database, s.driver, s.options);
}

std::string RegString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

void WriteRegistryStore(const std::string& file, const TRegistryValues& values,
                        const std::string& computerName) {
  std::ofstream out(file, std::ios::trunc);
  out << "Windows Registry Editor Version 5.00\n\n"
      << "[HKEY_LOCAL_MACHINE\\Software\\Quenlor\\Orlo]\n";
  for (const auto& [name, value] : values) out << RegString(name) << "=" << value << "\n";
  if (computerName.empty()) return;
  out << "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\ComputerName\\"
         "ComputerName]\n"
      << "\"ComputerName\"=" << RegString(computerName) << "\n";
}

TRegistryValues SqliteRegistryValues(const std::string& file) {
  const ConnSettings s = SqliteSettings(file);
  return {{"Database", RegString(s.database)},
          {"ODBCDriver", RegString(s.driver)},
          {"ODBCOptions", RegString(s.options)}};
}

// --- TSiteDatabase ---

TSiteDatabase::~TSiteDatabase() { Close(); }

bool TSiteDatabase::Create(Backend backend, const std::string& sqliteFile,
                           const std::string& prefix, TMessLog* log) {
  if (backend == Backend::SQLite) return CreateSQLite(sqliteFile, log);
  MariaDBServer server;
  if (!FindMariaDB(server)) {
    ADD_FAILURE() << "no MariaDB server (ORLO_MARIADB_PORT unset)";
    return false;
  }
  return CreateMariaDB(server, prefix, log);
}

bool TSiteDatabase::CreateSQLite(const std::string& file, TMessLog* log) {
  Close();
  settings_ = SqliteSettings(file);
  db_ = std::make_unique<TODBC>();
  db_->SetLog(log);
  db_->SetReportErrors(true);
  return Connected() && RunSqlFile(*db_, SchemaFile("sqlite.sql"));
}

bool TSiteDatabase::CreateMariaDB(const MariaDBServer& server, const std::string& prefix,
                                  TMessLog* log) {
  Close();
  static std::atomic<int> counter{0};
  server_ = server;
  const std::string name = prefix + std::to_string(getpid()) + "_" + std::to_string(counter++);
  TODBC boot;
  if (!Connect(boot, MariaDBSettings(server_, kBootDatabase))) {
    ADD_FAILURE() << "cannot connect to the MariaDB server at " << server_.host << ":"
                  << server_.port;
    return false;
  }
  TODBCStatement q(boot);
  if (!q.ExecSQL("CREATE DATABASE " + name + " CHARACTER SET utf8mb4")) {
    ADD_FAILURE() << "cannot create the database " << name;
    return false;
  }
  mariaDatabase_ = name;
  settings_ = MariaDBSettings(server_, name);
  db_ = std::make_unique<TODBC>();
  db_->SetLog(log);
  db_->SetReportErrors(true);
  return Connected() && RunSqlFile(*db_, SchemaFile("mariadb.sql"));
}

bool TSiteDatabase::Connected() {
  if (Connect(*db_, settings_)) return true;
  ADD_FAILURE() << "cannot connect to the site database " << settings_.database;
  return false;
}

bool TSiteDatabase::LoadDemo() { return db_ && RunSqlFile(*db_, SchemaFile("demo.sql")); }

void TSiteDatabase::Close() {
  // The connection object stays: statements of the test may outlive it.
  if (db_) db_->DisconnectFromDataSource();
  if (mariaDatabase_.empty()) return;
  TODBC boot;
  if (Connect(boot, MariaDBSettings(server_, kBootDatabase))) {
    TODBCStatement q(boot);
    q.ExecSQL("DROP DATABASE " + mariaDatabase_);
  }
  mariaDatabase_.clear();
}

bool TSiteDatabase::Exec(const std::string& sql) {
  TODBCStatement q(*db_);
  return q.ExecSQL(sql);
}

int TSiteDatabase::QueryInt(const std::string& sql) {
  TODBCStatement q(*db_);
  if (!q.ExecSQL(sql) || q.FieldCount() < 1) return 0;
  return q.FieldAsInteger(q.FieldName(0));
}

std::string TSiteDatabase::QueryString(const std::string& sql) {
  TODBCStatement q(*db_);
  if (!q.ExecSQL(sql) || q.FieldCount() < 1) return "";
  return q.FieldAsString(q.FieldName(0));
}

double TSiteDatabase::QueryFloat(const std::string& sql) {
  TODBCStatement q(*db_);
  if (!q.ExecSQL(sql) || q.FieldCount() < 1) return 0;
  return q.FieldAsFloat(q.FieldName(0));
}

int TSiteDatabase::CountRows(const std::string& table, const std::string& where) {
  return QueryInt("SELECT COUNT(*) AS n FROM " + table + (where.empty() ? "" : " WHERE " + where));
}

bool TSiteDatabase::ConnectAnother(TODBC& other) const { return Connect(other, settings_); }

TRegistryValues TSiteDatabase::RegistryValues() const {
  if (!IsMariaDB()) return SqliteRegistryValues(settings_.database);
  std::string pass;
  Scramble(server_.password, pass);
  // The program puts the database name in for %d.
  return {{"Database", RegString(mariaDatabase_)},
          {"User", RegString(server_.user)},
          {"Pass", RegString(pass)},
          {"ODBCDriver", RegString(settings_.driver)},
          {"ODBCOptions",
           RegString("SERVER=" + server_.host + ";PORT=" + server_.port + ";database=%d")}};
}

}  // namespace orlo::test
