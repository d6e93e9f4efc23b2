// A whole loop of sixteen devices played by the field-device simulator on a
// pseudo-terminal at line speed: the controller's coding against the
// simulator's independent device-side coding.
#include <atomic>
#include <fstream>

#include "busfixture.h"
#include "simulator.h"

namespace orlo::test {
namespace {

class SimLoopTest : public ::testing::Test {
 protected:
  SimLoopTest() : card_(main_.Loop()) {}
  ~SimLoopTest() override {
    main_.Do([this] { card_.Close(); });
  }

  void SetUp() override {
    std::string error;
    ASSERT_TRUE(sim_.OpenPty(error)) << error;
    sim_.SetPace(9600);
    for (int a = 1; a <= 16; ++a) sim_.AddDevice(a);
    const std::string settings = dir_.file("orlocard.ini");
    std::ofstream(settings) << "[Ports]\nCOM4=" << sim_.Path() << "\n";
    card_.SetSettingsFile(settings);
    card_.SetPort(4);
    card_.SetRespDly(kTestRespDly);
    card_.SetFirstReader(1);
    card_.SetLastReader(16);
    card_.OnPowerUp = [this](int r) { events_.Add("PowerUp " + std::to_string(r)); };
    card_.OnError = [this](int r) { events_.Add("Error " + std::to_string(r)); };
    card_.OnErrorEx = [this](int r, bool c) {
      events_.Add("ErrorEx " + std::to_string(r) + (c ? " 1" : " 0"));
    };
    card_.OnData = [this](int r, const std::string& v) {
      card_.GateOpenMsg(r, true, 5, "Welcome " + v);
      events_.Add("Data " + std::to_string(r) + " " + v);
    };
  }

  bool SimSaw(int address, const std::string& letterAndData) {
    return sim_.WaitFrames(
        [&](const std::vector<sim::TReceivedFrame>& frames) {
          for (const auto& f : frames)
            if (f.frame.address == address && f.frame.checkOk &&
                std::string(1, f.frame.letter) + f.frame.data == letterAndData)
              return true;
          return false;
        },
        std::chrono::seconds(20));
  }

  // The device-side times of one card exchange: the poll that got the card
  // reply was answered after it arrived, the gate frame came after that
  // answer, and a paced frame's first byte came before its last.
  void ExpectTimesInOrder(int address) {
    const sim::TReceivedFrame* poll = nullptr;
    const sim::TReceivedFrame* gate = nullptr;
    const auto frames = sim_.Frames();
    for (const auto& f : frames) {
      if (f.frame.address != address) continue;
      if (!poll && f.answer.size() > 3 && f.answer[2] == 'C') poll = &f;
      if (poll && !gate && f.frame.letter == 'G') gate = &f;
    }
    ASSERT_TRUE(poll && gate);
    EXPECT_GE(poll->answeredAt, poll->at);
    EXPECT_GE(gate->firstByteAt, poll->answeredAt);
    EXPECT_LT(gate->firstByteAt, gate->at);
  }

  TempDir dir_;
  sim::TSimulator sim_;
  TMainThread main_;
  TEventRecorder events_;
  TCard card_;
};

TEST_F(SimLoopTest, SixteenDevicesCardsAndAVanishingLine) {
  bool opened = false;
  main_.Do([&] { opened = card_.Open(); });
  ASSERT_TRUE(opened);
  for (int a = 1; a <= 16; ++a) ASSERT_TRUE(events_.WaitFor("ErrorEx " + std::to_string(a) + " 1"));

  // A plain card, one behind noise, one split across reads, one with a bad
  // check byte (taken as no answer).
  sim_.QueueReply(3, 'C', "1001");
  sim::TReplyOptions noisy;
  noisy.noise = "\x7f\x02\x33";
  sim_.QueueReply(9, 'C', "1002", noisy);
  sim::TReplyOptions split;
  split.splitAt = 4;
  split.splitGapMs = 5;
  sim_.QueueReply(16, 'C', "1003", split);
  sim::TReplyOptions bad;
  bad.badCheck = true;
  sim_.QueueReply(12, 'C', "1004", bad);
  ASSERT_TRUE(events_.WaitFor("Data 3 1001"));
  ASSERT_TRUE(events_.WaitFor("Data 9 1002"));
  ASSERT_TRUE(events_.WaitFor("Data 16 1003"));
  EXPECT_TRUE(SimSaw(3, "G005Welcome 1001"));
  EXPECT_TRUE(SimSaw(16, "G005Welcome 1003"));
  EXPECT_EQ(events_.Count("Data 12 1004"), 0);
  ExpectTimesInOrder(3);

  // One device goes quiet and comes back.
  sim_.SetOnline(5, false);
  ASSERT_TRUE(events_.WaitFor("Error 5"));
  sim_.SetOnline(5, true);
  ASSERT_TRUE(events_.WaitFor("ErrorEx 5 0"));

  // The line disappears: every device goes offline, the card still closes.
  sim_.Close();
  for (int a = 1; a <= 16; ++a) ASSERT_TRUE(events_.WaitFor("Error " + std::to_string(a)));
  main_.Do([&] { card_.Close(); });
}

}  // namespace
}  // namespace orlo::test
