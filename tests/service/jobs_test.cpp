// The maintenance jobs on a SQLite site database at chosen times: daily and
// immediate resets, lot count resets, the gate schedule test and the day
// numbers of the schedules.
#include "service/jobs.h"

#include "sitedb.h"

namespace orlo::test {
namespace {

class ResetTest : public SiteDbFixture {
 protected:
  void SetUp() override {
    SiteDbFixture::SetUp();
    Exec("INSERT INTO card (number, in_lot, in_gate) VALUES (1001, 1, 5)");
    Exec("INSERT INTO card (number, in_lot, in_gate) VALUES (1002, 1, 7)");
    Exec("INSERT INTO card_pool (id, name, max_inlot, cur_inlot) VALUES (1, 'Pool', 5, 3)");
  }
  void Settings(int autoReset, int group, int pathway, int now, int nowGroup,
                const std::string& resetTime = "2024-01-01 03:00:00") {
    Exec(
        "INSERT INTO settings (reset_tolvsql, auto_reset, auto_reset_group, auto_reset_pathway, "
        "reset_time, auto_now, auto_now_grp) VALUES (0, " +
        std::to_string(autoReset) + ", " + std::to_string(group) + ", " + std::to_string(pathway) +
        ", '" + resetTime + "', " + std::to_string(now) + ", " + std::to_string(nowGroup) + ")");
  }
  int InLot() { return QueryInt("SELECT SUM(in_lot) FROM card"); }
  int InGateReset() { return CountRows("card", "in_gate = -1"); }
  int PoolCount() { return QueryInt("SELECT cur_inlot FROM card_pool WHERE id = 1"); }
  int Lines(const std::string& text) {
    const std::string all = TestLogText();
    int n = 0;
    for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
    return n;
  }
};

TEST_F(ResetTest, DailyPassbackAndPathwayResetRunOnlyInTheirMinute) {
  Settings(1, 0, 1, 0, 0);
  AutoReset(Db(), testLog_.get(), At(2026, 12, 8, 2, 59, 59));
  AutoReset(Db(), testLog_.get(), At(2026, 12, 8, 3, 1, 0));
  EXPECT_EQ(InLot(), 2);
  EXPECT_EQ(InGateReset(), 0);
  EXPECT_EQ(Lines("Auto Reset:"), 0);

  AutoReset(Db(), testLog_.get(), At(2026, 12, 8, 3, 0, 0) + 0.4 / kSecondsPerDay);
  EXPECT_EQ(InLot(), 0);
  EXPECT_EQ(InGateReset(), 2);
  EXPECT_EQ(PoolCount(), 3) << "groups are not reset without their flag";
  EXPECT_EQ(Lines("Auto Reset: Passback Pathways \r\n") + Lines("Auto Reset: Passback Pathways \n"),
            1)
      << TestLogText();
}

TEST_F(ResetTest, ImmediateGroupResetRunsAtTheNextMinuteAndClearsItsFlag) {
  Settings(0, 0, 0, 0, 1);
  AutoReset(Db(), testLog_.get(), At(2026, 12, 8, 14, 26, 0));
  EXPECT_EQ(PoolCount(), 0);
  EXPECT_EQ(InLot(), 2) << "no card column is reset";
  EXPECT_EQ(QueryInt("SELECT auto_now_grp FROM settings"), 0);
  EXPECT_EQ(Lines("Auto Reset: Groups "), 1);

  // The flag is gone: the next minute does nothing.
  Exec("UPDATE card_pool SET cur_inlot = 4");
  AutoReset(Db(), testLog_.get(), At(2026, 12, 8, 14, 27, 0));
  EXPECT_EQ(PoolCount(), 4);
  EXPECT_EQ(Lines("Auto Reset:"), 1);
}

TEST_F(ResetTest, BothImmediateFlagsResetPassbackAndGroupsAndLogGroups) {
  // The pathway flag is set too: the immediate passback reset replaces its
  // SET list, so in_gate stays.
  Settings(0, 0, 1, 1, 1);
  AutoReset(Db(), testLog_.get(), At(2026, 12, 8, 10, 15, 0));
  EXPECT_EQ(InLot(), 0);
  EXPECT_EQ(InGateReset(), 0);
  EXPECT_EQ(PoolCount(), 0);
  EXPECT_EQ(QueryInt("SELECT auto_now FROM settings"), 0);
  EXPECT_EQ(QueryInt("SELECT auto_now_grp FROM settings"), 0);
  EXPECT_EQ(Lines("Auto Reset: Groups "), 1);
  EXPECT_EQ(Lines("Passback"), 0);
}

TEST_F(ResetTest, ImmediatePassbackAlsoResetsGroupsWhenTheirDailyFlagIsSet) {
  Settings(0, 1, 0, 1, 0);
  AutoReset(Db(), testLog_.get(), At(2026, 12, 8, 10, 15, 0));
  EXPECT_EQ(InLot(), 0);
  EXPECT_EQ(PoolCount(), 0);
  EXPECT_EQ(QueryInt("SELECT auto_now FROM settings"), 0);
  EXPECT_EQ(Lines("Auto Reset: Passback "), 1);
}

TEST_F(ResetTest, NoFlagsOrNoSettingsRowDoNothing) {
  AutoReset(Db(), testLog_.get(), At(2026, 12, 8, 3, 0, 0));  // no row yet
  Settings(0, 0, 0, 0, 0);
  AutoReset(Db(), testLog_.get(), At(2026, 12, 8, 3, 0, 0));
  EXPECT_EQ(InLot(), 2);
  EXPECT_EQ(PoolCount(), 3);
  EXPECT_EQ(Lines("Auto Reset:"), 0);
}

TEST_F(ResetTest, RestartRequestIsTheFirstSettingsRowsFlag) {
  EXPECT_FALSE(RestartRequested(Db()));
  Settings(0, 0, 0, 0, 0);
  EXPECT_FALSE(RestartRequested(Db()));
  Exec("UPDATE settings SET reset_tolvsql = 1");
  EXPECT_TRUE(RestartRequested(Db()));
}

class LotCountResetTest : public SiteDbFixture {
 protected:
  void SetUp() override {
    SiteDbFixture::SetUp();
    Exec(
        "INSERT INTO lot (id, name, lot_count, auto_r_count, auto_r_time, reset_amt, "
        "cnt_reset_flag, cnt_reset_time, cnt_reset_amt) VALUES "
        "(1, 'North', 40, 1, '2024-01-01 06:30:00', 5, 1, '2024-01-01 06:30:00', 2)");
    // Same times, flags off: never reset.
    Exec(
        "INSERT INTO lot (id, name, lot_count, auto_r_count, auto_r_time, reset_amt, "
        "cnt_reset_flag, cnt_reset_time, cnt_reset_amt) VALUES "
        "(2, 'South', 30, 0, '2024-01-01 06:30:00', 5, 0, '2024-01-01 06:30:00', 2)");
    for (int lot : {1, 2})
      Exec(
          "INSERT INTO device (loop_id, addr_ess, name, lot_id, count1, count2, count3, count4, "
          "count5, count_soft) VALUES (1, " +
          std::to_string(lot) + ", 'D', " + std::to_string(lot) + ", 7, 7, 7, 7, 7, 7)");
  }
  int Counters(int lot) {
    return QueryInt(
        "SELECT count1 + count2 + count3 + count4 + count5 + count_soft FROM device "
        "WHERE lot_id = " +
        std::to_string(lot));
  }
};

TEST_F(LotCountResetTest, ResetsTheFlaggedLotAndItsDevicesInTheirMinuteOnly) {
  LotCountReset(Db(), At(2026, 12, 8, 6, 29, 59));
  EXPECT_EQ(QueryInt("SELECT lot_count FROM lot WHERE id = 1"), 40);
  EXPECT_EQ(Counters(1), 42);

  LotCountReset(Db(), At(2026, 12, 8, 6, 30, 45));
  EXPECT_EQ(QueryInt("SELECT lot_count FROM lot WHERE id = 1"), 5);
  EXPECT_EQ(Counters(1), 12);  // six counters of 2
  EXPECT_EQ(QueryInt("SELECT lot_count FROM lot WHERE id = 2"), 30);
  EXPECT_EQ(Counters(2), 42);
}

class ScheduleTest : public SiteDbFixture {
 protected:
  void Row(int device, int day, const std::string& start, const std::string& end) {
    Exec("INSERT INTO gateoc (device_id, dayofweek, start_time, end_time) VALUES (" +
         std::to_string(device) + ", " + std::to_string(day) + ", '" + start + "', '" + end + "')");
  }
  bool Open(int device, int day, TDateTime now) {
    TODBCStatement q(Db());
    return ScheduledOpen(q, device, day, now);
  }
};

TEST_F(ScheduleTest, MorningWindowHoldsFromItsStartUntilPastItsEnd) {
  Row(5, 1, "07:00:00", "09:00:00");
  const TDateTime monday = EncodeDate(2026, 12, 7);
  EXPECT_FALSE(Open(5, 1, monday + EncodeTime(6, 59, 59, 0)));
  EXPECT_TRUE(Open(5, 1, monday + EncodeTime(7, 0, 0, 0)));
  EXPECT_TRUE(Open(5, 1, monday + EncodeTime(8, 59, 59, 0)));
  EXPECT_FALSE(Open(5, 1, monday + EncodeTime(9, 0, 0, 300)));
  EXPECT_FALSE(Open(5, 2, monday + EncodeTime(8, 0, 0, 0))) << "another day number";
  EXPECT_FALSE(Open(6, 1, monday + EncodeTime(8, 0, 0, 0))) << "another device";
}

TEST_F(ScheduleTest, OvernightWindowHoldsLateAndEarlyButNotAtNoon) {
  Row(5, 3, "22:00:00", "06:00:00");
  const TDateTime day = EncodeDate(2026, 12, 9);
  EXPECT_TRUE(Open(5, 3, day + EncodeTime(23, 30, 0, 0)));
  EXPECT_TRUE(Open(5, 3, day + EncodeTime(5, 0, 0, 0)));
  EXPECT_FALSE(Open(5, 3, day + EncodeTime(12, 0, 0, 0)));
}

TEST_F(ScheduleTest, EqualStartAndEndNeverHoldsButALaterRowStillCounts) {
  Row(5, 1, "08:00:00", "08:00:00");
  const TDateTime day = EncodeDate(2026, 12, 7);
  EXPECT_FALSE(Open(5, 1, day + EncodeTime(8, 0, 0, 0)));
  EXPECT_FALSE(Open(5, 1, day + EncodeTime(12, 0, 0, 0)));
  Row(5, 1, "11:00:00", "13:00:00");
  EXPECT_TRUE(Open(5, 1, day + EncodeTime(12, 0, 0, 0)));
}

TEST(GateDayNumberTest, WeekdaysCountFromMondayAndHolidaysTakeEightOrNine) {
  EXPECT_EQ(GateDayNumber(0, EncodeDate(2026, 12, 7)), 1);   // Monday
  EXPECT_EQ(GateDayNumber(0, EncodeDate(2026, 12, 12)), 6);  // Saturday
  EXPECT_EQ(GateDayNumber(0, EncodeDate(2026, 12, 13)), 7);  // Sunday
  EXPECT_EQ(GateDayNumber(2, EncodeDate(2026, 12, 7)), 9);
  EXPECT_EQ(GateDayNumber(1, EncodeDate(2026, 12, 7)), 8);
  EXPECT_EQ(GateDayNumber(-3, EncodeDate(2026, 12, 7)), 8);
}

}  // namespace
}  // namespace orlo::test
