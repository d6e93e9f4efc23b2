// The simulator answering a controller over a real pseudo-terminal.
#include "simulator.h"

#include <gtest/gtest.h>

#include "simfixture.h"

namespace orlo::sim {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::SimTest;

const std::string kAckByte(1, static_cast<char>(kAck));

TEST_F(SimTest, AnswersAHandWrittenPollWithTheExactReplyBytes) {
  sim.AddDevice(1);
  sim.QueueReply(1, 'C', "1234");
  EXPECT_EQ(Exchange(Bytes({0x02, 0x31, 0x43, 0x03, 0x71})),
            Bytes({0x01, 0x31, 0x43, 0x31, 0x32, 0x33, 0x34, 0x04, 0x72}));
  // Nothing queued any more: ACK. A pay-on-foot frame is answered the same.
  EXPECT_EQ(Exchange(Bytes({0x05, 0x31, 0x43, 0x03, 0x71})), kAckByte);

  auto frames = sim.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].seq, 1u);
  EXPECT_EQ(frames[0].frame.letter, 'C');
  EXPECT_EQ(frames[0].answer, EncodeReply(0x31, 'C', "1234"));
  EXPECT_EQ(frames[1].frame.start, kEnq);
  EXPECT_LE(frames[0].ms, frames[1].ms);
}

TEST_F(SimTest, QueuedReportsGoOutInOrderToThePollTheyAnswer) {
  sim.AddDevice(2);
  sim.QueueReply(2, 'R', "01234");  // waits for the counter poll
  sim.QueueReply(2, '#', "BAR1");
  sim.QueueReply(2, 'C', "");  // empty card payload
  TReplyOptions toGate;
  toGate.answers = 'G';
  sim.QueueReply(2, 'J', "3,0", toGate);
  EXPECT_EQ(sim.Queued(2), 4u);

  EXPECT_EQ(Poll(2), EncodeReply(0x32, '#', "BAR1"));
  EXPECT_EQ(Poll(2), EncodeReply(0x32, 'C', ""));
  EXPECT_EQ(Poll(2), kAckByte);
  EXPECT_EQ(Poll(2, 'R'), EncodeReply(0x32, 'R', "01234"));
  EXPECT_EQ(Poll(2, 'G', "005Thanks"), EncodeReply(0x32, 'J', "3,0"));
  EXPECT_EQ(Poll(2, 'R'), kAckByte);  // no standing counter answer
  EXPECT_EQ(sim.Queued(2), 0u);

  sim.SetCounters(2, "00007");
  sim.SetInputs(2, Bytes({0x41}));
  EXPECT_EQ(Poll(2, 'R'), EncodeReply(0x32, 'R', "00007"));
  EXPECT_EQ(Poll(2, 'R'), EncodeReply(0x32, 'R', "00007"));
  EXPECT_EQ(Poll(2, 'I'), EncodeReply(0x32, 'I', Bytes({0x41})));
  EXPECT_EQ(Poll(2, 'A'), kAckByte);  // any other command: taken
}

TEST_F(SimTest, OfflineAbsentAndBadFramesGetNoAnswerButAreRecorded) {
  sim.AddDevice(1);
  sim.AddDevice(3);
  sim.SetOnline(3, false);
  EXPECT_EQ(PollSilent(3), "");
  EXPECT_EQ(PollSilent(4), "");  // no device there
  std::string bad = EncodeCommand(1, 'C', "");
  bad.back() = static_cast<char>(bad.back() ^ 0x20);
  EXPECT_EQ(Exchange(bad, 300), "");
  EXPECT_EQ(Poll(1), kAckByte);

  sim.SetOnline(3, true);
  EXPECT_EQ(Poll(3), kAckByte);

  auto frames = sim.Frames();
  ASSERT_EQ(frames.size(), 5u);
  EXPECT_TRUE(frames[0].answer.empty());
  EXPECT_EQ(frames[1].frame.address, 4);
  EXPECT_FALSE(frames[2].frame.checkOk);
  EXPECT_EQ(frames[4].answer, kAckByte);
}

TEST_F(SimTest, SilenceAndPowerUpAfterRestartPattern) {
  sim.AddDevice(5);
  sim.QueueSilence(5, 3);
  sim.QueueReply(5, 'p', "");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(PollSilent(5, i == 1 ? 'R' : 'C'), "") << i;
  EXPECT_EQ(Poll(5), EncodeReply(0x35, 'p', ""));
  EXPECT_EQ(Poll(5), kAckByte);
}

TEST_F(SimTest, FaultsNoiseBadCheckSplitAndForeignAddress) {
  sim.AddDevice(1);
  TReplyOptions noisy;
  noisy.noise = Bytes({0x33, 0x06, 0xFF});  // noise with an ACK in it comes first
  sim.QueueReply(1, 'C', "77", noisy);
  EXPECT_EQ(Exchange(EncodeCommand(1, 'C', "")), Bytes({0x33, 0x06}))
      << "the reader sees the lone ACK first";
  EXPECT_EQ(ReadReply(), Bytes({0xFF}) + EncodeReply(0x31, 'C', "77"));

  TReplyOptions badCheck;
  badCheck.badCheck = true;
  sim.QueueReply(1, 'C', "88", badCheck);
  std::string got = Poll(1);
  std::string good = EncodeReply(0x31, 'C', "88");
  ASSERT_EQ(got.size(), good.size());
  EXPECT_EQ(got.substr(0, got.size() - 1), good.substr(0, good.size() - 1));
  EXPECT_NE(got.back(), good.back());

  TReplyOptions split;
  split.splitAt = 4;
  split.splitGapMs = 150;
  sim.QueueReply(1, 'M', "4455", split);
  EXPECT_EQ(Poll(1), EncodeReply(0x31, 'M', "4455"));

  TReplyOptions foreign;
  foreign.addressByte = 0x39;
  sim.QueueReply(1, 'C', "1", foreign);
  EXPECT_EQ(Poll(1), EncodeReply(0x39, 'C', "1"));

  sim.QueueRaw(1, Bytes({0x01, 0x31, 0x43, 0x31, 0x06}));  // ACK inside a frame
  EXPECT_EQ(Poll(1), Bytes({0x01, 0x31, 0x43, 0x31, 0x06}));
}

TEST_F(SimTest, ReportsUntilAcknowledgedRepeatUntilTheirAck) {
  sim.AddDevice(7);
  TReplyOptions sticky;
  sticky.untilAcknowledged = true;
  sim.QueueReply(7, '#', "TICKET", sticky);
  sim.QueueReply(7, 'K', "31", sticky);
  EXPECT_EQ(Poll(7), EncodeReply(0x37, '#', "TICKET"));
  EXPECT_EQ(Poll(7), EncodeReply(0x37, '#', "TICKET"));  // not acknowledged yet
  EXPECT_EQ(Poll(7, 'A'), kAckByte);
  EXPECT_EQ(Poll(7), EncodeReply(0x37, 'K', "31"));
  EXPECT_EQ(Poll(7, 'K', "4"), kAckByte);  // acknowledges another button
  EXPECT_EQ(Poll(7), EncodeReply(0x37, 'K', "31"));
  EXPECT_EQ(Poll(7, 'K', "3"), kAckByte);
  EXPECT_EQ(Poll(7), kAckByte);
}

TEST_F(SimTest, PacedLineKeepsBytesAndOrder) {
  sim.SetPace(9600);
  for (int a = 1; a <= 4; ++a) sim.AddDevice(a);
  sim.QueueReply(3, 'C', "99887766");
  for (int round = 0; round < 3; ++round) {
    for (int a = 1; a <= 4; ++a) {
      std::string want = (round == 0 && a == 3) ? EncodeReply(0x33, 'C', "99887766") : kAckByte;
      EXPECT_EQ(Poll(a), want) << "round " << round << " address " << a;
    }
  }
  auto frames = sim.Frames();
  ASSERT_EQ(frames.size(), 12u);
  for (std::size_t i = 1; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].seq, frames[i - 1].seq + 1);
    EXPECT_GE(frames[i].ms, frames[i - 1].ms);
    EXPECT_EQ(frames[i].frame.address, static_cast<int>(i % 4) + 1);
  }
}

TEST_F(SimTest, UnsolicitedNoiseReachesTheLine) {
  sim.SendRaw(Bytes({0x15, 0x16}));
  std::string got;
  for (int i = 0; i < 50 && got.size() < 2; ++i) {
    std::uint8_t b[4];
    int n = port->Read(b, sizeof b, 200);
    if (n > 0) got.append(reinterpret_cast<char*>(b), static_cast<std::size_t>(n));
  }
  EXPECT_EQ(got, Bytes({0x15, 0x16}));
}

TEST_F(SimTest, ClosingTheSimulatorMakesTheControllerPortFail) {
  sim.AddDevice(1);
  EXPECT_EQ(Poll(1), kAckByte);
  sim.Close();
  EXPECT_FALSE(sim.IsOpen());
  std::uint8_t b;
  EXPECT_EQ(port->Read(&b, 1, 5000), -1);

  // Re-opened on a new pseudo-terminal, with devices and queue kept.
  sim.QueueReply(1, 'C', "5");
  std::string error;
  ASSERT_TRUE(sim.OpenPty(error)) << error;
  port = MakeSerialPort();
  ASSERT_TRUE(port->Open(sim.Path(), 9600, error)) << error;
  EXPECT_EQ(Poll(1), EncodeReply(0x31, 'C', "5"));
}

TEST_F(SimTest, WaitFramesSeesFramesFromAnotherThread) {
  sim.AddDevice(2);
  std::thread controller([&] {
    for (int i = 0; i < 3; ++i) Poll(2, 'G', "001Hi");
  });
  EXPECT_TRUE(sim.WaitFrames(
      [](const std::vector<TReceivedFrame>& f) {
        return f.size() == 3 && f.back().frame.data == "001Hi";
      },
      20s));
  controller.join();
  sim.ClearFrames();
  EXPECT_EQ(sim.FrameCount(), 0u);
}

}  // namespace
}  // namespace orlo::sim
