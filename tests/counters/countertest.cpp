#include "countertest.h"
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

struct Settings {
  std::string driver, database, user, password, options;
};

Settings MariaDB(const std::string& port, const std::string& database) {
  const std::string host =
      Env("ORLO_MARIADB_HOST").empty() ? "127.0.0.1" : Env("ORLO_MARIADB_HOST");
  const std::string user = Env("ORLO_MARIADB_USER").empty() ? "kestrel" : Env("ORLO_MARIADB_USER");
  const std::string pass = Env("ORLO_MARIADB_PASS").empty() ? "plover" : Env("ORLO_MARIADB_PASS");
  return {"MySQL ODBC 3.51 Driver", database, user, pass,
          "SERVER=" + host + ";PORT=" + port + ";database=" + database};
}

bool Connect(TODBC& odbc, const Settings& s) {
  odbc.SetBindColumns(true);
  return odbc.ConnectToDataSource("", s.user, s.password, s.database, s.driver, s.options);
}

}  // namespace

std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::SQLite ? "SQLite" : "MariaDB";
}

void CountersDbTest::SetUp() {
  log_ = std::make_unique<TMessLog>(dir_.file("test.log"), false, false, false, true);
  odbc_ = std::make_unique<TODBC>();
  odbc_->SetLog(log_.get());
  odbc_->SetReportErrors(true);
  Settings settings;
  if (IsMariaDB()) {
    port_ = Env("ORLO_MARIADB_PORT");
    if (port_.empty()) {
      if (Env("CI") == "true") FAIL() << "the private MariaDB server is required in CI";
      GTEST_SKIP() << "!!! NO PRIVATE MARIADB SERVER (ORLO_MARIADB_PORT unset): MariaDB test "
                      "skipped. Run the tests through scripts/test. !!!";
    }
    static std::atomic<int> counter{0};
    mariaDatabase_ = "cnt_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    TODBC boot;
    ASSERT_TRUE(Connect(boot, MariaDB(port_, "tarn")));
    TODBCStatement q(boot);
    ASSERT_TRUE(q.ExecSQL("CREATE DATABASE " + mariaDatabase_ + " CHARACTER SET utf8mb4"));
    settings = MariaDB(port_, mariaDatabase_);
  } else {
    settings = {"SQLite3", dir_.file("site.db"), "", "", "JournalMode=WAL;Timeout=1000"};
  }
  ASSERT_TRUE(Connect(*odbc_, settings)) << LogText();
  ASSERT_TRUE(RunSqlFile(*odbc_, std::string(ORLO_SOURCE_DIR) + "/schema/" +
                                     (IsMariaDB() ? "mariadb.sql" : "sqlite.sql")));
}

void CountersDbTest::TearDown() {
  if (odbc_) odbc_->DisconnectFromDataSource();
  if (!mariaDatabase_.empty()) {
    TODBC boot;
    if (Connect(boot, MariaDB(port_, "tarn"))) {
      TODBCStatement q(boot);
      q.ExecSQL("DROP DATABASE " + mariaDatabase_);
    }
  }
}

void CountersDbTest::Exec(const std::string& sql) {
  TODBCStatement q(*odbc_);
  ASSERT_TRUE(q.ExecSQL(sql)) << sql << "\n" << LogText();
}

int CountersDbTest::Int(const std::string& sql, const std::string& column) {
  TODBCStatement q(*odbc_);
  return q.ExecSQL(sql) ? q.FieldAsInteger(column) : 0;
}

std::string CountersDbTest::Text(const std::string& sql, const std::string& column) {
  TODBCStatement q(*odbc_);
  return q.ExecSQL(sql) ? q.FieldAsString(column) : std::string();
}

int CountersDbTest::DeviceInt(int deviceId, const std::string& column) {
  return Int("SELECT " + column + " FROM device WHERE id = " + std::to_string(deviceId), column);
}

int CountersDbTest::LotCount(int lotId) {
  return Int("SELECT lot_count FROM lot WHERE id = " + std::to_string(lotId), "lot_count");
}

std::string CountersDbTest::LogText() {
  if (log_) log_->Log("");
  // Lines end in CR LF; compare them as "\n".
  std::string text;
  for (char c : ReadFile(dir_.file("test.log")))
    if (c != '\r') text += c;
  return text;
}

void CountersDbTest::BlockDeviceUpdates() {
  if (IsMariaDB())
    Exec(
        "CREATE TRIGGER block_device BEFORE UPDATE ON device FOR EACH ROW "
        "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'device blocked'");
  else
    Exec(
        "CREATE TRIGGER block_device BEFORE UPDATE ON device "
        "BEGIN SELECT RAISE(ABORT, 'device blocked'); END");
}

void CountersDbTest::UnblockDeviceUpdates() { Exec("DROP TRIGGER block_device"); }

}  // namespace orlo::test
