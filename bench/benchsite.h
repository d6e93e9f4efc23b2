// Site databases for the benchmark programs: a SQLite WAL file in a folder or
// a database of its own on the private MariaDB server of scripts/bench
// (ORLO_MARIADB_HOST/PORT/USER/PASS), made from schema/, and one generator
// that fills it with a site of any size inside the database itself (cards,
// trans history, devices, access levels). The registry store written here lets
// the loop controller and the orlocard program reach the same database.
//
// Each object belongs to the thread that made it. Failures end the program
// with a message on stderr: a benchmark without its database has nothing to
// measure.
#pragma once

#include <string>

#include "db/odbc.h"
#include "log/messlog.h"

namespace orlo::bench {

std::string Env(const char* name, const char* fallback = "");
[[noreturn]] void Die(const std::string& what);
// The private MariaDB server (ORLO_MARIADB_HOST, ORLO_MARIADB_PORT); without
// a port the program dies.
std::string MariaHost();
std::string MariaPort();

void Exec(TODBC& odbc, const std::string& sql);
// Runs every statement of an SQL file (statements end with ';' at a line end).
void RunSqlFile(TODBC& odbc, const std::string& path);
// The first column of the first row as a number (0 without a row).
long long QueryCount(TODBC& odbc, const std::string& sql);

// The generated site: devices on loops of sixteen (device x is at address
// (x-1)%16+1 of loop (x-1)/16+1), two time ranges per access level, fifty card
// types, cards numbered from 1000001 (every 17th expired) and a trans history.
struct TSiteSize {
  int cards = 100000;
  long long trans = 1000000;
  int devices = 200;
  int levels = 50;
};
void BuildSite(TODBC& odbc, bool maria, const TSiteSize& size);

class TSiteDatabase {
 public:
  // Creates an empty database (SQLite: dir/site.db; MariaDB: a new database
  // named after the process) and connects to it; sqliteOptions are appended
  // to the SQLite connection options.
  TSiteDatabase(bool maria, const std::string& dir, const std::string& sqliteOptions = "");
  ~TSiteDatabase();  // disconnects; drops the MariaDB database
  TSiteDatabase(const TSiteDatabase&) = delete;
  TSiteDatabase& operator=(const TSiteDatabase&) = delete;

  bool Maria() const { return maria_; }
  const char* Backend() const { return maria_ ? "mariadb" : "sqlite"; }
  TODBC& Odbc() { return odbc_; }
  // Runs schema/sqlite.sql or schema/mariadb.sql.
  void CreateSchema();
  // A connection string for a bare ODBC connection to the same database.
  std::string RawConnectString() const;
  // Writes a registry store that names this database (with DebugLog on and
  // the given computer name) for TConnParams. relayPort > 0: the MariaDB
  // server is reached through a relay on that port of 127.0.0.1.
  void WriteRegistry(const std::string& file, const std::string& computerName = "GATEPC",
                     int relayPort = 0) const;

 private:
  bool maria_;
  std::string sqliteOptions_;
  std::string file_;      // SQLite
  std::string database_;  // MariaDB
  TMessLog log_;          // dir/bench.log: the failed statements
  TODBC odbc_;
};

}  // namespace orlo::bench
