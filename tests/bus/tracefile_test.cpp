// The line trace's capture files on a real file system, read back with
// libpcap: record layout and time stamps, one file per day, a restart that
// appends, a cut-off last record, a foreign file, the size bound, the files
// of past days, a folder that cannot be made and a disk that fills up.
#include "bus/tracefile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "log/messlog.h"
#include "support/tempdir.h"
#include "support/tracereader.h"
#include "support/wait.h"

namespace orlo::test {
namespace {

namespace fs = std::filesystem;
using TimePoint = TTraceFile::TimePoint;

// A local time with microseconds.
TimePoint At(int year, int month, int day, int hour, int min, int sec, int usec = 0) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = min;
  tm.tm_sec = sec;
  tm.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&tm)) + std::chrono::microseconds(usec);
}

const std::string kPoll3("\x02\x33\x43\x03\x73", 5);  // card poll of address 3
const std::string kAck("\x06", 1);

TTraceRecord Out(TimePoint at, int address, const std::string& bytes) {
  return TTraceRecord{at, TTraceDirection::Out, TTraceOutcome::Good,
                      static_cast<std::uint8_t>(address), bytes};
}
TTraceRecord In(TimePoint at, int address, const std::string& bytes,
                TTraceOutcome outcome = TTraceOutcome::Good) {
  return TTraceRecord{at, TTraceDirection::In, outcome, static_cast<std::uint8_t>(address), bytes};
}

class TraceFileTest : public ::testing::Test {
 protected:
  TraceFileTest() : log_(dir_.file("trace.log"), false, false, false, true) {
    settings_.enabled = true;
    settings_.folder = dir_.file("trace");
    settings_.loopId = 7;
    settings_.port = 2;
  }

  std::string File(TimePoint at) const {
    return TTraceFile::FileName(settings_.folder, settings_.loopId, at);
  }
  std::string LogText() const {
    std::ifstream in(dir_.file("trace.log"));
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }
  int LogCount(const std::string& text) const { return CountOf(LogText(), text); }
  // Writes count polls and ACK answers, a millisecond apart, from `from` on.
  void WriteExchanges(TTraceFile& file, TimePoint from, int count) {
    for (int i = 0; i < count; ++i) {
      file.Write(Out(from + std::chrono::milliseconds(2 * i), 3, kPoll3));
      file.Write(In(from + std::chrono::milliseconds(2 * i + 1), 3, kAck));
    }
  }

  TempDir dir_;
  TMessLog log_;
  TLineTraceSettings settings_;
};

TEST_F(TraceFileTest, RecordsReadBackWithTheirLayoutAndMicroseconds) {
  const TimePoint t = At(2024, 6, 3, 9, 15, 30, 123456);
  const std::string card("\x01\x31\x43\x31\x32\x33\x34\x04\x72", 9);
  {
    TTraceFile file(settings_, &log_);
    file.Write(Out(t, 3, kPoll3));
    file.Write(In(t + std::chrono::microseconds(1), 3, kAck));
    file.Write(In(t + std::chrono::microseconds(45000), 1, "", TTraceOutcome::TimedOut));
    file.Write(In(t + std::chrono::seconds(1), 1, card));
    file.Write(In(t + std::chrono::seconds(2), 1, "ab", TTraceOutcome::Bad));
    TTraceRecord failed = Out(t + std::chrono::seconds(3), 16, kPoll3);
    failed.outcome = TTraceOutcome::PortFailure;
    file.Write(failed);
  }
  EXPECT_EQ(File(t), dir_.file("trace/loop7-2024-06-03.pcap"));
  const auto trace = ReadTrace(File(t));
  ASSERT_TRUE(trace.ok) << trace.error;
  EXPECT_EQ(trace.linkType, 147);  // USER0
  EXPECT_EQ(trace.snapLen, TTraceFile::kSnapLen);
  EXPECT_TRUE(trace.microseconds);
  ASSERT_EQ(trace.entries.size(), 6u);

  // The whole payload of the first record, byte for byte.
  EXPECT_EQ(trace.entries[0].payload, std::string("\x01\x00\x00\x03\x00\x07\x00\x02", 8) + kPoll3);
  const std::time_t secs = std::chrono::system_clock::to_time_t(t);
  EXPECT_EQ(trace.entries[0].sec, secs);
  EXPECT_EQ(trace.entries[0].usec, 123456);
  EXPECT_EQ(trace.entries[1].usec, 123457);
  EXPECT_EQ(trace.entries[2].usec, 168456);
  EXPECT_EQ(trace.entries[3].sec, secs + 1);
  EXPECT_EQ(trace.entries[3].usec, 123456);

  struct Want {
    int direction, outcome, address;
    std::string frame;
  };
  const Want want[] = {{0, 0, 3, kPoll3}, {1, 0, 3, kAck}, {1, 2, 1, ""},
                       {1, 0, 1, card},   {1, 1, 1, "ab"}, {0, 3, 16, kPoll3}};
  for (std::size_t i = 0; i < 6; ++i) {
    const auto& e = trace.entries[i];
    EXPECT_EQ(e.Version(), 1) << i;
    EXPECT_EQ(e.Direction(), want[i].direction) << i;
    EXPECT_EQ(e.Outcome(), want[i].outcome) << i;
    EXPECT_EQ(e.Address(), want[i].address) << i;
    EXPECT_EQ(e.LoopId(), 7) << i;
    EXPECT_EQ(e.Port(), 2) << i;
    EXPECT_EQ(e.Frame(), want[i].frame) << i;
    EXPECT_EQ(e.len, e.payload.size()) << i;
  }
}

TEST_F(TraceFileTest, LoopIdsAndPortsAboveOneByteKeepAllTheirBits) {
  settings_.loopId = 0x1234;
  settings_.port = 300;
  const TimePoint t = At(2024, 6, 3, 9, 0, 0);
  { TTraceFile(settings_, &log_).Write(Out(t, 1, kPoll3)); }
  const auto trace = ReadTrace(dir_.file("trace/loop4660-2024-06-03.pcap"));
  ASSERT_EQ(trace.entries.size(), 1u) << trace.error;
  EXPECT_EQ(trace.entries[0].LoopId(), 0x1234);
  EXPECT_EQ(trace.entries[0].Port(), 300);
}

TEST_F(TraceFileTest, MidnightStartsTheNextDaysFileAndARestartAppendsToIt) {
  const TimePoint late = At(2024, 6, 3, 23, 59, 59, 999000);
  const TimePoint early = At(2024, 6, 4, 0, 0, 0, 1000);
  {
    TTraceFile file(settings_, &log_);
    file.Write(Out(late, 3, kPoll3));
    file.Write(In(early, 3, kAck));
  }
  {
    // The service starts again later that day.
    TTraceFile file(settings_, &log_);
    file.Write(Out(early + std::chrono::hours(5), 4, kPoll3));
  }
  const auto monday = ReadTrace(File(late));
  const auto tuesday = ReadTrace(File(early));
  ASSERT_TRUE(monday.ok) << monday.error;
  ASSERT_TRUE(tuesday.ok) << tuesday.error;
  ASSERT_EQ(monday.entries.size(), 1u);
  ASSERT_EQ(tuesday.entries.size(), 2u);
  EXPECT_EQ(tuesday.entries[0].Frame(), kAck);
  EXPECT_EQ(tuesday.entries[1].Address(), 4);
  EXPECT_EQ(LogCount("Line trace"), 0);  // nothing worth a line
}

TEST_F(TraceFileTest, ACutOffLastRecordIsCutBackBeforeAppending) {
  const TimePoint t = At(2024, 6, 3, 10, 0, 0);
  {
    TTraceFile file(settings_, &log_);
    WriteExchanges(file, t, 3);
  }
  // The program was killed while the last record was half written.
  fs::resize_file(File(t), fs::file_size(File(t)) - 4);
  ASSERT_FALSE(ReadTrace(File(t)).ok);
  {
    TTraceFile file(settings_, &log_);
    file.Write(Out(t + std::chrono::minutes(1), 5, kPoll3));
  }
  const auto trace = ReadTrace(File(t));
  ASSERT_TRUE(trace.ok) << trace.error;
  ASSERT_EQ(trace.entries.size(), 6u);  // five whole ones, then the new one
  EXPECT_EQ(trace.entries[4].Frame(), kPoll3);
  EXPECT_EQ(trace.entries[5].Address(), 5);
  EXPECT_EQ(LogCount("Line trace of loop 7: " + File(t) +
                     " ended in a cut-off frame; cut back to its last whole frame"),
            1);
}

TEST_F(TraceFileTest, AFileThatIsNoTraceIsMovedAsideNotOverwritten) {
  const TimePoint t = At(2024, 6, 3, 10, 0, 0);
  fs::create_directories(settings_.folder);
  std::ofstream(File(t)) << "notes of the technician, not a capture\n";
  {
    TTraceFile file(settings_, &log_);
    file.Write(Out(t, 3, kPoll3));
  }
  std::ifstream aside(File(t) + ".bad");
  std::string first;
  std::getline(aside, first);
  EXPECT_EQ(first, "notes of the technician, not a capture");
  const auto trace = ReadTrace(File(t));
  ASSERT_TRUE(trace.ok) << trace.error;
  EXPECT_EQ(trace.entries.size(), 1u);
  EXPECT_EQ(LogCount("Line trace of loop 7: " + File(t) +
                     " is not a line trace of this program; moved to " + File(t) + ".bad"),
            1);
}

TEST_F(TraceFileTest, AnEmptyFileLeftByAnInterruptedStartIsBegunAnew) {
  const TimePoint t = At(2024, 6, 3, 10, 0, 0);
  fs::create_directories(settings_.folder);
  std::ofstream(File(t)) << "";
  { TTraceFile(settings_, &log_).Write(Out(t, 3, kPoll3)); }
  const auto trace = ReadTrace(File(t));
  ASSERT_TRUE(trace.ok) << trace.error;
  EXPECT_EQ(trace.entries.size(), 1u);
  EXPECT_FALSE(fs::exists(File(t) + ".bad"));
}

TEST_F(TraceFileTest, TheSizeBoundEndsTheDaysFileWithOneLine) {
  // Room for the file header and exactly four records of 16 + 8 + 5 bytes.
  settings_.maxBytes = 24 + 4 * (16 + 8 + 5);
  const TimePoint t = At(2024, 6, 3, 10, 0, 0);
  {
    TTraceFile file(settings_, &log_);
    for (int i = 0; i < 50; ++i) file.Write(Out(t + std::chrono::seconds(i), 1, kPoll3));
    file.Flush();
    // The next day has a bound of its own.
    file.Write(Out(t + std::chrono::hours(24), 2, kPoll3));
  }
  const auto today = ReadTrace(File(t));
  ASSERT_TRUE(today.ok) << today.error;
  EXPECT_EQ(today.entries.size(), 4u);
  EXPECT_EQ(fs::file_size(File(t)), settings_.maxBytes);
  EXPECT_EQ(ReadTrace(File(t + std::chrono::hours(24))).entries.size(), 1u);
  EXPECT_EQ(LogCount("Line trace of loop 7: " + File(t) +
                     " reached its limit of 0 MB; no more frames are traced today"),
            1);
  // A restart on a day whose file is full does not grow it.
  { TTraceFile(settings_, &log_).Write(Out(t + std::chrono::hours(1), 3, kPoll3)); }
  EXPECT_EQ(fs::file_size(File(t)), settings_.maxBytes);
}

TEST_F(TraceFileTest, ANewDayRemovesThisLoopsFilesOfMoreThanAWeekAgo) {
  const TimePoint today = At(2024, 6, 10, 8, 0, 0);
  fs::create_directories(settings_.folder);
  const auto touch = [&](const std::string& name) {
    std::ofstream(dir_.file("trace/" + name)) << "x";
  };
  touch("loop7-2024-06-03.pcap");      // eight days ago (and the 3rd was seven days before)
  touch("loop7-2024-05-31.pcap.bad");  // kept aside long ago
  touch("loop7-2024-06-04.pcap");      // six days ago: kept
  touch("loop8-2024-01-01.pcap");      // another loop's
  touch("loop7-2024-01-01.pcap.txt");  // not a trace file name
  touch("loop77-2024-01-01.pcap");     // loop 77
  fs::create_directory(dir_.file("trace/loop7-2024-01-02.pcap"));  // a folder: left alone
  { TTraceFile(settings_, &log_).Write(Out(today, 1, kPoll3)); }
  EXPECT_FALSE(fs::exists(dir_.file("trace/loop7-2024-06-03.pcap")));
  EXPECT_FALSE(fs::exists(dir_.file("trace/loop7-2024-05-31.pcap.bad")));
  EXPECT_TRUE(fs::exists(dir_.file("trace/loop7-2024-06-04.pcap")));
  EXPECT_TRUE(fs::exists(dir_.file("trace/loop8-2024-01-01.pcap")));
  EXPECT_TRUE(fs::exists(dir_.file("trace/loop7-2024-01-01.pcap.txt")));
  EXPECT_TRUE(fs::exists(dir_.file("trace/loop77-2024-01-01.pcap")));
  EXPECT_TRUE(fs::exists(dir_.file("trace/loop7-2024-01-02.pcap")));
  EXPECT_TRUE(fs::exists(File(today)));
  EXPECT_EQ(LogCount("Line trace of loop 7: 2 files older than 7 days removed"), 1);
}

// A file where the folder should be makes every open fail, even for root.
TEST_F(TraceFileTest, AFolderThatCannotBeMadeIsOneLineAndTracingResumesOnceItCan) {
  std::ofstream(settings_.folder) << "in the way";
  const TimePoint t = At(2024, 6, 3, 10, 0, 0);
  TTraceFile file(settings_, &log_);
  WriteExchanges(file, t, 100);
  file.Flush();
  EXPECT_EQ(LogCount("Line trace of loop 7: cannot make the folder " + settings_.folder), 1);
  EXPECT_EQ(LogCount("frames are not traced until it works again"), 1);

  fs::remove(settings_.folder);
  // Within the minute after the failure nothing is tried.
  file.Write(Out(t + std::chrono::seconds(59), 3, kPoll3));
  EXPECT_FALSE(fs::exists(settings_.folder));
  file.Write(Out(t + std::chrono::seconds(61), 3, kPoll3));
  file.Flush();
  EXPECT_EQ(LogCount("Line trace of loop 7 writes to " + File(t) +
                     " again; 201 frames were not traced meanwhile"),
            1);
  const auto trace = ReadTrace(File(t));
  ASSERT_TRUE(trace.ok) << trace.error;
  EXPECT_EQ(trace.entries.size(), 1u);
}

// The file size limit of the process stands in for a full disk: writes past
// it fail with EFBIG, exactly where a full disk fails them with ENOSPC.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    old_ = ::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit lim = saved_;
    lim.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, old_);
  }

 private:
  rlimit saved_{};
  sighandler_t old_ = SIG_DFL;
};

TEST_F(TraceFileTest, AFullDiskIsOneLineAndTheFileStaysReadable) {
  const TimePoint t = At(2024, 6, 3, 10, 0, 0);
  TTraceFile file(settings_, &log_);
  log_.Log("the log file exists before the disk fills");
  WriteExchanges(file, t, 200);
  file.Flush();
  const auto before = fs::file_size(File(t));
  {
    FileSizeLimit full(before + 1000);
    for (int round = 0; round < 5; ++round) {
      WriteExchanges(file, t + std::chrono::seconds(1 + round), 200);
      file.Flush();
    }
  }
  EXPECT_EQ(LogCount("Line trace of loop 7: writing " + File(t) + " failed: File too large"), 1)
      << LogText();
  // Room again, and a minute later the file takes records again.
  WriteExchanges(file, t + std::chrono::seconds(70), 1);
  file.Flush();
  EXPECT_EQ(LogCount("Line trace of loop 7 writes to " + File(t) + " again"), 1);
  const auto trace = ReadTrace(File(t));
  ASSERT_TRUE(trace.ok) << trace.error;
  // Everything before the failure, what fitted, and the new exchange.
  ASSERT_GE(trace.entries.size(), 402u);
  EXPECT_EQ(trace.entries[trace.entries.size() - 2].sec, trace.entries.back().sec);
  EXPECT_EQ(trace.entries.back().Frame(), kAck);
}

}  // namespace
}  // namespace orlo::test
