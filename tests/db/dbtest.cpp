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

void DbTest::TearDown() { site_.Close(); }

std::string DbTest::LogText() {
  if (log_) log_->Log("");
  return ReadFile(dir_.file("test.log"));
}

}  // namespace orlo::test
