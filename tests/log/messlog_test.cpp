#include "log/messlog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/program.h"
#include "support/tempdir.h"

namespace orlo {
namespace {

namespace fs = std::filesystem;

// Tuesday 8 December 2026: weekday number 3.
const TDateTime kTuesday = EncodeDate(2026, 12, 8) + EncodeTime(14, 3, 27, 518);

std::vector<std::string> Lines(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string all = ss.str();
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < all.size()) {
    const std::size_t end = all.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back("UNTERMINATED:" + all.substr(start));
      break;
    }
    lines.push_back(all.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// Sets the file's modification time, as if it had last been written at `when`
// on the test clock.
void SetWritten(const std::string& file, TDateTime when) {
  const double unix = ToUnixTime(when);
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(unix);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0) << file;
}

std::string Header() {
  return std::string(21, '.') + " - " + ProgramPath() + "   Version - " + ProgramVersion();
}

class MessLogTest : public ::testing::Test {
 protected:
  void SetUp() override { SetTestNow(kTuesday); }
  void TearDown() override { ClearTestNow(); }
  std::string LogName() const { return dir.file("log/tolvsql.log"); }
  test::TempDir dir;
};

TEST_F(MessLogTest, DailyFileStartsWithHeaderStartLineAndMessage) {
  {
    TMessLog log(LogName(), true, true, false, false);
    EXPECT_EQ(log.CurrentFileName(), dir.file("log/tolvsql3.log"));
    log.Log("first");
  }
  const auto lines = Lines(dir.file("log/tolvsql3.log"));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], Header());
  EXPECT_EQ(lines[1], "14:03:27.518 08/12/26 - Start Log");
  EXPECT_EQ(lines[2], "14:03:27.518 08/12/26 - first");
  EXPECT_EQ(lines[3], "14:03:27.518 08/12/26 - End Log");
}

TEST_F(MessLogTest, ExistingDayFileIsAppendedToWithANewHeader) {
  { TMessLog log(LogName(), true, true, false, false); }
  { TMessLog log(LogName(), true, true, false, false); }
  const auto lines = Lines(dir.file("log/tolvsql3.log"));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[3], Header());
}

TEST_F(MessLogTest, WeekdayNamesAndDeleteOldOnANewDay) {
  SetTestNow(EncodeDate(2026, 12, 6) + 0.5);  // Sunday
  TMessLog log(LogName(), true, true, false, false);
  log.Log("sunday");
  EXPECT_EQ(log.CurrentFileName(), dir.file("log/tolvsql1.log"));
  // A week-old Monday file must be replaced, not appended to.
  { std::ofstream(dir.file("log/tolvsql2.log")) << "last week\r\n"; }
  SetWritten(dir.file("log/tolvsql2.log"), EncodeDate(2026, 11, 30) + 0.75);
  SetTestNow(EncodeDate(2026, 12, 7) + 0.25);  // Monday
  log.Log("monday");
  EXPECT_EQ(log.CurrentFileName(), dir.file("log/tolvsql2.log"));
  const auto lines = Lines(dir.file("log/tolvsql2.log"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], Header());
  EXPECT_EQ(lines[1], "06:00:00.000 07/12/26 - monday");
  SetTestNow(EncodeDate(2026, 12, 12));  // Saturday
  log.Log("saturday");
  EXPECT_EQ(log.CurrentFileName(), dir.file("log/tolvsql7.log"));
}

// The clock stepping back across midnight (a time-server correction, or a
// zone whose summer time ends at 00:00) brings the day before round again:
// its file holds this day's lines and must be appended to, not replaced.
TEST_F(MessLogTest, ClockSteppingBackAcrossMidnightKeepsTheDaysFile) {
  const TDateTime monday = EncodeDate(2026, 12, 7);
  const TDateTime tuesday = EncodeDate(2026, 12, 8);
  const std::string mondayFile = dir.file("log/tolvsql2.log");
  const std::string tuesdayFile = dir.file("log/tolvsql3.log");
  // Each write is followed by the modification time it would have had.
  auto logAt = [&](TMessLog& log, TDateTime when, const std::string& text) {
    SetTestNow(when);
    log.Log(text);
    SetWritten(log.CurrentFileName(), when);
  };

  SetTestNow(monday + EncodeTime(23, 59, 30, 0));
  TMessLog log(LogName(), true, true, false, true);
  logAt(log, monday + EncodeTime(23, 59, 40, 0), "monday evening");
  logAt(log, tuesday + EncodeTime(0, 0, 10, 0), "tuesday");
  logAt(log, monday + EncodeTime(23, 59, 50, 0), "monday again");  // stepped back
  EXPECT_EQ(log.CurrentFileName(), mondayFile);
  logAt(log, tuesday + EncodeTime(0, 0, 5, 0), "tuesday again");

  // Each file starts with its header line when it is made.
  const auto mondayLines = Lines(mondayFile);
  ASSERT_EQ(mondayLines.size(), 4u);
  EXPECT_EQ(mondayLines[1], "23:59:30.000 07/12/26 - Start Log");
  EXPECT_EQ(mondayLines[2], "23:59:40.000 07/12/26 - monday evening");
  EXPECT_EQ(mondayLines[3], "23:59:50.000 07/12/26 - monday again");
  const auto tuesdayLines = Lines(tuesdayFile);
  ASSERT_EQ(tuesdayLines.size(), 3u);
  EXPECT_EQ(tuesdayLines[1], "00:00:10.000 08/12/26 - tuesday");
  EXPECT_EQ(tuesdayLines[2], "00:00:05.000 08/12/26 - tuesday again");
}

TEST_F(MessLogTest, DayOfMonthFileFromAnEarlierMonthIsReplaced) {
  SetTestNow(EncodeDate(2026, 12, 7) + 0.5);
  TMessLog log(dir.file("m.log"), true, true, true, true);
  log.Log("seventh");
  { std::ofstream(dir.file("m8.log")) << "november\r\n"; }
  SetWritten(dir.file("m8.log"), EncodeDate(2026, 11, 8) + 0.5);
  SetTestNow(EncodeDate(2026, 12, 8) + 0.5);
  log.Log("eighth");
  const auto lines = Lines(dir.file("m8.log"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], Header());
  EXPECT_EQ(lines[1], "12:00:00.000 08/12/26 - eighth");
}

TEST_F(MessLogTest, DayOfMonthNumbering) {
  TMessLog log(dir.file("m.log"), false, true, true, true);
  EXPECT_EQ(log.CurrentFileName(), dir.file("m8.log"));
}

TEST_F(MessLogTest, AddBuffersUntil250Lines) {
  TMessLog log(LogName(), true, true, false, false);
  const std::string file = dir.file("log/tolvsql3.log");
  // "Start Log" is line 0.
  for (int i = 1; i < 249; ++i) ASSERT_EQ(log.Add("line"), i);
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(log.Add("line 249"), -1);
  const auto lines = Lines(file);
  ASSERT_EQ(lines.size(), 251u);  // header + 250
  EXPECT_EQ(lines.back(), "14:03:27.518 08/12/26 - line 249");
  EXPECT_EQ(log.AddNoFlush("x"), 0);
}

TEST_F(MessLogTest, EmptyLogWithEmptyBufferCreatesNoFile) {
  {
    TMessLog log(dir.file("quiet.log"), false, false, false, true);
    log.Log("");  // writes "Start Log"
    fs::remove(dir.file("quiet.log"));
    log.Log("");
    EXPECT_FALSE(fs::exists(dir.file("quiet.log")));
  }
}

TEST_F(MessLogTest, NonDailyDeleteOldStartsAfresh) {
  { std::ofstream(dir.file("plain.log")) << "old\r\n"; }
  { TMessLog log(dir.file("plain.log"), true, false, false, true); }
  // A file created afresh always starts with the header line.
  const auto lines = Lines(dir.file("plain.log"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], Header());
  EXPECT_EQ(lines[1], "14:03:27.518 08/12/26 - Start Log");
}

TEST_F(MessLogTest, EmptyFileNameGivesMessagesLogInCurrentFolder) {
  const fs::path old = fs::current_path();
  fs::current_path(dir.path());
  {
    TMessLog log("", false, false, false, false);
    EXPECT_EQ(log.CurrentFileName(), dir.file("Messages.log"));
  }
  fs::current_path(old);
  EXPECT_TRUE(fs::exists(dir.file("Messages.log")));
}

TEST_F(MessLogTest, LogFmtFormatsAndRecordsFormatErrors) {
  {
    TMessLog log(dir.file("f.log"), false, false, false, true);
    EXPECT_EQ(log.LogFmt("Loop %d on %s at %.2d", 3, "COM3", 7), -1);
    EXPECT_EQ(log.LogFmt("Card %d", "abc"), -1);
    EXPECT_EQ(log.LogFmt("Two %s %s", "one"), -1);
  }
  const auto lines = Lines(dir.file("f.log"));
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[2], "14:03:27.518 08/12/26 - Loop 3 on COM3 at 07");
  EXPECT_EQ(lines[3], "14:03:27.518 08/12/26 - TMessLog Format() Exception!");
  EXPECT_EQ(lines[4],
            "14:03:27.518 08/12/26 -  - Format 'Card %d' invalid or incompatible with argument  "
            "Card %d");
  EXPECT_EQ(lines[6], "14:03:27.518 08/12/26 -  - No argument for format 'Two %s %s'  Two %s %s");
}

// A folder where the file should be makes every open fail, even for root.
TEST_F(MessLogTest, UnwritableFileKeepsLinesUntilWritingWorksAgain) {
  const std::string file = dir.file("busy.log");
  fs::create_directory(file);
  TMessLog log(file, false, false, false, true);
  log.Log("while blocked");
  SetTestNow(kTuesday + 1.0 / 1440);
  log.Add("added later");
  fs::remove(file);
  log.Log("after");
  const auto lines = Lines(file);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], Header());
  EXPECT_EQ(lines[1], "14:03:27.518 08/12/26 - Start Log");
  EXPECT_EQ(lines[2], "14:03:27.518 08/12/26 - while blocked");
  EXPECT_EQ(lines[3], "14:04:27.518 08/12/26 - added later");
  EXPECT_EQ(lines[4], "14:04:27.518 08/12/26 - after");
}

TEST_F(MessLogTest, BufferIsBoundedWhileUnwritableAndDropsAreReported) {
  const std::string file = dir.file("busy.log");
  fs::create_directory(file);
  TMessLog log(file, false, false, false, true);
  const std::size_t total = TMessLog::kMaxBufferedLines + 500;
  for (std::size_t i = 1; i <= total; ++i) log.AddNoFlush("n" + std::to_string(i));
  fs::remove(file);
  log.Log("");
  const auto lines = Lines(file);
  ASSERT_EQ(lines.size(), TMessLog::kMaxBufferedLines + 2);
  // 501 lines were dropped: "Start Log" and n1..n500.
  EXPECT_EQ(lines[1],
            "14:03:27.518 08/12/26 - TMessLog: 501 lines dropped while the log file could not "
            "be written");
  EXPECT_EQ(lines[2], "14:03:27.518 08/12/26 - n501");
  EXPECT_EQ(lines.back(), "14:03:27.518 08/12/26 - n" + std::to_string(total));
}

TEST_F(MessLogTest, FolderThatCannotBeCreatedDoesNotCrash) {
  { std::ofstream(dir.file("blocker")) << "a file, not a folder"; }
  TMessLog log(dir.file("blocker/log/tolvsql.log"), true, true, false, false);
  log.Log("lost for now");
  log.LogFmt("%d", 1);
  EXPECT_FALSE(fs::exists(dir.file("blocker/log")));
}

TEST_F(MessLogTest, ConcurrentWritersLoseNoLine) {
  const std::string file = dir.file("mt.log");
  {
    TMessLog log(file, false, false, false, true);
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&log, t] {
        for (int i = 0; i < 300; ++i) {
          if (i % 3 == 0)
            log.LogFmt("t%d %d", t, i);
          else
            log.Add("a");
        }
      });
  }
  EXPECT_EQ(Lines(file).size(), 1u + 1u + 1200u + 1u);  // header, start, lines, end
}

}  // namespace
}  // namespace orlo
