// TLineTrace: the line trace of one loop, for installers and technicians.
// Every frame the poll thread writes and every reply it reads goes, with its
// time in microseconds, into a capture file in the pcap format (link type
// USER0, 147) that Wireshark opens with the dissector of packaging/wireshark:
// <folder>/loop<id>-<yyyy-mm-dd>.pcap, one file per loop and local day, bounded
// in size; files of the last seven days are kept (see TTraceFile).
//
// Record layout (the payload of each pcap record): an 8-byte header, then the
// bytes as they were on the line.
//   offset 0  1 byte   layout version, 1
//   offset 1  1 byte   direction: 0 controller to devices, 1 devices to controller
//   offset 2  1 byte   outcome (TTraceOutcome)
//   offset 3  1 byte   the address the controller was talking to (1..16); a
//                      reply's own address byte may name another device, and
//                      an ACK reply has none
//   offset 4  2 bytes  loop id, big-endian
//   offset 6  2 bytes  COM port number, big-endian
//   offset 8  ...      the frame: a whole command frame; for a reply every byte
//                      read for it (noise before SOH included), nothing when
//                      no byte came
//
// Threads: created and destroyed by the owner of the poll thread (TCard on the
// main thread, through TPoll); Record is called by the poll thread alone and
// never waits for the disk: records go through a bounded queue to the trace's
// own writer thread, which writes and flushes them about four times a second.
// A queue that the disk cannot drain loses records, counted and logged once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/mutex.h"

namespace orlo {

class TMessLog;
class TTraceFile;

// What the [Monitor] settings ask of one loop's trace.
struct TLineTraceSettings {
  bool enabled = false;
  std::string folder;  // <home>/trace
  int loopId = 0;
  int port = 0;                                   // COM port number, for the records
  std::uint64_t maxBytes = 100ull * 1024 * 1024;  // bound of one day's file
};

enum class TTraceDirection : std::uint8_t { Out = 0, In = 1 };

enum class TTraceOutcome : std::uint8_t {
  Good = 0,         // written whole / a good reply
  Bad = 1,          // a reply with a wrong check byte, or longer than any reply
  TimedOut = 2,     // the reply did not come (in full) in time
  PortFailure = 3,  // the port refused the write or the read
};

// One record as the poll thread hands it over.
struct TTraceRecord {
  std::chrono::system_clock::time_point at;
  TTraceDirection direction = TTraceDirection::Out;
  TTraceOutcome outcome = TTraceOutcome::Good;
  std::uint8_t address = 0;
  std::string bytes;
};

class TLineTrace {
 public:
  // Records waiting for the writer at most; more are lost (and counted).
  static constexpr std::size_t kMaxQueued = 8192;
  // How often the writer thread writes and flushes what is queued.
  static constexpr std::chrono::milliseconds kWriteEvery{250};

  // Starts the writer thread; log (may be null) gets the trace's few lines.
  TLineTrace(const TLineTraceSettings& settings, TMessLog* log);
  // Writes what is still queued, closes the file and ends the writer.
  ~TLineTrace();
  TLineTrace(const TLineTrace&) = delete;
  TLineTrace& operator=(const TLineTrace&) = delete;

  // Poll thread: queues one record stamped with the time of the call.
  void Record(TTraceDirection direction, TTraceOutcome outcome, int address,
              std::string_view bytes);

 private:
  void Run(std::stop_token stop);
  // Writer thread: writes one batch and reports records the queue refused.
  void WriteBatch(std::vector<TTraceRecord>& batch, std::uint64_t refused);

  const int loopId_;
  TMessLog* const log_;

  TMutex lock_;
  std::condition_variable_any wake_;
  std::vector<TTraceRecord> queue_ GUARDED_BY(lock_);
  std::uint64_t refused_ GUARDED_BY(lock_) = 0;  // records the full queue turned away

  std::unique_ptr<TTraceFile> file_;  // writer thread only (and the destructor after it)
  std::jthread writer_;               // last member: stopped before the rest goes away
};

}  // namespace orlo
