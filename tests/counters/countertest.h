// Shared set-up of the counter and input tests: each test runs on a fresh
// SQLite file database made from schema/sqlite.sql and on a database of its
// own on the private MariaDB server that scripts/test starts
// (schema/mariadb.sql). Without a server the MariaDB cases skip loudly; with
// CI=true they fail instead.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "db/odbc.h"
#include "log/messlog.h"
#include "support/sitedatabase.h"
#include "support/tempdir.h"

namespace orlo::test {

class CountersDbTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override;
  void TearDown() override;

  bool IsMariaDB() const { return GetParam() == Backend::MariaDB; }
  // Runs SQL that must succeed.
  void Exec(const std::string& sql);
  // The integer / text of column of the first row of a query (0 / '' when none).
  int Int(const std::string& sql, const std::string& column);
  std::string Text(const std::string& sql, const std::string& column);
  int DeviceInt(int deviceId, const std::string& column);
  int LotCount(int lotId);
  // The log's text so far; LogSince(mark) the part written after mark.
  std::string LogText();
  std::size_t LogMark() { return LogText().size(); }
  std::string LogSince(std::size_t mark) { return LogText().substr(mark); }
  // Makes every UPDATE of device fail (a trigger that raises an error), or
  // lets them through again.
  void BlockDeviceUpdates();
  void UnblockDeviceUpdates();

  TempDir dir_;
  std::unique_ptr<TMessLog> log_;
  TSiteDatabase site_;
  TODBC* odbc_ = nullptr;  // site_'s connection
};

}  // namespace orlo::test
