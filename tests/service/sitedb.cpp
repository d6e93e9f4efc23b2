#include "sitedb.h"

#include <fstream>
#include <sstream>

namespace orlo::test {

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Runs every statement of an SQL file (statements end with ';' at a line end;
// lines starting with "--" are comments).
bool RunSqlFile(TODBC& odbc, const std::string& path) {
  std::istringstream in(ReadFile(path));
  std::string line, statement;
  TODBCStatement q(odbc);
  while (std::getline(in, line)) {
    if (line.rfind("--", 0) == 0) continue;
    statement += line + "\n";
    auto end = line.find_last_not_of(" \t\r");
    if (end != std::string::npos && line[end] == ';') {
      statement.erase(statement.find_last_of(';'));
      if (!q.ExecSQL(statement)) {
        ADD_FAILURE() << "failed: " << statement;
        return false;
      }
      statement.clear();
    }
  }
  return true;
}

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
