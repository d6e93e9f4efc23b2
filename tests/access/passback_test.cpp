// Passback (with and without a reset time), the group maximum and pathways,
// and the card and group state a granted pass leaves behind.
#include "site.h"

namespace orlo::test {
namespace {

using Passback = SiteTest;

TEST_P(Passback, WithoutResetTheSameDirectionIsRefusedUntilAnotherDirection) {
  AddCard(700, 1);
  EXPECT_EQ(Present(700, 1, Tue(8, 0)), crAccepted);
  EXPECT_EQ(CardInt(700, "in_lot"), 1);
  EXPECT_EQ(Present(700, 1, Tue(12, 0)), crPassback);
  EXPECT_EQ(Present(700, 6, Tue(12, 1)), crPassback);              // any entry device
  EXPECT_NEAR(CardDate(700, "trans_dt"), Tue(8, 0), 0.5 / 86400);  // refusal changes nothing
  EXPECT_EQ(Present(700, 2, Tue(17, 0)), crAccepted);
  EXPECT_EQ(CardInt(700, "in_lot"), 2);
  EXPECT_EQ(Present(700, 2, Tue(17, 1)), crPassback);
  EXPECT_EQ(Present(700, 4, Tue(17, 2)), crAccepted);  // direction 0 clears in_lot
  EXPECT_EQ(CardInt(700, "in_lot"), 0);
  EXPECT_EQ(Present(700, 2, Tue(17, 3)), crAccepted);
}

TEST_P(Passback, ResetTimeCountsWholeMinutes) {
  SetSettings("stup_pbrst = 30");
  AddCard(701, 1);
  EXPECT_EQ(Present(701, 1, Tue(8, 0, 0)), crAccepted);
  EXPECT_EQ(Present(701, 1, Tue(8, 29, 59)), crPassback);  // m = 29
  EXPECT_EQ(Present(701, 1, Tue(8, 30, 0)), crAccepted);
  EXPECT_NEAR(CardDate(701, "trans_dt"), Tue(8, 30), 0.5 / 86400);
}

TEST_P(Passback, IgnoringTypesAndDirection3NeverRefuse) {
  AddCard(702, 8, "in_lot = 1");
  EXPECT_EQ(Present(702, 1, Tue(8, 0)), crAccepted);
  EXPECT_EQ(Present(702, 1, Tue(8, 1)), crAccepted);

  // Direction 3: no passback test, in_lot, group count and uses left alone.
  AddCard(703, 5, "in_lot = 1, group_id = 1, debit_left = 4, start_date = '2024-01-01 00:00:00'");
  Exec("UPDATE card_pool SET cur_inlot = 3 WHERE id = 1");
  EXPECT_EQ(Present(703, 3, Tue(8, 0)), crAccepted);
  EXPECT_EQ(Present(703, 3, Tue(8, 30)), crAccepted);
  EXPECT_EQ(CardInt(703, "in_lot"), 1);
  EXPECT_EQ(CardInt(703, "debit_left"), 4);
  EXPECT_EQ(QInt("SELECT cur_inlot AS v FROM card_pool WHERE id = 1"), 3);
  EXPECT_NEAR(CardDate(703, "trans_dt"), Tue(8, 30), 0.5 / 86400);
}

TEST_P(Passback, SoftPassbackRunsEveryUpdate) {
  SetSettings("soft_pb = 1");
  AddCard(704, 5,
          "in_lot = 1, group_id = 1, debit_left = 4, start_date = '2024-01-01 00:00:00', "
          "debit_date = '2024-03-01 00:00:00'");
  EXPECT_EQ(Present(704, 1, Tue(8, 0)), crPassback | crSoftFlag);
  EXPECT_EQ(QInt("SELECT cur_inlot AS v FROM card_pool WHERE id = 1"), 1);
  EXPECT_EQ(CardInt(704, "debit_left"), 3);  // debited like an accepted pass
  EXPECT_NEAR(CardDate(704, "debit_date"), Tue(8, 0), 0.5 / 86400);
  EXPECT_NEAR(CardDate(704, "trans_dt"), Tue(8, 0), 0.5 / 86400);
}

using Group = SiteTest;

TEST_P(Group, FullGroupRefusesEntriesOnly) {
  Exec("UPDATE card_pool SET cur_inlot = 10 WHERE id = 1");
  AddCard(710, 1, "group_id = 1");
  EXPECT_EQ(Present(710, 1, Tue(8, 0)), crGroupMax);
  EXPECT_EQ(QInt("SELECT cur_inlot AS v FROM card_pool WHERE id = 1"), 10);
  EXPECT_EQ(CardInt(710, "in_lot"), 0);
  EXPECT_EQ(CardDate(710, "trans_dt"), 0);
  EXPECT_EQ(Present(710, 2, Tue(8, 1)), crAccepted);  // an exit is never held back
  EXPECT_EQ(QInt("SELECT cur_inlot AS v FROM card_pool WHERE id = 1"), 9);
  EXPECT_EQ(Present(710, 1, Tue(8, 2)), crAccepted);
  EXPECT_EQ(QInt("SELECT cur_inlot AS v FROM card_pool WHERE id = 1"), 10);
}

TEST_P(Group, SoftGroupLetsThroughWithoutCountingAndSkipsLaterChecks) {
  SetSettings("soft_group = 1");
  Exec("UPDATE card_pool SET cur_inlot = 10 WHERE id = 1");
  // Would fail passback (reset 0, in_lot 1) and pathway (no hop 12 -> 11).
  AddCard(711, 9, "group_id = 1, in_lot = 1, in_gate = 12");
  Exec("UPDATE card_type SET ignore_passback = 0 WHERE id = 9");
  EXPECT_EQ(Present(711, 1, Tue(8, 0)), crGroupMax | crSoftFlag);
  EXPECT_EQ(QInt("SELECT cur_inlot AS v FROM card_pool WHERE id = 1"), 10);
  EXPECT_EQ(CardInt(711, "in_lot"), 1);
  EXPECT_NEAR(CardDate(711, "trans_dt"), Tue(8, 0), 0.5 / 86400);
  EXPECT_EQ(CardInt(711, "in_gate"), 11);  // a hop of pathway 1 starts at 11
}

TEST_P(Group, ExitAtZeroStaysAtZero) {
  AddCard(712, 1, "group_id = 1");
  EXPECT_EQ(Present(712, 2, Tue(8, 0)), crAccepted);
  EXPECT_EQ(QInt("SELECT cur_inlot AS v FROM card_pool WHERE id = 1"), 0);
  EXPECT_EQ(Present(712, 4, Tue(8, 1)), crAccepted);  // direction 0: no change
  EXPECT_EQ(QInt("SELECT cur_inlot AS v FROM card_pool WHERE id = 1"), 0);
}

TEST_P(Group, UnknownGroupHasRoomAndIsNotCounted) {
  AddCard(713, 1, "group_id = 7");
  EXPECT_EQ(Present(713, 1, Tue(8, 0)), crAccepted);
  EXPECT_EQ(QInt("SELECT COUNT(*) AS v FROM card_pool"), 1);
}

using Pathway = SiteTest;

TEST_P(Pathway, HopsWithinTheirLimitsMoveTheCardAlong) {
  AddCard(720, 9);
  EXPECT_EQ(Present(720, 1, Tue(8, 0)), crAccepted);  // in_gate -1: free
  EXPECT_EQ(CardInt(720, "in_gate"), 11);
  EXPECT_EQ(Present(720, 6, Tue(8, 5, 59)), crAccepted);  // 11 -> 16, m = 5
  EXPECT_EQ(CardInt(720, "in_gate"), 16);
  EXPECT_EQ(Present(720, 2, Tue(8, 6, 50)), crAccepted);  // 16 -> 12, limit 0, same minute
  EXPECT_EQ(CardInt(720, "in_gate"), -1);                 // no hop starts at 12
  EXPECT_EQ(Present(720, 4, Tue(9, 0)), crAccepted);      // off the pathway: free
  const std::string log = LogText();
  EXPECT_NE(log.find("Card#: "), std::string::npos);
  EXPECT_NE(log.find("- pathway_id ( > 0) 1  /  in_gate (<> -1) 11  /  no_path (<> 0) 0"),
            std::string::npos);
  EXPECT_NE(log.find("Pathway Time OK - Minutes: 5, Limit: 5"), std::string::npos);
  EXPECT_NE(log.find("Pathway Time OK - Minutes: 0, Limit: 0"), std::string::npos);
}

TEST_P(Pathway, LateHopAndMissingHopAreRefused) {
  AddCard(721, 9);
  EXPECT_EQ(Present(721, 1, Tue(8, 0)), crAccepted);
  EXPECT_EQ(Present(721, 6, Tue(8, 6)), crNotInPath);
  EXPECT_EQ(CardInt(721, "in_gate"), 11);  // a refusal leaves the position
  EXPECT_EQ(Present(721, 2, Tue(8, 6)), crNotInPath);
  const std::string log = LogText();
  EXPECT_NE(log.find("Pathway Time OUT - Minutes: 6, Limit: 5"), std::string::npos);
  EXPECT_NE(log.find("Pathway 1 does NOT have path for 11 to 12!"), std::string::npos);

  AddCard(722, 9);
  EXPECT_EQ(Present(722, 6, Tue(9, 0)), crAccepted);
  EXPECT_EQ(Present(722, 2, Tue(9, 1)), crNotInPath);  // limit 0, next minute
}

TEST_P(Pathway, NoPathDeviceSkipsTheCheckButMovesThePosition) {
  AddCard(723, 9, "in_gate = 16, trans_dt = '2024-03-12 07:00:00'");
  EXPECT_EQ(Present(723, 5, Tue(8, 0)), crAccepted);  // no hop 16 -> 15, but no_path
  EXPECT_EQ(CardInt(723, "in_gate"), -1);
  // The check is not made for types without a pathway either.
  AddCard(724, 1, "in_gate = 16");
  EXPECT_EQ(Present(724, 2, Tue(8, 0)), crAccepted);
  EXPECT_EQ(CardInt(724, "in_gate"), 16);  // nor is the position moved
}

INSTANTIATE_TEST_SUITE_P(Db, Passback, ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         BackendName);
INSTANTIATE_TEST_SUITE_P(Db, Group, ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         BackendName);
INSTANTIATE_TEST_SUITE_P(Db, Pathway, ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         BackendName);

}  // namespace
}  // namespace orlo::test
