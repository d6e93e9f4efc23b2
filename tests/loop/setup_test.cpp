// Loop set-up end to end: device rows and their texts, the polled range, the
// counters and inputs by address, the settings keys, the port, the lot-full
// flags and the first output update.
#include <chrono>
#include <filesystem>
#include <string>

#include "bus/card.h"
#include "bus/tracefile.h"
#include "loopfixture.h"
#include "support/tracereader.h"

namespace orlo::test {
namespace {

namespace fs = std::filesystem;

class LoopSetup : public LoopFixture {};
class LoopSetupP : public LoopFixtureP {
 protected:
  // Reports a power-up until the bus re-sends the gate-down command with the
  // expected idle text (a report read too late on a loaded machine is lost:
  // power-up reports are not acknowledged).
  bool PowerUpResends(int address, const std::string& idleText) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      Sim().QueueReply(address, 'P', "");
      if (WaitFrame(address, 'X', idleText, nullptr, std::chrono::seconds(5))) return true;
    }
    return false;
  }
};

// Which table entries exist, as "0011111" for addresses 0..n-1.
template <class Table>
std::string Present(const Table& table) {
  std::string out;
  for (const auto& entry : table) out += entry ? '1' : '0';
  return out;
}

TEST_P(LoopSetupP, DevicesAt3And7PollThatRangeWithTheirTexts) {
  AddLoop(1, "GATEPC", 4);
  AddMessages(5, "Welcome", "Gate is up");
  AddDevice(1, 3, "Entry 3", {{"msg_id", "5"}});
  AddDevice(1, 7, "Exit 7", {{"msg_id", "6"}, {"device_type", "2"}});  // no messages row 6
  StartSim(4, {3, 7});
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("Device started.  LoopId 1  First address: 3  Last address: 7")) << LogText();
  EXPECT_EQ(LogCount("Init Devices for LoopId 1 Port 4"), 1);
  EXPECT_EQ(LogCount("TCard - PollDly 0  TurnAround 0  RespDly 0  Baud 9600  OffLineDly 40"), 1);
  EXPECT_EQ(LogCount("CreateCardInterface - Done"), 1);
  EXPECT_TRUE(WaitFrame(3, 'C'));
  EXPECT_TRUE(WaitFrame(7, 'C'));
  OnMain([&] {
    EXPECT_EQ(Present(Peer().Counters()), "00011111");
    EXPECT_EQ(Present(Peer().Inputs()), "00011111");
    ASSERT_EQ(Peer().DeviceTypes().size(), 8u);
    EXPECT_EQ(Peer().DeviceTypes()[7], dtBarcodeExit);
    EXPECT_EQ(Peer().DeviceTypes()[3], dtCardReader);
    EXPECT_EQ(Peer().Card()->FirstReader(), 3);
    EXPECT_EQ(Peer().Card()->LastReader(), 7);
  });
  // Nothing outside 3..7 is polled.
  for (const auto& f : Sim().Frames()) {
    EXPECT_GE(f.frame.address, 3);
    EXPECT_LE(f.frame.address, 7);
  }
  // A power-up makes the bus re-send the held gate state with the idle text:
  // the messages row's text, or the default text where the row is missing.
  EXPECT_TRUE(PowerUpResends(3, "Welcome"));
  EXPECT_TRUE(PowerUpResends(7, "Default message"));
  // The power-up reports keep online_flag.
  EXPECT_TRUE(WaitUntil([&] { return CountRows("device", "online_flag = 1") == 2; }));
  EXPECT_GE(LogCount("PowerUp Event, Device: Entry 3"), 1);
}

TEST_F(LoopSetup, AddressZeroAndAboveSixteenKeepTheBusLimits) {
  AddLoop(1, "GATEPC", 2);
  AddDevice(1, 0, "Zero");
  AddDevice(1, 20, "Twenty");
  StartSim(2, {0});
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("Device started.  LoopId 1  First address: 0  Last address: 20"))
      << LogText();
  OnMain([&] {
    EXPECT_EQ(Peer().Card()->FirstReader(), 1);  // 0 is refused by the bus
    EXPECT_EQ(Peer().Card()->LastReader(), 0);   // 20 too: nothing is polled
    EXPECT_EQ(Present(Peer().Counters()), std::string(21, '1'));
    EXPECT_EQ(Present(Peer().Inputs()), std::string(21, '1'));
  });
  EXPECT_EQ(Sim().FrameCount(), 0u);
}

TEST_F(LoopSetup, AddressesOutsideTheTablesAreSkippedWithALine) {
  AddLoop(1, "GATEPC", 2);
  AddDevice(1, -1, "Negative");
  AddDevice(1, 100000, "Huge");
  AddDevice(1, 2, "Two");
  StartSim(2, {2});
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("Device started.  LoopId 1  First address: 2  Last address: 2")) << LogText();
  EXPECT_EQ(LogCount("Device address -1 out of range for loop id 1 - ignored"), 1);
  EXPECT_EQ(LogCount("Device address 100000 out of range for loop id 1 - ignored"), 1);
  OnMain([&] { EXPECT_EQ(Present(Peer().Counters()), "001"); });
}

TEST_F(LoopSetup, FreshSettingsFileGetsEveryKeyWithItsDefault) {
  AddLoop(1, "GATEPC", 2);
  AddDevice(1, 1, "One");
  StartSim(2, {1});
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("CreateCardInterface - Done"));
  const std::pair<const char*, const char*> keys[] = {
      {"RespDelay", "0"},
      {"TurnAround", "0"},
      {"PollDelay", "0"},
      {"PayOnFoot Poll", "0"},
      {"Inputs Off", "0"},
      {"Counters Off", "0"},
      {"Sync Readers every XX minutes", "0"},
      {"Grace Time from POF (minutes)", "15"},
      {"Extended Grace Lane", ""},
      {"Grace Time from POF Extended (minutes)", "15"},
      {"Grace Time Future", "15"},
      {"Old Ticket Format?", "0"},
      {"Sync Exit Reader", "1"},
      {"Flat Rate Flag", "0"},
      {"Email Server", ""},
      {"Email Port", "25"},
      {"Email From", ""},
      {"Email To", ""},
      {"Low Security on DB Error", "0"},
  };
  for (const auto& [key, value] : keys) {
    EXPECT_TRUE(SettingExists(key)) << key;
    EXPECT_EQ(Setting(key), value) << key;
  }
  EXPECT_FALSE(SettingExists("NoRemoteCounts"));
  EXPECT_EQ(Setting("Line Trace", "Monitor"), "0");
  EXPECT_EQ(Setting("Line Trace Limit (MB)", "Monitor"), "100");
  EXPECT_FALSE(fs::exists(dir_.path() / "trace"));  // off by default
  OnMain([&] {
    EXPECT_TRUE(Peer().ExtendedGraceLanes().empty());
    EXPECT_TRUE(Peer().SyncExitReader());
    EXPECT_EQ(Peer().EmailPort(), 25);
  });
}

TEST_F(LoopSetup, SettingsAreReadIntoTheLoopAndTheBus) {
  AddLoop(1, "GATEPC", 2);
  AddDevice(1, 1, "One");
  StartSim(2, {1});
  SetSetting("PollDelay", "7");
  SetSetting("TurnAround", "3");
  SetSetting("Counters Off", "1");
  SetSetting("Extended Grace Lane", "3, 5");
  SetSetting("Grace Time Future", "4");
  SetSetting("Email Server", "mail.example");
  SetSetting("Sync Readers every XX minutes", "60");
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("TCard - PollDly 7  TurnAround 3  RespDly 0  Baud 9600  OffLineDly 40"))
      << LogText();
  OnMain([&] {
    EXPECT_EQ(Peer().ExtendedGraceLanes(), (std::vector<int>{3, 5}));
    EXPECT_EQ(Peer().GraceTimeFuture(), 4);
    EXPECT_EQ(Peer().EmailServer(), "mail.example");
    EXPECT_EQ(Peer().SyncMinutes(), 60);
    EXPECT_TRUE(Peer().Card()->NoCounters());
    EXPECT_FALSE(Peer().Card()->NoInputs());
  });
  EXPECT_TRUE(WaitFrame(1, 'I'));
  EXPECT_TRUE(FramesOf(1, 'R').empty());
}

TEST_F(LoopSetup, LineTraceWritesTheLoopsFramesIntoTheHomeFoldersTraceFolder) {
  AddLoop(3, "GATEPC", 2);
  AddDevice(3, 1, "One");
  AddDevice(3, 2, "Two");
  StartSim(2, {1, 2});
  SetSetting("Line Trace", "1", "Monitor");
  SetSetting("Line Trace Limit (MB)", "5", "Monitor");
  CreateLoop(3);
  const std::string folder = (dir_.path() / "trace").string();
  ASSERT_TRUE(WaitLog("Line trace of loop 3 on COM2: into " + folder + ", at most 5 MB a day"))
      << LogText();
  ASSERT_TRUE(WaitPolls(2));
  DestroyLoop();  // the trace is complete once the loop has closed its port
  const std::string file = TTraceFile::FileName(folder, 3, std::chrono::system_clock::now());
  const auto trace = ReadTrace(file);
  ASSERT_TRUE(trace.ok) << file << ": " << trace.error;
  // Card polls to both devices, each answered with ACK.
  const std::string polls[] = {std::string("\x02\x31\x43\x03\x71", 5),
                               std::string("\x02\x32\x43\x03\x72", 5)};
  for (const std::string& poll : polls) {
    bool answered = false;
    for (std::size_t i = 0; i + 1 < trace.entries.size(); ++i) {
      const auto& out = trace.entries[i];
      const auto& in = trace.entries[i + 1];
      EXPECT_EQ(out.LoopId(), 3);
      EXPECT_EQ(out.Port(), 2);
      answered = answered || (out.Direction() == 0 && out.Frame() == poll && in.Direction() == 1 &&
                              in.Frame() == "\x06");
    }
    EXPECT_TRUE(answered) << sim::Escape(poll);
  }
}

TEST_F(LoopSetup, SizesAndTimesThatAreNoneAreALineAndTheDefault) {
  AddLoop(1, "GATEPC", 2);
  AddDevice(1, 1, "One");
  StartSim(2, {1});
  SetSetting("Line Trace", "1", "Monitor");
  SetSetting("Line Trace Limit (MB)", "-4", "Monitor");
  SetSetting("Config Cache (seconds)", "-5");
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("Line Trace Limit (MB) -4 is no size; 100 taken")) << LogText();
  EXPECT_TRUE(WaitLog("Config Cache (seconds) -5 is no time; 0 taken (no cache)"));
  EXPECT_TRUE(WaitLog("Line trace of loop 1 on COM2: into " + (dir_.path() / "trace").string() +
                      ", at most 100 MB a day"));
}

TEST_F(LoopSetup, ExtendedGraceLaneThatIsNotANumberGivesLaneZero) {
  AddLoop(1, "GATEPC", 2);
  AddDevice(1, 1, "One");
  StartSim(2, {1});
  SetSetting("Extended Grace Lane", "north");
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("CreateCardInterface - Done"));
  OnMain([&] { EXPECT_EQ(Peer().ExtendedGraceLanes(), (std::vector<int>{0})); });
}

TEST_F(LoopSetup, RfModemUsesFixedTimingsAndLeavesTheirKeysUnwritten) {
  AddLoop(1, "GATEPC", 2, true, true);
  AddDevice(1, 1, "One");
  StartSim(2, {1});
  SetSetting("PollDelay", "9");  // not read in RF modem mode
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("TCard - PollDly 0  TurnAround 100  RespDly 200  Baud 9600  OffLineDly 40"))
      << LogText();
  EXPECT_EQ(LogCount("NOTE: Using RF Modem Mode for loop id 1"), 1);
  EXPECT_FALSE(SettingExists("RespDelay"));
  EXPECT_FALSE(SettingExists("TurnAround"));
  EXPECT_TRUE(SettingExists("PayOnFoot Poll"));
  EXPECT_TRUE(SettingExists("Low Security on DB Error"));
  EXPECT_TRUE(WaitFrame(1, 'C'));
}

TEST_F(LoopSetup, NoDeviceRowsOpenThePortAndPollNothing) {
  AddLoop(1, "GATEPC", 2);
  StartSim(2, {1});
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("Device started.  LoopId 1  First address: 0  Last address: 0")) << LogText();
  EXPECT_EQ(LogCount("No devices found for loop id 1"), 1);
  OnMain([&] {
    EXPECT_TRUE(Peer().Counters().empty());
    EXPECT_TRUE(Peer().Inputs().empty());
    EXPECT_TRUE(Peer().Card()->IsOpen());
  });
  EXPECT_EQ(Sim().FrameCount(), 0u);
}

TEST_F(LoopSetup, PortThatCannotBeOpenedLeavesAnIdleLoopWithItsFlagsRaised) {
  AddLoop(1, "GATEPC", 9);
  AddLot(1, 0, 10);
  AddDevice(1, 1, "One", {{"lot_id", "1"}, {"lf_sign", "1"}, {"lf_enabled", "1"}});
  SetSetting("COM9", dir_.file("no-such-tty"), "Ports");
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("CreateCardInterface - Done"));
  EXPECT_EQ(LogCount("Failed to open port COM9 for loop id 1"), 1);
  EXPECT_EQ(LogCount("Device started."), 0);
  EXPECT_EQ(CountRows("device", "lf_sign_flag = 1 and lf_output_flag = 1"), 1);
  OnMain([&] {
    EXPECT_FALSE(Peer().Card()->IsOpen());
    Loop().UpdateOutputs();  // sends nothing on a closed bus, clears the flags
  });
  EXPECT_EQ(CountRows("device", "lf_sign_flag = 0 and lf_output_flag = 0"), 1);
}

TEST_P(LoopSetupP, MissingLoopRowIsLoggedAndTheFlagsAreStillRaised) {
  AddLoop(1, "GATEPC", 2);
  AddDevice(9, 1, "Orphan", {{"lf_sign", "1"}});
  CreateLoop(9);
  ASSERT_TRUE(WaitLog("CreateCardInterface - Done"));
  EXPECT_EQ(LogCount("Failed Card Init - No Loop id: 9"), 1);
  EXPECT_EQ(CountRows("device", "lf_sign_flag = 1"), 1);
  OnMain([&] {
    ASSERT_TRUE(Peer().Card());
    EXPECT_FALSE(Peer().Card()->IsOpen());
  });
}

TEST_F(LoopSetup, UnreachableDatabaseLeavesALoopWithoutCard) {
  AddLoop(1, "GATEPC", 2);
  SetRegistryString("ODBCDriver", "No Such Driver");
  SetRegistryDword("DebugLog", 0);
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("Could not connect to DataSource")) << LogText();
  OnMain([&] {
    EXPECT_FALSE(Peer().Card());
    EXPECT_FALSE(Peer().DebugLog());
    // Jobs that touch devices do nothing on such a loop.
    Loop().UpdateOutputs();
    Loop().SyncClocks();
    EXPECT_FALSE(Loop().ForceGate(1, true));
  });
}

TEST_P(LoopSetupP, LotFullFlagsAreRaisedAndTheFirstUpdateSendsSignAndOutput) {
  AddLoop(1, "GATEPC", 3);
  AddLot(1, 103, 100);
  AddLot(2, 40, 100);
  AddDevice(1, 1, "Full entry",
            {{"lot_id", "1"}, {"lf_sign", "1"}, {"lf_enabled", "1"}, {"lf_output", "4"}});
  AddDevice(1, 2, "Free entry", {{"lot_id", "2"}, {"lf_enabled", "1"}, {"lf_output", "2"}});
  AddDevice(1, 3, "Lot missing",
            {{"lot_id", "7"}, {"lf_sign", "1"}, {"lf_enabled", "1"}, {"lf_output", "2"}});
  AddDevice(2, 1, "Other loop", {{"lot_id", "1"}, {"lf_sign", "1"}});
  StartSim(3, {1, 2, 3});
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("Device started.")) << LogText();
  EXPECT_EQ(CountRows("device", "loop_id = 1 and lf_sign_flag = 1"), 2);
  EXPECT_EQ(CountRows("device", "loop_id = 1 and lf_output_flag = 1"), 3);
  EXPECT_EQ(CountRows("device", "loop_id = 2 and lf_sign_flag = 1"), 0);

  OnMain([&] { Loop().UpdateOutputs(); });
  // Full lot: output 4 (bit 2) on, sign shows 0 free.
  sim::TReceivedFrame f;
  ASSERT_TRUE(WaitFrame(1, 'W', "", &f));
  EXPECT_EQ(f.frame.data, std::string(1, static_cast<char>(0x40 + 4)));
  ASSERT_TRUE(WaitFrame(1, 'L', "", &f));
  EXPECT_EQ(f.frame.data, std::string("\x14"
                                      "1\r\x16"
                                      "0\\1\\1"));
  // Lot with room: output 2 (bit 0) off.
  ASSERT_TRUE(WaitFrame(2, 'F', "", &f));
  EXPECT_EQ(f.frame.data, std::string(1, static_cast<char>(0x40 + 1)));
  EXPECT_TRUE(WaitPolls(3));
  EXPECT_TRUE(FramesOf(3, 'W').empty());
  EXPECT_TRUE(FramesOf(3, 'F').empty());
  EXPECT_TRUE(FramesOf(3, 'L').empty());
  EXPECT_EQ(CountRows("device", "loop_id = 1 and (lf_sign_flag <> 0 or lf_output_flag <> 0)"), 0);
  EXPECT_EQ(LogCount("Lot full output is now  On for Full entry"), 1);
  EXPECT_EQ(LogCount("Lot full output is now  Off for Free entry"), 1);
  EXPECT_EQ(LogCount("Lot full sign is being updated to 0 for Full entry"), 1);

  // Nothing flagged: the next update sends nothing.
  const auto before = Sim().FrameCount();
  OnMain([&] { Loop().UpdateOutputs(); });
  EXPECT_TRUE(WaitPolls(1));
  for (const auto& fr : Sim().Frames()) {
    if (fr.seq <= before) continue;
    EXPECT_TRUE(fr.frame.letter == 'C' || fr.frame.letter == 'R' || fr.frame.letter == 'I')
        << fr.frame.letter;
  }
}

TEST_F(LoopSetup, LotFullOutputBelowTwoSendsNoOutputBit) {
  AddLoop(1, "GATEPC", 3);
  AddLot(1, 5, 100);
  AddDevice(1, 1, "Bad output", {{"lot_id", "1"}, {"lf_enabled", "1"}, {"lf_output", "1"}});
  AddDevice(1, 2, "Negative output", {{"lot_id", "1"}, {"lf_enabled", "1"}, {"lf_output", "-40"}});
  StartSim(3, {1, 2});
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("Device started.")) << LogText();
  OnMain([&] { Loop().UpdateOutputs(); });
  EXPECT_EQ(LogCount("Lot full output 1 of Bad output names no output bit - nothing sent"), 1);
  EXPECT_EQ(LogCount("Lot full output -40 of Negative output names no output bit - nothing sent"),
            1);
  EXPECT_TRUE(WaitPolls(1, 3));
  EXPECT_TRUE(WaitPolls(2, 3));
  for (const auto& f : Sim().Frames()) EXPECT_TRUE(f.frame.letter != 'W' && f.frame.letter != 'F');
  EXPECT_EQ(CountRows("device", "lf_output_flag <> 0"), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, LoopSetupP, LoopBackends(), LoopBackendName);

}  // namespace
}  // namespace orlo::test
