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
#include "support/sitedatabase.h"
#include "support/tempdir.h"

namespace orlo::test {

// y-m-d h:n:s local time.
TDateTime At(int year, int month, int day, int hour, int minute, int second = 0);

class SiteDbFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs SQL on the test connection; fails the test when it fails.
  void Exec(const std::string& sql);
  int QueryInt(const std::string& sql) { return site_.QueryInt(sql); }
  std::string QueryString(const std::string& sql) { return site_.QueryString(sql); }
  int CountRows(const std::string& table, const std::string& where = "") {
    return site_.CountRows(table, where);
  }
  // The text of the test log (lines written through testLog_).
  std::string TestLogText();

  TODBC& Db() { return site_.Db(); }
  std::string DatabaseFile() const { return dir_.file("site.db"); }

  TempDir dir_;
  std::unique_ptr<TMessLog> testLog_;
  TSiteDatabase site_;
};

}  // namespace orlo::test
