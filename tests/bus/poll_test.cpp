// The poll thread against a device end on a real pseudo-terminal: reply
// decoding, acknowledgements, online/offline bookkeeping, counter baselines.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "busfixture.h"
#include "support/wait.h"

namespace orlo::test {
namespace {

class PollTest : public BusTest {
 protected:
  void OpenOne(int address = 1) {
    if (!card_.OnPowerUp) RecordAll();
    card_.SetFirstReader(address);
    card_.SetLastReader(address);
    ASSERT_TRUE(Open());
    ASSERT_TRUE(events_.WaitFor("ErrorEx " + std::to_string(address) + " 1"));
  }
  std::size_t FramesOf(char letter) const {
    std::size_t n = 0;
    for (const auto& f : device_.Frames()) n += f.letter() == letter;
    return n;
  }
  // Waits until the device has received n more frames with this letter.
  bool WaitMoreOf(char letter, std::size_t n) {
    const std::size_t target = FramesOf(letter) + n;
    return device_.WaitFrames([&](const std::vector<TPtyDevice::TFrame>& frames) {
      std::size_t seen = 0;
      for (const auto& f : frames) seen += f.letter() == letter;
      return seen >= target;
    });
  }
  // The position of an event line, or -1.
  int IndexOf(const std::string& line) const {
    const auto lines = events_.Lines();
    const auto it = std::find(lines.begin(), lines.end(), line);
    return it == lines.end() ? -1 : static_cast<int>(it - lines.begin());
  }
};

// A device steered from the test thread: the text it answers counter polls
// with, one report for its next card poll, and silence (all of it, or until
// the next counter poll, which it answers first).
class TSteeredDevice {
 public:
  explicit TSteeredDevice(TPtyDevice& device) {
    device.SetResponder([state = state_](const TPtyDevice::TFrame& f, TPtyDevice::TAnswer& a) {
      return state->Answer(f, a);
    });
  }
  void Counter(const std::string& text) {
    std::lock_guard lk(state_->lock);
    state_->counter = text;
  }
  void NextCardPoll(char kind, const std::string& payload) {
    std::lock_guard lk(state_->lock);
    state_->report = ReplyText(1, kind, payload);
  }
  void Silent(bool on) {
    std::lock_guard lk(state_->lock);
    state_->silent = on;
  }
  void SilentUntilCounterPoll() {
    std::lock_guard lk(state_->lock);
    state_->silent = true;
    state_->untilCounterPoll = true;
  }

 private:
  struct TState {
    std::mutex lock;
    std::string counter = "00000";
    std::optional<std::string> report;
    bool silent = false;
    bool untilCounterPoll = false;

    // Device thread.
    bool Answer(const TPtyDevice::TFrame& f, TPtyDevice::TAnswer& a) {
      std::lock_guard lk(lock);
      if (silent && untilCounterPoll && f.letter() == 'R') silent = untilCounterPoll = false;
      if (silent) return true;  // no chunks: no answer
      if (f.letter() == 'R') {
        a.chunks = {ReplyFrame(ReplyText(f.address, 'R', counter))};
        return true;
      }
      if (f.letter() == 'C' && report) {
        a.chunks = {ReplyFrame(*report)};
        report.reset();
        return true;
      }
      return false;
    }
  };
  std::shared_ptr<TState> state_ = std::make_shared<TState>();
};

TEST_F(PollTest, FirstContactGivesPowerUpThenErrorEx) {
  OpenOne(1);
  EXPECT_EQ(events_.Matching("PowerUp 1").size(), 1u);
  const auto lines = events_.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "PowerUp 1");
  EXPECT_EQ(lines[1], "ErrorEx 1 1");
}

TEST_F(PollTest, DeviceSilentAtStartIsOfflineOnFirstFailure) {
  device_.SetOnline(2, false);
  RecordAll();
  card_.SetFirstReader(1);
  card_.SetLastReader(2);
  ASSERT_TRUE(Open());
  ASSERT_TRUE(events_.WaitFor("Error 2"));
  ASSERT_TRUE(events_.WaitFor("ErrorEx 1 1"));
  // Coming back: power-up then error-ex(false), in that order.
  device_.SetOnline(2, true);
  ASSERT_TRUE(events_.WaitFor("ErrorEx 2 0"));
  const auto two = events_.Matching("PowerUp 2");
  EXPECT_EQ(two.size(), 1u);
  std::vector<std::string> order;
  for (const auto& l : events_.Lines())
    if (l == "PowerUp 2" || l == "ErrorEx 2 0" || l == "Error 2") order.push_back(l);
  EXPECT_EQ(order, (std::vector<std::string>{"Error 2", "PowerUp 2", "ErrorEx 2 0"}));
}

TEST_F(PollTest, OfflineOnTheFourthConsecutiveFailureNotBefore) {
  OpenOne(1);
  // Three missed polls in a row, then answers: still online.
  device_.QueueSilence(1, 3);
  ASSERT_TRUE(device_.WaitMoreFrames(10));
  EXPECT_EQ(events_.Count("Error 1"), 0);

  // Four in a row: offline, then back on the next answer.
  device_.QueueSilence(1, 4);
  ASSERT_TRUE(events_.WaitFor("Error 1"));
  ASSERT_TRUE(events_.WaitFor("ErrorEx 1 0"));
  EXPECT_EQ(events_.Count("Error 1"), 1);
  EXPECT_EQ(events_.Count("PowerUp 1"), 2);  // first contact and return
  const TBusStats stats = card_.Stats();
  EXPECT_EQ(stats.failures, 7u);
  EXPECT_EQ(stats.offline, 1u);
  main_.Do([&] { card_.Close(); });  // the counters below are compared at rest
  // The same misses in the address's own counters: time-outs, not bad replies.
  const TAddressCounters& one = card_.LineCounters()->address[1];
  EXPECT_EQ(one.timeouts.load(), 7u);
  EXPECT_EQ(one.badReplies.load(), 0u);
  EXPECT_EQ(one.online.load(), 1);
  EXPECT_GT(one.replies.load(), 0u);
  EXPECT_EQ(one.replyLatency.Snapshot().Count(), one.replies.load());
}

TEST_F(PollTest, BadCheckByteCountsAsNoReply) {
  OpenOne(1);
  // Every frame is answered with the corrupted reply, however many polls it takes.
  device_.SetResponder([](const TPtyDevice::TFrame& f, TPtyDevice::TAnswer& a) {
    std::string bad = ReplyFrame(ReplyText(f.address, 'C', "999"));
    bad.back() = static_cast<char>(bad.back() ^ 0x20);
    a.chunks = {bad};
    return true;
  });
  ASSERT_TRUE(events_.WaitFor("Error 1"));
  EXPECT_TRUE(events_.Matching("Data").empty());
  const TAddressCounters& one = card_.LineCounters()->address[1];
  EXPECT_GE(one.badReplies.load(), 4u);
  EXPECT_EQ(one.timeouts.load(), 0u);
  EXPECT_EQ(one.online.load(), 0);
}

TEST_F(PollTest, CardReplyShapesReachOnData) {
  OpenOne(1);
  // Noise and an echo before SOH, a second SOH, a reply split across reads,
  // an empty payload, and a reply whose address byte names another device.
  device_.QueueReply(1, "\x7f\x02\x31\x43" + ReplyFrame(ReplyText(1, 'C', "111")));
  device_.QueueReply(1, "\x01\x31\x43\x39" + ReplyFrame(ReplyText(1, 'C', "222")));
  const std::string split = ReplyFrame(ReplyText(1, 'C', "333"));
  device_.QueueAnswer(1, {{split.substr(0, 3), split.substr(3, 2), split.substr(5)}, 3});
  device_.QueueReply(1, ReplyFrame(ReplyText(1, 'C', "")));
  device_.QueueReply(1, ReplyFrame(ReplyText(7, 'C', "444")));
  ASSERT_TRUE(events_.WaitFor("Data 1 444"));
  EXPECT_EQ(events_.Matching("Data"),
            (std::vector<std::string>{"Data 1 111", "Data 1 222", "Data 1 333", "Data 1 ",
                                      "Data 1 444"}));
}

TEST_F(PollTest, ALateReplyOfAnotherDeviceOfTheLoopGoesToThatDevice) {
  RecordAll();
  card_.SetFirstReader(1);
  card_.SetLastReader(2);
  ASSERT_TRUE(Open());
  ASSERT_TRUE(events_.WaitFor("ErrorEx 2 1"));
  // While address 1 is polled, address 2's belated card reply comes first and
  // address 1's own answer right after it.
  device_.QueueReply(1,
                     ReplyFrame(ReplyText(2, 'C', "555")) + ReplyFrame(ReplyText(1, 'C', "666")));
  ASSERT_TRUE(events_.WaitFor("Data 1 666"));
  EXPECT_EQ(events_.Matching("Data"), (std::vector<std::string>{"Data 2 555", "Data 1 666"}));
  EXPECT_EQ(events_.Count("Error 1"), 0);
  // Counted as late at the device that sent it.
  EXPECT_EQ(card_.LineCounters()->address[2].lateReplies.load(), 1u);
  EXPECT_EQ(card_.LineCounters()->address[1].lateReplies.load(), 0u);
}

TEST_F(PollTest, AckInsideAFrameIsAPlainAck) {
  OpenOne(1);
  device_.QueueReply(1, "\x01\x31\x43\x31\x06\x32\x04\x00");
  ASSERT_TRUE(device_.WaitMoreFrames(5));
  EXPECT_TRUE(events_.Matching("Data").empty());
  EXPECT_EQ(events_.Count("Error 1"), 0);
}

TEST_F(PollTest, EveryReplyKindRaisesItsEventAndQueuesItsAcknowledgement) {
  OpenOne(1);
  const struct {
    char kind;
    std::string payload;
    std::string event;
    std::string ack;  // command expected back, empty for none
  } cases[] = {
      {'#', "BC123", "BarCode 1 BC123", "A"},
      {'D', "42", "DiscCode 1 42", "D"},
      {'E', "x", "EscrowLever 1", "E"},
      {'J', "12,3", "Printer 1 12,3", "J"},
      {'K', "71", "ButtonUp 1 7", "K7"},
      {'K', "80", "ButtonDown 1 8", "K8"},
      {'U', "", "CashBox 1", "U"},
      {'Z', "500", "Deposit 1 500", "Z"},
      {'I', "\x05", "Input 1 \x05", ""},
      {'M', "M77", "Memory 1 M77", ""},
      {'C', "1234", "Data 1 1234", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.event);
    device_.QueueReply(1, ReplyFrame(ReplyText(1, c.kind, c.payload)));
    ASSERT_TRUE(events_.WaitFor(c.event));
    if (!c.ack.empty()) {
      ASSERT_TRUE(WaitCommand(1, c.ack));
    }
  }
  // Unknown kinds raise nothing.
  const auto before = events_.Lines().size();
  device_.QueueReply(1, ReplyFrame(ReplyText(1, 'Q', "zz")));
  ASSERT_TRUE(device_.WaitMoreFrames(4));
  for (const auto& l : events_.Lines()) EXPECT_EQ(l.find("zz"), std::string::npos);
  EXPECT_GE(events_.Lines().size(), before);
}

TEST_F(PollTest, BoardReportPostsOnlyTheInputsItCarries) {
  OpenOne(1);
  // Board byte '3' (board 3), inputs 0..4: off, on, nothing, off, nothing.
  device_.QueueReply(1, ReplyFrame(ReplyText(1, 'L', "312x1\x07")));
  ASSERT_TRUE(WaitCommand(1, "L3"));
  ASSERT_TRUE(events_.WaitFor("InputOff 1 3 3"));
  EXPECT_EQ(events_.Matching("Input"),
            (std::vector<std::string>{"InputOff 1 3 0", "InputOn 1 3 1", "InputOff 1 3 3"}));
}

TEST_F(PollTest, CounterBaselineAfterStartAndAfterPowerUp) {
  card_.SetNoCounters(false);
  card_.SetNoInputs(true);
  // Device thread only (the responder runs under the device's lock).
  std::string counter = "11111";
  bool powerUpSent = false;
  auto answerR = [](const TPtyDevice::TFrame& f, TPtyDevice::TAnswer& a, const std::string& v) {
    if (f.letter() != 'R') return false;
    a.chunks = {ReplyFrame(ReplyText(f.address, 'R', v))};
    return true;
  };
  device_.SetResponder([answerR](const auto& f, auto& a) { return answerR(f, a, "11111"); });
  auto countR = [](const std::vector<TPtyDevice::TFrame>& frames) {
    std::size_t n = 0;
    for (const auto& f : frames) n += f.letter() == 'R';
    return n;
  };
  auto waitRPolls = [&](std::size_t n) {
    const std::size_t target = countR(device_.Frames()) + n;
    return device_.WaitFrames(
        [&](const std::vector<TPtyDevice::TFrame>& frames) { return countR(frames) >= target; });
  };
  OpenOne(1);
  ASSERT_TRUE(waitRPolls(2));  // first answer is the baseline, the second is unchanged
  EXPECT_TRUE(events_.Matching("Counter").empty());
  device_.SetResponder([answerR](const auto& f, auto& a) { return answerR(f, a, "22222"); });
  ASSERT_TRUE(events_.WaitFor("Counter 1 22222"));

  // After a power-up the next answer is a new baseline again, changed or not.
  counter = "22222";
  device_.SetResponder([&](const TPtyDevice::TFrame& f, TPtyDevice::TAnswer& a) {
    if (f.letter() == 'C' && !powerUpSent) {
      powerUpSent = true;
      counter = "33333";
      a.chunks = {ReplyFrame(ReplyText(f.address, 'P', ""))};
      return true;
    }
    return answerR(f, a, counter);
  });
  ASSERT_TRUE(events_.WaitFor("PowerUp 1", 2));
  ASSERT_TRUE(waitRPolls(3));
  EXPECT_EQ(events_.Count("Counter 1 33333"), 0);
  device_.SetResponder([answerR](const auto& f, auto& a) { return answerR(f, a, "44444"); });
  ASSERT_TRUE(events_.WaitFor("Counter 1 44444"));
}

// A device that went silent and answers a counter poll before it reports its
// power-up: that answer was made after the restart and is not compared with
// the values of before. One that went silent without restarting keeps its
// counts, and its first answer is reported as soon as a card poll shows it
// did not restart.
TEST_F(PollTest, CounterAnswerBeforeThePowerUpReportIsNotComparedWithTheOldValues) {
  card_.SetNoInputs(true);
  TSteeredDevice dev(device_);
  dev.Counter("55555");
  OpenOne(1);
  ASSERT_TRUE(WaitMoreOf('R', 2));
  dev.Counter("66666");
  ASSERT_TRUE(events_.WaitFor("Counter 1 66666"));

  // Power cycle: silent until declared offline, counters back at 0, a counter
  // poll answered first, then the power-up report.
  dev.Silent(true);
  ASSERT_TRUE(events_.WaitFor("Error 1"));
  dev.Counter("00000");
  dev.NextCardPoll('p', "");
  dev.SilentUntilCounterPoll();
  ASSERT_TRUE(events_.WaitFor("CounterRestart 1"));
  ASSERT_TRUE(WaitMoreOf('R', 2));  // the first answer after the power-up is the baseline
  dev.Counter("10000");
  ASSERT_TRUE(events_.WaitFor("Counter 1 10000"));
  EXPECT_EQ(events_.Count("Counter 1 00000"), 0);
  EXPECT_LT(IndexOf("CounterRestart 1"), IndexOf("Counter 1 10000"));

  // A line outage: the device kept counting, and its first answer after it
  // reports the change without waiting for another one. No restart.
  dev.Silent(true);
  ASSERT_TRUE(events_.WaitFor("Error 1", 2));
  dev.Counter("30000");
  dev.SilentUntilCounterPoll();
  ASSERT_TRUE(events_.WaitFor("Counter 1 30000"));
  EXPECT_EQ(events_.Count("CounterRestart 1"), 1);
}

// While the main thread is busy the event ring fills up, and the counter
// restart of a power-up report finds no room: it stays pending, and a counter
// report made after the power-up waits for it instead of going first.
TEST_F(PollTest, CounterRestartRefusedByAFullEventRingStillGoesFirst) {
  card_.SetNoInputs(true);
  TSteeredDevice dev(device_);
  dev.Counter("22222");
  OpenOne(1);
  ASSERT_TRUE(WaitMoreOf('R', 2));

  std::promise<void> release;
  auto released = release.get_future().share();
  main_.Loop().Post([released] { released.wait(); });
  // Releases the main thread also when an assertion ends the test early.
  std::unique_ptr<std::promise<void>, void (*)(std::promise<void>*)> guard(
      &release, [](std::promise<void>* p) { p->set_value(); });

  // 64 input changes: 63 wait in the ring, and it is full.
  dev.NextCardPoll('L', "3" + std::string(64, '2'));
  ASSERT_TRUE(WaitMoreOf('L', 1));
  dev.NextCardPoll('P', "");
  ASSERT_TRUE(WaitMoreOf('X', 1));  // the gate re-send: the report was handled
  ASSERT_TRUE(WaitMoreOf('R', 1));  // the baseline after the power-up
  dev.Counter("33333");
  ASSERT_TRUE(WaitMoreOf('R', 2));  // the change, refused while the ring is full
  EXPECT_EQ(events_.Count("CounterRestart 1"), 0);

  guard.reset();
  ASSERT_TRUE(events_.WaitFor("Counter 1 33333", 1, std::chrono::seconds(60)));
  ASSERT_GE(IndexOf("CounterRestart 1"), 0);
  EXPECT_LT(IndexOf("CounterRestart 1"), IndexOf("Counter 1 33333"));
  EXPECT_EQ(events_.Count("Counter 1 33333"), 1);
}

TEST_F(PollTest, PollLettersFollowTheTicks) {
  card_.OnCounter = [](int, const std::string&) {};
  card_.OnInput = [](int, const std::string&) {};
  card_.SetFirstReader(1);
  card_.SetLastReader(1);
  ASSERT_TRUE(Open());
  ASSERT_TRUE(
      device_.WaitFrames([](const std::vector<TPtyDevice::TFrame>& f) { return f.size() >= 70; }));
  std::string letters;
  for (const auto& f : device_.Frames()) letters += f.letter();
  letters.resize(66);
  // 'R' every 11th poll; 'I' every 21st poll that is not an 'R' poll.
  std::string want;
  int c = 0, i = 0;
  for (int n = 0; n < 66; ++n) {
    char l = 'C';
    if (++c > 10) {
      c = 0;
      l = 'R';
    } else if (++i > 20) {
      i = 0;
      l = 'I';
    }
    want += l;
  }
  EXPECT_EQ(letters, want);
}

TEST_F(PollTest, FailingCommandRetriedWhileOnlineDroppedOnceOffline) {
  OpenOne(1);
  // The device falls silent from the moment the command reaches it. The
  // responder owns its state: the device thread may still call it after
  // this body has returned, until the fixture stops the device.
  auto silent = std::make_shared<std::atomic<bool>>(false);
  device_.SetResponder(
      [silent, triggered = false](const TPtyDevice::TFrame& f, TPtyDevice::TAnswer&) mutable {
        if (f.letter() == 'L' && !triggered) triggered = *silent = true;
        return silent->load();
      });
  main_.Do([&] { card_.SignMsg(1, "HELLO"); });
  ASSERT_TRUE(events_.WaitFor("Error 1"));
  // Command, poll, command, poll (offline): the command went out twice while
  // the device counted as online, and once more to be dropped.
  *silent = false;
  ASSERT_TRUE(events_.WaitFor("ErrorEx 1 0"));
  ASSERT_TRUE(device_.WaitMoreFrames(5));
  EXPECT_EQ(FramesTo(1, 'L').size(), 3u);
}

TEST_F(PollTest, PowerUpResendsTheHeldGateState) {
  card_.SetIdleMsg(1, "WELCOME");
  card_.SetGateUpMsg(1, "GATE UP");
  OpenOne(1);
  device_.QueueReply(1, ReplyFrame(ReplyText(1, 'P', "")));
  ASSERT_TRUE(WaitCommand(1, "XWELCOME"));
  main_.Do([&] { card_.SetGate(1, true); });
  ASSERT_TRUE(WaitCommand(1, "OGATE UP"));
  EXPECT_TRUE(card_.GetGate(1));
}

// The main thread changes the held gate state at random moments around the
// poll thread's re-send after a power-up report: whatever the interleaving,
// the last gate command the device receives is the state held last.
TEST_F(PollTest, GateResentAfterPowerUpNeverOvertakesAConcurrentSetGate) {
  card_.SetIdleMsg(1, "DOWN");
  card_.SetGateUpMsg(1, "UP");
  // Device thread: the next card poll after arming is answered with a power-up.
  auto armed = std::make_shared<std::atomic<char>>(0);
  auto reported = std::make_shared<std::atomic<int>>(0);
  device_.SetResponder([armed, reported](const TPtyDevice::TFrame& f, TPtyDevice::TAnswer& a) {
    if (f.letter() != 'C') return false;
    const char kind = armed->exchange(0);
    if (kind == 0) return false;
    a.chunks = {ReplyFrame(ReplyText(f.address, kind, ""))};
    ++*reported;
    return true;
  });
  OpenOne(1);
  auto cardPolls = [](const std::vector<TPtyDevice::TFrame>& frames) {
    std::size_t n = 0;
    for (const auto& f : frames) n += f.letter() == 'C';
    return n;
  };
  auto lastGateCommand = [this] {
    const auto frames = device_.Frames();
    for (auto f = frames.rbegin(); f != frames.rend(); ++f)
      if (std::toupper(f->letter()) == 'O' || std::toupper(f->letter()) == 'X') return *f;
    return TPtyDevice::TFrame{};
  };

  std::mt19937 rng(7);
  constexpr int kRounds = 300;
  int mismatches = 0;
  for (int round = 0; round < kRounds; ++round) {
    const int before = *reported;
    *armed = rng() % 2 ? 'P' : 'p';
    // A burst of changes back to back, starting a random moment after the
    // device answered with its power-up: its end falls at varying moments
    // around the poll thread's re-send, which contends with the burst for the
    // gate state. At most twelve, so that the ring holds them all.
    const auto offset = std::chrono::microseconds(rng() % 120);
    std::vector<bool> burst(1 + rng() % 12);
    for (std::size_t i = 0; i < burst.size(); ++i) burst[i] = rng() % 2 == 1;
    bool held = false;
    main_.Do([&] {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (*reported == before && std::chrono::steady_clock::now() < deadline) {
      }
      const auto start = std::chrono::steady_clock::now() + offset;
      while (std::chrono::steady_clock::now() < start) {
      }
      for (const bool up : burst) card_.SetGate(1, up);
      held = card_.GetGate(1);
    });
    ASSERT_EQ(*reported, before + 1) << "the device was never polled after arming";
    // One command goes out per poll cycle: after the re-send and the burst
    // plus one more card poll, every command queued by now has gone out.
    const std::size_t target = cardPolls(device_.Frames()) + burst.size() + 2;
    ASSERT_TRUE(device_.WaitFrames([&](const auto& f) { return cardPolls(f) >= target; }));
    const TPtyDevice::TFrame last = lastGateCommand();
    const bool sentUp = std::toupper(last.letter()) == 'O';
    if (sentUp != held) {
      ++mismatches;
      ADD_FAILURE() << "round " << round << ": held " << (held ? "up" : "down")
                    << ", last command sent " << last.command;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST_F(PollTest, ClockStampedGateCommandsAfterLowerCasePowerUp) {
  card_.SetIdleMsg(1, "IDLE");
  card_.SetGateUpMsg(1, "UP");
  OpenOne(1);
  device_.QueueReply(1, ReplyFrame(ReplyText(1, 'p', "")));
  auto isStamped = [](const TPtyDevice::TFrame& f, char letter, const std::string& text) {
    const std::string d = f.data();
    if (f.letter() != letter || d.size() != 12 + text.size()) return false;
    for (int i = 0; i < 12; ++i)
      if (d[i] < '0' || d[i] > '9') return false;
    return d.substr(12) == text;
  };
  ASSERT_TRUE(device_.WaitFrames([&](const std::vector<TPtyDevice::TFrame>& frames) {
    for (const auto& f : frames)
      if (isStamped(f, 'x', "IDLE")) return true;
    return false;
  }));
  main_.Do([&] { card_.SetGate(1, true); });
  ASSERT_TRUE(device_.WaitFrames([&](const std::vector<TPtyDevice::TFrame>& frames) {
    for (const auto& f : frames)
      if (isStamped(f, 'o', "UP")) return true;
    return false;
  }));
  // A new Open forgets the mark: plain 'O' again.
  ASSERT_TRUE(Open());
  main_.Do([&] { card_.SetGate(1, true); });
  ASSERT_TRUE(WaitCommand(1, "OUP"));
}

TEST_F(PollTest, CardNoShowsTheLatestPayloadUpToNul) {
  RecordAll();
  std::string seen;
  card_.OnData = [&](int, const std::string& v) {
    seen = v;
    events_.Add("card " + card_.CardNo());
  };
  OpenOne(1);
  device_.QueueReply(1, ReplyFrame(ReplyText(1, 'C', std::string("987\0xy", 6))));
  ASSERT_TRUE(events_.WaitFor("card 987"));
  EXPECT_EQ(seen, std::string("987\0xy", 6));
  main_.Do([&] { card_.Close(); });
  EXPECT_EQ(card_.CardNo(), "");
}

TEST_F(PollTest, HandlerQueuedGateCommandIsTheNextFrame) {
  card_.SetFirstReader(1);
  card_.SetLastReader(3);
  RecordAll();
  card_.OnData = [&](int r, const std::string& v) {
    card_.GateOpenMsg(r, true, 5, "Thank you");
    events_.Add("Data " + std::to_string(r) + " " + v);
  };
  ASSERT_TRUE(Open());
  ASSERT_TRUE(events_.WaitFor("ErrorEx 3 1"));
  device_.QueueReply(2, ReplyFrame(ReplyText(2, 'C', "55")));
  ASSERT_TRUE(WaitCommand(2, "G005Thank you"));
  const auto frames = device_.Frames();
  for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
    if (frames[i + 1].command == "G005Thank you") {
      EXPECT_EQ(frames[i].address, 2);
      EXPECT_NE(std::string("CRI").find(frames[i].letter()), std::string::npos);  // the poll
    }
  }
}

// The counters given to the card outlive a close: a reopened card counts on
// (a rebuilt loop keeps its counts), with every online state unknown until
// the device answers again. A card handler sees when its reply arrived.
TEST_F(PollTest, GivenLineCountersCountOnAcrossAReopen) {
  auto counters = std::make_shared<TLineCounters>();
  card_.SetLineCounters(counters);
  std::chrono::steady_clock::time_point replied{};
  std::chrono::steady_clock::time_point handled{};
  RecordAll();
  card_.OnData = [&](int r, const std::string& v) {
    replied = card_.HandOverReplyTime();
    handled = std::chrono::steady_clock::now();
    events_.Add("Data " + std::to_string(r) + " " + v);
  };
  card_.SetFirstReader(1);
  card_.SetLastReader(1);
  ASSERT_TRUE(Open());
  ASSERT_TRUE(events_.WaitFor("ErrorEx 1 1"));
  device_.QueueReply(1, ReplyFrame(ReplyText(1, 'C', "77")));
  ASSERT_TRUE(events_.WaitFor("Data 1 77"));
  main_.Do([&] {
    EXPECT_NE(replied, std::chrono::steady_clock::time_point{});
    EXPECT_LE(replied, handled);
    EXPECT_EQ(card_.HandOverReplyTime(), std::chrono::steady_clock::time_point{});
    card_.Close();
  });
  const std::uint64_t polls = counters->address[1].polls.load();
  EXPECT_GT(polls, 0u);
  EXPECT_EQ(counters->address[1].online.load(), 1);

  device_.SetOnline(1, false);
  ASSERT_TRUE(Open());
  EXPECT_TRUE(WaitUntil([&] { return counters->address[1].online.load() == 0; }));
  EXPECT_GT(counters->address[1].polls.load(), polls);
}

TEST_F(PollTest, PayOnFootFramesStartWithEnq) {
  card_.SetPayOnFoot(true);
  OpenOne(1);
  for (const auto& f : device_.Frames()) EXPECT_EQ(f.start, '\x05');
}

TEST_F(PollTest, HandlerExceptionsAreContained) {
  RecordAll();
  card_.OnBarCode = [](int, const std::string&) { throw std::runtime_error("boom"); };
  card_.OnData = [](int, const std::string&) { throw std::runtime_error("boom"); };
  card_.SetFirstReader(1);
  card_.SetLastReader(1);
  ASSERT_TRUE(Open());
  device_.QueueReply(1, ReplyFrame(ReplyText(1, '#', "X")));
  device_.QueueReply(1, ReplyFrame(ReplyText(1, 'C', "1")));
  device_.QueueReply(1, ReplyFrame(ReplyText(1, 'D', "9")));
  ASSERT_TRUE(events_.WaitFor("DiscCode 1 9"));
}

// Random, well-framed reports of every kind (and unknown ones) with random
// payloads up to the length cap: the poll thread decodes them all and keeps
// polling; a card read afterwards still arrives.
TEST_F(PollTest, RandomReportsNeverBreakThePollThread) {
  RecordAll();
  card_.OnCounter = [](int, const std::string&) {};
  card_.OnInput = [](int, const std::string&) {};
  // Reports answer polls only; the acknowledgements they cause get ACK.
  device_.SetResponder([](const TPtyDevice::TFrame& f, TPtyDevice::TAnswer& a) {
    if (f.letter() == 'C' || f.letter() == 'R' || f.letter() == 'I') return false;
    a.chunks = {"\x06"};
    return true;
  });
  OpenOne(1);
  std::mt19937 rng(4242);
  const std::string kinds = "#CDEIJKLMPRUZpQ\x00";
  for (int i = 0; i < 300; ++i) {
    std::string payload;
    const std::size_t len = rng() % 3 == 0 ? rng() % 300 : rng() % 8;
    for (std::size_t j = 0; j < len; ++j) {
      char c;
      do c = static_cast<char>(rng() % 256);
      while (c == 0x01 || c == 0x04 || c == 0x06);
      payload.push_back(c);
    }
    device_.QueueReply(1, ReplyFrame(ReplyText(1, kinds[rng() % kinds.size()], payload)));
  }
  device_.QueueReply(1, ReplyFrame(ReplyText(1, 'C', "END")));
  ASSERT_TRUE(events_.WaitFor("Data 1 END", 1, std::chrono::seconds(120)));
}

}  // namespace
}  // namespace orlo::test
