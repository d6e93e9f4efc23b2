#include "sitedb.h"
#include "support/sqlfile.h"

#include <fstream>
#include <sstream>

namespace orlo::test {

namespace {

}  // namespace

TDateTime At(int year, int month, int day, int hour, int minute, int second) {
  return EncodeDate(year, month, day) + EncodeTime(hour, minute, second, 0);
}

std::string SQLiteOptions() {
  return std::string("LoadExt=") + ORLO_SQLITEFN_PATH + ";JournalMode=WAL;Timeout=1000";
}

void SiteDbFixture::SetUp() {
  testLog_ = std::make_unique<TMessLog>(dir_.file("test.log"), false, false, false, true);
  db_ = std::make_unique<TODBC>();
  db_->SetLog(testLog_.get());
  db_->SetReportErrors(true);
  db_->SetBindColumns(true);
  ASSERT_TRUE(db_->ConnectToDataSource("", "", "", DatabaseFile(), "SQLite3", SQLiteOptions()));
  ASSERT_TRUE(RunSqlFile(*db_, std::string(ORLO_SOURCE_DIR) + "/schema/sqlite.sql"));
}

void SiteDbFixture::TearDown() {
  if (db_) db_->DisconnectFromDataSource();
  db_.reset();
  testLog_.reset();
}

void SiteDbFixture::Exec(const std::string& sql) {
  TODBCStatement q(*db_);
  EXPECT_TRUE(q.ExecSQL(sql)) << sql << "\n" << TestLogText();
}

int SiteDbFixture::QueryInt(const std::string& sql) {
  TODBCStatement q(*db_);
  if (!q.ExecSQL(sql) || q.FieldCount() < 1) return 0;
  return q.FieldAsInteger(q.FieldName(0));
}

std::string SiteDbFixture::QueryString(const std::string& sql) {
  TODBCStatement q(*db_);
  if (!q.ExecSQL(sql) || q.FieldCount() < 1) return "";
  return q.FieldAsString(q.FieldName(0));
}

int SiteDbFixture::CountRows(const std::string& table, const std::string& where) {
  return QueryInt("SELECT COUNT(*) AS n FROM " + table + (where.empty() ? "" : " WHERE " + where));
}

std::string SiteDbFixture::TestLogText() {
  testLog_->Log("");
  return ReadFile(dir_.file("test.log"));
}

}  // namespace orlo::test
