// Card and memory-card events end to end: a card reported by the simulated
// reader is judged against the database and answered on the line.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "cardloop.h"
#include "config/registryex.h"
#include "platform/format.h"
#include "support/privatemariadb.h"
#include "support/sqlfile.h"

namespace orlo::test {
namespace {

class CardEventsTest : public CardLoopTest {
 protected:
  void SetUp() override {
    CardLoopTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    // Card 1003 gets a dated type, so it is refused as expired at any hour.
    Exec("INSERT INTO card_type (id, name, access_level_id, msg_id) VALUES (4, 'Dated', 1, 1)");
    Exec("UPDATE card SET type_id = 4, card_type = 4 WHERE number = 1003");
  }
};

TEST_P(CardEventsTest, GrantedCardOpensWithTheExpandedTextAndIsCountedOnce) {
  StartLoop();
  Present(1, "1001");
  EXPECT_EQ(NextGateAnswer(1), "G005Welcome Ann Lee");
  // The decision is committed before the answer goes out; the passage is
  // counted while (or after) it does.
  EXPECT_EQ(TransCount(), 1);
  ASSERT_TRUE(WaitUntil([&] { return CountSoft(1) == 1; })) << LogText();
  EXPECT_EQ(TransCount("card_no = 1001 AND error_code = 0 AND device_id = 1"), 1);
  EXPECT_EQ(LotCount(), 1);  // input-7 item of the entry reader adds to lot 1
  int pulse = -1;
  OnMain([&] { pulse = Peer().LastPulse(); });
  EXPECT_EQ(pulse, 5);
}

TEST_P(CardEventsTest, RefusedCardShowsItsTextWithoutOpeningAndCountsNothing) {
  Exec("UPDATE device SET open_pulse = 8 WHERE id = 1");
  StartLoop();
  Present(1, "1003");
  EXPECT_EQ(NextGateAnswer(1), "BCard expired");
  ASSERT_TRUE(WaitUntil([&] { return TransCount("card_no = 1003") == 1; }));
  EXPECT_EQ(TransCount("error_code = 3"), 1);
  EXPECT_TRUE(NoFurtherGateAnswer(1));
  EXPECT_EQ(CountSoft(1), 0);
  EXPECT_EQ(LotCount(), 0);
  int pulse = -1;
  OnMain([&] { pulse = Peer().LastPulse(); });
  EXPECT_EQ(pulse, 8);  // the device's pulse, even for a refusal
}

TEST_P(CardEventsTest, SoftFailureOpensWithItsFailureText) {
  Exec("UPDATE settings SET soft_group = 1");
  Exec("UPDATE card_pool SET cur_inlot = 2 WHERE id = 1");
  Exec("UPDATE card SET group_id = 1 WHERE number = 1001");
  StartLoop();
  Present(1, "1001");
  EXPECT_EQ(NextGateAnswer(1), "G005Group full");
  ASSERT_TRUE(WaitUntil([&] { return CountSoft(1) == 1; }));
  EXPECT_EQ(TransCount("error_code = 13"), 1);
  EXPECT_EQ(QueryInt("SELECT cur_inlot FROM card_pool WHERE id = 1"), 2);
}

TEST_P(CardEventsTest, NotOnFileShowsTheNumberThroughPercentC) {
  StartLoop();
  Present(1, "777");
  EXPECT_EQ(NextGateAnswer(1), "BCard 777 unknown");
  Present(1, "12ab");  // not a number: judged as card 0
  EXPECT_EQ(NextGateAnswer(1), "BCard 0 unknown");
  ASSERT_TRUE(WaitUntil([&] { return TransCount("error_code = 1") == 2; }));
  EXPECT_EQ(CountSoft(1), 0);
}

// A double holds 9007199254740993 as 9007199254740992, and the drivers give
// card numbers back rounded to 15 digits: a longer number is logged and judged
// as card 0, never looked up as the card it would round to.
TEST_P(CardEventsTest, CardNumberOfMoreThan15DigitsIsNeverTakenForAnotherCard) {
  Exec(
      "INSERT INTO card (number, type_id, card_type, first_name, last_name) "
      "VALUES (9007199254740992, 1, 1, 'Eve', 'Near')");
  Exec(
      "INSERT INTO card (number, type_id, card_type, first_name, last_name) "
      "VALUES (123456789012345, 1, 1, 'Max', 'Long')");
  StartLoop();
  Present(1, "9007199254740993");
  EXPECT_EQ(NextGateAnswer(1), "BCard 0 unknown");
  EXPECT_TRUE(
      WaitLog("Card number 9007199254740993 has more than 15 digits and cannot be held "
              "exactly: judged as card 0"));
  Present(1, "9007199254740992");  // on file, but no more exact than its neighbour
  EXPECT_EQ(NextGateAnswer(1), "BCard 0 unknown");
  Present(1, "0123456789012345");  // fifteen digits after a leading zero
  EXPECT_EQ(NextGateAnswer(1), "G005Welcome Max Long");
  ASSERT_TRUE(WaitUntil([&] { return TransCount() == 3; }));
  EXPECT_EQ(TransCount("card_no = 0 AND error_code = 1"), 2);
  EXPECT_EQ(TransCount("card_no = 123456789012345 AND error_code = 0"), 1);

  PresentMemory(1, "24031509309007199254740993");  // the same in a memory-card record
  ASSERT_TRUE(WaitLog("Card number 9007199254740993 has more than 15 digits", 2));
  ASSERT_TRUE(WaitUntil([&] { return TransCount() == 4; }));
  EXPECT_EQ(TransCount("card_no = 0 AND error_code = 1 AND mem_flag = 1"), 1);
}

TEST_P(CardEventsTest, CardTypeWithMessageSetZeroUsesTheDevicesSet) {
  Exec("INSERT INTO messages (id, accepted, not_on_file) VALUES (5, 'Set five %f', 'x')");
  Exec("UPDATE card_type SET msg_id = 0 WHERE id = 1");
  Exec("UPDATE device SET msg_id = 5 WHERE id = 1");
  StartLoop();
  Present(1, "1001");
  EXPECT_EQ(NextGateAnswer(1), "G005Set five Ann");
}

// With "Config Cache (seconds)" the message sets are kept across decisions
// while the card row is read at each; the uses left show as this pass left
// them.
TEST_P(CardEventsTest, KeptMessageSetsAndALiveCardRow) {
  SetSetting("Config Cache (seconds)", "3600");
  StartLoop();
  ASSERT_TRUE(WaitLog("Configuration rows of card decisions are kept for 3600 seconds"));
  Present(1, "1004");
  EXPECT_EQ(NextGateAnswer(1), "G005Hello Dee, 9 uses left");
  Exec("UPDATE messages SET accepted = 'Changed' WHERE id = 2");
  Exec("UPDATE card SET first_name = 'Eve' WHERE number = 1004");
  Present(2, "1004");
  EXPECT_EQ(NextGateAnswer(2), "G005Hello Eve, 9 uses left");
}

TEST_P(CardEventsTest, SpecialOutputsByFloor) {
  // Direction 3: no passback bookkeeping, so the card may pass again and again.
  Exec("UPDATE device SET special_out = 1, dir_ection = 3 WHERE id = 1");
  Exec("UPDATE card SET space_no = 12 WHERE number = 1001");
  StartLoop();
  struct Case {
    int floor;
    const char* answer;
    const char* pulse;  // data of the 'P' frame, "" for none
  };
  const Case cases[] = {
      {2, "BGoing Up!", "B50"},        // output 3 (0x3F + 3), ten times the pulse
      {1, "BGoing Up!", "@50"},        // output 1
      {3, "BGoing Up!", "C50"},        // output 4
      {4, "G005Going Up!", ""},        // opens, no pulse output
      {0, "G005Welcome Ann Lee", ""},  // invalid floor: the normal open
  };
  std::size_t pulses = 0;
  for (const auto& c : cases) {
    Exec(Format("UPDATE spots SET floor = %d WHERE number = 12", c.floor));
    Present(1, "1001");
    EXPECT_EQ(NextGateAnswer(1), c.answer) << "floor " << c.floor;
    if (*c.pulse) {
      ++pulses;
      ASSERT_TRUE(WaitUntil([&] { return FramesOf(1, 'P').size() >= pulses; }));
      EXPECT_EQ(FramesOf(1, 'P').back().frame.data, c.pulse) << "floor " << c.floor;
    }
  }
  Exec("UPDATE card SET space_no = 99 WHERE number = 1001");  // no such spot
  Present(1, "1001");
  EXPECT_EQ(NextGateAnswer(1), "G005Welcome Ann Lee");
  ASSERT_TRUE(WaitUntil([&] { return CountSoft(1) == 6; }));
  EXPECT_EQ(FramesOf(1, 'P').size(), 3u);
}

// Ten times a pulse near the top of the integer range does not fit it: the
// output pulse is the longest there is, not an overflowed number.
TEST_P(CardEventsTest, SpecialOutputOfAHugePulseIsTheLongestOutputPulse) {
  Exec("UPDATE device SET special_out = 1, open_pulse = 1e12 WHERE id = 1");
  Exec("UPDATE card SET space_no = 12 WHERE number = 1001");
  Exec("UPDATE spots SET floor = 2 WHERE number = 12");
  StartLoop();
  Present(1, "1001");
  EXPECT_EQ(NextGateAnswer(1), "BGoing Up!");
  ASSERT_TRUE(WaitUntil([&] { return FramesOf(1, 'P').size() == 1; }));
  EXPECT_EQ(FramesOf(1, 'P').back().frame.data, "B2147483647");
}

TEST_P(CardEventsTest, MemoryRecordsAreJudgedAtTheirOwnTimeWithoutGateFrames) {
  StartLoop();
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, msec = 0;
  const TDateTime when = Now() - 1.0 / 24;  // an hour ago
  DecodeDate(when, year, month, day);
  DecodeTime(when, hour, minute, second, msec);
  const std::string stamp = Format("%.2d%.2d%.2d%.2d%.2d", year % 100, month, day, hour, minute);
  const TDateTime expected = EncodeDate(year, month, day) + EncodeTime(hour, minute, 0, 0);

  PresentMemory(1, stamp + "1001");
  ASSERT_TRUE(WaitUntil([&] { return CountSoft(1) == 1; })) << LogText();
  EXPECT_EQ(TransCount("card_no = 1001 AND error_code = 0"), 1);
  const TDateTime stored = QueryDateTime("SELECT dat_e FROM trans WHERE card_no = 1001", "dat_e");
  EXPECT_NEAR(stored, expected, 1.0 / kSecondsPerDay);

  PresentMemory(1, stamp + "1003");  // refused: recorded, nothing sent, not counted
  ASSERT_TRUE(WaitUntil([&] { return TransCount("card_no = 1003") == 1; }));
  EXPECT_TRUE(NoFurtherGateAnswer(1));
  EXPECT_EQ(CountSoft(1), 1);
  EXPECT_EQ(TransCount("error_code = 3"), 1);
}

INSTANTIATE_TEST_SUITE_P(Backends, CardEventsTest, LoopBackends(), LoopBackendName);

// The database is unreachable: cards pass on "Low Security on DB Error" with
// the pulse of the last decided card, whatever kind of device reads them, and
// are refused without it; no device that waits for an answer is left without.
class LowSecurityTest : public CardLoopTest {};

TEST_P(LowSecurityTest, WithoutADecisionSinceStartTheOpenPulseIsZero) {
  SetSetting("Low Security on DB Error", "1");
  StartLoop();
  TakeDatabaseDown();
  Present(4, "012345678901234567");  // spitter: acknowledged, then let through
  ASSERT_TRUE(WaitFrame(4, 'Y'));
  EXPECT_EQ(NextGateAnswer(4), "G000Thank you...");
  Present(3, "0123456789");  // barcode exit reader reporting through card data
  EXPECT_EQ(NextGateAnswer(3), "G000Thank you...");
  PresentBarcode(3, "0123456789");  // a barcode report, the same
  EXPECT_EQ(NextGateAnswer(3), "G000Thank you...");
  EXPECT_TRUE(NoFurtherGateAnswer(3));
  EXPECT_EQ(CountRows("tickinv"), 0);
  EXPECT_EQ(TransCount(), 0);
}

TEST_P(LowSecurityTest, ReaderGetsThePulseOfTheLastDecidedCard) {
  SetRegistryDword("DebugLog", 1);
  SetSetting("Low Security on DB Error", "1");
  Exec("UPDATE device SET open_pulse = 7 WHERE id = 1");
  StartLoop();
  Present(1, "1001");
  EXPECT_EQ(NextGateAnswer(1), "G007Welcome Ann Lee");
  ASSERT_TRUE(WaitUntil([&] { return CountSoft(1) == 1; }));
  TakeDatabaseDown();
  Present(1, "1001");
  EXPECT_EQ(NextGateAnswer(1), "G007Thank you...");
  PresentMemory(1, "24031509301001");
  EXPECT_EQ(NextGateAnswer(1), "G007Thank you...");
  EXPECT_TRUE(WaitLog("Cannot connect to DB!  Card Allowed, Loop Id 1 address 1, Card 1001", 1));
  EXPECT_EQ(TransCount(), 1);  // nothing recorded while down
  EXPECT_EQ(CountSoft(1), 1);
}

TEST_P(LowSecurityTest, WithoutTheSettingReadersAreRefusedAndRecordsStayUnanswered) {
  StartLoop();
  TakeDatabaseDown();
  Present(1, "1001");
  EXPECT_EQ(NextGateAnswer(1), "BSystem ERROR!");
  EXPECT_TRUE(WaitLog("Cannot connect to DB!  Card Refused, Loop Id 1 address 1, Card 1001"));
  PresentBarcode(3, "0123456789");
  EXPECT_EQ(NextGateAnswer(3), "BSystem ERROR!");
  // The reader decided a memory-card record itself, and a spitter's ticket
  // was acknowledged: neither waits for a gate answer.
  PresentMemory(1, "24031509301001");
  ASSERT_TRUE(WaitLog("Got MemoryData event!"));
  Present(4, "012345678901234567");
  ASSERT_TRUE(WaitFrame(4, 'Y'));
  EXPECT_TRUE(NoFurtherGateAnswer(1));
  EXPECT_TRUE(NoFurtherGateAnswer(4));
  EXPECT_EQ(TransCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, LowSecurityTest, LoopBackends(), LoopBackendName);

// The same with the database server itself stopped.
using StoppedServerTest = PrivateServerCardTest;

TEST_P(StoppedServerTest, CardsPassWithTheLastPulseWhileTheServerIsStopped) {
  StartPrivateServer();
  if (HasFatalFailure()) return;
  SetSetting("Low Security on DB Error", "1");
  StartLoop();
  Present(1, "1001");
  EXPECT_EQ(NextGateAnswer(1), "G007Welcome Ann Lee");
  ASSERT_TRUE(WaitLog("Got CardData event!  - 1 - |1001|"));

  ASSERT_TRUE(server_->Stop());
  ASSERT_TRUE(WaitUntil([&] { return !LoopDatabaseUp(); })) << LogText();
  Present(1, "1001");  // reader
  EXPECT_EQ(NextGateAnswer(1), "G007Thank you...");
  Present(3, "0123456789");  // exit reader reporting through card data
  EXPECT_EQ(NextGateAnswer(3), "G007Thank you...");
  Present(4, "0" + CycleBarcode(Now(), 7) + "000042");  // spitter
  ASSERT_TRUE(WaitFrame(4, 'Y'));
  EXPECT_EQ(NextGateAnswer(4), "G007Thank you...");
}

INSTANTIATE_TEST_SUITE_P(MariaDB, StoppedServerTest, ::testing::Values(LoopBackend::MariaDB),
                         LoopBackendName);

}  // namespace
}  // namespace orlo::test
