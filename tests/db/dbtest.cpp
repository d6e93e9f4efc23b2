#include "dbtest.h"
#include "support/sqlfile.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace orlo::test {

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string UniqueName(const std::string& prefix) {
  static std::atomic<int> counter{0};
  return prefix + std::to_string(getpid()) + "_" + std::to_string(counter++);
}

}  // namespace

std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::SQLite ? "SQLite" : "MariaDB";
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

ConnSettings SqliteSettings(const std::string& file) {
  return {"", "SQLite3", file,
          "", "",        "LoadExt=" + SqliteFnPath() + ";JournalMode=WAL;Timeout=1000"};
}

ConnSettings MariaDBSettings(const MariaDBServer& server, const std::string& database) {
  return {"",
          "MySQL ODBC 3.51 Driver",
          database,
          server.user,
          server.password,
          "SERVER=" + server.host + ";PORT=" + server.port + ";database=" + database};
}

void DbTest::SetUp() {
  log_ = std::make_unique<TMessLog>(dir_.file("test.log"), false, false, false, true);
  odbc_ = std::make_unique<TODBC>();
  odbc_->SetLog(log_.get());
  odbc_->SetReportErrors(true);
  odbc_->SetBindColumns(true);
  if (IsMariaDB()) {
    ORLO_REQUIRE_MARIADB(server_);
    mariaDatabase_ = UniqueName("t_");
    TODBC boot;
    auto s = MariaDBSettings(server_, "tarn");
    ASSERT_TRUE(
        boot.ConnectToDataSource(s.dsn, s.user, s.password, s.database, s.driver, s.options));
    boot.SetBindColumns(true);
    TODBCStatement q(boot);
    ASSERT_TRUE(q.ExecSQL("CREATE DATABASE " + mariaDatabase_ + " CHARACTER SET utf8mb4"));
    settings_ = MariaDBSettings(server_, mariaDatabase_);
  } else {
    settings_ = SqliteSettings(dir_.file("site.db"));
  }
  ASSERT_TRUE(odbc_->ConnectToDataSource(settings_.dsn, settings_.user, settings_.password,
                                         settings_.database, settings_.driver, settings_.options))
      << LogText();
  ASSERT_TRUE(RunSqlFile(*odbc_, SchemaFile(IsMariaDB() ? "mariadb.sql" : "sqlite.sql")));
  ASSERT_TRUE(RunSqlFile(*odbc_, SchemaFile("demo.sql")));
}

void DbTest::TearDown() {
  if (odbc_) odbc_->DisconnectFromDataSource();
  if (IsMariaDB() && !mariaDatabase_.empty()) {
    TODBC boot;
    auto s = MariaDBSettings(server_, "tarn");
    if (boot.ConnectToDataSource(s.dsn, s.user, s.password, s.database, s.driver, s.options)) {
      TODBCStatement q(boot);
      q.ExecSQL("DROP DATABASE " + mariaDatabase_);
    }
  }
}

std::string DbTest::LogText() {
  if (log_) log_->Log("");
  return ReadFile(dir_.file("test.log"));
}

bool DbTest::ConnectAnother(TODBC& other) {
  other.SetBindColumns(true);
  return other.ConnectToDataSource(settings_.dsn, settings_.user, settings_.password,
                                   settings_.database, settings_.driver, settings_.options);
}

}  // namespace orlo::test
