// Site databases and the site generator of the benchmark programs.
#include "benchsite.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "config/registryex.h"
#include "db/sqlscript.h"

namespace orlo::bench {

namespace {

const char kMariaDriver[] = "MySQL ODBC 3.51 Driver";

std::string MariaUser() { return Env("ORLO_MARIADB_USER", "kestrel"); }
std::string MariaPass() { return Env("ORLO_MARIADB_PASS", "plover"); }
std::string MariaOptions(const std::string& database, const std::string& host = MariaHost(),
                         const std::string& port = MariaPort()) {
  return "SERVER=" + host + ";PORT=" + port + ";database=" + database;
}
// The generator's own connections: filling a million rows in one statement,
// or dropping them, takes longer than the program's bound on a statement.
std::string GeneratorOptions(const std::string& database) {
  return MariaOptions(database) + ";READ_TIMEOUT=600;WRITE_TIMEOUT=600";
}

// A connection to the server's always-present database, for CREATE/DROP.
void ConnectBoot(TODBC& boot) {
  boot.SetBindColumns(true);
  if (!boot.ConnectToDataSource("", MariaUser(), MariaPass(), "tarn", kMariaDriver,
                                GeneratorOptions("tarn")))
    Die("cannot connect to MariaDB on port " + MariaPort());
}

std::string RegString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// INSERT INTO table (cols) SELECT exprs FROM <1..n as x>, in either dialect.
class TGenerator {
 public:
  TGenerator(TODBC& odbc, bool maria) : odbc_(odbc), maria_(maria) {}

  void Fill(const std::string& table, const std::string& cols, const std::string& exprs,
            long long n) {
    if (n <= 0) return;
    const std::string count = std::to_string(n);
    if (maria_) {
      // In slices: one statement over a million rows outlasts the driver's
      // read time-out (kServerTimeoutSeconds) on a busy machine.
      constexpr long long kSlice = 100000;
      for (long long first = 1; first <= n; first += kSlice)
        Exec(odbc_, "INSERT INTO " + table + " (" + cols + ") SELECT " + exprs +
                        " FROM (SELECT seq AS x FROM seq_" + std::to_string(first) + "_to_" +
                        std::to_string(std::min(n, first + kSlice - 1)) + ") n");
    } else {
      Exec(odbc_,
           "INSERT INTO " + table + " (" + cols +
               ") WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < " +
               count + ") SELECT " + exprs + " FROM n");
    }
  }
  std::string Div(const std::string& a, int b) const {
    return "((" + a + ")" + (maria_ ? " DIV " : " / ") + std::to_string(b) + ")";
  }
  // A date-time x days (mod 500) after 2023-01-01.
  std::string DaysAfter(const std::string& x) const {
    if (maria_) return "DATE_ADD('2023-01-01 08:00:00', INTERVAL (" + x + ") % 500 DAY)";
    return "datetime('2023-01-01 08:00:00', '+' || ((" + x + ") % 500) || ' days')";
  }

 private:
  TODBC& odbc_;
  bool maria_;
};

void FillDevicesAndRanges(TGenerator& g, TODBC& odbc, const TSiteSize& s) {
  g.Fill("device", "id, loop_id, addr_ess, name, dir_ection, open_pulse, debit_flag, no_path",
         "x, " + g.Div("x - 1", 16) +
             " + 1, (x - 1) % 16 + 1, 'Gate', "
             "CASE WHEN x % 10 = 0 THEN 3 WHEN x % 10 = 5 THEN 0 ELSE x % 2 + 1 END, 5, "
             "CASE WHEN x % 3 = 0 THEN 1 ELSE 0 END, CASE WHEN x % 7 = 0 THEN 1 ELSE 0 END",
         s.devices);
  // Two ranges per level: weekdays by day, and a night window across
  // midnight on every kind of day; most devices linked to each range.
  g.Fill("a_l_range",
         "id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, day_8, day_9, "
         "start_time, end_time",
         "x, " + g.Div("x + 1", 2) +
             ", 1, 1, 1, 1, 1, 1, 1, 1, 1, "
             "CASE WHEN x % 2 = 1 THEN '07:00:00' ELSE '22:00:00' END, "
             "CASE WHEN x % 2 = 1 THEN '19:00:00' ELSE '01:00:00' END",
         2LL * s.levels);
  Exec(odbc,
       "INSERT INTO a_l_range_device (a_l_range_id, device_id) SELECT r.id, d.id FROM a_l_range r, "
       "device d WHERE (r.id + d.id) % 5 <> 0");
  g.Fill("holiday", "holi_day, tab_num", g.DaysAfter("x * 37") + ", x % 2 + 1", 12);
  g.Fill("pathway_ft", "pathway_id, from_device, to_device, time_limit", "1, x, x + 1, 30",
         s.devices - 1);
}

void FillCards(TGenerator& g, const TSiteSize& s) {
  g.Fill("card_pool", "id, name, max_inlot, cur_inlot", "x, 'Pool', 20, 0", 99);
  g.Fill(
      "card_type",
      "id, name, access_level_id, pathway_id, ignore_passback, first_use_flg, no_expiry_flg, "
      "days, debit_flg, debit_reset_flag, uses, debit_time_limit, debit_time_limit_flg",
      "x, 'Type', (x - 1) % " + std::to_string(s.levels) +
          " + 1, CASE WHEN x % 10 = 3 THEN 1 ELSE 0 END, CASE WHEN x % 10 = 6 THEN 1 ELSE 0 END, "
          "CASE WHEN x % 10 = 4 THEN 1 ELSE 0 END, CASE WHEN x % 10 IN (5, 6) THEN 1 ELSE 0 END, "
          "30, CASE WHEN x % 10 = 1 THEN 1 ELSE 0 END, CASE WHEN x % 10 = 2 THEN 1 ELSE 0 END, "
          "20, 10, CASE WHEN x % 10 = 1 THEN 1 ELSE 0 END",
      50);
  g.Fill("card",
         "number, type_id, card_type, first_name, last_name, group_id, debit_left, start_dt, "
         "exp_iry, start_date",
         "1000000 + x, x % 50 + 1, x % 50 + 1, 'First', 'Last', x % 100, x % 5, "
         "'2024-01-01 00:00:00', CASE WHEN x % 17 = 0 THEN '2023-12-31 23:59:59' ELSE "
         "'2030-12-31 23:59:59' END, '2024-01-01 00:00:00'",
         s.cards);
}

void FillTrans(TGenerator& g, const TSiteSize& s) {
  const std::string cards = std::to_string(s.cards), devices = std::to_string(s.devices);
  g.Fill("trans",
         "card_no, dat_e, device_id, error_code, error_desc, cardno, device_name, first_name, "
         "last_name, mem_flag",
         "1000000 + x % " + cards + ", " + g.DaysAfter("x") + ", x % " + devices +
             " + 1, 0, 'Accepted', 1000000 + x % " + cards + ", 'Gate', 'First', 'Last', 0",
         s.trans);
}

}  // namespace

std::string MariaHost() { return Env("ORLO_MARIADB_HOST", "127.0.0.1"); }
std::string MariaPort() {
  const std::string port = Env("ORLO_MARIADB_PORT");
  if (port.empty())
    Die("ORLO_MARIADB_PORT is not set (start a server with scripts/mariadb-private)");
  return port;
}

std::string Env(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

void Die(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
  std::exit(1);
}

void Exec(TODBC& odbc, const std::string& sql) {
  TODBCStatement q(odbc);
  if (!q.ExecSQL(sql)) Die("statement failed: " + sql.substr(0, 300));
}

void RunSqlFile(TODBC& odbc, const std::string& path) {
  std::ifstream in(path);
  if (!in) Die("cannot read " + path);
  for (const std::string& statement : SqlScriptStatements(in)) Exec(odbc, statement);
}

long long QueryCount(TODBC& odbc, const std::string& sql) {
  TODBCStatement q(odbc);
  if (!q.ExecSQL(sql) || q.FieldCount() < 1) return 0;
  return static_cast<long long>(q.FieldAsFloat(q.FieldName(0)));
}

void BuildSite(TODBC& odbc, bool maria, const TSiteSize& size) {
  TGenerator g(odbc, maria);
  Exec(odbc, "INSERT INTO settings (id, stup_pbrst) VALUES (1, 5)");
  FillDevicesAndRanges(g, odbc, size);
  FillCards(g, size);
  FillTrans(g, size);
}

TSiteDatabase::TSiteDatabase(bool maria, const std::string& dir, const std::string& sqliteOptions)
    : maria_(maria),
      sqliteOptions_(std::string("LoadExt=") + ORLO_SQLITEFN_PATH +
                     ";JournalMode=WAL;Timeout=1000" + sqliteOptions),
      log_((std::filesystem::path(dir) / "bench.log").string(), false, false, false, true) {
  odbc_.SetLog(&log_);
  odbc_.SetReportErrors(true);
  odbc_.SetBindColumns(true);
  if (maria_) {
    static int made = 0;
    database_ = "bench_" + std::to_string(getpid()) + "_" + std::to_string(made++);
    TODBC boot;
    ConnectBoot(boot);
    Exec(boot, "CREATE DATABASE " + database_ + " CHARACTER SET utf8mb4");
    if (!odbc_.ConnectToDataSource("", MariaUser(), MariaPass(), database_, kMariaDriver,
                                   GeneratorOptions(database_)))
      Die("cannot connect to the bench database " + database_);
  } else {
    file_ = (std::filesystem::path(dir) / "site.db").string();
    std::filesystem::remove(file_);
    if (!odbc_.ConnectToDataSource("", "", "", file_, "SQLite3", sqliteOptions_))
      Die("cannot open " + file_);
  }
}

TSiteDatabase::~TSiteDatabase() {
  odbc_.DisconnectFromDataSource();
  if (!maria_) return;
  TODBC boot;
  ConnectBoot(boot);
  Exec(boot, "DROP DATABASE " + database_);
}

void TSiteDatabase::CreateSchema() {
  RunSqlFile(odbc_,
             std::string(ORLO_SOURCE_DIR) + "/schema/" + (maria_ ? "mariadb.sql" : "sqlite.sql"));
}

std::string TSiteDatabase::RawConnectString() const {
  // The statement layer adds OPTION=2 (found rows) for the MySQL family; so
  // does the bare side.
  if (maria_)
    return std::string("DRIVER={") + kMariaDriver + "};UID=" + MariaUser() + ";PWD=" + MariaPass() +
           ";" + MariaOptions(database_) + ";OPTION=2";
  return "DRIVER={SQLite3};Database=" + file_ + ";" + sqliteOptions_;
}

void TSiteDatabase::WriteRegistry(const std::string& file, const std::string& computerName,
                                  int relayPort) const {
  std::ofstream out(file, std::ios::trunc);
  // No host: the supervisor then skips its ICMP ping, which an unprivileged
  // run may not send; the server is named in the options.
  out << "Windows Registry Editor Version 5.00\n\n"
      << "[HKEY_LOCAL_MACHINE\\Software\\Quenlor\\Orlo]\n"
      << "\"Host\"=\"\"\n"
      << "\"DebugLog\"=dword:00000001\n";
  if (maria_) {
    std::string pass;
    Scramble(MariaPass(), pass);
    out << "\"Database\"=" << RegString(database_) << "\n"
        << "\"User\"=" << RegString(MariaUser()) << "\n"
        << "\"Pass\"=" << RegString(pass) << "\n"
        << "\"ODBCDriver\"=" << RegString(kMariaDriver) << "\n"
        << "\"ODBCOptions\"="
        << RegString(relayPort > 0 ? MariaOptions("%d", "127.0.0.1", std::to_string(relayPort))
                                   : MariaOptions("%d"))
        << "\n";
  } else {
    out << "\"Database\"=" << RegString(file_) << "\n"
        << "\"ODBCDriver\"=\"SQLite3\"\n"
        << "\"ODBCOptions\"=" << RegString(sqliteOptions_) << "\n";
  }
  out << "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\ComputerName\\ComputerName]\n"
      << "\"ComputerName\"=" << RegString(computerName) << "\n";
}

}  // namespace orlo::bench
