// A fresh site database for one test: a SQLite file made from
// schema/sqlite.sql (with the SQLite function extension loaded), or a database
// of the test's own on a MariaDB server made from schema/mariadb.sql and
// dropped again when the object ends. The MariaDB server is the private one
// scripts/test starts (ORLO_MARIADB_HOST/PORT/USER/PASS); tests needing it
// skip loudly without it, and fail instead under CI=true.
//
// Ownership: the test fixture owns the TSiteDatabase and its connection; both
// are for the test thread only.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "db/odbc.h"
#include "log/messlog.h"

namespace orlo::test {

enum class Backend { SQLite, MariaDB };
std::string BackendName(const ::testing::TestParamInfo<Backend>& info);
// Both backends, for INSTANTIATE_TEST_SUITE_P.
::testing::internal::ParamGenerator<Backend> Backends();

bool InCI();

// The coordinates of a MariaDB server; FindMariaDB fills them from the
// environment and is false when scripts/test could not start its server.
struct MariaDBServer {
  std::string host = "127.0.0.1";
  std::string port;
  std::string user = "kestrel";
  std::string password = "plover";
  std::string templateDir;  // an installed data directory to copy (ORLO_MARIADB_TEMPLATE)
};
bool FindMariaDB(MariaDBServer& server);

// Skips the test (or fails it under CI=true) when no server is available.
// Use it in a test body or SetUp: it returns from the calling function.
#define ORLO_REQUIRE_MARIADB(server)                                                      \
  do {                                                                                    \
    if (!::orlo::test::FindMariaDB(server)) {                                             \
      if (::orlo::test::InCI()) FAIL() << "the private MariaDB server is required in CI"; \
      GTEST_SKIP() << "!!! NO PRIVATE MARIADB SERVER (ORLO_MARIADB_PORT unset): "         \
                      "MariaDB test skipped. Run the tests through scripts/test. !!!";    \
    }                                                                                     \
  } while (0)

std::string SqliteFnPath();
// A file of schema/ ("sqlite.sql", "mariadb.sql", "demo.sql").
std::string SchemaFile(const std::string& name);
// The SQLite connection options of a site database (the function extension,
// WAL, a short lock wait).
std::string SQLiteOptions();

// Connection settings as a site configures them.
struct ConnSettings {
  std::string dsn, driver, database, user, password, options;
};
ConnSettings SqliteSettings(const std::string& file);
ConnSettings MariaDBSettings(const MariaDBServer& server, const std::string& database);
// Connects with bound columns; false when the connection fails.
bool Connect(TODBC& odbc, const ConnSettings& settings);

// A registry store string value with the export format's quotes and escapes.
std::string RegString(const std::string& text);

// Name and value of a registry store entry, the value in the store's
// notation ("\"text\"" or "dword:0000001e").
using TRegistryValues = std::vector<std::pair<std::string, std::string>>;
// Writes a registry store file holding the program's key with these values
// and, unless computerName is empty, the computer name.
void WriteRegistryStore(const std::string& file, const TRegistryValues& values,
                        const std::string& computerName = "");

// The connection values of the registry store for a SQLite site database file.
TRegistryValues SqliteRegistryValues(const std::string& file);

class TSiteDatabase {
 public:
  TSiteDatabase() = default;
  ~TSiteDatabase();  // Close()
  TSiteDatabase(const TSiteDatabase&) = delete;
  TSiteDatabase& operator=(const TSiteDatabase&) = delete;

  // Makes the database, connects to it (errors reported to log, which may be
  // null) and runs the schema. The MariaDB database is named
  // <prefix><pid>_<n>. False, with a test failure, when any step fails.
  bool CreateSQLite(const std::string& file, TMessLog* log);
  bool CreateMariaDB(const MariaDBServer& server, const std::string& prefix, TMessLog* log);
  bool Create(Backend backend, const std::string& sqliteFile, const std::string& prefix,
              TMessLog* log);
  // Adds the demo rows of schema/demo.sql.
  bool LoadDemo();
  // Disconnects and drops the MariaDB database; safe to call twice. The
  // connection object itself lives on (disconnected) until the next Create
  // or the end of this object, so statements still holding it stay valid.
  void Close();

  bool IsMariaDB() const { return !mariaDatabase_.empty(); }
  TODBC& Db() { return *db_; }
  const ConnSettings& Settings() const { return settings_; }
  // The MariaDB database's name ("" for SQLite).
  const std::string& Name() const { return mariaDatabase_; }
  // Runs SQL on the connection; false when it fails (the caller reports).
  bool Exec(const std::string& sql);
  // First column of the first row as integer / text / number (0 and "" when
  // there is no row or the query fails).
  int QueryInt(const std::string& sql);
  std::string QueryString(const std::string& sql);
  double QueryFloat(const std::string& sql);
  int CountRows(const std::string& table, const std::string& where = "");
  // Connects another TODBC to the same database.
  bool ConnectAnother(TODBC& other) const;
  // The connection values of the program's registry store ("Database",
  // "User", "Pass" scrambled, "ODBCDriver", "ODBCOptions"), each in the
  // store's notation ("text" quoted).
  TRegistryValues RegistryValues() const;

 private:
  bool Connected();
  MariaDBServer server_;
  ConnSettings settings_;
  std::string mariaDatabase_;
  std::unique_ptr<TODBC> db_;
};

}  // namespace orlo::test
