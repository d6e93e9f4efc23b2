// The real orlocard program under faults: the database server killed and
// started again under card traffic, the serial device vanishing and coming
// back, a noisy line, a burst of events larger than the event ring, an
// unreadable settings file and registry store, and a log folder that cannot
// be written for a while.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "config/inifile.h"
#include "sitefixture.h"

namespace orlo::test {
namespace {

namespace fs = std::filesystem;

// The gate answers ('G') the simulator received for an address, from frame
// sequence number `from` on: data is the pulse (three digits) and the text.
std::vector<sim::TReceivedFrame> GateFrames(sim::TSimulator& sim, int address,
                                            std::uint64_t from = 0) {
  std::vector<sim::TReceivedFrame> out;
  for (const auto& f : sim.Frames())
    if (f.seq >= from && f.frame.address == address && f.frame.letter == 'G') out.push_back(f);
  return out;
}

std::string GateText(const sim::TReceivedFrame& f) {
  return f.frame.data.size() > 3 ? f.frame.data.substr(3) : "";
}

// The sequence number the next frame will get.
std::uint64_t NextSeq(sim::TSimulator& sim) {
  const auto frames = sim.Frames();
  return frames.empty() ? 1 : frames.back().seq + 1;
}

bool WaitCardPolls(sim::TSimulator& sim, int address, int count) {
  const std::uint64_t from = NextSeq(sim);
  return sim.WaitFrames(
      [&](const std::vector<sim::TReceivedFrame>& frames) {
        int n = 0;
        for (const auto& f : frames)
          n += f.seq >= from && f.frame.address == address && f.frame.letter == 'C';
        return n >= count;
      },
      kDeadline);
}

// --- the database server killed under card traffic ---

class ServerOutageTest : public SystemFixture {
 protected:
  Backend Kind() const override { return Backend::MariaDB; }
  bool OwnServer() const override { return true; }
};

// Cards 5000, 5001, ... (each presented once, so passback never refuses) are
// named "N<i> X": every "Welcome" answer tells which card it decided.
constexpr int kFirstCard = 5000;
constexpr int kCards = 600;

TEST_F(ServerOutageTest, DecisionsResumeAfterTheServerReturnsAndNoDecisionLosesItsRow) {
  ASSERT_TRUE(site_.LoadDemo());
  AddNamedCards(kFirstCard, kCards);
  auto& sim = StartSim(1, {1, 2, 3, 4});
  TIniFileEx(SettingsFile()).WriteString("Settings", "Low Security on DB Error", "1");
  StartProgram();
  ASSERT_TRUE(WaitLog("Started!")) << LogText();

  // Card traffic at the entry reader: the next card as soon as the last one
  // went out, until the test ends.
  std::atomic<int> presented{0};
  std::jthread traffic([&](std::stop_token stop) {
    while (!stop.stop_requested() && presented < kCards) {
      if (sim.Queued(1) == 0) sim.QueueReply(1, 'C', std::to_string(kFirstCard + presented++));
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return GateFrames(sim, 1).size() >= 10; })) << LogText();

  const std::uint64_t killedAt = NextSeq(sim);  // frames before this: decided while up
  server_->Kill();
  ASSERT_TRUE(WaitLog("ODBC Connection 'Dead'!")) << LogText();
  // Low-security mode: cards pass without the database.
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& f : GateFrames(sim, 1, killedAt))
      if (GateText(f) == "Thank you...") return true;
    return false;
  })) << LogText();
  EXPECT_TRUE(Running());

  ASSERT_TRUE(server_->Restart());
  const std::uint64_t restartedAt = NextSeq(sim);
  // Decisions resume: a "Welcome" answer after the server came back.
  auto welcomeSince = [&](std::uint64_t from) {
    int n = 0;
    for (const auto& f : GateFrames(sim, 1, from)) n += GateText(f).rfind("Welcome ", 0) == 0;
    return n;
  };
  ASSERT_TRUE(
      WaitUntil([&] { return welcomeSince(restartedAt) >= 5; }, std::chrono::milliseconds(120000)))
      << LogText();
  traffic.request_stop();
  traffic.join();
  // The program sees the server back with its next connection check: until
  // then cards still pass in low-security mode. From its first decision on,
  // every answer is a decision again.
  std::uint64_t resumedAt = 0;
  for (const auto& f : GateFrames(sim, 1, restartedAt))
    if (GateText(f).rfind("Welcome ", 0) == 0) {
      resumedAt = f.seq;
      break;
    }
  ASSERT_GT(resumedAt, 0u);
  EXPECT_TRUE(Running());
  EXPECT_EQ(StopProgram(), 0);

  // Every decision answered while the server was up has its transaction row:
  // the ones before the kill, and the ones since decisions resumed (the
  // answer is queued after the row was written). Answers in between are the
  // low-security opening or a decision the outage cut short.
  TODBC fresh;
  ASSERT_TRUE(site_.ConnectAnother(fresh));
  std::set<int> rows;
  {
    TODBCStatement q(fresh);
    for (bool ok = q.ExecSQL("SELECT card_no FROM trans"); ok; ok = q.dbSkip())
      rows.insert(static_cast<int>(q.FieldAsFloat("card_no")));
  }
  // A gate command whose acknowledgement came late is sent again, so one
  // decision may show as two equal frames: decisions are counted by card.
  std::set<int> decidedWhileUp;
  for (const auto& f : GateFrames(sim, 1)) {
    if (f.seq >= killedAt && f.seq < resumedAt) continue;
    const std::string text = GateText(f);
    ASSERT_EQ(text.rfind("Welcome N", 0), 0u) << "unexpected answer " << text;
    const int card = kFirstCard + std::atoi(text.c_str() + 9);
    decidedWhileUp.insert(card);
    EXPECT_EQ(rows.count(card), 1u) << "no trans row for card " << card << " answered " << text;
  }
  EXPECT_GE(rows.size(), decidedWhileUp.size());
  const std::string log = LogText();
  EXPECT_NE(log.find("Cannot connect to DB!  Card Allowed, Loop Id 1 address 1"),
            std::string::npos);
  EXPECT_NE(log.find("Connected to DataSource!"), std::string::npos);
}

// --- the serial device vanishing and coming back ---

using SerialLineTest = SystemFixture;

TEST_F(SerialLineTest, AVanishedDeviceThatReappearsBehindItsLinkIsPolledAgain) {
  AddLoop(4, "gatepc", true, 1);
  AddDevice(4, 1, "Entry");
  auto& sim = StartSim(1, {1});
  // COM1 names a link that is pointed at whichever pseudo-terminal is the
  // line of the moment, as udev or a line bridge would.
  const std::string link = dir_.file("com1");
  fs::create_symlink(sim.Path(), link);
  TIniFileEx(SettingsFile()).WriteString("Ports", "COM1", link);
  StartProgram();
  ASSERT_TRUE(WaitLog("Device started.  LoopId 4")) << LogText();
  ASSERT_TRUE(WaitCardPolls(sim, 1, 3)) << LogText();

  sim.Close();  // the device disappears
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(Running());
  std::string error;
  ASSERT_TRUE(sim.OpenPty(error)) << error;
  sim.ClearFrames();
  fs::remove(link);
  fs::create_symlink(sim.Path(), link);
  EXPECT_TRUE(WaitCardPolls(sim, 1, 3)) << "the loop does not poll the new line\n" << LogText();
  EXPECT_TRUE(Running());
  EXPECT_EQ(StopProgram(), 0);
}

// --- noise and bad frames, and a device answering at once ---

using NoisyLineTest = SystemFixture;

TEST_F(NoisyLineTest, CardsAreStillDecidedAfterAFloodOfNoiseAndBadFrames) {
  ASSERT_TRUE(site_.LoadDemo());
  auto& sim = StartSim(1, {1, 2, 3, 4});
  for (int a = 1; a <= 4; ++a) sim.SetAnswerDelay(a, 0);  // as fast as it can
  StartProgram();
  ASSERT_TRUE(WaitLog("Started!")) << LogText();
  ASSERT_TRUE(WaitCardPolls(sim, 1, 3)) << LogText();

  // Noise never holds SOH (0x01), so it can never make a frame by chance; the
  // bad frames carry SOH but a wrong check byte, a wrong address or junk.
  std::uint32_t seed = 12345;
  auto noise = [&](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) {
      seed = seed * 1103515245u + 12345u;
      char c = static_cast<char>((seed >> 16) & 0xFF);
      s += c == '\x01' ? '\x02' : c;
    }
    return s;
  };
  for (int i = 0; i < 60; ++i) {
    sim.SendRaw(noise(40));
    sim::TReplyOptions bad;
    bad.badCheck = true;
    sim.QueueReply(1, 'C', "1001", bad);
    sim::TReplyOptions noisy;
    noisy.noise = noise(8);
    noisy.badCheck = true;
    sim.QueueReply(1, 'C', "1002", noisy);
    sim.QueueRaw(1, "\x01" + noise(12));
  }
  ASSERT_TRUE(WaitUntil([&] { return sim.Queued(1) == 0; })) << LogText();
  EXPECT_TRUE(Running());
  EXPECT_EQ(CountRows("trans"), 0) << "a bad frame was taken for a card";

  const std::uint64_t from = NextSeq(sim);
  sim.QueueReply(1, 'C', "1001");
  ASSERT_TRUE(WaitUntil([&] { return !GateFrames(sim, 1, from).empty(); })) << LogText();
  EXPECT_EQ(GateText(GateFrames(sim, 1, from).front()), "Welcome Ann Lee");
  EXPECT_TRUE(WaitUntil([&] { return CountRows("trans", "card_no = 1001") == 1; }));
  EXPECT_EQ(CountRows("trans"), 1);
  EXPECT_EQ(StopProgram(), 0);
}

// --- more events than the event ring holds ---

class EventBurstTest : public SystemFixture {
 protected:
  Backend Kind() const override { return Backend::MariaDB; }
};

// The main thread is held in a query (the settings table locked by the test)
// while the barcode reader reports 100 barcodes: the ring keeps the first 63,
// the rest are lost, and the loop goes on once the main thread is free.
TEST_F(EventBurstTest, ABurstBeyondTheRingKeepsTheFirst63AndTheLoopGoesOn) {
  ASSERT_TRUE(site_.LoadDemo());
  auto& sim = StartSim(1, {1, 2, 3, 4});
  StartProgram();
  ASSERT_TRUE(WaitLog("Started!")) << LogText();
  ASSERT_TRUE(WaitCardPolls(sim, 3, 3)) << LogText();

  ASSERT_TRUE(site_.Exec("LOCK TABLES settings WRITE"));
  TODBC watcher;
  ASSERT_TRUE(site_.ConnectAnother(watcher));
  auto waiting = [&] {
    TODBCStatement q(watcher);
    return q.ExecSQL(
               "SELECT COUNT(*) AS n FROM information_schema.processlist "
               "WHERE state LIKE 'Waiting for table%' AND db = '" +
               site_.Name() + "'") &&
           q.FieldAsInteger("n") > 0;
  };
  ASSERT_TRUE(WaitUntil(waiting)) << "the main tick never waited for the lock";

  constexpr int kBurst = 100;
  auto code = [](int i) {
    char text[16];
    std::snprintf(text, sizeof text, "BURST%03d", i);
    return std::string(text);
  };
  for (int i = 0; i < kBurst; ++i) sim.QueueReply(3, '#', code(i));
  ASSERT_TRUE(WaitUntil([&] { return sim.Queued(3) == 0; })) << "the reports did not go out";
  ASSERT_TRUE(WaitCardPolls(sim, 3, 3));  // polled on with the main thread held
  ASSERT_TRUE(site_.Exec("UNLOCK TABLES"));

  ASSERT_TRUE(WaitLog("Got BarcodeEvent event!  - 3 - |BURST", 63)) << LogText();
  // A later report still arrives: the loop goes on, and by then every kept
  // event of the burst was handled. A report answered while the line
  // stalls past the reply time-out is lost on the line (a slow machine under
  // a sanitizer does that), so the reader presents it again, as a driver would.
  const bool marked = WaitUntil([&] {
    sim.QueueReply(3, '#', "MARK");
    return WaitLog("Got BarcodeEvent event!  - 3 - |MARK|", 1, std::chrono::seconds(5));
  });
  ASSERT_TRUE(marked) << LogText();
  const std::string log = LogText();
  EXPECT_EQ(CountOf(log, "Got BarcodeEvent event!  - 3 - |BURST"), 63);
  for (int i = 0; i < 63; ++i)
    EXPECT_NE(log.find("|" + code(i) + "|"), std::string::npos) << code(i) << " was lost";
  EXPECT_TRUE(Running());
  EXPECT_EQ(StopProgram(), 0);
}

// --- unreadable configuration ---

using ConfigFaultTest = SystemFixture;

TEST_F(ConfigFaultTest, ARegistryStoreThatIsAFolderIsNamedAndTheDefaultsAreUsed) {
  const std::string store = dir_.file("store-folder");
  fs::create_directory(store);
  TProgramRun run(dir_.path().string(), store);
  ASSERT_TRUE(run.Start());
  ASSERT_TRUE(run.WaitLog("Registry store " + store + " cannot be read (it is a folder)"))
      << run.LogText() << run.Output();
  // The defaults name a database that is not there: the start-up is retried.
  ASSERT_TRUE(run.WaitLog("Failed connection, check ODBC install and parameters", 1,
                          std::chrono::milliseconds(60000)))
      << run.LogText();
  EXPECT_TRUE(run.Running());
  EXPECT_EQ(run.Stop(), 0);
}

TEST_F(ConfigFaultTest, AnUnreadableRegistryStoreIsNamedToo) {
  if (geteuid() == 0)
    GTEST_SKIP() << "running as root: chmod 000 does not stop root from reading; the folder "
                    "case above covers an unreadable store";
  const std::string store = dir_.file("registry.reg");
  ASSERT_EQ(chmod(store.c_str(), 0), 0);
  TProgramRun run(dir_.path().string(), store);
  ASSERT_TRUE(run.Start());
  EXPECT_TRUE(run.WaitLog("Registry store " + store + " cannot be read (")) << run.LogText();
  EXPECT_EQ(run.Stop(), 0);
}

// A settings file that cannot be read: the loop says which file, opens no
// port, and the program runs on (the other loops and the main-timer jobs).
TEST_F(ConfigFaultTest, ASettingsFileThatIsAFolderIsNamedAndTheProgramRunsOn) {
  AddLoop(4, "gatepc", true, 1);
  AddDevice(4, 1, "Entry");
  fs::create_directory(SettingsFile());
  StartProgram();
  ASSERT_TRUE(WaitLog("Started!")) << LogText();
  EXPECT_TRUE(WaitLog("CreateCardInterface - Exception: Unable to write to " + SettingsFile()))
      << LogText();
  EXPECT_EQ(LogCount("Device started."), 0);
  // Still steered through the database: a restart request is taken.
  Exec("UPDATE settings SET reset_tolvsql = 1");
  EXPECT_TRUE(WaitLog("Started!", 2)) << LogText();
  EXPECT_TRUE(Running());
  EXPECT_EQ(StopProgram(), 0);
}

TEST_F(ConfigFaultTest, AnUnreadableSettingsFileIsNamedToo) {
  if (geteuid() == 0)
    GTEST_SKIP() << "running as root: chmod 000 does not stop root from reading; the folder "
                    "case above covers an unreadable settings file";
  AddLoop(4, "gatepc", true, 1);
  AddDevice(4, 1, "Entry");
  StartSim(1, {1});
  ASSERT_EQ(chmod(SettingsFile().c_str(), 0), 0);
  StartProgram();
  ASSERT_TRUE(WaitLog("Started!")) << LogText();
  EXPECT_TRUE(WaitLog("CreateCardInterface - Exception: Unable to write to " + SettingsFile()))
      << LogText();
  EXPECT_EQ(StopProgram(), 0);
}

// --- a log folder that cannot be written for a while ---

using LogFaultTest = SystemFixture;

TEST_F(LogFaultTest, LinesOfAnUnwritableSpellAreWrittenWhenTheFolderIsBack) {
  ASSERT_TRUE(site_.LoadDemo());
  auto& sim = StartSim(1, {1, 2, 3, 4});
  StartProgram();
  ASSERT_TRUE(WaitLog("Started!")) << LogText();

  // The log folder becomes a file: no log file can be opened in it.
  const fs::path folder = dir_.path() / "log";
  const fs::path away = dir_.path() / "log.away";
  fs::rename(folder, away);
  std::ofstream(folder.string()) << "not a folder\n";
  std::uint64_t from = NextSeq(sim);
  sim.QueueReply(1, 'C', "1001");
  // Cards are decided all the same.
  ASSERT_TRUE(WaitUntil([&] { return !GateFrames(sim, 1, from).empty(); }));
  EXPECT_EQ(GateText(GateFrames(sim, 1, from).front()), "Welcome Ann Lee");
  EXPECT_TRUE(WaitUntil([&] { return CountRows("trans", "card_no = 1001") == 1; }));

  fs::remove(folder);
  fs::rename(away, folder);
  from = NextSeq(sim);
  sim.QueueReply(2, 'C', "1001");  // Ann leaves
  ASSERT_TRUE(WaitUntil([&] { return !GateFrames(sim, 2, from).empty(); }));
  ASSERT_TRUE(WaitLog("Got CardData event!  - 2 - |1001|")) << LogText();
  // The line of the spell is kept and written first, then the new ones.
  const std::string log = LogText();
  const auto kept = log.find("Got CardData event!  - 1 - |1001|");
  ASSERT_NE(kept, std::string::npos) << log;
  EXPECT_LT(kept, log.find("Got CardData event!  - 2 - |1001|"));
  // Nothing was dropped: far fewer lines than the bound were held.
  EXPECT_EQ(log.find("lines dropped while the log file could not be written"), std::string::npos);
  EXPECT_TRUE(Running());
  EXPECT_EQ(StopProgram(), 0);
  EXPECT_EQ(LogCount("End Log"), 1);
}

// More lines than the log holds back while its folder cannot be written: the
// start-up logs one line per bad line of the registry store, with "log" a
// plain file. Once the folder is back, the newest lines are written after the
// report of how many were dropped.
TEST_F(LogFaultTest, BeyondTheBoundTheOldestLinesAreDroppedAndReported) {
  ASSERT_TRUE(site_.LoadDemo());
  auto& sim = StartSim(1, {1, 2, 3, 4});
  constexpr int kJunk = 10100;  // more than TMessLog keeps (10000)
  int firstJunk = 0;
  {
    // Every line of the store so far, then the junk lines.
    std::ifstream in(dir_.file("registry.reg"));
    std::string line;
    while (std::getline(in, line)) ++firstJunk;
    ++firstJunk;
    std::ofstream out(dir_.file("registry.reg"), std::ios::app);
    for (int i = 0; i < kJunk; ++i) out << "junk line " << i << "\n";
  }
  const fs::path folder = dir_.path() / "log";
  std::ofstream(folder.string()) << "not a folder\n";
  StartProgram();
  ASSERT_TRUE(WaitCardPolls(sim, 1, 3)) << "the program did not start";

  fs::remove(folder);
  fs::create_directory(folder);
  const std::uint64_t from = NextSeq(sim);
  sim.QueueReply(1, 'C', "1001");
  ASSERT_TRUE(WaitUntil([&] { return !GateFrames(sim, 1, from).empty(); }));
  ASSERT_TRUE(WaitLog("Got CardData event!  - 1 - |1001|")) << LogText().substr(0, 2000);
  const std::string log = LogText();
  const auto report = log.find(" lines dropped while the log file could not be written");
  ASSERT_NE(report, std::string::npos) << log.substr(0, 2000);
  const auto numberAt = log.rfind("TMessLog: ", report);
  ASSERT_NE(numberAt, std::string::npos);
  const int dropped = std::atoi(log.c_str() + numberAt + 10);
  EXPECT_GT(dropped, kJunk - 10000);
  // The oldest junk lines went, the newest stayed, at most the bound in all.
  const int kept = CountOf(log, ": skipped line ");
  EXPECT_LE(kept, 10000);
  EXPECT_GE(kept + dropped, kJunk) << kept << " kept, " << dropped << " dropped";
  EXPECT_EQ(log.find("skipped line " + std::to_string(firstJunk) + ":"), std::string::npos);
  EXPECT_NE(log.find("skipped line " + std::to_string(firstJunk + kJunk - 1) + ":"),
            std::string::npos);
  EXPECT_NE(log.find("Started!"), std::string::npos);
  EXPECT_LT(report, log.find("Got CardData event!  - 1 - |1001|"));
  EXPECT_TRUE(Running());
  EXPECT_EQ(StopProgram(), 0);
}

}  // namespace
}  // namespace orlo::test
