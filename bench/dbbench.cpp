// orlo-dbbench: cost of the statement layer (TODBCStatement) against plain
// ODBC calls for the two statements on the hot path of a card decision: a
// one-row primary-key SELECT of a 30-column row, and a one-row UPDATE; on a
// 100,000-row card table, on SQLite (WAL) and on MariaDB.
//
//   orlo-dbbench [--sqlite] [--mariadb] [--iterations N] [--rows N]
//
// MariaDB coordinates come from ORLO_MARIADB_HOST/PORT/USER/PASS (as set up by
// scripts/bench or scripts/test); without them the MariaDB runs are skipped.
// Raw and layer samples are taken alternately in one run, so both see the
// same machine load; each line gives median and 99th percentile in
// microseconds and the ratio of the medians.
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "db/odbc.h"
#include "figure.h"
#include "platform/format.h"

namespace {

using Clock = std::chrono::steady_clock;
using orlo::TODBC;
using orlo::TODBCStatement;

constexpr int kColumns = 30;

struct Target {
  std::string name;
  std::string driver, database, user, password, options;
};

std::string Env(const char* name, const char* def = "") {
  const char* v = std::getenv(name);
  return v ? v : def;
}

// The bench table: the card number as key and 29 further columns of the kinds
// a card row holds (texts, integers, date-times).
std::string CreateTableSql() {
  std::string sql = "CREATE TABLE bench_card (number DOUBLE NOT NULL PRIMARY KEY";
  for (int i = 1; i < kColumns; ++i) {
    const char* type = i % 3 == 0 ? "VARCHAR(40)" : i % 3 == 1 ? "INTEGER" : "DATETIME";
    sql += ", c" + std::to_string(i) + " " + type;
  }
  return sql + ")";
}

std::string RowValues(int n) {
  std::string v = "(";
  v += std::to_string(n);
  for (int i = 1; i < kColumns; ++i) {
    if (i % 3 == 0)
      v += ", 'text value " + std::to_string(i) + "'";
    else if (i % 3 == 1)
      v += ", " + std::to_string(n % 1000 + i);
    else
      v += ", '2024-05-07 13:45:00'";
  }
  return v + ")";
}

bool Fill(TODBC& odbc, int rows) {
  TODBCStatement q(odbc);
  q.DoSQL("DROP TABLE bench_card");
  if (!q.ExecSQL(CreateTableSql())) return false;
  const int batch = 500;
  for (int first = 1; first <= rows; first += batch) {
    std::string sql = "INSERT INTO bench_card VALUES ";
    for (int n = first; n < first + batch && n <= rows; ++n) {
      if (n > first) sql += ", ";
      sql += RowValues(n);
    }
    if (!q.ExecSQL(sql)) return false;
  }
  return true;
}

struct Stats {
  double median = 0, p99 = 0;
};

Stats Summarise(std::vector<double>& us) {
  std::sort(us.begin(), us.end());
  Stats s;
  s.median = us[us.size() / 2];
  s.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
  return s;
}

// Plain ODBC on a connection of its own: one statement handle, reused.
class Raw {
 public:
  bool Connect(const std::string& conn) {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    std::string in = conn;
    SQLRETURN rc = SQLDriverConnect(dbc_, nullptr, reinterpret_cast<SQLCHAR*>(in.data()), SQL_NTS,
                                    nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) return false;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt_);
    return true;
  }
  ~Raw() {
    if (stmt_) SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
    if (dbc_) {
      SQLDisconnect(dbc_);
      SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    }
    if (env_) SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }
  // SELECT by key, all columns bound as text, one fetch; returns the bytes read.
  size_t Select(const std::string& sql) {
    std::string text = sql;
    SQLFreeStmt(stmt_, SQL_CLOSE);
    if (!SQL_SUCCEEDED(SQLExecDirect(stmt_, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS)))
      return 0;
    SQLSMALLINT n = 0;
    SQLNumResultCols(stmt_, &n);
    for (SQLUSMALLINT i = 1; i <= n && i <= kColumns; ++i)
      SQLBindCol(stmt_, i, SQL_C_CHAR, buf_[i - 1], sizeof buf_[0], &ind_[i - 1]);
    size_t bytes = 0;
    if (SQL_SUCCEEDED(SQLFetch(stmt_)))
      for (int i = 0; i < n && i < kColumns; ++i) bytes += strlen(buf_[i]);
    SQLFreeStmt(stmt_, SQL_UNBIND);
    return bytes;
  }
  bool Exec(const std::string& sql) {
    std::string text = sql;
    SQLFreeStmt(stmt_, SQL_CLOSE);
    SQLRETURN rc = SQLExecDirect(stmt_, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS);
    return SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA;
  }

 private:
  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  SQLHSTMT stmt_ = SQL_NULL_HSTMT;
  char buf_[kColumns][128] = {};
  SQLLEN ind_[kColumns] = {};
};

std::string ConnString(const Target& t) {
  std::string s = "DRIVER={" + t.driver + "};Database=" + t.database;
  if (!t.user.empty()) s += ";UID=" + t.user + ";PWD=" + t.password;
  if (!t.options.empty()) s += ";" + t.options;
  return s;
}

void Line(const std::string& target, const char* what, Stats raw, Stats layer) {
  std::printf(
      "dbbench %-18s %-6s raw median %7.1f us p99 %7.1f us | layer median %7.1f us p99 %7.1f us"
      " | ratio %.3f\n",
      target.c_str(), what, raw.median, raw.p99, layer.median, layer.p99,
      layer.median / raw.median);
  const std::string name = "db." + target + "." + what;
  orlo::bench::PrintFigure(name + ".median", layer.median, "us");
  orlo::bench::PrintFigure(name + ".p99", layer.p99, "us");
  orlo::bench::PrintFigure(name + ".layer_ratio", layer.median / raw.median, "x",
                           orlo::bench::TGoal::AtMost, 1.15);
}

bool Run(const Target& t, int rows, int iterations, bool fill) {
  TODBC odbc;
  odbc.SetBindColumns(true);
  if (!odbc.ConnectToDataSource("", t.user, t.password, t.database, t.driver, t.options)) {
    std::fprintf(stderr, "dbbench: cannot connect to %s\n", t.name.c_str());
    return false;
  }
  if (fill && !Fill(odbc, rows)) {
    std::fprintf(stderr, "dbbench: cannot fill the table on %s\n", t.name.c_str());
    return false;
  }
  Raw raw;
  if (!raw.Connect(ConnString(t) + (odbc.DBKind() == orlo::dbkMySQL ? ";OPTION=2" : ""))) {
    std::fprintf(stderr, "dbbench: raw connect to %s failed\n", t.name.c_str());
    return false;
  }
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> key(1, rows);
  std::vector<double> rawSel, laySel, rawUpd, layUpd;
  TODBCStatement q(odbc);
  size_t sink = 0;
  std::vector<std::string> names;
  for (int c = 0; c < kColumns; ++c) names.push_back(std::string("c") + std::to_string(c));
  auto us = [](Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::micro>(b - a).count();
  };
  // Two phases (SELECTs, then UPDATEs) so that one kind's after-effects (a
  // commit's flush) do not land on the other; within a phase raw and layer
  // calls alternate, in a random order per pair.
  std::bernoulli_distribution rawFirst(0.5);
  const int warm = iterations / 10;
  for (int i = 0; i < iterations + warm; ++i) {
    const double n = key(rng);
    const bool order = rawFirst(rng);
    double tr = 0, tl = 0;
    for (int side = 0; side < 2; ++side) {
      auto t0 = Clock::now();
      if ((side == 0) == order) {
        sink += raw.Select(orlo::Format("SELECT * FROM bench_card WHERE number = %f", n));
        tr = us(t0, Clock::now());
      } else {
        if (q.ExecSQLFmt("SELECT * FROM bench_card WHERE number = %f", n))
          for (int c = 1; c < kColumns; ++c) sink += q.FieldAsString(names[c]).size();
        tl = us(t0, Clock::now());
      }
    }
    if (i < warm) continue;
    rawSel.push_back(tr);
    laySel.push_back(tl);
  }
  for (int i = 0; i < iterations + warm; ++i) {
    const double n = key(rng);
    const bool order = rawFirst(rng);
    double tr = 0, tl = 0;
    for (int side = 0; side < 2; ++side) {
      auto t0 = Clock::now();
      if ((side == 0) == order) {
        raw.Exec(orlo::Format("UPDATE bench_card SET c1 = %d WHERE number = %f", 2 * i, n));
        tr = us(t0, Clock::now());
      } else {
        q.ExecSQLFmt("UPDATE bench_card SET c1 = %d WHERE number = %f", 2 * i + 1, n);
        tl = us(t0, Clock::now());
      }
    }
    if (i < warm) continue;
    rawUpd.push_back(tr);
    layUpd.push_back(tl);
  }
  if (sink == 0) std::fprintf(stderr, "dbbench: no data read on %s\n", t.name.c_str());
  Line(t.name, "SELECT", Summarise(rawSel), Summarise(laySel));
  Line(t.name, "UPDATE", Summarise(rawUpd), Summarise(layUpd));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool sqlite = false, mariadb = false;
  int iterations = 5000, rows = 100000;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--sqlite")
      sqlite = true;
    else if (a == "--mariadb")
      mariadb = true;
    else if (a == "--iterations" && i + 1 < argc)
      iterations = std::max(10, std::atoi(argv[++i]));
    else if (a == "--rows" && i + 1 < argc)
      rows = std::max(100, std::atoi(argv[++i]));
    else {
      std::fprintf(stderr, "usage: %s [--sqlite] [--mariadb] [--iterations N] [--rows N]\n",
                   argv[0]);
      return 2;
    }
  }
  if (!sqlite && !mariadb) sqlite = mariadb = true;
  bool ok = true;
  if (sqlite) {
    auto dir = std::filesystem::temp_directory_path() /
               ("orlo-dbbench-" + std::to_string(static_cast<long>(getpid())));
    std::filesystem::create_directories(dir);
    Target t{"sqlite-wal", "SQLite3", (dir / "bench.db").string(),
             "",           "",        "JournalMode=WAL;Timeout=1000"};
    ok = Run(t, rows, iterations, true) && ok;
    std::filesystem::remove_all(dir);
  }
  if (mariadb) {
    const std::string port = Env("ORLO_MARIADB_PORT");
    if (port.empty()) {
      std::fprintf(stderr, "dbbench: ORLO_MARIADB_PORT not set, MariaDB skipped\n");
    } else {
      Target t{"mariadb",
               "MariaDB Unicode",
               "tarn",
               Env("ORLO_MARIADB_USER", "kestrel"),
               Env("ORLO_MARIADB_PASS", "plover"),
               "SERVER=" + Env("ORLO_MARIADB_HOST", "127.0.0.1") + ";PORT=" + port};
      ok = Run(t, rows, iterations, true) && ok;
      t.name = "mariadb-NO_SSPS=1";
      t.options += ";NO_SSPS=1";
      ok = Run(t, rows, iterations, false) && ok;
    }
  }
  return ok ? 0 : 1;
}
