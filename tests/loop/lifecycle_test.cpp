// Tearing a loop down while its devices keep talking: events in flight are
// dropped cleanly, the port is released and a new loop can open it again.
#include <atomic>
#include <string>
#include <thread>

#include "bus/card.h"
#include "loopfixture.h"

namespace orlo::test {
namespace {

class LoopLifecycle : public LoopFixture {};

TEST_F(LoopLifecycle, DestroyWhileDevicesKeepTalkingThenReopen) {
  AddLoop(1, "GATEPC", 8);
  AddLot(1, 0, 100);
  for (int a = 1; a <= 4; ++a)
    AddDevice(1, a, "Dev " + std::to_string(a),
              {{"lot_id", "1"}, {"door_input", "1"}, {"ajar_output", "2"}, {"lf_sign", "1"}});
  StartSim(8, {1, 2, 3, 4});
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("Device started.")) << LogText();

  // Devices chatter: counters change, doors flap, printers report.
  std::atomic<bool> stop{false};
  std::thread chatter([&] {
    int n = 0;
    while (!stop) {
      for (int a = 1; a <= 4; ++a) {
        Sim().SetCounters(a, std::string(5, static_cast<char>('0' + n % 10)));
        Sim().SetInputs(a, n % 2 ? "1" : "0");
        if (n % 5 == 0) Sim().QueueReply(a, 'J', std::to_string(n % 64));
      }
      ++n;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  ASSERT_TRUE(WaitLog("PStat:", 2)) << LogText();
  ASSERT_TRUE(WaitLog("Counter event Dev", 2)) << LogText();
  // Main-timer jobs interleave with the events.
  OnMain([&] {
    Loop().UpdateOutputs();
    Loop().SyncClocks();
  });
  DestroyLoop();
  const auto framesAtClose = Sim().FrameCount();

  // A second loop opens the same port and polls again, with devices still talking.
  CreateLoop(1);
  EXPECT_TRUE(WaitLog("Device started.", 2)) << LogText();
  EXPECT_TRUE(WaitPolls(1));
  EXPECT_GT(Sim().FrameCount(), framesAtClose);
  DestroyLoop();
  stop = true;
  chatter.join();
  EXPECT_EQ(LogCount("Exception"), 0) << LogText();
}

TEST_F(LoopLifecycle, LoopsAreCreatedAndDestroyedRepeatedly) {
  AddLoop(1, "GATEPC", 8);
  AddDevice(1, 1, "Dev 1");
  StartSim(8, {1});
  for (int i = 1; i <= 5; ++i) {
    CreateLoop(1);
    ASSERT_TRUE(WaitLog("Device started.", i)) << LogText();
    Sim().QueueReply(1, 'J', "1");
    DestroyLoop();
  }
  EXPECT_EQ(LogCount("Failed to open port"), 0);
}

}  // namespace
}  // namespace orlo::test
