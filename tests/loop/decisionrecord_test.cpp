// A card's answer follows only a decision that is on record: faults that keep
// the decision's work from being committed (a row lock held elsewhere, a
// deadlock, the server killed or hung in the middle of the decision) are
// answered as a database error, and a deadlock victim is decided again.
#include <future>

#include "cardloop.h"

namespace orlo::test {
namespace {

class DecisionRecordTest : public PrivateServerCardTest {
 protected:
  void SetUp() override {
    PrivateServerCardTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    StartPrivateServer();
    if (HasFatalFailure()) return;
    // Card 1001 may enter again and again.
    ASSERT_TRUE(ServerRuns("UPDATE card_type SET ignore_passback = 1 WHERE id = 1"));
  }
  void TearDown() override {
    if (server_) server_->Thaw();
    holder_.DisconnectFromDataSource();
    PrivateServerCardTest::TearDown();
  }

  // Column n of the first row on the private server (-1 without a row).
  int ServerInt(const std::string& sql) {
    TODBC db;
    if (!ConnectToServer(db)) return -1;
    TODBCStatement q(db);
    return q.ExecSQL(sql) ? q.FieldAsInteger("n") : -1;
  }
  bool ServerRuns(const std::string& sql) {
    TODBC db;
    if (!ConnectToServer(db)) return false;
    TODBCStatement q(db);
    return q.ExecSQL(sql);
  }
  // True when the statement ran (a query that found no row ran too).
  bool HolderRuns(const std::string& sql) {
    TODBCStatement q(holder_);
    const bool ran = q.ExecSQL(sql) || q.Eof();
    if (!ran) ADD_FAILURE() << sql << ": " << q.LastError().Text();
    return ran;
  }
  // Another program's transaction holds every insert into trans back (the
  // last write of each decision) until it ends.
  void HoldTransInserts() {
    ASSERT_TRUE(ConnectToServer(holder_));
    ASSERT_TRUE(holder_.BeginTransaction());
    ASSERT_TRUE(HolderRuns("SELECT * FROM trans FOR UPDATE"));
  }
  // Waits until a decision waits to insert its trans row.
  bool WaitForLockWait() {
    return WaitUntil([&] {
      return ServerInt(
                 "SELECT COUNT(*) AS n FROM information_schema.processlist "
                 "WHERE info LIKE 'INSERT INTO trans%'") > 0;
    });
  }
  int TransRows() { return ServerInt("SELECT COUNT(*) AS n FROM trans"); }
  int InLot() { return ServerInt("SELECT in_lot AS n FROM card WHERE number = 1001"); }

  TODBC holder_;
};

TEST_P(DecisionRecordTest, ALockHeldPastTheLockWaitIsAnsweredAsADatabaseError) {
  StartLoop();
  HoldTransInserts();
  const int inLot = InLot();
  Present(1, "1001");
  EXPECT_EQ(NextGateAnswer(1), "BSystem ERROR!") << LogText();
  EXPECT_TRUE(WaitLog("Decision not recorded: Loop Id 1 address 1, Card 1001: "));
  EXPECT_NE(LogText().find("Lock wait timeout exceeded"), std::string::npos) << LogText();
  ASSERT_TRUE(holder_.EndTransaction());
  EXPECT_EQ(TransRows(), 0);
  EXPECT_EQ(InLot(), inLot);  // the card row's updates went with it
  EXPECT_EQ(CountSoft(1), 0);

  // The lock gone, the same card is decided and recorded.
  Present(1, "1001");
  EXPECT_EQ(NextGateAnswer(1), "G007Welcome Ann Lee") << LogText();
  EXPECT_EQ(TransRows(), 1);
}

TEST_P(DecisionRecordTest, ADeadlockVictimIsDecidedAgainAndRecordedOnce) {
  StartLoop();
  ASSERT_TRUE(ConnectToServer(holder_));
  ASSERT_TRUE(HolderRuns("CREATE TABLE heavy (id INTEGER)"));
  ASSERT_TRUE(holder_.BeginTransaction());
  ASSERT_TRUE(HolderRuns("SELECT * FROM trans FOR UPDATE"));
  // Weight that makes the decision the server's deadlock victim.
  for (int i = 0; i < 20; ++i)
    ASSERT_TRUE(HolderRuns("INSERT INTO heavy VALUES (" + std::to_string(i) + ")"));
  Present(1, "1001");
  ASSERT_TRUE(WaitForLockWait()) << LogText();
  // The decision holds the card row and waits to insert its trans row; the
  // other program now wants the card row: a deadlock.
  ASSERT_TRUE(HolderRuns("UPDATE card SET misc_1 = 'held' WHERE number = 1001")) << LogText();
  ASSERT_TRUE(holder_.EndTransaction());
  EXPECT_EQ(NextGateAnswer(1), "G007Welcome Ann Lee") << LogText();
  EXPECT_TRUE(WaitLog("Deadlock, deciding again: Loop Id 1 address 1, Card 1001"));
  EXPECT_EQ(TransRows(), 1);
  EXPECT_TRUE(NoFurtherGateAnswer(1));
}

TEST_P(DecisionRecordTest, TheServerKilledInTheMiddleOfADecisionLeavesNoPartOfIt) {
  SetSetting("Low Security on DB Error", "1");
  StartLoop();
  Present(1, "1001");
  EXPECT_EQ(NextGateAnswer(1), "G007Welcome Ann Lee");
  ASSERT_TRUE(ServerRuns("UPDATE card SET in_lot = 0 WHERE number = 1001"));
  HoldTransInserts();
  Present(1, "1001");
  ASSERT_TRUE(WaitForLockWait()) << LogText();
  server_->Kill();
  EXPECT_EQ(NextGateAnswer(1), "G007Thank you...") << LogText();
  EXPECT_TRUE(WaitLog("Decision not recorded: Loop Id 1 address 1, Card 1001: "));
  holder_.DisconnectFromDataSource();
  ASSERT_TRUE(server_->Restart());
  EXPECT_EQ(TransRows(), 1);  // the first decision only
  EXPECT_EQ(InLot(), 0);      // the second's card update went with it
  // Decisions resume once the loop's supervisor has the server back.
  ASSERT_TRUE(WaitUntil([&] { return LoopDatabaseUp(); })) << LogText();
  Present(1, "1001");
  EXPECT_EQ(NextGateAnswer(1), "G007Welcome Ann Lee") << LogText();
}

TEST_P(DecisionRecordTest, AServerThatHangsInTheMiddleOfADecisionIsAnsweredAtItsTimeOut) {
  SetSetting("Low Security on DB Error", "1");
  StartLoop();
  Present(1, "1001");
  EXPECT_EQ(NextGateAnswer(1), "G007Welcome Ann Lee");
  HoldTransInserts();
  Present(1, "1001");
  ASSERT_TRUE(WaitForLockWait()) << LogText();
  server_->Freeze();
  EXPECT_EQ(NextGateAnswer(1), "G007Thank you...") << LogText();
  EXPECT_TRUE(WaitLog("Decision not recorded: Loop Id 1 address 1, Card 1001: "));
  // Known down now: the next card is answered at once, and again not recorded.
  Present(1, "1004");
  EXPECT_EQ(NextGateAnswer(1), "G007Thank you...") << LogText();
  server_->Thaw();
  holder_.DisconnectFromDataSource();
  ASSERT_TRUE(WaitUntil([&] { return LoopDatabaseUp(); })) << LogText();
  Present(1, "1001");
  EXPECT_EQ(NextGateAnswer(1), "G007Welcome Ann Lee") << LogText();
  EXPECT_EQ(TransRows(), 2);
}

INSTANTIATE_TEST_SUITE_P(MariaDB, DecisionRecordTest, ::testing::Values(LoopBackend::MariaDB),
                         LoopBackendName);

}  // namespace
}  // namespace orlo::test
