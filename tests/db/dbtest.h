// Shared set-up of the database tests: every test runs against a SQLite file
// database made from schema/sqlite.sql and against a database of its own on
// the private MariaDB server that scripts/test starts (schema/mariadb.sql).
// MariaDB tests skip, loudly, only when no server was started; with CI=true
// they fail instead.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "db/odbc.h"
#include "log/messlog.h"
#include "support/sitedatabase.h"
#include "support/sqlfile.h"
#include "support/tempdir.h"

namespace orlo::test {

// A fixture with a connected TODBC on a fresh database holding the reference
// schema and the demo data, and a message log in a temporary folder.
class DbTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override;
  void TearDown() override;

  bool IsMariaDB() const { return GetParam() == Backend::MariaDB; }
  // The log's text so far (written lines only: Log() writes at once).
  std::string LogText();
  // Table "kinds": a column of every category, rows 1 (values), 2 (NULLs)
  // and 3 (a few values).
  void MakeKinds();
  // Connects another TODBC to the same database.
  bool ConnectAnother(TODBC& other) { return site_.ConnectAnother(other); }

  TempDir dir_;
  std::unique_ptr<TMessLog> log_;
  TSiteDatabase site_;
  TODBC* odbc_ = nullptr;  // site_'s connection
  ConnSettings settings_;
  MariaDBServer server_;
};

}  // namespace orlo::test
