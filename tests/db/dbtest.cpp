#include "dbtest.h"

namespace orlo::test {

void DbTest::SetUp() {
  log_ = std::make_unique<TMessLog>(dir_.file("test.log"), false, false, false, true);
  if (IsMariaDB()) {
    ORLO_REQUIRE_MARIADB(server_);
    ASSERT_TRUE(site_.CreateMariaDB(server_, "t_", log_.get())) << LogText();
  } else {
    ASSERT_TRUE(site_.CreateSQLite(dir_.file("site.db"), log_.get())) << LogText();
  }
  odbc_ = &site_.Db();
  settings_ = site_.Settings();
  ASSERT_TRUE(site_.LoadDemo());
}

void DbTest::MakeKinds() {
  TODBCStatement q(*odbc_);
  ASSERT_TRUE(
      q.ExecSQL("CREATE TABLE kinds (id INTEGER PRIMARY KEY, i INTEGER, f DOUBLE, "
                "d DECIMAL(10,2), s VARCHAR(20), dt DATE, tm TIME, ts DATETIME, lt TEXT)"));
  ASSERT_TRUE(q.ExecSQL(
      "INSERT INTO kinds VALUES (1, 42, 123456789012345, 2.5, '  padded  ', '2024-05-07', "
      "'13:45:30', '2024-05-07 13:45:30', 'line one')"));
  ASSERT_TRUE(
      q.ExecSQL("INSERT INTO kinds VALUES (2, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL)"));
  ASSERT_TRUE(q.ExecSQL("INSERT INTO kinds (id, i, f, s) VALUES (3, -7, 1.5e20, 'Y')"));
}

void DbTest::TearDown() { site_.Close(); }

std::string DbTest::LogText() {
  if (log_) log_->Log("");
  return ReadFile(dir_.file("test.log"));
}

}  // namespace orlo::test
