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
#include "support/sqlfile.h"
#include "support/tempdir.h"

namespace orlo::test {

enum class Backend { SQLite, MariaDB };

std::string BackendName(const ::testing::TestParamInfo<Backend>& info);

// The private server's coordinates from the environment; false when scripts/test
// could not start it.
struct MariaDBServer {
  std::string host = "127.0.0.1";
  std::string port;
  std::string user = "kestrel";
  std::string password = "plover";
  std::string templateDir;  // an installed data directory to copy
};
bool FindMariaDB(MariaDBServer& server);
// Skips the test (or fails it under CI=true) when no server is available.
#define ORLO_REQUIRE_MARIADB(server)                                                      \
  do {                                                                                    \
    if (!::orlo::test::FindMariaDB(server)) {                                             \
      if (::orlo::test::InCI()) FAIL() << "the private MariaDB server is required in CI"; \
      GTEST_SKIP() << "!!! NO PRIVATE MARIADB SERVER (ORLO_MARIADB_PORT unset): "         \
                      "MariaDB test skipped. Run the tests through scripts/test. !!!";    \
    }                                                                                     \
  } while (0)
bool InCI();

std::string SqliteFnPath();
std::string SchemaFile(const std::string& name);

// Connection settings as a site configures them.
struct ConnSettings {
  std::string dsn, driver, database, user, password, options;
};
ConnSettings SqliteSettings(const std::string& file);
ConnSettings MariaDBSettings(const MariaDBServer& server, const std::string& database);


// A fixture with a connected TODBC on a fresh database holding the reference
// schema and the demo data, and a message log in a temporary folder.
class DbTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override;
  void TearDown() override;

  bool IsMariaDB() const { return GetParam() == Backend::MariaDB; }
  // The log's text so far (written lines only: Log() writes at once).
  std::string LogText();
  // Connects another TODBC to the same database.
  bool ConnectAnother(TODBC& other);

  TempDir dir_;
  std::unique_ptr<TMessLog> log_;
  std::unique_ptr<TODBC> odbc_;
  ConnSettings settings_;
  MariaDBServer server_;
  std::string mariaDatabase_;  // the test's own database on the server
};

}  // namespace orlo::test
