// Two orlocard programs on two computers (two home folders, two computer
// names) sharing one MariaDB site database: each polls only its own loops,
// both take the "POE/POF" loop, and a remote open reaches only the program
// whose loop holds the device.
#include <filesystem>

#include "sitefixture.h"

namespace orlo::test {
namespace {

class SharedSiteTest : public SystemFixture {
 protected:
  Backend Kind() const override { return Backend::MariaDB; }
};

bool SawGate(sim::TSimulator& sim, int address) {
  for (const auto& f : sim.Frames())
    if (f.frame.address == address && f.frame.letter == 'G') return true;
  return false;
}

TEST_F(SharedSiteTest, EachComputerPollsItsOwnLoopsAndBothTakePoePof) {
  AddLoop(4, "pca", true, 1);
  AddLoop(5, "pcb", true, 1);
  AddLoop(12, "POE/POF", false);
  const int gateA = AddDevice(4, 1, "Entry A");
  const int gateB = AddDevice(5, 1, "Entry B");
  AddDevice(12, 2, "Pay station");

  // Computer A: the fixture's home folder; computer B: a folder of its own
  // with its own settings file (its COM1 is another line).
  WriteRegistry("PCA");
  const std::string homeB = dir_.file("b");
  std::filesystem::create_directory(homeB);
  TRegistryValues values = {{"Host", RegString("")}, {"DebugLog", "dword:00000001"}};
  for (const auto& v : site_.RegistryValues()) values.push_back(v);
  WriteRegistryStore(homeB + "/registry.reg", values, "PCB");
  auto& simA = StartSim(1, {1});
  auto& simB = StartSim(1, {1}, homeB);
  TProgramRun b(homeB, homeB + "/registry.reg");

  StartProgram();
  ASSERT_TRUE(b.Start());
  ASSERT_TRUE(WaitLog("Started!")) << LogText();
  ASSERT_TRUE(b.WaitLog("Started!")) << b.LogText();

  const std::string logA = LogText();
  const std::string logB = b.LogText();
  EXPECT_NE(logA.find("Init Devices for LoopId 4 Port 1"), std::string::npos) << logA;
  EXPECT_EQ(logA.find("LoopId 5"), std::string::npos) << logA;
  EXPECT_NE(logB.find("Init Devices for LoopId 5 Port 1"), std::string::npos) << logB;
  EXPECT_EQ(logB.find("LoopId 4"), std::string::npos) << logB;
  EXPECT_NE(logA.find("Created POE/POF soft counter for address 2"), std::string::npos) << logA;
  EXPECT_NE(logB.find("Created POE/POF soft counter for address 2"), std::string::npos) << logB;
  EXPECT_NE(logA.find("Loops FOUND for computer name \"pca\""), std::string::npos);
  EXPECT_NE(logB.find("Loops FOUND for computer name \"pcb\""), std::string::npos);

  // Both lines are polled, each by its own program.
  auto polled = [](sim::TSimulator& sim) {
    return sim.WaitFrames(
        [](const std::vector<sim::TReceivedFrame>& frames) {
          int n = 0;
          for (const auto& f : frames) n += f.frame.letter == 'C';
          return n >= 3;
        },
        kDeadline);
  };
  EXPECT_TRUE(polled(simA));
  EXPECT_TRUE(polled(simB));

  // A remote open of B's gate: only B's list of own loops holds it, so one
  // open on B's line and one transaction row, nothing on A's line.
  Exec("UPDATE device SET open_flag = 1 WHERE id = " + std::to_string(gateB));
  ASSERT_TRUE(WaitUntil([&] { return SawGate(simB, 1); })) << b.LogText();
  EXPECT_TRUE(WaitUntil([&] {
    return QueryInt("SELECT open_flag FROM device WHERE id = " + std::to_string(gateB)) == 0;
  }));
  // And A's gate, by A.
  Exec("UPDATE device SET open_flag = 1 WHERE id = " + std::to_string(gateA));
  ASSERT_TRUE(WaitUntil([&] { return SawGate(simA, 1); })) << LogText();
  EXPECT_TRUE(WaitUntil([&] {
    return CountRows("trans", "error_code = 999 and device_id = " + std::to_string(gateA)) == 1;
  }));
  EXPECT_EQ(CountRows("trans", "error_code = 999 and device_id = " + std::to_string(gateB)), 1);
  int gatesOnA = 0;
  for (const auto& f : simA.Frames()) gatesOnA += f.frame.letter == 'G';
  EXPECT_EQ(gatesOnA, 1) << "A opened B's gate too";

  EXPECT_EQ(StopProgram(), 0);
  EXPECT_EQ(b.Stop(), 0);
}

}  // namespace
}  // namespace orlo::test
