// Device status events end to end: printer words, counter reports, alarm
// inputs, offline and power-up reports, and the soft counts of a "POE/POF"
// loop.
#include <string>

#include "bus/card.h"
#include "counters/input.h"
#include "db/sql.h"
#include "loopfixture.h"
#include "script.h"

namespace orlo::test {
namespace {

class LoopStatus : public LoopFixture {
 protected:
  // Loop 1 on COM5 with a reader at address 3 (device id returned).
  int StartReader(const TColumns& extra = {}) {
    AddLoop(1, "GATEPC", 5);
    const int id = AddDevice(1, 3, "Reader 3", extra);
    StartSim(5, {3});
    CreateLoop(1);
    EXPECT_TRUE(WaitLog("Device started.")) << LogText();
    return id;
  }
  // A printer report the device repeats until the bus acknowledges it, as a
  // real device does, so a reply that a loaded machine read too late is not lost.
  void PrinterReport(const std::string& payload) {
    sim::TReplyOptions options;
    options.untilAcknowledged = true;
    Sim().QueueReply(3, 'J', payload, options);
  }
  std::string Printer(const std::string& cols) {
    TODBCStatement q(Db());
    if (!q.ExecSQL("SELECT " + cols + " FROM device WHERE addr_ess = 3")) return "no row";
    std::string out;
    for (int i = 0; i < q.FieldCount(); ++i)
      out += (i ? " " : "") + q.FieldAsString(q.FieldName(i));
    return out;
  }
};
class LoopStatusP : public LoopFixtureP {};

TEST(LoopPrinterText, StatusTextsAndSummaryColumns) {
  EXPECT_EQ(TLoop::PrinterStatusText(6), "paper out;low paper;");
  EXPECT_EQ(TLoop::PrinterStatusText(1), "offline;");
  EXPECT_EQ(TLoop::PrinterStatusText(8), "Ok");
  EXPECT_EQ(TLoop::PrinterStatusText(0), "Ok");
  EXPECT_EQ(TLoop::PrinterStatusText(4096), "Ok");  // bits 12 and up have no text
  EXPECT_EQ(TLoop::PrinterStatusText(0xFFF),
            "offline;paper out;low paper;cover open;temp error;power error;paper jam;"
            "cutter error;ram error;eprom error;emitter error;");
  auto columns = [](int word) {
    TSql sql(dbkUnknown);
    TLoop::AddPrinterColumns(sql, word, true);
    std::string text;
    sql.BuildUpdate("UPDATE device", "", text);
    return text;
  };
  // A paper condition hides every other error in the summary columns.
  EXPECT_NE(columns(128 + 16 + 1).find("ptr_paper2=2, ptr_hdwr2=0, ptr_fail2=0, ptr_stat2=145"),
            std::string::npos)
      << columns(145);
  EXPECT_NE(columns(1 + 16).find("ptr_paper2=0, ptr_hdwr2=0, ptr_fail2=1"), std::string::npos);
  EXPECT_NE(columns(2048).find("ptr_paper2=0, ptr_hdwr2=1, ptr_fail2=0"), std::string::npos);
}

TEST_F(LoopStatus, PrinterWordsAreLoggedAndStored) {
  StartReader();
  PrinterReport("6,1");
  ASSERT_TRUE(WaitUntil([&] { return Printer("ptr_stat") == "6"; })) << LogText();
  EXPECT_EQ(Printer("ptr_paper, ptr_hdwr, ptr_fail, ptr_stat"), "3 0 0 6");
  EXPECT_EQ(Printer("ptr_paper2, ptr_hdwr2, ptr_fail2, ptr_stat2"), "0 0 1 1");
  EXPECT_GE(LogCount("PStat:6 1 Reader: 3 Date:"), 1) << LogText();
  EXPECT_GE(LogCount("... Status:paper out;low paper; 2nd: offline;"), 1);

  PrinterReport("16");
  ASSERT_TRUE(WaitUntil([&] { return Printer("ptr_stat") == "16"; }));
  EXPECT_EQ(Printer("ptr_paper, ptr_hdwr, ptr_fail, ptr_stat2"), "0 1 0 0");
  EXPECT_GE(LogCount("PStat:16 Reader: 3 Date:"), 1);
  EXPECT_GE(LogCount("... Status:cover open;"), 1);

  PrinterReport("8");
  ASSERT_TRUE(WaitUntil([&] { return Printer("ptr_stat") == "8"; }));
  EXPECT_EQ(Printer("ptr_paper, ptr_hdwr, ptr_fail"), "0 0 0");
  EXPECT_GE(LogCount("PStat:8 Reader: 3 Date:"), 1);
  EXPECT_GE(LogCount("... Status:Ok"), 1);

  // Not a number: the word is 0.
  PrinterReport("x1");
  ASSERT_TRUE(WaitUntil([&] { return Printer("ptr_stat") == "0"; }));
  OnMain([&] { EXPECT_EQ(Peer().EventLog().PrinterStatus(), 0); });
}

TEST_F(LoopStatus, CounterReportsCountLotsThroughTheirItems) {
  AddLot(1, 10, 100);
  AddLot(2, 0, 100);
  AddLot(3, 50, 100);
  Exec("INSERT INTO counters (id, name, lot_id) VALUES (1, 'In', 1)");
  Exec("INSERT INTO counters (id, name, lot_id) VALUES (2, 'Out', 2)");
  Exec("INSERT INTO counters (id, name, lot_id) VALUES (3, 'Noop', 3)");
  AddLoop(1, "GATEPC", 5);
  const int id = AddDevice(1, 3, "Reader 3", {{"lot_id", "3"}, {"lf_sign", "1"}});
  const std::string dev = std::to_string(id);
  Exec("INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (" + dev +
       ", 2, 1, 1)");
  Exec("INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (" + dev +
       ", 3, 2, 2)");
  Exec("INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (" + dev +
       ", 4, 3, 0)");
  StartSim(5, {3});
  Sim().SetCounters(3, "00000");
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("Device started.")) << LogText();
  Exec("UPDATE device SET lf_sign_flag = 0");
  // The bus withholds the first counter answer; let it pass before changing.
  ASSERT_TRUE(WaitPollsOf(3, 'R', 2));

  // First reported values: the starting point only.
  Sim().SetCounters(3, ">0000");
  ASSERT_TRUE(WaitLog("Counter event Reader 3 input value: >0000 = 14,0,0,0,0")) << LogText();
  EXPECT_EQ(QueryInt("SELECT count1 FROM device WHERE id = " + dev), 0);
  EXPECT_EQ(QueryInt("SELECT lot_count FROM lot WHERE id = 1"), 10);

  // Counter 1 wraps from 14 to 2 (4 counted), counter 2 counts 3 out of a lot
  // holding 0 (floor), counter 3 has a chg_lot 0 item.
  Sim().SetCounters(3, "23100");
  ASSERT_TRUE(WaitLog("Counter event Reader 3 input value: 23100 = 2,3,1,0,0")) << LogText();
  EXPECT_EQ(QueryInt("SELECT count1 FROM device WHERE id = " + dev), 4);
  EXPECT_EQ(QueryInt("SELECT count2 FROM device WHERE id = " + dev), 3);
  EXPECT_EQ(QueryInt("SELECT count3 FROM device WHERE id = " + dev), 1);
  EXPECT_EQ(QueryInt("SELECT lot_count FROM lot WHERE id = 1"), 14);
  EXPECT_EQ(QueryInt("SELECT lot_count FROM lot WHERE id = 2"), 0);
  EXPECT_EQ(QueryInt("SELECT lot_count FROM lot WHERE id = 3"), 50);
  EXPECT_EQ(LogCount("Counter sql: UPDATE lot SET lot_count=lot_count+4 WHERE id=1"), 1);
  EXPECT_EQ(LogCount("Counter sql: UPDATE lot SET lot_count=0 WHERE id=2"), 1);
  EXPECT_GE(LogCount("Counter sql: \r\n"), 1);
  // The device's own lot (3) gets its sign flagged.
  EXPECT_EQ(QueryInt("SELECT lf_sign_flag FROM device WHERE id = " + dev), 1);

  // Lot 2 now holds 5: subtracting 2 leaves 3.
  Exec("UPDATE lot SET lot_count = 5 WHERE id = 2");
  Sim().SetCounters(3, "25100");
  ASSERT_TRUE(WaitLog("Counter event Reader 3 input value: 25100")) << LogText();
  EXPECT_EQ(QueryInt("SELECT lot_count FROM lot WHERE id = 2"), 3);
  EXPECT_EQ(QueryInt("SELECT count2 FROM device WHERE id = " + dev), 5);

  // Without the device's lot row the counts still move, but no lot changes.
  Exec("UPDATE device SET lot_id = 77 WHERE id = " + dev);
  Sim().SetCounters(3, "35100");
  ASSERT_TRUE(WaitLog("Counter event Reader 3 input value: 35100")) << LogText();
  EXPECT_EQ(QueryInt("SELECT count1 FROM device WHERE id = " + dev), 5);
  EXPECT_EQ(QueryInt("SELECT lot_count FROM lot WHERE id = 1"), 14);
}

// A reader power-cycled twice ('P', then 'p'): its counters start again at 0,
// and the counts go on from 0 instead of taking the drop as a wrap from the
// values of before.
TEST_P(LoopStatusP, PowerCycledReaderCountsOnFromZero) {
  AddLot(1, 10, 100);
  Exec("INSERT INTO counters (id, name, lot_id) VALUES (1, 'In', 1)");
  AddLoop(1, "GATEPC", 5);
  const std::string dev = std::to_string(AddDevice(1, 3, "Reader 3", {{"lot_id", "1"}}));
  Exec("INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (" + dev +
       ", 2, 1, 1)");
  auto count1 = [&] { return QueryInt("SELECT count1 FROM device WHERE id = " + dev); };
  auto lotCount = [&] { return QueryInt("SELECT lot_count FROM lot WHERE id = 1"); };
  StartSim(5, {3});
  sim::TSimScript sim(Sim());
  auto run = [&](const std::string& line) {
    const auto out = sim.Execute(line);
    ASSERT_FALSE(out.empty());
    ASSERT_EQ(out.back().rfind("ok", 0), 0u) << line << ": " << out.back();
  };
  // Counter 1 (input 2) shows the value of the first character.
  auto step = [&](const std::string& counters) {
    const std::string event = "Counter event Reader 3 input value: " + counters;
    const int seen = LogCount(event);
    run("counters 3 " + counters);
    ASSERT_TRUE(WaitLog(event, seen + 1)) << LogText();
  };
  auto powerCycle = [&](const std::string& kind, int cycle) {
    run("offline 3");
    ASSERT_TRUE(WaitLog("Offline, Device: Reader 3", cycle)) << LogText();
    run("counters 3 00000");
    run("restart 3 " + kind);
    ASSERT_TRUE(WaitLog("Counters of address 3 restart from 0", cycle)) << LogText();
  };

  run("counters 3 30000");
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("Device started.")) << LogText();
  ASSERT_TRUE(WaitPollsOf(3, 'R', 2));
  step("40000");  // the starting point
  step("50000");
  EXPECT_EQ(count1(), 1);
  EXPECT_EQ(lotCount(), 11);

  // One step after the power-up counts one (as a wrap from 5 it would be 12).
  powerCycle("P", 1);
  ASSERT_TRUE(WaitPollsOf(3, 'R', 2));
  step("10000");
  EXPECT_EQ(count1(), 2);
  EXPECT_EQ(lotCount(), 12);

  // Steps the reader made before its first counter answer after the power-up
  // count too, and a wrap afterwards is an ordinary wrap: 0 -> 3 -> 15 -> 2.
  powerCycle("p", 2);
  run("counters 3 20000");
  ASSERT_TRUE(WaitPollsOf(3, 'R', 2));
  step("30000");
  EXPECT_EQ(count1(), 5);
  EXPECT_EQ(lotCount(), 15);
  step("?0000");
  step("20000");
  EXPECT_EQ(count1(), 20);
  EXPECT_EQ(lotCount(), 30);
}

TEST_F(LoopStatus, ShortCounterReportIsInvalid) {
  StartReader();
  Sim().SetCounters(3, "000");
  ASSERT_TRUE(WaitPollsOf(3, 'R', 2));
  Sim().SetCounters(3, "0000");
  ASSERT_TRUE(WaitLog("Counter event Invalid input value: ")) << LogText();
  EXPECT_GE(LogCount("TCounter.Process ERROR!  CounterData Length Invalid! - "), 1);
}

TEST_F(LoopStatus, DoorAjarAlarmPulsesUntilAcknowledgedAndClearsOnClose) {
  const int id = StartReader({{"door_input", "1"}, {"ajar_timer", "0"}, {"ajar_output", "3"}});
  const std::string dev = std::to_string(id);
  Sim().SetInputs(3, "0");  // bit 0 clear: door closed
  ASSERT_TRUE(WaitFrame(3, 'I'));
  Sim().SetInputs(3, "1");  // door open
  ASSERT_TRUE(
      WaitUntil([&] { return QueryInt("SELECT door_ajar FROM device WHERE id = " + dev); }));
  // The alarm output (3 -> 'B') is pulsed for 5 at every report.
  ASSERT_TRUE(WaitUntil([&] { return FramesOf(3, 'P').size() >= 2; }));
  EXPECT_EQ(FramesOf(3, 'P')[0].frame.data, "B5");

  Exec("UPDATE device SET alarm_ack = 1 WHERE id = " + dev);
  ASSERT_TRUE(
      WaitUntil([&] { return QueryInt("SELECT alarm_ack FROM device WHERE id = " + dev) == 0; }));
  const auto pulses = FramesOf(3, 'P').size();
  EXPECT_TRUE(WaitPolls(3, 4));
  EXPECT_LE(FramesOf(3, 'P').size(), pulses + 1);  // at most one already queued
  const auto settled = FramesOf(3, 'P').size();
  EXPECT_TRUE(WaitPolls(3, 4));
  EXPECT_EQ(FramesOf(3, 'P').size(), settled);
  EXPECT_EQ(QueryInt("SELECT door_ajar FROM device WHERE id = " + dev), 1);

  Sim().SetInputs(3, "0");
  ASSERT_TRUE(
      WaitUntil([&] { return QueryInt("SELECT door_ajar FROM device WHERE id = " + dev) == 0; }));
}

TEST_F(LoopStatus, DoorAjarTimerWaitsBeforeTheAlarm) {
  const int id = StartReader({{"door_input", "1"}, {"ajar_timer", "2"}, {"ajar_output", "2"}});
  const std::string dev = std::to_string(id);
  const double openedMs = Sim().NowMs();
  Sim().SetInputs(3, "1");
  sim::TReceivedFrame pulse;
  ASSERT_TRUE(WaitFrame(3, 'P', "A5", &pulse));
  EXPECT_GE(pulse.ms - openedMs, 1900.0);
  EXPECT_EQ(QueryInt("SELECT door_ajar FROM device WHERE id = " + dev), 1);
}

TEST_F(LoopStatus, FireInputHoldsEveryFireGateOpen) {
  AddLoop(1, "GATEPC", 5);
  AddDevice(1, 3, "Reader 3", {{"fire_input", "2"}, {"fire_flag", "1"}});
  AddDevice(2, 1, "Elsewhere", {{"fire_flag", "1"}, {"perm_open", "0"}});
  AddDevice(2, 2, "Not a fire gate", {{"fire_flag", "0"}});
  StartSim(5, {3});
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("Device started.")) << LogText();
  Sim().SetInputs(3, "2");  // bit 1: fire input 2 active
  ASSERT_TRUE(WaitUntil([&] { return CountRows("device", "perm_open = 1") == 2; }));
  EXPECT_EQ(CountRows("device", "remote_user = 'FIRE INPUT!' and remote_ip = 'ON'"), 2);
  EXPECT_EQ(CountRows("device", "fire_flag = 0 and perm_open = 1"), 0);
  Sim().SetInputs(3, "0");
  ASSERT_TRUE(WaitUntil([&] { return CountRows("device", "remote_ip = 'OFF'") == 2; }));
  EXPECT_EQ(CountRows("device", "perm_open = 1"), 0);
}

TEST_P(LoopStatusP, OfflineAndPowerUpKeepOnlineFlag) {
  AddLoop(1, "GATEPC", 5);
  AddDevice(1, 3, "Reader 3");
  AddDevice(1, 4, "Reader 4");
  StartSim(5, {3, 4});
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("Device started.")) << LogText();
  // The first answer counts as a power-up.
  ASSERT_TRUE(WaitUntil([&] { return CountRows("device", "online_flag = 1") == 2; })) << LogText();
  Sim().SetOnline(4, false);
  ASSERT_TRUE(WaitUntil([&] {
    return CountRows("device", "addr_ess = 4 and online_flag = 0") == 1;
  })) << LogText();
  EXPECT_GE(LogCount("Offline, Device: Reader 4"), 1);
  EXPECT_EQ(CountRows("device", "addr_ess = 3 and online_flag = 1"), 1);
  Sim().SetOnline(4, true);
  ASSERT_TRUE(
      WaitUntil([&] { return CountRows("device", "addr_ess = 4 and online_flag = 1") == 1; }));
}

TEST_F(LoopStatus, EventsWithoutAHandlerEntryOrAtAddressZeroAreDropped) {
  StartReader();
  OnMain([&] {
    Loop().CounterEvent(0, "00000");
    Loop().CounterEvent(-2, "00000");
    Loop().CounterEvent(40, "00000");
    Loop().InputEvent(0, "1");
    Loop().InputEvent(40, "1");
    Loop().OfflineEvent(12);  // no device row: empty name, nothing changed
  });
  EXPECT_EQ(LogCount("Counter event"), 0);
  EXPECT_EQ(LogCount("Offline, Device: \r\n"), 1);
}

class LoopSoftCounts : public LoopFixture {
 protected:
  void SetUpPoeLoop() {
    AddLot(1, 10, 100);
    Exec("INSERT INTO counters (id, name, lot_id) VALUES (1, 'Pay', 1)");
    AddLoop(2, "poe/pof", 0, false);
    dev2_ = AddDevice(2, 2, "Pay 2", {{"lot_id", "1"}, {"count_soft", "5"}});
    AddDevice(2, 4, "Pay 4", {{"lot_id", "1"}});
    Exec("INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (" +
         std::to_string(dev2_) + ", 7, 1, 1)");
  }
  int LotCount() { return QueryInt("SELECT lot_count FROM lot WHERE id = 1"); }
  void SetSoft(int n) {
    Exec("UPDATE device SET count_soft = " + std::to_string(n) +
         " WHERE id = " + std::to_string(dev2_));
  }
  int dev2_ = 0;
};

TEST_F(LoopSoftCounts, PoePofLoopCountsIncreasesOfCountSoft) {
  SetUpPoeLoop();
  CreateLoop(2);
  ASSERT_TRUE(WaitLog("CreateCardInterface - Done")) << LogText();
  for (int a : {2, 3, 4})
    EXPECT_EQ(LogCount("Created POE/POF soft counter for address " + std::to_string(a)), 1);
  EXPECT_FALSE(SettingExists("RespDelay"));
  EXPECT_TRUE(SettingExists("NoRemoteCounts"));
  OnMain([&] {
    EXPECT_FALSE(Peer().Card()->IsOpen());
    Loop().UpdateOutputs();  // nothing changed yet
  });
  EXPECT_EQ(LotCount(), 10);

  SetSoft(8);
  OnMain([&] { Loop().UpdateOutputs(); });
  EXPECT_EQ(LotCount(), 13);
  EXPECT_EQ(LogCount("Timer Lot Change Value: 3"), 1);
  EXPECT_EQ(LogCount("Soft Count Device Id: " + std::to_string(dev2_) + " was 5 is 8 diff 3"), 1);

  // Lowered by another program: the new starting point, no lot change.
  SetSoft(1);
  OnMain([&] { Loop().UpdateOutputs(); });
  EXPECT_EQ(LotCount(), 13);
  SetSoft(2);
  OnMain([&] { Loop().UpdateOutputs(); });
  EXPECT_EQ(LotCount(), 14);
}

TEST_F(LoopSoftCounts, NoRemoteCountsSuppressesTheSoftCounters) {
  SetUpPoeLoop();
  SetSetting("NoRemoteCounts", "1");
  CreateLoop(2);
  ASSERT_TRUE(WaitLog("CreateCardInterface - Done")) << LogText();
  EXPECT_EQ(LogCount("Created POE/POF soft counter"), 0);
  SetSoft(9);
  OnMain([&] {
    EXPECT_TRUE(Peer().Counters().empty());
    Loop().UpdateOutputs();
  });
  EXPECT_EQ(LotCount(), 10);
}

TEST_F(LoopSoftCounts, DisabledLoopWithAnotherNameGetsNoCounters) {
  SetUpPoeLoop();
  Exec("UPDATE " + Db().QuoteTable("loop") + " SET name = 'POE' WHERE id = 2");
  CreateLoop(2);
  ASSERT_TRUE(WaitLog("CreateCardInterface - Done")) << LogText();
  EXPECT_FALSE(SettingExists("NoRemoteCounts"));
  OnMain([&] { EXPECT_TRUE(Peer().Counters().empty()); });
}

TEST_F(LoopSoftCounts, CountPassageAddsThroughTheCounterOfTheAddress) {
  AddLot(1, 10, 100);
  Exec("INSERT INTO counters (id, name, lot_id) VALUES (1, 'In', 1)");
  AddLoop(1, "GATEPC", 5);
  const int id = AddDevice(1, 3, "Reader 3", {{"lot_id", "1"}});
  AddDevice(1, 5, "Reader 5", {{"lot_id", "1"}, {"lf_enabled", "1"}});
  Exec("INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (" +
       std::to_string(id) + ", 7, 1, 1)");
  StartSim(5, {3, 5});
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("Device started.")) << LogText();
  Exec("UPDATE device SET lf_output_flag = 0");
  OnMain([&] {
    Loop().CountPassage(3);
    Loop().CountPassage(0);   // no counter there
    Loop().CountPassage(99);  // beyond the table
  });
  EXPECT_EQ(QueryInt("SELECT lot_count FROM lot WHERE id = 1"), 11);
  EXPECT_EQ(QueryInt("SELECT count_soft FROM device WHERE id = " + std::to_string(id)), 1);
  EXPECT_EQ(CountRows("device", "addr_ess = 5 and lf_output_flag = 1"), 1);
}

INSTANTIATE_TEST_SUITE_P(Backends, LoopStatusP, LoopBackends(), LoopBackendName);

}  // namespace
}  // namespace orlo::test
