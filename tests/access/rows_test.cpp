// The rows of a decision: each read once, the card row handed on as the
// decision left it, and the configuration rows kept across decisions when a
// cache is given.
#include <chrono>
#include <map>
#include <thread>

#include "site.h"

namespace orlo::test {
namespace {

class DecisionRows : public SiteTest {
 protected:
  void TearDown() override {
    if (odbc_) odbc_->SetStatementObserver({});
    SiteTest::TearDown();
  }

  // Presents and returns how often each SELECT text ran during it.
  std::map<std::string, int> PresentCounting(double card, int addr, TDateTime when) {
    std::map<std::string, int> selects;
    odbc_->SetStatementObserver([&](const std::string& sql, bool) {
      if (sql.rfind("SELECT", 0) == 0) ++selects[sql];
    });
    Present(card, addr, when);
    odbc_->SetStatementObserver({});
    return selects;
  }

  // The card row the decision handed on reads as a fresh read of it.
  void ExpectCardRowAsStored(double card) {
    const TDBRow stored = FindCard(*odbc_, card);
    for (const char* c : {"in_lot", "debit_left", "in_gate", "date_set"})
      EXPECT_EQ(out_.rows.card.FieldAsInteger(c), stored.FieldAsInteger(c)) << card << " " << c;
    for (const char* c : {"debit_date", "debit_reset_date", "trans_dt", "start_dt", "exp_iry"})
      EXPECT_EQ(out_.rows.card.FieldAsDateTime(c), stored.FieldAsDateTime(c)) << card << " " << c;
  }
};

// Granted passes that write every kind of card change: a debit, a monthly
// refill, the first use of an own period, pathway positions, a group count.
TEST_P(DecisionRows, EachRowIsReadOnceAndTheCardRowFollowsTheWrites) {
  AddCard(901, 5, "debit_left = 3, group_id = 1");
  AddCard(902, 6);
  AddCard(903, 3);
  AddCard(904, 9);
  const struct {
    double card;
    int addr;
    TDateTime when;
  } passes[] = {{901, 1, Tue(10, 0)}, {902, 1, Tue(10, 1)}, {903, 1, Tue(10, 2)},
                {904, 1, Tue(10, 3)}, {904, 6, Tue(10, 4)}, {901, 2, Tue(10, 30)}};
  for (const auto& p : passes) {
    for (const auto& [sql, times] : PresentCounting(p.card, p.addr, p.when))
      EXPECT_EQ(times, 1) << sql;
    EXPECT_TRUE(IsGranted(LastTrans().code)) << p.card << " " << LogText();
    ExpectCardRowAsStored(p.card);
  }
  EXPECT_EQ(CardInt(901, "debit_left"), 1);
  EXPECT_EQ(QInt("SELECT cur_inlot AS v FROM card_pool WHERE id = 1"), 0);
}

// With a cache, a change to the card row is seen by the next decision and a
// change to a kept configuration row only once the keep time has passed.
TEST_P(DecisionRows, CachedRowsWaitForTheKeepTimeTheCardRowDoesNot) {
  AddCard(905, 1);
  TRowCache hour(std::chrono::hours(1));
  config_ = &hour;
  ASSERT_EQ(Present(905, 4, Tue(10, 0)), crAccepted);
  Exec("UPDATE card SET first_name = 'Bea' WHERE number = 905");
  Exec("UPDATE device SET name = 'Hall' WHERE id = 14");
  Exec("UPDATE card_type SET access_level_id = 4 WHERE id = 1");  // not at device 14
  EXPECT_EQ(Present(905, 4, Tue(10, 1)), crAccepted);
  EXPECT_EQ(out_.firstName, "Bea");
  EXPECT_EQ(out_.deviceName, "Lobby");

  TRowCache second(std::chrono::seconds(1));
  config_ = &second;
  EXPECT_EQ(Present(905, 4, Tue(10, 2)), crNoValidAccess);
  Exec("UPDATE device SET name = 'Foyer' WHERE id = 14");
  Exec("UPDATE card_type SET access_level_id = 1 WHERE id = 1");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(Present(905, 4, Tue(10, 3)), crAccepted);
  EXPECT_EQ(out_.deviceName, "Foyer");
}

// A kept card-type row that predates the start of its shared period (made
// by this cache or another loop's) never starts the period again.
TEST_P(DecisionRows, SharedPeriodStartsOnceWhateverTheCachesKept) {
  AddCard(906, 4);
  AddCard(907, 4);
  TRowCache mine(std::chrono::hours(1)), otherLoop(std::chrono::hours(1));
  FindCardType(*odbc_, FindCard(*odbc_, 907), &otherLoop);  // kept before the start
  config_ = &mine;
  EXPECT_EQ(Present(906, 4, Tue(10, 0)), crAccepted);
  EXPECT_EQ(Present(907, 4, Tue(11, 0)), crAccepted);
  config_ = &otherLoop;
  EXPECT_EQ(Present(907, 4, Tue(12, 0)), crAccepted);
  EXPECT_NEAR(QDate("SELECT start_dt AS v FROM card_type WHERE id = 4"), Tue(10, 0), 0.5 / 86400);
}

INSTANTIATE_TEST_SUITE_P(Db, DecisionRows, ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         BackendName);

}  // namespace
}  // namespace orlo::test
