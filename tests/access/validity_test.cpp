// Access levels by day kind, time window and device; the validity period with
// its previous period and first-use start; count-limited cards and the debit.
#include "site.h"

namespace orlo::test {
namespace {

class AccessLevel : public SiteTest {
 protected:
  // The answer, which must be the same through a cache that keeps rows (it
  // reads a device's range links all at once).
  bool Allows(int level, TDateTime t, int device) {
    const bool live = AccessLevelAllows(*odbc_, level, t, device);
    EXPECT_EQ(AccessLevelAllows(*odbc_, level, t, device, &kept_), live)
        << level << " " << t << " " << device;
    return live;
  }
  TRowCache kept_{std::chrono::hours(1)};
};

TEST_P(AccessLevel, WindowAcrossMidnightHasInclusiveEnds) {
  for (auto [t, allowed] : {std::pair{Tue(23, 30), true},
                            {Tue(5, 59), true},
                            {Tue(6, 0), true},
                            {Tue(22, 0), true},
                            {Tue(6, 1), false},
                            {Tue(21, 59), false},
                            {Tue(6, 0, 59), false}})
    EXPECT_EQ(Allows(2, t, 11), allowed) << t;
  EXPECT_FALSE(Allows(2, Tue(23, 30), 13));   // not linked to 13
  EXPECT_FALSE(Allows(99, Tue(23, 30), 11));  // a level without ranges
}

TEST_P(AccessLevel, WholeDayRanges) {
  for (TDateTime t : {Tue(0, 0), Tue(12, 0), Tue(23, 59, 59)}) {
    EXPECT_TRUE(Allows(1, t, 14)) << t;  // 00:00-00:00
    EXPECT_TRUE(Allows(5, t, 0)) << t;   // 08:00-08:00
    EXPECT_TRUE(Allows(6, t, 11)) << t;  // NULL times
  }
  // A range with its day set but no link to the device admits nothing there.
  EXPECT_FALSE(Allows(4, Tue(12, 0), 11));
  EXPECT_TRUE(Allows(4, Tue(12, 0), 12));
}

TEST_P(AccessLevel, HolidaysReplaceTheirWeekday) {
  const TDateTime xmas = At(2024, 12, 25, 12, 0), boxing = At(2024, 12, 26, 12, 0),
                  ordinary = At(2024, 12, 27, 12, 0);
  EXPECT_EQ(HolidayTab(*odbc_, xmas), 1);
  EXPECT_EQ(HolidayTab(*odbc_, boxing), 2);
  EXPECT_EQ(HolidayTab(*odbc_, ordinary), 0);
  EXPECT_EQ(DayColumnIndex(*odbc_, xmas), 8);
  EXPECT_EQ(DayColumnIndex(*odbc_, boxing), 9);
  EXPECT_EQ(DayColumnIndex(*odbc_, ordinary), 6);    // a Friday
  EXPECT_EQ(DayColumnIndex(*odbc_, Tue(12, 0)), 3);  // a Tuesday
  Exec("INSERT INTO holiday (holi_day, tab_num) VALUES ('2024-12-31', -4)");
  EXPECT_EQ(DayColumnIndex(*odbc_, At(2024, 12, 31, 1, 0)), 8);

  // Level 3: weekdays at 11, table 1 at 12, table 2 at 13.
  EXPECT_FALSE(Allows(3, xmas, 11));
  EXPECT_TRUE(Allows(3, xmas, 12));
  EXPECT_FALSE(Allows(3, xmas, 13));
  EXPECT_FALSE(Allows(3, boxing, 11));
  EXPECT_FALSE(Allows(3, boxing, 12));
  EXPECT_TRUE(Allows(3, boxing, 13));
  EXPECT_TRUE(Allows(3, ordinary, 11));
  EXPECT_FALSE(Allows(3, ordinary, 12));

  AddCard(800, 11);
  EXPECT_EQ(Present(800, 2, xmas), crAccepted);
  EXPECT_EQ(Present(800, 1, xmas), crNoValidAccess);
}

using Validity = SiteTest;

TEST_P(Validity, PeriodEndsAreInclusiveAndMidnightEndsEarly) {
  AddCard(810, 2, "start_dt = '2024-03-01 00:00:00', exp_iry = '2024-03-12 00:00:00'");
  EXPECT_EQ(Present(810, 1, Tue(10, 0)), crExpired);
  AddCard(811, 2, "start_dt = '2024-03-12 10:00:00', exp_iry = '2024-03-12 23:59:59'");
  EXPECT_EQ(Present(811, 1, Tue(9, 59, 59)), crExpired);
  EXPECT_EQ(Present(811, 1, Tue(10, 0)), crAccepted);
  EXPECT_EQ(Present(811, 2, Tue(23, 59, 59)), crAccepted);
}

TEST_P(Validity, BeforeItsStartTheCardKeepsItsPreviousPeriod) {
  AddCard(812, 2,
          "start_dt = '2024-04-01 00:00:00', exp_iry = '2024-04-30 23:59:59', "
          "prev_strt = '2024-03-01 00:00:00', prev_exp = '2024-03-31 23:59:59'");
  EXPECT_EQ(Present(812, 1, Tue(10, 0)), crAccepted);
  AddCard(813, 2,
          "start_dt = '2024-04-01 00:00:00', exp_iry = '2024-04-30 23:59:59', "
          "prev_strt = '2024-02-01 00:00:00', prev_exp = '2024-02-29 23:59:59'");
  EXPECT_EQ(Present(813, 1, Tue(10, 0)), crExpired);
}

TEST_P(Validity, FirstUseStartsAnOwnPeriodThatStaysAfterALaterRefusal) {
  AddCard(814, 3, "in_lot = 1");  // entry refused for passback after the start
  EXPECT_EQ(Present(814, 1, Tue(10, 0)), crPassback);
  EXPECT_EQ(CardInt(814, "date_set"), 1);
  EXPECT_NEAR(CardDate(814, "start_dt"), Tue(10, 0), 0.5 / 86400);
  EXPECT_NEAR(CardDate(814, "exp_iry"), Tue(10, 0) + 30, 0.5 / 86400);
  EXPECT_EQ(CardInt(814, "in_lot"), 1);
  EXPECT_EQ(Present(814, 2, Tue(10, 0) + 30), crAccepted);  // the last moment
  EXPECT_EQ(Present(814, 1, Tue(10, 1) + 30), crExpired);
  EXPECT_EQ(QInt("SELECT date_set AS v FROM card_type WHERE id = 3"), 0);
}

TEST_P(Validity, FirstUseOfASharedPeriodServesEveryCardOfTheType) {
  AddCard(815, 4);
  AddCard(816, 4);
  EXPECT_EQ(Present(815, 1, Tue(10, 0)), crAccepted);
  EXPECT_EQ(QInt("SELECT date_set AS v FROM card_type WHERE id = 4"), 1);
  EXPECT_NEAR(QDate("SELECT exp_iry AS v FROM card_type WHERE id = 4"), Tue(10, 0) + 30,
              0.5 / 86400);
  EXPECT_EQ(CardInt(815, "date_set"), 0);
  EXPECT_EQ(Present(816, 1, Tue(10, 0) + 29), crAccepted);
  EXPECT_EQ(Present(815, 2, Tue(10, 1) + 30), crExpired);
  EXPECT_EQ(Present(816, 2, Tue(10, 1) + 30), crExpired);
}

// The reference schema keeps card.card_type equal to type_id where the site
// leaves it 0 (and while the two agree), so the first use of a shared period
// reaches the type row: for a card added without it, and for a card whose
// type was changed afterwards.
TEST_P(Validity, SharedPeriodStartsForCardsWhoseCardTypeTheSiteNeverSet) {
  Exec(
      "INSERT INTO card_type (id, name, access_level_id, first_use_flg, global_expiry, days) "
      "VALUES (20, 'Week shared', 1, 1, 1, 7)");
  Exec("INSERT INTO card (number, type_id, first_name) VALUES (817, 4, 'Ann')");
  Exec("INSERT INTO card (number, type_id, first_name) VALUES (818, 2, 'Bob')");
  Exec("UPDATE card SET type_id = 20 WHERE number = 818");

  EXPECT_EQ(Present(817, 1, Tue(10, 0)), crAccepted);
  EXPECT_EQ(QInt("SELECT date_set AS v FROM card_type WHERE id = 4"), 1);
  EXPECT_NEAR(QDate("SELECT exp_iry AS v FROM card_type WHERE id = 4"), Tue(10, 0) + 30,
              0.5 / 86400);
  EXPECT_EQ(Present(818, 1, Tue(11, 0)), crAccepted);
  EXPECT_EQ(QInt("SELECT date_set AS v FROM card_type WHERE id = 20"), 1);
  EXPECT_EQ(QInt("SELECT date_set AS v FROM card_type WHERE id = 2"), 0);
  EXPECT_EQ(Present(818, 2, Tue(11, 1) + 7), crExpired);
  EXPECT_EQ(CardInt(817, "date_set") + CardInt(818, "date_set"), 0);
}

using Debit = SiteTest;

TEST_P(Debit, UseIsTakenAndARepeatInTheWindowIsFree) {
  AddCard(820, 5, "debit_left = 3, start_date = '2024-01-01 00:00:00'");
  EXPECT_EQ(Present(820, 1, Tue(10, 0)), crAccepted);
  EXPECT_EQ(CardInt(820, "debit_left"), 2);
  EXPECT_NEAR(CardDate(820, "debit_date"), Tue(10, 0), 0.5 / 86400);
  EXPECT_EQ(Present(820, 2, Tue(10, 5)), crAccepted);
  EXPECT_EQ(CardInt(820, "debit_left"), 2);
  EXPECT_NEAR(CardDate(820, "debit_date"), Tue(10, 0), 0.5 / 86400);  // window from the debit
  EXPECT_EQ(Present(820, 1, Tue(10, 10)), crAccepted);                // the window's last moment
  EXPECT_EQ(CardInt(820, "debit_left"), 2);
  EXPECT_EQ(Present(820, 2, Tue(10, 10, 1)), crAccepted);
  EXPECT_EQ(CardInt(820, "debit_left"), 1);
  EXPECT_NEAR(CardDate(820, "debit_date"), Tue(10, 10, 1), 0.5 / 86400);
}

TEST_P(Debit, NoUsesLeftIsValidOnlyInsideTheWindow) {
  AddCard(821, 5, "debit_left = 0, debit_date = '2024-03-12 10:00:00'");
  EXPECT_EQ(Present(821, 4, Tue(10, 9, 59)), crAccepted);
  EXPECT_EQ(Present(821, 4, Tue(10, 10)), crExpired);
  EXPECT_EQ(CardInt(821, "debit_left"), 0);
}

TEST_P(Debit, MonthlyRefillWritesTheLastSecondOfTheMonth) {
  AddCard(822, 6,
          "debit_left = 0, debit_reset_date = '2024-02-29 23:59:59', "
          "start_date = '2024-01-01 00:00:00'");
  EXPECT_EQ(Present(822, 1, At(2024, 3, 5, 8, 0)), crAccepted);
  EXPECT_EQ(CardInt(822, "debit_left"), 19);
  EXPECT_NEAR(CardDate(822, "debit_reset_date"), At(2024, 3, 31, 23, 59, 59), 0.5 / 86400);
  EXPECT_NEAR(CardDate(822, "debit_date"), At(2024, 3, 5, 8, 0), 0.5 / 86400);
  EXPECT_EQ(Present(822, 2, At(2024, 3, 5, 9, 0)), crAccepted);
  EXPECT_EQ(CardInt(822, "debit_left"), 18);
  // At a device without debit the reset type still follows every pass.
  EXPECT_EQ(Present(822, 5, At(2024, 3, 5, 10, 0)), crAccepted);
  EXPECT_EQ(CardInt(822, "debit_left"), 18);
  EXPECT_NEAR(CardDate(822, "debit_date"), At(2024, 3, 5, 10, 0), 0.5 / 86400);
}

TEST_P(Debit, FirstUseWithRefillIsRefusedOnceThenRefilled) {
  AddCard(823, 7);
  EXPECT_EQ(Present(823, 1, Tue(10, 0)), crExpired);
  EXPECT_EQ(CardInt(823, "date_set"), 1);
  EXPECT_EQ(CardInt(823, "debit_left"), 0);
  EXPECT_EQ(Present(823, 1, Tue(10, 1)), crAccepted);
  EXPECT_EQ(CardInt(823, "debit_left"), 4);  // uses 5, the refilling pass takes one
  EXPECT_NEAR(CardDate(823, "debit_reset_date"), At(2024, 3, 31, 23, 59, 59), 0.5 / 86400);
}

TEST_P(Debit, BeforeItsStartACountedCardUsesThePreviousStart) {
  AddCard(824, 15,
          "debit_left = 2, start_dt = '2024-04-01 00:00:00', prev_strt = '2024-03-12 10:00:00'");
  EXPECT_EQ(Present(824, 1, Tue(10, 0)), crExpired);  // not later than the previous start
  EXPECT_EQ(Present(824, 1, Tue(10, 1)), crAccepted);
  EXPECT_EQ(CardInt(824, "debit_left"), 1);
}

TEST_P(Debit, OnlyDebitFlagKeepsTheDebitDateAwayFromDevicesWithoutDebit) {
  AddCard(825, 5, "debit_left = 3, debit_date = '2024-03-01 00:00:00'");
  EXPECT_EQ(Present(825, 5, Tue(10, 0)), crAccepted);  // Entry B: no debit
  EXPECT_EQ(CardInt(825, "debit_left"), 3);
  EXPECT_NEAR(CardDate(825, "debit_date"), At(2024, 3, 1, 0, 0), 0.5 / 86400);
  // A type without any debit flag: debit_date follows every granted pass.
  AddCard(826, 1);
  EXPECT_EQ(Present(826, 5, Tue(10, 0)), crAccepted);
  EXPECT_NEAR(CardDate(826, "debit_date"), Tue(10, 0), 0.5 / 86400);
}

TEST_P(Debit, SharedPeriodTestsTheTypeRowAndCountsDownTheCardRow) {
  AddCard(827, 16, "debit_left = 0");
  EXPECT_EQ(Present(827, 1, Tue(10, 0)), crAccepted);  // the type row holds 5 uses
  EXPECT_EQ(CardInt(827, "debit_left"), -1);
  EXPECT_EQ(QInt("SELECT debit_left AS v FROM card_type WHERE id = 16"), 5);
}

TEST_P(Debit, RefusedPresentationsLeaveCountAndDateAlone) {
  AddCard(828, 5, "debit_left = 3, in_lot = 1, debit_date = '2024-03-01 00:00:00'");
  EXPECT_EQ(Present(828, 1, Tue(10, 0)), crPassback);
  EXPECT_EQ(CardInt(828, "debit_left"), 3);
  EXPECT_NEAR(CardDate(828, "debit_date"), At(2024, 3, 1, 0, 0), 0.5 / 86400);
  EXPECT_EQ(LastTrans().code, crPassback);
}

INSTANTIATE_TEST_SUITE_P(Db, AccessLevel, ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         BackendName);
INSTANTIATE_TEST_SUITE_P(Db, Validity, ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         BackendName);
INSTANTIATE_TEST_SUITE_P(Db, Debit, ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         BackendName);

}  // namespace
}  // namespace orlo::test
