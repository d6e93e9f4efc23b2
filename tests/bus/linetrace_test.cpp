// The line trace of a real poll thread on a pseudo-terminal with the device
// simulator at line speed: the capture read back with libpcap holds every
// frame the simulator received and every answer it sent, and tshark with the
// shipped Wireshark dissector decodes them as the simulator recorded them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "bus/frame.h"
#include "bus/tracefile.h"
#include "busfixture.h"
#include "log/messlog.h"
#include "simulator.h"
#include "support/tracereader.h"
#include "support/wait.h"

namespace orlo::test {
namespace {

namespace fs = std::filesystem;

constexpr int kLoopId = 5;

std::string LowerHex(const std::string& bytes) {
  std::string out;
  char buf[3];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02x", c);
    out += buf;
  }
  return out;
}

std::vector<std::string> Split(const std::string& line, char sep) {
  std::vector<std::string> out(1);
  for (char c : line) {
    if (c == sep)
      out.emplace_back();
    else
      out.back() += c;
  }
  return out;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

class LineTraceTest : public ::testing::Test {
 protected:
  LineTraceTest() : card_(main_.Loop()), log_(dir_.file("bus.log"), false, false, false, true) {}
  ~LineTraceTest() override {
    main_.Do([this] { card_.Close(); });
  }

  void SetUp() override {
    std::string error;
    ASSERT_TRUE(sim_.OpenPty(error)) << error;
    sim_.SetPace(9600);
    for (int a = 1; a <= 4; ++a) sim_.AddDevice(a);  // 5 stays silent
    const std::string settings = dir_.file("orlocard.ini");
    std::ofstream(settings) << "[Ports]\nCOM3=" << sim_.Path() << "\n";
    card_.SetSettingsFile(settings);
    card_.SetPort(3);
    card_.SetRespDly(kTestRespDly);
    card_.SetFirstReader(1);
    card_.SetLastReader(5);
    card_.SetLog(&log_);
    TLineTraceSettings trace;
    trace.enabled = true;
    trace.folder = dir_.file("trace");
    trace.loopId = kLoopId;
    card_.SetLineTrace(trace);
    card_.OnError = [this](int r) { events_.Add("Error " + std::to_string(r)); };
    card_.OnErrorEx = [this](int r, bool) { events_.Add("ErrorEx " + std::to_string(r)); };
    card_.OnData = [this](int r, const std::string& v) {
      card_.GateOpenMsg(r, true, 5, "Welcome " + v);
      events_.Add("Data " + std::to_string(r) + " " + v);
    };
    card_.OnBarCode = [this](int r, const std::string& v) {
      events_.Add("BarCode " + std::to_string(r) + " " + v);
    };
  }

  bool SimSaw(int address, const std::string& letterAndData) {
    return sim_.WaitFrames(
        [&](const std::vector<sim::TReceivedFrame>& frames) {
          for (const auto& f : frames)
            if (f.frame.address == address &&
                std::string(1, f.frame.letter) + f.frame.data == letterAndData)
              return true;
          return false;
        },
        std::chrono::seconds(20));
  }

  // Runs the traced line through first contact, reports of several kinds
  // (one behind noise, one with a wrong check byte), commands and a silent
  // address, then closes the card, which writes the rest of the trace.
  void RunTracedLine() {
    bool opened = false;
    main_.Do([&] { opened = card_.Open(); });
    ASSERT_TRUE(opened);
    for (int a = 1; a <= 4; ++a) ASSERT_TRUE(events_.WaitFor("ErrorEx " + std::to_string(a)));
    ASSERT_TRUE(events_.WaitFor("Error 5"));

    sim_.QueueReply(2, 'C', "1001");
    sim_.QueueReply(3, '#', "0123456789");
    sim::TReplyOptions noisy;
    noisy.noise = "\x7f\x02";
    sim_.QueueReply(4, 'C', "1002", noisy);
    sim::TReplyOptions bad;
    bad.badCheck = true;
    sim_.QueueReply(1, 'C', "1003", bad);
    ASSERT_TRUE(events_.WaitFor("Data 2 1001"));
    ASSERT_TRUE(events_.WaitFor("Data 4 1002"));
    ASSERT_TRUE(events_.WaitFor("BarCode 3 0123456789"));
    main_.Do([&] {
      card_.SetOutput(4, true, 0x08);
      card_.SignMsg(3, "Lot full");
    });
    ASSERT_TRUE(SimSaw(2, "G005Welcome 1001"));
    ASSERT_TRUE(SimSaw(4, "G005Welcome 1002"));
    ASSERT_TRUE(SimSaw(3, "A"));
    ASSERT_TRUE(SimSaw(4, "WH"));
    ASSERT_TRUE(SimSaw(3, "LLot full"));
    main_.Do([&] { card_.Close(); });

    // Every file of the loop, in the order of their days (a run across
    // midnight makes two).
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(dir_.file("trace"))) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());
    files_ = files;
    for (const auto& f : files) {
      const auto trace = ReadTrace(f);
      ASSERT_TRUE(trace.ok) << f << ": " << trace.error;
      EXPECT_EQ(trace.linkType, 147);
      EXPECT_TRUE(trace.microseconds);
      entries_.insert(entries_.end(), trace.entries.begin(), trace.entries.end());
    }
    // The last frame written may still be on its way through the line.
    std::size_t sent = 0;
    for (const auto& e : entries_) sent += e.Direction() == 0;
    ASSERT_TRUE(WaitUntil([&] { return sim_.FrameCount() >= sent; }));
    frames_ = sim_.Frames();
  }

  TempDir dir_;
  sim::TSimulator sim_;
  TMainThread main_;
  TEventRecorder events_;
  TCard card_;
  TMessLog log_;
  std::vector<std::string> files_;
  std::vector<TTraceEntry> entries_;
  std::vector<sim::TReceivedFrame> frames_;
};

TEST_F(LineTraceTest, TheTraceHoldsEveryFrameTheSimulatorSawAndEveryAnswerBack) {
  ASSERT_NO_FATAL_FAILURE(RunTracedLine());
  EXPECT_EQ(fs::path(files_.front()).filename().string().rfind("loop5-", 0), 0u);
  // Every transaction is one frame out and one reply read; no device of this
  // line answers for another.
  ASSERT_EQ(entries_.size(), 2 * frames_.size());
  long lastSec = 0, lastUsec = 0;
  for (std::size_t k = 0; k < frames_.size(); ++k) {
    const TTraceEntry& out = entries_[2 * k];
    const TTraceEntry& in = entries_[2 * k + 1];
    const sim::TReceivedFrame& f = frames_[k];
    SCOPED_TRACE("transaction " + std::to_string(k) + ": " + sim::Escape(f.frame.raw));
    EXPECT_EQ(out.Direction(), 0);
    EXPECT_EQ(out.Outcome(), 0);
    EXPECT_EQ(out.Frame(), f.frame.raw);
    EXPECT_EQ(out.Address(), f.frame.address);
    EXPECT_EQ(in.Direction(), 1);
    EXPECT_EQ(in.Address(), f.frame.address);
    EXPECT_EQ(in.Frame(), f.answer);
    const bool badCheck = f.answer.size() > 1 && f.answer.find("1003") != std::string::npos;
    const int outcome = f.answer.empty() ? 2 : badCheck ? 1 : 0;
    EXPECT_EQ(in.Outcome(), outcome);
    for (const auto* e : {&out, &in}) {
      EXPECT_EQ(e->LoopId(), kLoopId);
      EXPECT_EQ(e->Port(), 3);
      // Time goes forward (microseconds from the wall clock).
      EXPECT_TRUE(e->sec > lastSec || (e->sec == lastSec && e->usec >= lastUsec));
      lastSec = e->sec;
      lastUsec = e->usec;
    }
  }
  // The silent address 5 shows as frames without an answer.
  int silent = 0;
  for (std::size_t k = 0; k < frames_.size(); ++k)
    silent += frames_[k].frame.address == 5 && entries_[2 * k + 1].Frame().empty();
  EXPECT_GE(silent, 1);
  EXPECT_EQ(
      CountOf(ReadAll(dir_.file("bus.log")), "Line trace of loop 5 on COM3: into " +
                                                 dir_.file("trace") + ", at most 100 MB a day"),
      1);
}

// Where tshark is, or empty.
std::string FindTshark() {
  FILE* p = ::popen("command -v tshark", "r");
  if (!p) return {};
  char buf[512] = {};
  const bool got = std::fgets(buf, sizeof buf, p) != nullptr;
  ::pclose(p);
  std::string path = got ? buf : "";
  while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
  return path;
}

// The fields the dissector gives for one record, as tshark prints them.
struct TDecoded {
  std::string direction, outcome, polled, type, address, letter, data, checkOk;
};

// What the dissector must say about one frame out and its answer.
TDecoded ExpectedCommand(const sim::TReceivedFrame& f) {
  const bool poll =
      f.frame.data.empty() && std::string("CRI").find(f.frame.letter) != std::string::npos;
  return {"0",
          "0",
          std::to_string(f.frame.address),
          poll ? "poll" : "command",
          std::to_string(f.frame.address),
          std::string(1, f.frame.letter),
          LowerHex(f.frame.data),
          "1"};
}
TDecoded ExpectedAnswer(const sim::TReceivedFrame& f, const std::string& outcome) {
  const std::string polled = std::to_string(f.frame.address);
  if (f.answer.empty()) return {"1", outcome, polled, "no reply", "", "", "", ""};
  // The controller's own reply reader says what the answer holds.
  TReplyReader reader;
  TReplyReader::TStatus status = TReplyReader::TStatus::More;
  for (unsigned char b : f.answer)
    if ((status = reader.Feed(b)) != TReplyReader::TStatus::More) break;
  const std::string& text = reader.Text();
  if (text == kAckReply) return {"1", outcome, polled, "ACK", "", "", "", ""};
  return {"1",
          outcome,
          polled,
          "reply",
          std::to_string(static_cast<unsigned char>(text[0]) - 0x30),
          text.substr(1, 1),
          LowerHex(ReplyPayload(text)),
          status == TReplyReader::TStatus::Good ? "1" : "0"};
}

TEST_F(LineTraceTest, TsharkWithTheDissectorDecodesWhatTheSimulatorSaw) {
  const std::string tshark = FindTshark();
  if (tshark.empty()) {
    if (std::getenv("CI") && std::string(std::getenv("CI")) == "true")
      FAIL() << "tshark is not installed (scripts/setup-deps installs it)";
    GTEST_SKIP() << "!!! tshark is not installed: the dissector is NOT tested !!!";
  }
  ASSERT_NO_FATAL_FAILURE(RunTracedLine());
  std::vector<std::vector<std::string>> rows;
  for (const auto& file : files_) {
    const std::string out = dir_.file("tshark.out");
    const std::string err = dir_.file("tshark.err");
    const std::string cmd =
        "'" + tshark + "' -X lua_script:'" ORLO_SOURCE_DIR "/packaging/wireshark/orlocard.lua' " +
        "-r '" + file + "' -T fields -E separator=/t -e orlocard.direction -e orlocard.outcome " +
        "-e orlocard.polled -e orlocard.type -e orlocard.address -e orlocard.letter " +
        "-e orlocard.data -e orlocard.check_ok >'" + out + "' 2>'" + err + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << ReadAll(err);
    std::istringstream lines(ReadAll(out));
    for (std::string line; std::getline(lines, line);) rows.push_back(Split(line, '\t'));
  }
  ASSERT_EQ(rows.size(), entries_.size());
  ASSERT_EQ(rows.size(), 2 * frames_.size());
  for (std::size_t k = 0; k < frames_.size(); ++k) {
    SCOPED_TRACE("transaction " + std::to_string(k) + ": " + sim::Escape(frames_[k].frame.raw) +
                 " / " + sim::Escape(frames_[k].answer));
    const TDecoded want[2] = {
        ExpectedCommand(frames_[k]),
        ExpectedAnswer(frames_[k], std::to_string(entries_[2 * k + 1].Outcome()))};
    for (int i = 0; i < 2; ++i) {
      const auto& row = rows[2 * k + i];
      ASSERT_EQ(row.size(), 8u);
      std::string data = row[6];
      std::erase(data, ':');  // some tshark versions separate the bytes
      EXPECT_EQ(row[0], want[i].direction);
      EXPECT_EQ(row[1], want[i].outcome);
      EXPECT_EQ(row[2], want[i].polled);
      EXPECT_EQ(row[3], want[i].type);
      EXPECT_EQ(row[4], want[i].address);
      EXPECT_EQ(row[5], want[i].letter);
      EXPECT_EQ(data, want[i].data);
      EXPECT_EQ(row[7], want[i].checkOk);
    }
  }
}

}  // namespace
}  // namespace orlo::test
