#include "countertest.h"

#include "support/sqlfile.h"

namespace orlo::test {

void CountersDbTest::SetUp() {
  log_ = std::make_unique<TMessLog>(dir_.file("test.log"), false, false, false, true);
  if (IsMariaDB()) {
    MariaDBServer server;
    ORLO_REQUIRE_MARIADB(server);
    ASSERT_TRUE(site_.CreateMariaDB(server, "cnt_", log_.get())) << LogText();
  } else {
    ASSERT_TRUE(site_.CreateSQLite(dir_.file("site.db"), log_.get())) << LogText();
  }
  odbc_ = &site_.Db();
}

void CountersDbTest::TearDown() { site_.Close(); }

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
