// TTraceFile: the capture files of one loop's line trace (see linetrace.h for
// the record layout). The record's local date picks the file,
// <folder>/loop<id>-<yyyy-mm-dd>.pcap; a file of the same day that is already
// there (the service was restarted) is appended to, after a cut-off last
// record is cut back, so that the file stays readable. A file of the day
// that reached the size bound takes no more records that day. When a new
// day's file is opened, this loop's files older than kKeepDays are removed.
//
// Failures never reach the caller: a folder or file that cannot be written,
// or a write that fails (a full disk), is one log line; records meanwhile are
// counted as lost and writing is tried again kRetryAfter later (or on the
// next day), with a line when it works again.
//
// Used by one thread at a time (the trace's writer thread); time comes only
// from the records, so tests can drive days and retries with chosen times.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "bus/linetrace.h"

struct pcap;
struct pcap_dumper;

namespace orlo {

class TTraceFile {
 public:
  using TimePoint = std::chrono::system_clock::time_point;

  static constexpr int kLinkType = 147;          // LINKTYPE_USER0
  static constexpr int kSnapLen = 65535;         // longer records are cut to this
  static constexpr std::size_t kHeaderSize = 8;  // the record header before the frame
  static constexpr int kKeepDays = 7;            // today and the six days before
  static constexpr std::chrono::seconds kRetryAfter{60};

  TTraceFile(const TLineTraceSettings& settings, TMessLog* log);
  ~TTraceFile();  // flushes and closes
  TTraceFile(const TTraceFile&) = delete;
  TTraceFile& operator=(const TTraceFile&) = delete;

  void Write(const TTraceRecord& record);
  // Hands the written records to the file system; a failed write shows here.
  void Flush();

  // The file of a loop for the local date of a time.
  static std::string FileName(const std::string& folder, int loopId, TimePoint at);
  // The record header and frame bytes of one record (the pcap record's payload).
  static std::string Payload(const TTraceRecord& record, int loopId, int port);

 private:
  bool Open(TimePoint at);
  void Close();
  // Makes an existing file of the day ready to be appended to; what stands in
  // the way when it cannot be, else empty.
  std::string PrepareExisting(const std::string& path);
  void RemoveOldFiles(TimePoint today);
  // A write into the open file failed (errno may tell why): closes it.
  void CheckWritten();
  void WriteFailed();
  void Fail(const std::string& what, TimePoint at);
  void Log(const std::string& line) const;

  const TLineTraceSettings settings_;
  TMessLog* const log_;
  pcap* dead_ = nullptr;           // the pcap handle that describes the files
  pcap_dumper* dumper_ = nullptr;  // the open file, if any
  std::string path_;               // the day's file
  int day_ = 0;                    // yyyymmdd of path_
  std::uint64_t size_ = 0;         // bytes in path_
  bool full_ = false;              // path_ reached the bound
  bool failing_ = false;           // the last open or write failed
  TimePoint retryAt_{};            // while failing_: when to try again
  TimePoint lastAt_{};             // time of the latest record written or lost
  std::uint64_t lost_ = 0;         // records not written while failing_
};

}  // namespace orlo
