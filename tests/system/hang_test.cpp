// The real orlocard program with a database server that stops answering (the
// test's own MariaDB server stopped with SIGSTOP: its port and connections
// stay open and nothing is answered, as with a hung host, a pulled cable or a
// failed switch): between cards, in the middle of a decision, and during a
// restart request. Every card gets one answer: the low-security opening or a
// refusal while the server hangs, a decision again once it answers.
//
// The answer times are printed (they are what the bounds on the silent
// server are checked against, by hand): no assertion is made on them, the
// machines running the tests are shared and slow under sanitizers.
#include <cstdio>
#include <future>
#include <set>
#include <thread>

#include "config/inifile.h"
#include "sitefixture.h"

namespace orlo::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReader = 1;
constexpr int kFirstCard = 5000;
constexpr int kCards = 500;

double MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// One presentation and the answer it got.
struct TAnswer {
  std::string text;  // letter and data of the gate frame: "G007Thank you...", "BSystem ERROR!"
  double ms = -1;    // from the card's last byte on the line to the answer's arrival
  int answers = 0;   // distinct gate answers before the next presentation
};

class HungServerTest : public SystemFixture {
 protected:
  Backend Kind() const override { return Backend::MariaDB; }
  bool OwnServer() const override { return true; }
  void TearDown() override {
    if (server_) server_->Thaw();
    holder_.DisconnectFromDataSource();
    SystemFixture::TearDown();
  }

  // The demo site with cards 5000.. named "N<i> X" (each presented once, so
  // passback never refuses), the reader's pulse 7, the simulator on COM1
  // and the program started.
  void StartSite(bool lowSecurity) {
    ASSERT_TRUE(site_.LoadDemo());
    AddNamedCards(kFirstCard, kCards);
    Exec("UPDATE device SET open_pulse = 7 WHERE id = 1");
    sim_ = &StartSim(1, {1, 2, 3, 4});
    TIniFileEx(SettingsFile())
        .WriteString("Settings", "Low Security on DB Error", lowSecurity ? "1" : "0");
    StartProgram();
    ASSERT_TRUE(WaitLog("Started!")) << LogText();
  }

  std::string NextCard() { return std::to_string(kFirstCard + next_++); }

  // Presents the next card at the reader and waits for its answer.
  TAnswer Present(std::chrono::milliseconds deadline = kDeadline) {
    const std::string card = NextCard();
    sim_->QueueReply(kReader, 'C', card);
    TAnswer answer;
    sim_->WaitFrames(
        [&](const std::vector<sim::TReceivedFrame>& frames) {
          const sim::TReceivedFrame* carried = nullptr;
          for (const auto& f : frames) {
            if (!carried) {
              if (f.frame.address == kReader && f.frame.letter == 'C' &&
                  f.answer.find(card) != std::string::npos && f.answeredAt != Clock::time_point{})
                carried = &f;
            } else if (f.frame.address == kReader &&
                       (f.frame.letter == 'G' || f.frame.letter == 'B')) {
              answer.text = std::string(1, f.frame.letter) + f.frame.data;
              answer.ms = MsBetween(carried->answeredAt, f.at);
              return true;
            }
          }
          return false;
        },
        deadline);
    answers_.push_back({card, answer.text});
    return answer;
  }

  // Every presentation got exactly one decision: the gate frames between
  // one card and the next carry one text (a command acknowledged late is
  // sent again, the same).
  void ExpectOneAnswerPerCard() {
    std::vector<std::set<std::string>> texts(answers_.size());
    int current = -1;
    for (const auto& f : sim_->Frames()) {
      if (f.frame.address != kReader) continue;
      if (f.frame.letter == 'C' && current + 1 < static_cast<int>(answers_.size()) &&
          f.answer.find(answers_[current + 1].first) != std::string::npos)
        ++current;
      else if (current >= 0 && (f.frame.letter == 'G' || f.frame.letter == 'B'))
        texts[current].insert(std::string(1, f.frame.letter) + f.frame.data);
    }
    for (std::size_t i = 0; i < answers_.size(); ++i)
      EXPECT_EQ(texts[i].size(), 1u)
          << "card " << answers_[i].first << " got " << texts[i].size() << " different answers";
  }

  // Presents a card at each of these seconds into a hang that starts now,
  // expecting the answer given without the database.
  void PresentDuringHang(const std::vector<double>& seconds, const std::string& expected) {
    server_->Freeze();
    const auto frozen = Clock::now();
    for (double s : seconds) {
      std::this_thread::sleep_until(frozen + std::chrono::milliseconds(static_cast<int>(s * 1000)));
      const double at = MsBetween(frozen, Clock::now()) / 1000;
      const TAnswer a = Present();
      EXPECT_EQ(a.text, expected) << LogText();
      std::printf("[hang] card presented %5.1f s into the hang: answered in %7.1f ms (%s)\n", at,
                  a.ms, a.text.c_str());
    }
  }

  // Thaws the server and presents cards until one is decided again; prints
  // how long that took.
  void ThawAndWaitForDecisions() {
    server_->Thaw();
    const auto thawed = Clock::now();
    TAnswer a;
    while (Clock::now() - thawed < kDeadline) {
      a = Present();
      if (a.text.find("Welcome") != std::string::npos) break;
      // A driver tries again a little later.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_NE(a.text.find("Welcome"), std::string::npos) << LogText();
    std::printf("[hang] decisions again %.1f s after the server answered again\n",
                MsBetween(thawed, Clock::now()) / 1000);
  }

  sim::TSimulator* sim_ = nullptr;
  int next_ = 0;
  std::vector<std::pair<std::string, std::string>> answers_;  // card, answer
  TODBC holder_;
};

// Moments into the hang: before and around the stall limit and the driver's
// time-out, and well past them.
const std::vector<double> kMoments = {0.2, 1.5, 3.5, 5.0, 7.0, 10.0, 12.0};

TEST_F(HungServerTest, AHangBetweenCardsIsAnsweredWithLowSecurityUntilTheServerAnswers) {
  StartSite(true);
  ASSERT_EQ(Present().text, "G007Welcome N0 X") << LogText();
  PresentDuringHang(kMoments, "G007Thank you...");
  ThawAndWaitForDecisions();
  ExpectOneAnswerPerCard();
  EXPECT_TRUE(Running());
  EXPECT_EQ(StopProgram(), 0);
  EXPECT_NE(LogText().find("ODBC Connection 'Dead'!"), std::string::npos);
}

TEST_F(HungServerTest, WithoutLowSecurityCardsAreRefusedDuringAHang) {
  StartSite(false);
  ASSERT_EQ(Present().text, "G007Welcome N0 X") << LogText();
  PresentDuringHang({0.2, 3.5, 10.0}, "BSystem ERROR!");
  ThawAndWaitForDecisions();
  ExpectOneAnswerPerCard();
  EXPECT_EQ(StopProgram(), 0);
  EXPECT_NE(LogText().find("Cannot connect to DB!  Card Refused, Loop Id 1 address 1"),
            std::string::npos);
}

// The decision has written its card updates and waits for its trans row
// (another program holds the table) when the server falls silent.
TEST_F(HungServerTest, AHangInTheMiddleOfADecisionLeavesNoPartOfItOnRecord) {
  StartSite(true);
  ASSERT_EQ(Present().text, "G007Welcome N0 X") << LogText();
  ASSERT_TRUE(site_.ConnectAnother(holder_));
  ASSERT_TRUE(holder_.BeginTransaction());
  {
    TODBCStatement hold(holder_);
    ASSERT_TRUE(hold.ExecSQL("SELECT * FROM trans FOR UPDATE") || hold.Eof());
  }
  const std::string card = std::to_string(kFirstCard + next_);
  auto answer = std::async(std::launch::async, [&] { return Present(); });
  ASSERT_TRUE(WaitUntil([&] {
    return site_.QueryInt(
               "SELECT COUNT(*) AS n FROM information_schema.processlist "
               "WHERE info LIKE 'INSERT INTO trans%'") > 0;
  })) << LogText();
  server_->Freeze();
  const TAnswer a = answer.get();
  EXPECT_EQ(a.text, "G007Thank you...") << LogText();
  std::printf(
      "[hang] card in the middle of its decision when the server hung: answered in %.1f ms\n",
      a.ms);
  EXPECT_TRUE(WaitLog("Decision not recorded: Loop Id 1 address 1, Card " + card));
  server_->Thaw();
  holder_.DisconnectFromDataSource();
  ThawAndWaitForDecisions();
  ExpectOneAnswerPerCard();
  EXPECT_EQ(CountRows("trans", "card_no = " + card), 0);
  EXPECT_EQ(StopProgram(), 0);
}

// A restart request carried out while the server falls silent: the start-up
// fails at the login's time-out, is tried again, and cards are decided once
// the server answers.
TEST_F(HungServerTest, AHangDuringARestartRequestEndsInANewStartUp) {
  StartSite(true);
  ASSERT_EQ(Present().text, "G007Welcome N0 X") << LogText();
  Exec("UPDATE settings SET reset_tolvsql = 1");
  ASSERT_TRUE(WaitLog("ShutDown...")) << LogText();
  server_->Freeze();
  ASSERT_TRUE(WaitLog("Failed connection, check ODBC install and parameters", 1,
                      std::chrono::milliseconds(60000)))
      << LogText();
  EXPECT_TRUE(Running());
  server_->Thaw();
  ASSERT_TRUE(WaitLog("Started!", 2, std::chrono::milliseconds(90000))) << LogText();
  ThawAndWaitForDecisions();
  EXPECT_EQ(StopProgram(), 0);
}

}  // namespace
}  // namespace orlo::test
