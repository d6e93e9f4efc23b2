// Test helpers of the service tests: a SQLite site database made from
// schema/sqlite.sql in a fresh folder, with a connection for the test thread,
// and fixed local date-times.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "db/odbc.h"
#include "log/messlog.h"
#include "platform/clock.h"
#include "support/tempdir.h"

namespace orlo::test {

// y-m-d h:n:s local time.
TDateTime At(int year, int month, int day, int hour, int minute, int second = 0);

// The SQLite connection options of a site database (the function extension,
// WAL, a short lock wait).
std::string SQLiteOptions();

class SiteDbFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs SQL on the test connection; fails the test when it fails.
  void Exec(const std::string& sql);
  int QueryInt(const std::string& sql);
  std::string QueryString(const std::string& sql);
  int CountRows(const std::string& table, const std::string& where = "");
  // The text of the test log (lines written through testLog_).
  std::string TestLogText();

  TODBC& Db() { return *db_; }
  std::string DatabaseFile() const { return dir_.file("site.db"); }

  TempDir dir_;
  std::unique_ptr<TMessLog> testLog_;
  std::unique_ptr<TODBC> db_;
};

}  // namespace orlo::test
