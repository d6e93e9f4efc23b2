#include "log/messlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <filesystem>

#include "platform/clock.h"
#include "platform/program.h"

namespace orlo {

namespace fs = std::filesystem;

namespace {

// "hh:nn:ss.zzz dd/mm/yy" in local time.
std::string Timestamp() {
  const TDateTime now = Now();
  int y, mo, d, h, mi, s, ms;
  DecodeDate(now, y, mo, d);
  DecodeTime(now, h, mi, s, ms);
  return Format("%.2d:%.2d:%.2d.%.3d %.2d/%.2d/%.2d", h, mi, s, ms, d, mo, y % 100);
}

std::string Line(const std::string& text) { return Timestamp() + " - " + text; }

bool Exists(const std::string& name) {
  struct stat st {};
  return ::stat(name.c_str(), &st) == 0;
}

// Clears the read-only state and deletes the file; when that fails, moves it
// aside to "<name>.del" (replacing an older one) so a fresh file can start.
void DeleteLogFile(const std::string& name) {
  struct stat st {};
  if (::stat(name.c_str(), &st) == 0) ::chmod(name.c_str(), st.st_mode | S_IWUSR);
  if (::unlink(name.c_str()) == 0) return;
  const std::string aside = name + ".del";
  ::unlink(aside.c_str());
  ::rename(name.c_str(), aside.c_str());
}

// True when the file was last written before today, so it holds an earlier
// week's (or month's) lines of its day number. A file written today stays:
// when the clock steps back across midnight (a time-server correction, or a
// zone whose summer time ends at 00:00) the day before comes round again, and
// its file holds this very day's lines.
bool WrittenBeforeToday(const std::string& name) {
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0) return false;
  const double written = static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9;
  return std::floor(FromUnixTime(written)) < Date();
}

int OpenForAppend(const std::string& name) {
  int fd;
  do {
    fd = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

TMessLog::TMessLog(const std::string& fileName, bool deleteOld, bool daily, bool byDayOfMonth,
                   bool noStartHeader)
    : daily_(daily), byDayOfMonth_(byDayOfMonth), deleteOld_(deleteOld) {
  std::error_code ec;
  const std::string given = fileName.empty() ? std::string("Messages.log") : fileName;
  fileName_ = fs::absolute(given, ec).lexically_normal().string();
  if (ec) fileName_ = given;
  const fs::path folder = fs::path(fileName_).parent_path();
  if (!folder.empty()) fs::create_directories(folder, ec);  // a failure shows at the open

  if (daily_) {
    currentFileName_ = DayFileName();
  } else {
    currentFileName_ = fileName_;
    if (deleteOld_ && Exists(currentFileName_)) DeleteLogFile(currentFileName_);
  }
  headerPending_ = !noStartHeader;
  endLine_ = true;
  Add("Start Log");
}

TMessLog::~TMessLog() {
  try {
    Log(endLine_ ? "End Log" : "");
  } catch (...) {
    // A destructor must not throw; the lines are lost only if memory is.
  }
}

int TMessLog::DayNumber(bool byDayOfMonth) {
  const TDateTime now = Now();
  if (byDayOfMonth) {
    int y, m, d;
    DecodeDate(now, y, m, d);
    return d;
  }
  return DayOfWeek(now);
}

std::string TMessLog::DayFileName() {
  currentDay_ = DayNumber(byDayOfMonth_);
  const fs::path p(fileName_);
  const std::string ext = p.extension().string();
  const std::string stem = fileName_.substr(0, fileName_.size() - ext.size());
  return Format("%s%d%s", stem, currentDay_, ext);
}

void TMessLog::Buffer(const std::string& text) {
  if (buffer_.size() >= kMaxBufferedLines) {
    buffer_.pop_front();
    ++dropped_;
    counters_->dropped.fetch_add(1, std::memory_order_relaxed);
  }
  buffer_.push_back(Line(text));
}

int TMessLog::Add(const std::string& text) {
  TLockGuard lock(lock_);
  Buffer(text);
  if (buffer_.size() >= kFlushThreshold) {
    Flush("");
    return -1;
  }
  return static_cast<int>(buffer_.size()) - 1;
}

int TMessLog::AddNoFlush(const std::string& text) {
  TLockGuard lock(lock_);
  Buffer(text);
  return static_cast<int>(buffer_.size()) - 1;
}

void TMessLog::Log(const std::string& msg) {
  TLockGuard lock(lock_);
  Flush(msg);
}

void TMessLog::SetCounters(std::shared_ptr<TLogCounters> counters) {
  if (!counters) return;
  TLockGuard lock(lock_);
  counters_ = std::move(counters);
}

std::string TMessLog::CurrentFileName() const {
  TLockGuard lock(lock_);
  return currentFileName_;
}

void TMessLog::Flush(const std::string& msg) {
  if (buffer_.empty() && msg.empty()) return;

  if (daily_ && DayNumber(byDayOfMonth_) != currentDay_) {
    currentFileName_ = DayFileName();
    // A file of this day number left from an earlier week (or month) starts
    // afresh; one written today is appended to.
    if (deleteOld_ && WrittenBeforeToday(currentFileName_)) DeleteLogFile(currentFileName_);
  }

  if (!Exists(currentFileName_)) {
    const int fd = ::open(currentFileName_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::close(fd);
      headerPending_ = true;
    }
  }

  int fd = OpenForAppend(currentFileName_);
  // One retry after a short wait rides out a brief hold by another program;
  // while the file stays unwritable the wait is skipped, so callers on every
  // thread are not slowed down line after line.
  if (fd < 0 && !lastWriteFailed_) {
    SleepMs(87);
    fd = OpenForAppend(currentFileName_);
  }

  std::string out;
  if (fd >= 0) {
    if (headerPending_)
      out += std::string(21, '.') + " - " + ProgramPath() + "   Version - " + ProgramVersion() +
             "\r\n";
    if (dropped_ > 0)
      out += Line(Format("TMessLog: %d lines dropped while the log file could not be written",
                         static_cast<long long>(dropped_))) +
             "\r\n";
    for (const std::string& line : buffer_) out += line + "\r\n";
    if (!msg.empty()) out += Line(msg) + "\r\n";
    const bool written = WriteAll(fd, out);
    ::close(fd);
    if (written) {
      counters_->written.fetch_add(buffer_.size() + (msg.empty() ? 0 : 1),
                                   std::memory_order_relaxed);
      headerPending_ = false;
      buffer_.clear();
      dropped_ = 0;
      lastWriteFailed_ = false;
      return;
    }
  }
  // Not written: keep the lines (and this message) for the next successful
  // write, within the bound.
  lastWriteFailed_ = true;
  if (!msg.empty()) Buffer(msg);
}

int TMessLog::LogFmtV(std::string_view fmt, std::span<const FormatArg> args) {
  try {
    Log(FormatV(fmt, args));
  } catch (const std::exception& e) {
    try {
      const std::string what = e.what();
      const std::string detail = " - " + what + "  " + std::string(fmt);
      if (what.compare(0, 16, "Cannot open file") == 0) {
        AddNoFlush("TMessLog Format() Exception!");
        AddNoFlush(detail);
      } else {
        Log("TMessLog Format() Exception!");
        Log(detail);
      }
    } catch (...) {
      // Recording the failure must never fail the caller.
    }
  }
  return -1;
}

}  // namespace orlo
