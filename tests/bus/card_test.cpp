// TCard properties, outbound commands, lifecycle and the two rings.
#include <atomic>

#include "bus/poll.h"
#include "bus/processinfo.h"
#include "busfixture.h"
#include "platform/serialport.h"
#include "support/wait.h"

namespace orlo::test {
namespace {

using CardTest = BusTest;

TEST_F(CardTest, ReaderRangeLimits) {
  EXPECT_EQ(card_.Port(), 1);
  EXPECT_EQ(card_.FirstReader(), 1);
  EXPECT_EQ(card_.LastReader(), 0);
  EXPECT_EQ(card_.Baud(), 9600);
  EXPECT_EQ(card_.OffLineDly(), 40);
  card_.SetFirstReader(0);
  card_.SetFirstReader(17);
  EXPECT_EQ(card_.FirstReader(), 1);
  card_.SetLastReader(20);
  EXPECT_EQ(card_.LastReader(), 0);
  card_.SetLastReader(-3);  // no lower bound
  EXPECT_EQ(card_.LastReader(), -3);
  card_.SetFirstReader(5);
  card_.SetReaders(20);
  EXPECT_EQ(card_.LastReader(), 16);
  EXPECT_EQ(card_.Readers(), 12);
  card_.SetReaders(0);
  card_.SetReaders(-2);
  EXPECT_EQ(card_.LastReader(), 16);
  card_.SetReaders(3);
  EXPECT_EQ(card_.LastReader(), 7);
}

TEST_F(CardTest, CommandRingHoldsFifteen) {
  TCommandRing ring;
  for (int i = 0; i < 15; ++i) EXPECT_TRUE(ring.Push(1, "C"));
  EXPECT_FALSE(ring.Push(1, "X"));
  EXPECT_EQ(ring.Waiting(), 15);
  TCommandRing::TCommand c;
  ASSERT_TRUE(ring.Front(c));
  ring.PopFront();
  EXPECT_TRUE(ring.Push(2, "O"));
}

TEST_F(CardTest, EventRingHoldsSixtyThreeAndOneCommStatus) {
  TEventRing ring;
  TEventValues v;
  v.reader = 1;
  EXPECT_TRUE(ring.Post(TEventKind::CommStatus, v));
  EXPECT_TRUE(ring.Post(TEventKind::CommStatus, v));  // skipped, still "true"
  EXPECT_EQ(ring.Waiting(), 1);
  for (int i = 0; i < 62; ++i) EXPECT_TRUE(ring.Post(TEventKind::PowerUp, v));
  EXPECT_EQ(ring.Waiting(), 63);
  EXPECT_FALSE(ring.Post(TEventKind::Error, v));
  TEventKind kind;
  ASSERT_TRUE(ring.Peek(kind, v));
  EXPECT_EQ(kind, TEventKind::CommStatus);
  ring.Drop();
  // With the waiting comm status gone, a new one is taken again.
  EXPECT_TRUE(ring.Post(TEventKind::CommStatus, v));
  EXPECT_EQ(ring.Waiting(), 63);
}

TEST_F(CardTest, EnqueueRefusesAddressesOutsideTheRange) {
  card_.SetFirstReader(2);
  card_.SetLastReader(5);
  TPoll poll(card_, main_.Loop());
  EXPECT_FALSE(poll.Enqueue(1, 'C', ""));
  EXPECT_FALSE(poll.Enqueue(6, 'C', ""));
  EXPECT_TRUE(poll.Enqueue(2, 'C', ""));
  EXPECT_TRUE(poll.Enqueue(5, 'C', ""));
  card_.SetLastReader(1);  // below FirstReader: nothing is taken
  EXPECT_FALSE(poll.Enqueue(1, 'C', ""));
  EXPECT_FALSE(poll.Enqueue(2, 'C', ""));
}

TEST_F(CardTest, EventsPostedWhileTheMainThreadIsBusyKeepSixtyThree) {
  std::atomic<int> raised{0};
  card_.OnPowerUp = [&](int) { ++raised; };
  std::atomic<bool> release{false};
  {
    TPoll poll(card_, main_.Loop());
    main_.Loop().Post([&] {
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    TEventValues v;
    v.reader = 1;
    int taken = 0;
    for (int i = 0; i < 70; ++i) taken += poll.Dispatcher().Post(TEventKind::PowerUp, v);
    EXPECT_EQ(taken, 63);
    release = true;
    main_.Do([] {});
    WaitUntil([&] { return raised >= 63; });
  }
  EXPECT_EQ(raised, 63);
}

TEST_F(CardTest, OpenForcesNoCountersAndNoInputsWithoutHandlers) {
  card_.SetFirstReader(1);
  card_.SetLastReader(1);
  ASSERT_TRUE(Open());
  EXPECT_TRUE(card_.NoCounters());
  EXPECT_TRUE(card_.NoInputs());
  ASSERT_TRUE(device_.WaitFrames([](const auto& f) { return f.size() >= 25; }));
  for (const auto& f : device_.Frames()) EXPECT_EQ(f.letter(), 'C');
  main_.Do([&] { card_.Close(); });
  EXPECT_TRUE(card_.NoCounters());
  EXPECT_TRUE(card_.NoInputs());
}

TEST_F(CardTest, OutboundCommandsCarryTheirData) {
  card_.SetFirstReader(1);
  card_.SetLastReader(4);
  ASSERT_TRUE(Open());
  const std::string longMsg(200, 'm');
  main_.Do([&] {
    card_.GateOpenMsg(3, true, 5, "Thank you...");
    card_.GateOpenMsg(3, false, 5, "Thank you...");
    card_.GateOpenMsg(2, true, 1234, "a");
    card_.GateOpenMsg(2, true, 0, "b");
    card_.GateOpenMsg(2, true, -7, "c");
    card_.SetOutput(4, true, 1);
    card_.SetOutput(4, false, 0x20);
    card_.PulseOutput(4, 3, 50);
    card_.PulseOutput(4, 1, 7);
    card_.SetClock(1, "120000260131");
    card_.SignMsg(1, "FULL");
    card_.TicketAck(1, "");
  });
  for (const char* want : {"G005Thank you...", "BThank you...", "G234a", "G000b", "G000c", "WA",
                           "F`", "PB50", "P@7", "M120000260131", "LFULL", "Y"}) {
    SCOPED_TRACE(want);
    EXPECT_TRUE(device_.WaitFrames([&](const std::vector<TPtyDevice::TFrame>& frames) {
      for (const auto& f : frames)
        if (f.command == want) return true;
      return false;
    }));
  }
  // Over-long messages are cut: 125 characters after the pulse, 128 alone.
  main_.Do([&] {
    card_.GateOpenMsg(1, true, 1, longMsg);
    card_.GateOpenMsg(1, false, 1, longMsg);
  });
  EXPECT_TRUE(WaitCommand(1, "G001" + std::string(125, 'm')));
  EXPECT_TRUE(WaitCommand(1, "B" + std::string(128, 'm')));
}

TEST_F(CardTest, ClosedCardIgnoresOutboundOperationsButKeepsTexts) {
  card_.SetFirstReader(1);
  card_.SetLastReader(1);
  main_.Do([&] {
    card_.SetGate(1, true);
    card_.GateOpenMsg(1, true, 5, "x");
    card_.SetIdleMsg(1, "IDLE");
    card_.SetIdleMsg(17, "never");
  });
  EXPECT_FALSE(card_.GetGate(1));
  EXPECT_EQ(card_.CardNo(), "");
  RecordAll();
  ASSERT_TRUE(Open());
  device_.QueueReply(1, ReplyFrame(ReplyText(1, 'P', "")));
  ASSERT_TRUE(WaitCommand(1, "XIDLE"));
  for (const auto& f : device_.Frames()) EXPECT_NE(f.letter(), 'G');
}

TEST_F(CardTest, OpenFailsForAMissingDevice) {
  std::ofstream(settings_) << "[Ports]\nCOM1=" << dir_.file("no-such-tty") << "\n";
  EXPECT_FALSE(Open());
  EXPECT_FALSE(card_.IsOpen());
}

TEST_F(CardTest, ClosingWhileACardHandOverWaitsNeverDeadlocks) {
  std::atomic<bool> dataRan{false};
  card_.OnData = [&](int, const std::string&) { dataRan = true; };
  card_.SetFirstReader(1);
  card_.SetLastReader(1);
  ASSERT_TRUE(Open());
  std::atomic<bool> closed{false};
  main_.Loop().Post([&] {
    // The main thread is busy while the card reply arrives: the poll thread
    // now waits for it in the hand-over. Closing here must not wait forever.
    device_.WaitFrames([](const auto& f) { return !f.empty(); });
    device_.QueueReply(1, ReplyFrame(ReplyText(1, 'C', "1")));
    device_.WaitMoreFrames(1);  // the poll that takes the card reply
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    card_.Close();
    closed = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return closed.load(); }));
  main_.Do([] {});
  EXPECT_FALSE(dataRan);
}

TEST_F(CardTest, CloseFromInsideItsOwnHandlerDoesNotDeadlock) {
  std::atomic<bool> closed{false};
  card_.OnData = [&](int, const std::string&) {
    card_.Close();
    closed = true;
  };
  card_.SetFirstReader(1);
  card_.SetLastReader(1);
  ASSERT_TRUE(Open());
  device_.QueueReply(1, ReplyFrame(ReplyText(1, 'C', "1")));
  ASSERT_TRUE(WaitUntil([&] { return closed.load(); }));
  main_.Do([&] { EXPECT_FALSE(card_.IsOpen()); });
  // The card opens again afterwards.
  ASSERT_TRUE(Open());
}

TEST_F(CardTest, VanishedDeviceTakesDevicesOfflineAndPollingGoesOn) {
  RecordAll();
  card_.SetFirstReader(1);
  card_.SetLastReader(2);
  ASSERT_TRUE(Open());
  ASSERT_TRUE(events_.WaitFor("ErrorEx 2 1"));
  device_.Vanish();
  ASSERT_TRUE(events_.WaitFor("Error 1"));
  ASSERT_TRUE(events_.WaitFor("Error 2"));
  main_.Do([&] {
    card_.SignMsg(1, "x");  // still accepted without a line
    card_.Close();
  });
  EXPECT_FALSE(card_.IsOpen());
}

// A port whose writes fail: comm status false is reported, the device goes offline.
class TFailingPort : public TSerialPort {
 public:
  bool Open(const std::string&, int, std::string&) override { return open_ = true; }
  void Close() override { open_ = false; }
  bool IsOpen() const override { return open_; }
  bool Write(const std::uint8_t*, std::size_t) override { return false; }
  int Read(std::uint8_t*, std::size_t, int timeoutMs) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    return 0;
  }
  void Purge() override {}

 private:
  bool open_ = false;
};

TEST_F(CardTest, FailedWritesReportCommStatusOnce) {
  RecordAll();
  card_.OnCommStatus = [&](int r, bool c) {
    events_.Add("CommStatus " + std::to_string(r) + (c ? " 1" : " 0"));
  };
  card_.SetPortFactory([] { return std::make_unique<TFailingPort>(); });
  card_.SetFirstReader(1);
  card_.SetLastReader(1);
  ASSERT_TRUE(Open());
  ASSERT_TRUE(events_.WaitFor("Error 1"));
  ASSERT_TRUE(events_.WaitFor("CommStatus 1 0", 2));
}

}  // namespace
}  // namespace orlo::test
