// TOrloCard on a SQLite site: start-up and shut-down, the retry interval, the
// restart request, and the tick's gate jobs against loops on the simulator.
#include "service/orlocard.h"

#include "bus/card.h"
#include "loop/loop.h"
#include "loop/looppeer.h"
#include "servicefixture.h"

namespace orlo::test {
namespace {

using StartUpTest = ServiceFixture;

TEST_F(StartUpTest, TakesThisComputersLoopsInOrderThenThePoePofLoops) {
  AddLoop(4, "gatepc", false);
  AddLoop(5, "otherpc", false);
  AddLoop(9, "gatepc", false);
  AddLoop(12, "POE/POF", false);
  ASSERT_TRUE(StartUp()) << ServiceLog();
  EXPECT_EQ(LoopIds(), (std::vector<int>{4, 9, 12}));
  OnService([](TOrloCard& s) {
    EXPECT_EQ(s.LoopIdList, "(4,9)");
    EXPECT_TRUE(s.Started);
  });
  EXPECT_EQ(ServiceLogCount("Loops FOUND for computer name \"gatepc\""), 1);
  EXPECT_EQ(ServiceLogCount("Started!"), 1);
  // The empty settings table got its row.
  EXPECT_EQ(CountRows("settings"), 1);
  EXPECT_EQ(QueryInt("SELECT reset_tolvsql FROM settings"), 0);

  OnService([](TOrloCard& s) {
    s.ShutDown();
    EXPECT_TRUE(s.Loops.empty());
    EXPECT_FALSE(s.MessLog || s.DB || s.DBConn || s.Mail);
    EXPECT_FALSE(s.Started);
    EXPECT_FALSE(s.timMain.Enabled());
    s.ShutDown();  // a second time changes nothing
  });
  EXPECT_EQ(ServiceLogCount("ShutDown..."), 1);
  EXPECT_EQ(ServiceLogCount("End Log"), 1);
}

TEST_F(StartUpTest, OnlyAPoePofLoopStartsWithAnEmptyOwnList) {
  AddLoop(12, "poe/pof", false);
  ASSERT_TRUE(StartUp());
  EXPECT_EQ(LoopIds(), (std::vector<int>{12}));
  OnService([](TOrloCard& s) { EXPECT_EQ(s.LoopIdList, ""); });
}

TEST_F(StartUpTest, NoLoopFailsAndReleasesEverything) {
  AddLoop(5, "otherpc", false);
  EXPECT_FALSE(StartUp());
  OnService([](TOrloCard& s) {
    EXPECT_FALSE(s.Started);
    EXPECT_FALSE(s.MessLog || s.DB || s.DBConn || s.Mail);
    EXPECT_FALSE(s.timMain.Enabled());
  });
  EXPECT_EQ(ServiceLogCount("No loops found for this computer name \"gatepc\""), 1);
  EXPECT_EQ(ServiceLogCount("ShutDown..."), 1);
}

TEST_F(StartUpTest, ExistingSettingsRowIsClearedNeverDoubled) {
  AddLoop(12, "POE/POF", false);
  Exec("INSERT INTO settings (reset_tolvsql) VALUES (1)");
  ASSERT_TRUE(StartUp());
  OnService([](TOrloCard& s) { s.ShutDown(); });
  EXPECT_EQ(CountRows("settings"), 1);
  EXPECT_EQ(QueryInt("SELECT reset_tolvsql FROM settings"), 0);
  ASSERT_TRUE(StartUp());  // the row already holds 0: still one row
  EXPECT_EQ(CountRows("settings"), 1);
}

TEST_F(StartUpTest, AComputerNameWithQuotesCannotChangeTheStatement) {
  WriteRegistry("GATE'PC\\1' OR name<>'");
  AddLoop(5, "otherpc", false);
  AddLoop(7, "gate''pc\\1'' or name<>''", false);  // named exactly like the computer
  ASSERT_TRUE(StartUp());
  EXPECT_EQ(LoopIds(), (std::vector<int>{7}));
}

TEST_F(StartUpTest, AFailedStartIsRetriedOnlyAfterTwentyOneSeconds) {
  MakeService();
  const TDateTime t0 = At(2026, 12, 8, 10, 0, 0);
  SetTestNow(t0);
  OnService([](TOrloCard& s) {
    s.LastStartAttempt = Now() - 21.0 / kSecondsPerDay;
    s.tmrRestartTimer();  // no loop: fails
    s.tmrRestart.SetEnabled(false);
    EXPECT_FALSE(s.Started);
  });
  EXPECT_EQ(ServiceLogCount("Starting server, Reading Registry"), 1);
  SetTestNow(t0 + 20.9 / kSecondsPerDay);
  OnService([](TOrloCard& s) {
    s.tmrRestartTimer();
    s.tmrRestart.SetEnabled(false);
  });
  EXPECT_EQ(ServiceLogCount("Starting server, Reading Registry"), 1);
  AddLoop(12, "POE/POF", false);
  SetTestNow(t0 + 21.0 / kSecondsPerDay);
  OnService([](TOrloCard& s) {
    s.tmrRestartTimer();
    s.tmrRestart.SetEnabled(false);
    s.timMain.SetEnabled(false);
    EXPECT_TRUE(s.Started);
  });
  EXPECT_EQ(ServiceLogCount("Starting server, Reading Registry"), 2);
}

TEST_F(StartUpTest, RestartRequestShutsDownWithinATickAndTheNextRestartTickStartsAgain) {
  AddLoop(12, "POE/POF", false);
  ASSERT_TRUE(StartUp());
  Exec("UPDATE settings SET reset_tolvsql = 1");
  OnService([](TOrloCard& s) {
    s.timMain.SetEnabled(true);
    s.timMainTimer();
    EXPECT_FALSE(s.Started);
    EXPECT_TRUE(s.Loops.empty());
    EXPECT_FALSE(s.timMain.Enabled()) << "stays off until the next start-up";
    s.tmrRestartTimer();
    s.tmrRestart.SetEnabled(false);
    s.timMain.SetEnabled(false);
    EXPECT_TRUE(s.Started);
  });
  EXPECT_EQ(LoopIds(), (std::vector<int>{12}));
  EXPECT_EQ(QueryInt("SELECT reset_tolvsql FROM settings"), 0);
}

// A loop of this computer on COM1 (the simulator) with gates at 1 and 2.
class GateTest : public ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    if (HasFatalFailure()) return;
    StartSim({1, 2});
    AddLoop(4, "gatepc", true, 1);
    gate1_ = AddDevice(4, 1);
    gate2_ = AddDevice(4, 2, ", open_pulse, remote_user, remote_ip", ", 3.7, 'ops', '10.0.0.5'");
    ASSERT_TRUE(StartUp()) << ServiceLog();
  }
  void Schedule(int device, int day, const std::string& start, const std::string& end) {
    Exec("INSERT INTO gateoc (device_id, dayofweek, start_time, end_time) VALUES (" +
         std::to_string(device) + ", " + std::to_string(day) + ", '" + start + "', '" + end + "')");
  }
  void Gate(TDateTime now) {
    OnService([&](TOrloCard& s) { s.GateControl(now); });
  }
  bool Held(int address) {
    bool held = false;
    OnService([&](TOrloCard& s) { held = TLoopTestPeer(*s.Loops.at(0)).Card()->GetGate(address); });
    return held;
  }
  int GateUp(int device) {
    return QueryInt("SELECT gate_up FROM device WHERE id = " + std::to_string(device));
  }
  int ManualOpens() { return CountRows("trans", "error_code = 999"); }

  const TDateTime monday_ = EncodeDate(2026, 12, 7);
  int gate1_ = 0;
  int gate2_ = 0;
};

TEST_F(GateTest, MorningScheduleHoldsTheGateAndGateUpFollows) {
  Schedule(gate1_, 1, "07:00:00", "09:00:00");
  Gate(monday_ + EncodeTime(6, 59, 0, 0));
  EXPECT_FALSE(Held(1));
  EXPECT_EQ(GateUp(gate1_), 0);
  Gate(monday_ + EncodeTime(7, 0, 0, 200));
  EXPECT_TRUE(Held(1));
  EXPECT_EQ(GateUp(gate1_), 1);
  EXPECT_FALSE(Held(2));
  Gate(monday_ + EncodeTime(9, 0, 0, 400));
  EXPECT_FALSE(Held(1));
  EXPECT_EQ(GateUp(gate1_), 0);
  // The heartbeat of this computer's loops.
  EXPECT_NE(QueryString("SELECT lastupdate FROM " + Db().QuoteTable("loop") + " WHERE id = 4"), "");
}

TEST_F(GateTest, OnAHolidayOfTableTwoOnlyDayNineRowsApply) {
  Exec("INSERT INTO holiday (holi_day, tab_num) VALUES ('2026-12-07', 2)");
  Schedule(gate1_, 1, "07:00:00", "09:00:00");
  Schedule(gate2_, 9, "07:00:00", "09:00:00");
  Gate(monday_ + EncodeTime(7, 30, 0, 0));
  EXPECT_FALSE(Held(1));
  EXPECT_TRUE(Held(2));
  EXPECT_EQ(GateUp(gate2_), 1);
}

TEST_F(GateTest, RemoteOpenClearsTheFlagOpensOnceAndRecordsIt) {
  Exec("UPDATE device SET open_flag = 1 WHERE id = " + std::to_string(gate2_));
  OnService([&](TOrloCard& s) { s.CheckOpenFlags(monday_ + EncodeTime(12, 0, 0, 0)); });
  EXPECT_EQ(QueryInt("SELECT open_flag FROM device WHERE id = " + std::to_string(gate2_)), 0);
  EXPECT_EQ(ManualOpens(), 1);
  EXPECT_EQ(QueryInt("SELECT device_id FROM trans WHERE error_code = 999"), gate2_);
  EXPECT_EQ(QueryString("SELECT last_name FROM trans WHERE error_code = 999"), "IP:10.0.0.5");
  EXPECT_EQ(ServiceLogCount("Manual open Loop Id 4 address 2"), 1);
  EXPECT_TRUE(WaitUntil([&] {
    for (const auto& f : sim_->Frames())
      if (f.frame.address == 2 && f.frame.letter == 'G') return true;
    return false;
  })) << "the gate command reaches the line";

  // No flag: the check does nothing.
  OnService([&](TOrloCard& s) { s.CheckOpenFlags(monday_ + EncodeTime(12, 0, 1, 0)); });
  EXPECT_EQ(ManualOpens(), 1);
}

TEST_F(GateTest, RemoteOpenOfAHeldOpenGateOnlyClearsTheFlag) {
  Exec("UPDATE device SET perm_open = 1, open_flag = 1 WHERE id = " + std::to_string(gate1_));
  Gate(monday_ + EncodeTime(12, 0, 0, 0));
  EXPECT_TRUE(Held(1));
  EXPECT_EQ(GateUp(gate1_), 1);
  EXPECT_EQ(QueryInt("SELECT open_flag FROM device WHERE id = " + std::to_string(gate1_)), 0);
  EXPECT_EQ(ManualOpens(), 0);
}

TEST_F(GateTest, MinuteJobsRunInTheFirstTickOfAMinuteAndASkippedMinuteIsLost) {
  Exec(
      "INSERT INTO lot (id, name, lot_count, auto_r_count, auto_r_time, reset_amt) VALUES "
      "(1, 'North', 40, 1, '2024-01-01 07:00:00', 0)");
  Exec(
      "INSERT INTO lot (id, name, lot_count, auto_r_count, auto_r_time, reset_amt) VALUES "
      "(2, 'South', 30, 1, '2024-01-01 07:02:00', 0)");
  auto tick = [&](TDateTime when) {
    SetTestNow(when);
    OnService([](TOrloCard& s) { s.MainTick(); });
  };
  auto count = [&](int lot) {
    return QueryInt("SELECT lot_count FROM lot WHERE id = " + std::to_string(lot));
  };
  // LastMinute starts at 0: a tick in minute 0 runs no minute jobs.
  tick(monday_ + EncodeTime(7, 0, 30, 0));
  EXPECT_EQ(count(1), 40);
  // Minute 1 runs them; a tick that ends after minute 2 skips it.
  tick(monday_ + EncodeTime(7, 1, 59, 0));
  tick(monday_ + EncodeTime(7, 3, 5, 0));
  EXPECT_EQ(count(2), 30);
  OnService([](TOrloCard& s) { EXPECT_EQ(s.LastMinute, 3); });
}

}  // namespace
}  // namespace orlo::test
