// TODBCConn: the supervisor's log lines, the ping, and recovery after the
// connection (or the whole MariaDB server) went away.
#include "db/odbcconn.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>

#include "config/connparams.h"
#include "dbtest.h"
#include "platform/ping.h"
#include "support/privatemariadb.h"
#include "support/wait.h"

namespace orlo::test {
namespace {

using namespace std::chrono_literals;

// The check thread finds a lost link and rebuilds it on its own period,
// after a server restart: a longer bound than the usual deadline.
constexpr std::chrono::milliseconds kSupervisorDeadline = 60s;

// True when the lines appear in this order in text.
bool InOrder(const std::string& text, std::initializer_list<std::string> lines) {
  size_t at = 0;
  for (const auto& l : lines) {
    at = text.find(l, at);
    if (at == std::string::npos) return false;
    at += l.size();
  }
  return true;
}

TODBCConn::TPingFunc Answer(TPingOutcome outcome, std::atomic<int>* calls = nullptr) {
  return [outcome, calls](const std::string&, int) {
    if (calls) ++*calls;
    return TPingResult{outcome, outcome == TPingOutcome::Error ? "no socket" : ""};
  };
}

class Supervisor : public DbTest {
 protected:
  void Supervise(TODBCConn& conn, TODBC& odbc) {
    conn.SetODBC(&odbc);
    conn.SetLog(log_.get());
    conn.SetParams(settings_.dsn, settings_.driver, settings_.database, settings_.user,
                   settings_.password, settings_.options);
    conn.SetPingHost("127.0.0.1");
  }
};

TEST_P(Supervisor, FirstConnectLogsItsSteps) {
  TODBC odbc;
  {
    TODBCConn conn(700);
    Supervise(conn, odbc);
    conn.SetPingFunc(Answer(TPingOutcome::Reply));
    EXPECT_TRUE(conn.IsConnected());
    EXPECT_FALSE(conn.FirstTime());
    EXPECT_TRUE(odbc.Connected());
    EXPECT_TRUE(odbc.ReportErrors());
    EXPECT_TRUE(odbc.BindColumns());
    EXPECT_EQ(odbc.Log(), log_.get());
    EXPECT_TRUE(InOrder(LogText(), {"Connecting to " + settings_.database, "Pinging - 127.0.0.1",
                                    "Ping OK", "Connected to DataSource!"}))
        << LogText();
    EXPECT_TRUE(conn.IsConnected());  // now the check thread's answer
  }
  EXPECT_TRUE(InOrder(LogText(), {"Stopping CheckConn Thread...", "Stopped!"}));
  EXPECT_FALSE(odbc.Connected());
}

TEST_P(Supervisor, FailedPingMakesNoConnectAttempt) {
  TODBC odbc;
  TODBCConn conn(700);
  Supervise(conn, odbc);
  std::atomic<int> pings{0};
  conn.SetPingFunc(Answer(TPingOutcome::NoAnswer, &pings));
  EXPECT_FALSE(conn.IsConnected());
  EXPECT_EQ(pings, 3);  // three tries when nothing answers
  EXPECT_FALSE(odbc.Connected());
  EXPECT_TRUE(conn.FirstTime());
  EXPECT_TRUE(InOrder(LogText(), {"Pinging - 127.0.0.1", "Ping FAIL",
                                  "Could not connect to DataSource, check your setup..."}));
  // The next call tries again.
  conn.SetPingFunc(Answer(TPingOutcome::Failed, &pings));
  EXPECT_FALSE(conn.IsConnected());
  EXPECT_EQ(pings, 4);  // a definite failure is not retried
  conn.SetPingFunc(Answer(TPingOutcome::Error));
  EXPECT_FALSE(conn.IsConnected());
  EXPECT_TRUE(InOrder(LogText(), {"Ping Exception - no socket", "Ping FAIL"}));
  conn.SetPingFunc(Answer(TPingOutcome::Reply));
  EXPECT_TRUE(conn.IsConnected());
}

TEST_P(Supervisor, NoPingWhenSwitchedOffOrHostTooShort) {
  TODBC odbc;
  TODBCConn off(0);
  Supervise(off, odbc);
  off.SetPingFunc(Answer(TPingOutcome::NoAnswer));
  EXPECT_TRUE(off.IsConnected());
  TODBC odbc2;
  TODBCConn shortHost(700);
  Supervise(shortHost, odbc2);
  shortHost.SetPingHost("db.lo");
  shortHost.SetPingFunc(Answer(TPingOutcome::NoAnswer));
  EXPECT_TRUE(shortHost.IsConnected());
  EXPECT_EQ(LogText().find("Pinging - "), std::string::npos);
}

TEST_P(Supervisor, ConnectFailureIsLoggedWithDiagnostics) {
  TODBC odbc;
  TODBCConn conn(0);
  Supervise(conn, odbc);
  conn.SetParams("", "No Such Driver", "tarn", "kestrel", "plover", "");
  EXPECT_FALSE(conn.IsConnected());
  EXPECT_TRUE(InOrder(LogText(), {"Connecting to tarn", "No Such Driver", ". State:  ",
                                  "Could not connect to DataSource, check your setup..."}))
      << LogText();
}

TEST(SupervisorWithoutConnection, SaysSo) {
  TempDir dir;
  TMessLog log(dir.file("x.log"), false, false, false, true);
  TODBCConn conn(700);
  conn.SetLog(&log);
  EXPECT_FALSE(conn.IsConnected());
  log.Log("");
  EXPECT_NE(ReadFile(dir.file("x.log")).find("TODBC Could not be Created!"), std::string::npos);
}

// The connection counts its statements, their failures and time, and its
// state, into the counters it is given (shared with its TODBC); the statement
// observer hears each statement at the same point, with its outcome.
TEST_P(Supervisor, CountsStatementsFailuresAndState) {
  TODBC odbc;
  TODBCConn conn(0);
  auto counters = std::make_shared<TDBCounters>();
  Supervise(conn, odbc);
  conn.SetCounters(counters);
  EXPECT_EQ(counters->state.load(), TDBCounters::Down);
  ASSERT_TRUE(conn.IsConnected()) << LogText();
  EXPECT_EQ(counters->state.load(), TDBCounters::Up);
  std::vector<std::string> heard;
  odbc.SetStatementObserver([&heard](const std::string& sql, bool ok) {
    heard.push_back((ok ? "ok " : "failed ") + sql);
  });
  TODBCStatement q(odbc);
  EXPECT_TRUE(q.ExecSQL("SELECT number FROM card WHERE number = 1001"));
  EXPECT_FALSE(q.ExecSQL("SELECT no_such_column FROM card"));
  EXPECT_FALSE(q.ExecSQL("SELECT number FROM card WHERE number = -5"));  // no row: no failure
  odbc.SetStatementObserver({});
  EXPECT_TRUE(q.ExecSQL("SELECT number FROM card WHERE number = 1001"));
  EXPECT_EQ(counters->statements.load(), 4u);
  EXPECT_EQ(counters->failures.load(), 1u);
  EXPECT_EQ(counters->latency.Snapshot().Count(), 4u);
  EXPECT_EQ(counters->reconnects.load(), 0u);
  EXPECT_EQ(heard, (std::vector<std::string>{"ok SELECT number FROM card WHERE number = 1001",
                                             "failed SELECT no_such_column FROM card",
                                             "ok SELECT number FROM card WHERE number = -5"}));
}

INSTANTIATE_TEST_SUITE_P(Drivers, Supervisor, ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         BackendName);

// A killed session: the next check finds the connection dead, rebuilds it in
// the same check, and IsConnected stays true; statements made before are
// invalid, new ones work.
class ServerSupervisor : public Supervisor {};

TEST_P(ServerSupervisor, DeadConnectionIsRebuiltByTheCheckThread) {
  TODBC odbc;
  TODBCConn conn(0);
  auto counters = std::make_shared<TDBCounters>();
  Supervise(conn, odbc);
  conn.SetCounters(counters);
  ASSERT_TRUE(conn.IsConnected());
  TODBCStatement old(odbc);
  ASSERT_TRUE(old.ExecSQL("SELECT CONNECTION_ID() AS id"));
  const int id = old.FieldAsInteger("id");
  TODBC other;
  ASSERT_TRUE(ConnectAnother(other));
  TODBCStatement k(other);
  ASSERT_TRUE(k.ExecSQLFmt("KILL %d", id));
  ASSERT_TRUE(WaitUntil([&] { return CountOf(LogText(), "Connected to DataSource!") == 2; },
                        kSupervisorDeadline))
      << LogText();
  EXPECT_TRUE(WaitUntil([&] { return counters->reconnects == 1; }, kSupervisorDeadline));
  EXPECT_TRUE(InOrder(LogText(), {"ODBC Connection 'Dead'!", "Connected to DataSource!"}));
  EXPECT_TRUE(conn.IsConnected());
  EXPECT_FALSE(old.Allocated());
  EXPECT_FALSE(old.ExecSQL("SELECT * FROM card"));
  TODBCStatement fresh(odbc);
  EXPECT_TRUE(fresh.ExecSQL("SELECT * FROM card"));
}

INSTANTIATE_TEST_SUITE_P(Server, ServerSupervisor, ::testing::Values(Backend::MariaDB),
                         BackendName);

TEST(ServerRestart, SupervisorReconnectsAfterTheServerComesBack) {
  MariaDBServer shared;
  ORLO_REQUIRE_MARIADB(shared);
  ASSERT_FALSE(shared.templateDir.empty()) << "ORLO_MARIADB_TEMPLATE is not set";
  TPrivateMariaDB server(shared);
  ASSERT_TRUE(server.Start());
  TempDir dir;
  TMessLog log(dir.file("x.log"), false, false, false, true);
  auto text = [&] {
    log.Log("");
    return ReadFile(dir.file("x.log"));
  };
  TODBC odbc;
  TODBCConn conn(0);
  conn.SetODBC(&odbc);
  conn.SetLog(&log);
  auto s = MariaDBSettings(server.Coordinates(), "tarn");
  conn.SetParams(s.dsn, s.driver, s.database, s.user, s.password, s.options);
  ASSERT_TRUE(conn.IsConnected()) << text();
  TODBCStatement old(odbc);
  ASSERT_TRUE(old.ExecSQL("CREATE TABLE kept (id INTEGER PRIMARY KEY)"));
  ASSERT_TRUE(old.ExecSQL("INSERT INTO kept VALUES (1)"));

  server.Kill();
  ASSERT_TRUE(WaitUntil([&] { return !conn.IsConnected(); }, kSupervisorDeadline)) << text();
  // The lost link is known at once; the check thread then tries to connect.
  EXPECT_TRUE(WaitUntil(
      [&] {
        return InOrder(text(), {"ODBC Connection 'Dead'!",
                                "Could not connect to DataSource, check your setup..."});
      },
      kSupervisorDeadline))
      << text();
  EXPECT_FALSE(old.ExecSQL("SELECT * FROM kept"));  // fails cleanly, no crash
  EXPECT_FALSE(old.Eof());

  ASSERT_TRUE(server.Restart());
  ASSERT_TRUE(WaitUntil([&] { return conn.IsConnected(); }, kSupervisorDeadline)) << text();
  EXPECT_EQ(CountOf(text(), "Connected to DataSource!"), 2) << text();
  EXPECT_FALSE(old.Allocated());
  EXPECT_FALSE(old.ExecSQL("SELECT * FROM kept"));
  TODBCStatement fresh(odbc);
  ASSERT_TRUE(fresh.ExecSQL("SELECT * FROM kept"));
  EXPECT_EQ(fresh.FieldAsInteger("id"), 1);
}

// The shipped defaults (no registry values at all) reach the server: driver
// "MySQL ODBC 3.51 Driver", database tarn named twice, kestrel/plover. Only
// the port is added, as the private server does not listen on 3306.
TEST(DefaultParameters, ConnectByDriverString) {
  MariaDBServer server;
  ORLO_REQUIRE_MARIADB(server);
  TempDir dir;
  TConnParams params(dir.file("no-registry.reg"));
  ASSERT_EQ(params.ConnectOptions(), "SERVER=127.0.0.1;database=tarn");
  TMessLog log(dir.file("x.log"), false, false, false, true);
  TODBC odbc;
  TODBCConn conn(700);
  conn.SetODBC(&odbc);
  conn.SetLog(&log);
  conn.SetParams(params.DSNName, params.ODBCDriver, params.Database, params.User, params.Pass,
                 params.ConnectOptions() + ";PORT=" + server.port);
  conn.SetPingHost(params.Host);
  conn.SetPingFunc(Answer(TPingOutcome::Reply));
  ASSERT_TRUE(conn.IsConnected()) << (log.Log(""), ReadFile(dir.file("x.log")));
  EXPECT_EQ(odbc.DBKind(), dbkMySQL);
  TODBCStatement q(odbc);
  ASSERT_TRUE(q.ExecSQL("SELECT DATABASE() AS db, CURRENT_USER() AS who"));
  EXPECT_EQ(q.FieldAsString("db"), "tarn");
  EXPECT_EQ(q.FieldAsString("who").substr(0, 8), "kestrel@");
}

TEST(IcmpEcho, LoopbackAnswersAndUnknownHostsFail) {
  TPingResult r = IcmpEcho("127.0.0.1", 2000);
  if (r.outcome == TPingOutcome::Error)
    GTEST_SKIP() << "no ICMP socket may be made here: " << r.message;
  EXPECT_EQ(r.outcome, TPingOutcome::Reply) << r.message;
  EXPECT_EQ(IcmpEcho("no-such-host.invalid", 500).outcome, TPingOutcome::Failed);
}

}  // namespace
}  // namespace orlo::test
