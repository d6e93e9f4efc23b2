// TMessLog: the service-wide diagnostic text log. One instance is created at
// start-up and shared by every module; any thread may call any operation: a
// recursive lock orders the lines. Each write opens, appends to and closes the
// file, so other programs may read, copy or delete it at any time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "platform/format.h"
#include "platform/mutex.h"

namespace orlo {

// The lines of a log, for monitoring: written under the log's lock, read by
// any thread.
struct TLogCounters {
  std::atomic<std::uint64_t> written{0};  // lines that reached the file
  std::atomic<std::uint64_t> dropped{0};  // lines lost while the file could not be written
};

class TMessLog {
 public:
  // fileName empty gives "Messages.log"; its folder is created when missing.
  // Buffers the start line "Start Log" (written with the first Log call).
  TMessLog(const std::string& fileName, bool deleteOld, bool daily, bool byDayOfMonth,
           bool noStartHeader);
  ~TMessLog();  // writes what is buffered and "End Log"
  TMessLog(const TMessLog&) = delete;
  TMessLog& operator=(const TMessLog&) = delete;

  // Buffers one timestamped line; returns its index, or -1 when the buffer
  // reached the flush threshold and was written.
  int Add(const std::string& text);
  // Buffers one timestamped line without the threshold test.
  int AddNoFlush(const std::string& text);
  // Writes the buffer and then msg (if not empty) at once.
  void Log(const std::string& msg);
  // Formats (see Format) and logs; a format error is logged, never raised.
  // Returns -1.
  template <class... A>
  int LogFmt(std::string_view fmt, const A&... args) {
    const FormatArg list[] = {detail::ToFormatArg(args)..., FormatArg{}};
    return LogFmtV(fmt, std::span<const FormatArg>(list, sizeof...(A)));
  }
  int LogFmtV(std::string_view fmt, std::span<const FormatArg> args);

  std::string CurrentFileName() const;

  // Where the lines are counted from now on; by default the log's own.
  // Null is ignored.
  void SetCounters(std::shared_ptr<TLogCounters> counters);

  // While the file cannot be written, at most this many lines are kept (the
  // newest); the next successful write says how many were dropped.
  static constexpr std::size_t kMaxBufferedLines = 10000;
  static constexpr std::size_t kFlushThreshold = 250;

 private:
  void Flush(const std::string& msg) REQUIRES(lock_);
  void Buffer(const std::string& text) REQUIRES(lock_);
  std::string DayFileName() REQUIRES(lock_);
  static int DayNumber(bool byDayOfMonth);

  mutable TRecursiveMutex lock_;
  std::string fileName_;  // full path as given (or Messages.log)
  std::string currentFileName_ GUARDED_BY(lock_);
  bool daily_;
  bool byDayOfMonth_;
  bool deleteOld_;
  int currentDay_ GUARDED_BY(lock_) = 0;
  bool headerPending_ GUARDED_BY(lock_);
  bool endLine_ = false;
  bool lastWriteFailed_ GUARDED_BY(lock_) = false;
  std::deque<std::string> buffer_ GUARDED_BY(lock_);
  std::size_t dropped_ GUARDED_BY(lock_) = 0;
  std::shared_ptr<TLogCounters> counters_ GUARDED_BY(lock_) = std::make_shared<TLogCounters>();
};

}  // namespace orlo
