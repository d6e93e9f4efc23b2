// Reader clock setting: every N-th minute job sets the clocks of the ticket
// spitters and, by setting, the barcode exit readers of the loop.
#include <algorithm>
#include <cctype>
#include <string>

#include "bus/card.h"
#include "loopfixture.h"

namespace orlo::test {
namespace {

class LoopClock : public LoopFixture {
 protected:
  // Spitter at 2, exit reader at 3, card reader at 4.
  void StartLoop(int minutes, bool exitReaders) {
    AddLoop(1, "GATEPC", 7);
    AddDevice(1, 2, "Spitter", {{"device_type", "1"}});
    AddDevice(1, 3, "Exit", {{"device_type", "2"}});
    AddDevice(1, 4, "Reader", {{"device_type", "0"}});
    StartSim(7, {2, 3, 4});
    SetSetting("Sync Readers every XX minutes", std::to_string(minutes));
    SetSetting("Sync Exit Reader", exitReaders ? "1" : "0");
    CreateLoop(1);
    ASSERT_TRUE(WaitLog("Device started.")) << LogText();
  }
  void MinuteJobs(int n) {
    OnMain([&] {
      for (int i = 0; i < n; ++i) Loop().SyncClocks();
    });
  }
  static bool TwelveDigits(const std::string& s) {
    return s.size() == 12 &&
           std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
  }
};

TEST_F(LoopClock, SpittersAndExitReadersAreSetEveryPeriod) {
  StartLoop(3, true);
  MinuteJobs(2);
  EXPECT_EQ(LogCount("Automated Sync Of Time/Date to Spitters & Exit Readers"), 0);
  MinuteJobs(1);
  EXPECT_EQ(LogCount("Automated Sync Of Time/Date to Spitters & Exit Readers"), 1);
  EXPECT_EQ(LogCount("  Done T/D Sync"), 1);
  sim::TReceivedFrame f;
  ASSERT_TRUE(WaitFrame(2, 'M', "", &f));
  EXPECT_TRUE(TwelveDigits(f.frame.data)) << f.frame.data;
  ASSERT_TRUE(WaitFrame(3, 'M', "", &f));
  EXPECT_TRUE(TwelveDigits(f.frame.data)) << f.frame.data;
  EXPECT_TRUE(WaitPolls(4));
  EXPECT_TRUE(FramesOf(4, 'M').empty());
  OnMain([&] { EXPECT_EQ(Peer().SyncCount(), 0); });

  // The next setting comes three minute jobs later.
  MinuteJobs(2);
  EXPECT_EQ(LogCount("  Done T/D Sync"), 1);
  MinuteJobs(1);
  EXPECT_EQ(LogCount("  Done T/D Sync"), 2);
  EXPECT_TRUE(WaitUntil([&] { return FramesOf(2, 'M').size() == 2; }));
}

TEST_F(LoopClock, ExitReadersAreLeftOutWhenSettingsSaySo) {
  StartLoop(1, false);
  MinuteJobs(1);
  EXPECT_EQ(LogCount("  Done T/D Sync"), 1);
  EXPECT_TRUE(WaitFrame(2, 'M'));
  EXPECT_TRUE(WaitPolls(3));
  EXPECT_TRUE(FramesOf(3, 'M').empty());
}

TEST_F(LoopClock, ZeroMinutesNeverSetsAClock) {
  StartLoop(0, true);
  MinuteJobs(100);
  OnMain([&] { EXPECT_EQ(Peer().SyncCount(), 0); });
  EXPECT_TRUE(WaitPolls(2));
  EXPECT_TRUE(FramesOf(2, 'M').empty());
  EXPECT_EQ(LogCount("Automated Sync"), 0);
}

TEST_F(LoopClock, CardReadersOnlyCountAndResetQuietly) {
  AddLoop(1, "GATEPC", 7);
  AddDevice(1, 1, "Reader 1");
  AddDevice(1, 2, "Reader 2");
  StartSim(7, {1, 2});
  SetSetting("Sync Readers every XX minutes", "2");
  CreateLoop(1);
  ASSERT_TRUE(WaitLog("Device started.")) << LogText();
  MinuteJobs(1);
  OnMain([&] { EXPECT_EQ(Peer().SyncCount(), 1); });
  MinuteJobs(1);
  OnMain([&] { EXPECT_EQ(Peer().SyncCount(), 0); });
  EXPECT_EQ(LogCount("Automated Sync"), 0);
  EXPECT_EQ(LogCount("Done T/D Sync"), 0);
  EXPECT_TRUE(WaitPolls(1));
  EXPECT_TRUE(FramesOf(1, 'M').empty());
}

}  // namespace
}  // namespace orlo::test
