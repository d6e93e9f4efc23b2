// The ODBC layer and its supervisor against a database server that stops
// answering (a server of the test's own, stopped with SIGSTOP: its port and
// connections stay open and nothing is answered, as with a hung or
// unreachable host), and transactions voided by deadlocks, lock waits, locked
// files and lost links.
#include <atomic>
#include <future>
#include <thread>

#include "db/odbcconn.h"
#include "dbtest.h"
#include "support/privatemariadb.h"
#include "support/wait.h"

namespace orlo::test {
namespace {

using namespace std::chrono_literals;

// Beyond the driver's time-out: a call still running then never ends.
constexpr auto kStuck = std::chrono::seconds(kServerTimeoutSeconds * 4);

class SilentServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ORLO_REQUIRE_MARIADB(shared_);
    ASSERT_FALSE(shared_.templateDir.empty()) << "ORLO_MARIADB_TEMPLATE is not set";
    server_ = std::make_unique<TPrivateMariaDB>(shared_);
    ASSERT_TRUE(server_->Start());
    settings_ = MariaDBSettings(server_->Coordinates(), "tarn");
    conn_.SetODBC(&odbc_);
    conn_.SetCounters(counters_);
    conn_.SetLog(&log_);
    conn_.SetParams(settings_.dsn, settings_.driver, settings_.database, settings_.user,
                    settings_.password, settings_.options);
    ASSERT_TRUE(conn_.IsConnected()) << Log();
  }
  void TearDown() override {
    if (server_) server_->Thaw();
  }

  std::string Log() {
    log_.Log("");
    return ReadFile(dir_.file("x.log"));
  }
  bool InLog(const std::string& line) { return Log().find(line) != std::string::npos; }

  MariaDBServer shared_;
  std::unique_ptr<TPrivateMariaDB> server_;
  ConnSettings settings_;
  TempDir dir_;
  TMessLog log_{dir_.file("x.log"), false, false, false, true};
  TODBC odbc_;
  TODBCConn conn_{0};
  std::shared_ptr<TDBCounters> counters_ = std::make_shared<TDBCounters>();
};

// A statement waiting on a silent server: any thread sees the link stalled
// while the call is stuck, the call ends at the driver's time-out as a lost
// link, and the supervisor builds the link again once the server answers.
TEST_F(SilentServer, AStalledStatementEndsAsALostLinkAndTheLinkIsRebuilt) {
  TODBCStatement q(odbc_);
  // The link has just answered, so the supervisor does not probe it before
  // the statement below is the call that waits on the silent server.
  ASSERT_TRUE(q.ExecSQL("SELECT 2 AS two"));
  server_->Freeze();
  auto stuck = std::async(std::launch::async, [&] { return q.ExecSQL("SELECT 1 AS one"); });
  ASSERT_TRUE(WaitUntil([&] { return !conn_.IsConnected(); })) << Log();
  EXPECT_TRUE(odbc_.CallStalled(TODBCConn::kStallLimit));
  EXPECT_TRUE(WaitUntil([&] { return InLog("ODBC Connection not answering!"); })) << Log();
  EXPECT_TRUE(WaitUntil([&] { return counters_->state == TDBCounters::NotAnswering; }));
  EXPECT_EQ(counters_->timeouts.load(), 1u);
  ASSERT_EQ(stuck.wait_for(kStuck), std::future_status::ready) << "the statement never ended";
  EXPECT_FALSE(stuck.get());
  EXPECT_EQ(ClassifyFailure(dbkMySQL, q.LastError()), TDBFault::LinkLost) << q.LastError().Text();
  EXPECT_FALSE(conn_.IsConnected());
  // The stuck statement: a failure, a lost link, and a time past the stall limit.
  EXPECT_EQ(counters_->failures.load(), 1u);
  EXPECT_GE(counters_->faults[static_cast<std::size_t>(TDBFault::LinkLost)].load(), 1u);
  EXPECT_GE(counters_->latency.Snapshot().sumSeconds,
            std::chrono::duration<double>(TODBCConn::kStallLimit).count());

  server_->Thaw();
  ASSERT_TRUE(WaitUntil([&] { return conn_.IsConnected(); })) << Log();
  EXPECT_GE(CountOf(Log(), "Connected to DataSource!"), 2) << Log();
  TODBCStatement fresh(odbc_);
  EXPECT_TRUE(fresh.ExecSQL("SELECT 1 AS one")) << Log();
  EXPECT_GE(counters_->reconnects.load(), 1u);
  EXPECT_EQ(counters_->state.load(), TDBCounters::Up);
  EXPECT_EQ(counters_->timeouts.load(), 1u);
}

// Nobody uses the link when the server falls silent: the supervisor's own
// probe finds it, and a connect meanwhile ends at its time-out.
TEST_F(SilentServer, AnIdleLinkIsFoundSilentByTheSupervisor) {
  server_->Freeze();
  ASSERT_TRUE(WaitUntil([&] { return !conn_.IsConnected(); })) << Log();
  ASSERT_TRUE(WaitUntil([&] { return InLog("ODBC Connection 'Dead'!"); })) << Log();
  ASSERT_TRUE(WaitUntil([&] { return InLog("Could not connect to DataSource"); })) << Log();
  EXPECT_NE(Log().find("handshake"), std::string::npos) << Log();  // the login's own time-out
  EXPECT_FALSE(conn_.IsConnected());
  // Statement work meanwhile fails at once instead of waiting for the login.
  TODBCStatement q(odbc_);
  EXPECT_FALSE(q.ExecSQL("SELECT 1"));

  server_->Thaw();
  ASSERT_TRUE(WaitUntil([&] { return conn_.IsConnected(); })) << Log();
  TODBCStatement fresh(odbc_);
  EXPECT_TRUE(fresh.ExecSQL("SELECT 1 AS one")) << Log();
}

TEST_F(SilentServer, ACommitWaitingOnASilentServerIsNotOnRecord) {
  TODBCStatement w(odbc_);
  ASSERT_TRUE(w.ExecSQL("CREATE TABLE kept (id INTEGER PRIMARY KEY)"));
  auto outcome = std::async(std::launch::async, [&] {
    TODBCTransaction transaction(odbc_);
    w.ExecSQL("INSERT INTO kept VALUES (1)");
    server_->Freeze();
    const bool onRecord = transaction.Commit();
    return std::make_pair(onRecord, transaction.Fault());
  });
  ASSERT_EQ(outcome.wait_for(kStuck), std::future_status::ready) << "the commit never ended";
  const auto [onRecord, fault] = outcome.get();
  EXPECT_FALSE(onRecord);
  EXPECT_EQ(fault, TDBFault::LinkLost);
  EXPECT_NE(Log().find("Transaction commit failed: "), std::string::npos) << Log();
  EXPECT_GE(counters_->commitFailures.load(), 1u);
}

// --- transactions voided by what other connections do ---

class TransactionFault : public DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;
    ASSERT_TRUE(ConnectAnother(other_));
    ASSERT_TRUE(Run(*odbc_, "CREATE TABLE pair (id INTEGER PRIMARY KEY, v INTEGER)"));
    ASSERT_TRUE(Run(*odbc_, "INSERT INTO pair VALUES (1, 0)"));
    ASSERT_TRUE(Run(*odbc_, "INSERT INTO pair VALUES (2, 0)"));
  }
  void TearDown() override {
    other_.DisconnectFromDataSource();
    DbTest::TearDown();
  }

  static bool Run(TODBC& db, const std::string& sql) {
    TODBCStatement q(db);
    return q.ExecSQL(sql);
  }
  int Value(int id) {
    TODBC third;
    if (!ConnectAnother(third)) return -1;
    TODBCStatement q(third);
    return q.ExecSQLFmt("SELECT v FROM pair WHERE id = %d", id) ? q.FieldAsInteger("v") : -1;
  }
  // Waits until some transaction of the server waits for a row lock.
  bool WaitForLockWait() {
    return WaitUntil([&] {
      TODBC third;
      if (!ConnectAnother(third)) return false;
      TODBCStatement q(third);
      return q.ExecSQL(
                 "SELECT COUNT(*) AS n FROM information_schema.innodb_trx WHERE trx_state = 'LOCK "
                 "WAIT'") &&
             q.FieldAsInteger("n") > 0;
    });
  }

  TODBC other_;
};

// The deadlock victim's work is rolled back by the server; what the scope
// ran after it must not be committed as if the whole had held.
// Row locks and links to lose: on the server only.
class ServerTransactionFault : public TransactionFault {};
// File locks: SQLite only.
class FileTransactionFault : public TransactionFault {};

TEST_P(ServerTransactionFault, ADeadlockVictimIsNotOnRecord) {
  ASSERT_TRUE(Run(*odbc_, "CREATE TABLE heavy (id INTEGER)"));
  ASSERT_TRUE(other_.BeginTransaction());
  ASSERT_TRUE(Run(other_, "UPDATE pair SET v = 20 WHERE id = 2"));
  // Weight that makes the scope's transaction the server's victim.
  for (int i = 0; i < 20; ++i)
    ASSERT_TRUE(Run(other_, "INSERT INTO heavy VALUES (" + std::to_string(i) + ")"));

  TODBCTransaction transaction(*odbc_);
  ASSERT_TRUE(Run(*odbc_, "UPDATE pair SET v = 11 WHERE id = 1"));
  auto blocked = std::async(std::launch::async,
                            [&] { return Run(other_, "UPDATE pair SET v = 21 WHERE id = 1"); });
  ASSERT_TRUE(WaitForLockWait());
  TODBCStatement q(*odbc_);
  EXPECT_FALSE(q.ExecSQL("UPDATE pair SET v = 12 WHERE id = 2"));
  EXPECT_EQ(ClassifyFailure(dbkMySQL, q.LastError()), TDBFault::Deadlock) << q.LastError().Text();
  EXPECT_TRUE(blocked.get());
  ASSERT_TRUE(other_.EndTransaction());
  // Work after the deadlock ran in a new transaction: it goes too.
  ASSERT_TRUE(Run(*odbc_, "INSERT INTO pair VALUES (3, 13)"));
  EXPECT_FALSE(transaction.Commit());
  EXPECT_EQ(transaction.Fault(), TDBFault::Deadlock);
  EXPECT_EQ(Value(1), 21);
  EXPECT_EQ(Value(2), 20);
  EXPECT_EQ(Value(3), -1);
  // The scope goes on: its next unit of work commits normally.
  ASSERT_TRUE(Run(*odbc_, "UPDATE pair SET v = 14 WHERE id = 1"));
  EXPECT_TRUE(transaction.Commit());
  EXPECT_EQ(Value(1), 14);
}

// A row lock held elsewhere past the lock wait: the statement fails on its
// own, and the work before it is rolled back instead of committed in part.
TEST_P(ServerTransactionFault, ALockWaitTimeOutIsNotOnRecord) {
  ASSERT_TRUE(other_.BeginTransaction());
  TODBCStatement hold(other_);
  ASSERT_TRUE(hold.ExecSQL("SELECT * FROM pair WHERE id = 2 FOR UPDATE"));
  {
    TODBCTransaction transaction(*odbc_);
    ASSERT_TRUE(Run(*odbc_, "UPDATE pair SET v = 11 WHERE id = 1"));
    TODBCStatement q(*odbc_);
    EXPECT_FALSE(q.ExecSQL("UPDATE pair SET v = 12 WHERE id = 2"));
    EXPECT_EQ(ClassifyFailure(dbkMySQL, q.LastError()), TDBFault::LockTimeout)
        << q.LastError().Text();
    EXPECT_FALSE(transaction.Commit());
    EXPECT_EQ(transaction.Fault(), TDBFault::LockTimeout);
  }
  ASSERT_TRUE(other_.EndTransaction());
  EXPECT_EQ(Value(1), 0);
  EXPECT_TRUE(odbc_->Healthy(TODBCConn::kStallLimit));  // the link itself is fine
}

// A SQLite file locked by another connection past the busy wait: the
// statement commits by itself elsewhere, but the scope still says its work is
// not all on record.
TEST_P(FileTransactionFault, ALockedDatabaseFileVoidsTheScope) {
  ASSERT_TRUE(other_.BeginTransaction());
  ASSERT_TRUE(Run(other_, "UPDATE pair SET v = 20 WHERE id = 2"));
  TODBCTransaction transaction(*odbc_);
  TODBCStatement q(*odbc_);
  EXPECT_FALSE(q.ExecSQL("UPDATE pair SET v = 12 WHERE id = 2"));
  EXPECT_EQ(ClassifyFailure(dbkSQLite, q.LastError()), TDBFault::Busy) << q.LastError().Text();
  EXPECT_FALSE(transaction.Commit());
  EXPECT_EQ(transaction.Fault(), TDBFault::Busy);
  ASSERT_TRUE(other_.EndTransaction());
}

// The link lost in the middle of a scope (the session killed): the
// connection is rebuilt in autocommit mode, and the scope's commit must not
// report the lost work as done.
TEST_P(ServerTransactionFault, ALinkLostInTheMiddleIsNotOnRecord) {
  TODBCStatement id(*odbc_);
  ASSERT_TRUE(id.ExecSQL("SELECT CONNECTION_ID() AS id"));
  TODBCTransaction transaction(*odbc_);
  ASSERT_TRUE(Run(*odbc_, "UPDATE pair SET v = 11 WHERE id = 1"));
  ASSERT_TRUE(Run(other_, "KILL " + std::to_string(id.FieldAsInteger("id"))));
  EXPECT_FALSE(Run(*odbc_, "UPDATE pair SET v = 12 WHERE id = 2"));
  odbc_->DisconnectFromDataSource();
  ASSERT_TRUE(ConnectAnother(*odbc_));
  EXPECT_TRUE(Run(*odbc_, "UPDATE pair SET v = 13 WHERE id = 2"));
  EXPECT_FALSE(transaction.Commit());
  EXPECT_EQ(transaction.Fault(), TDBFault::LinkLost);
  EXPECT_EQ(Value(1), 0);
}

INSTANTIATE_TEST_SUITE_P(Server, ServerTransactionFault, ::testing::Values(Backend::MariaDB),
                         BackendName);
INSTANTIATE_TEST_SUITE_P(File, FileTransactionFault, ::testing::Values(Backend::SQLite),
                         BackendName);

}  // namespace
}  // namespace orlo::test
