// TCounter: keeps the occupancy counts of the parking lots (lot.lot_count) from
// what happens at one device of a loop. Three kinds of counting become lot
// changes through the device's counter_item rows:
//   - the reader's hardware counter inputs, reported as 4-bit running counts
//     (Process, from the loop's counter event);
//   - granted passes at the device (AddSoftCount, from the loop's passage count);
//   - increases of device.count_soft made by other programs, for the counters
//     of the "POE/POF" loop (CheckSoftCount, from the loop's output update).
// Counter inputs in counter_item.input: hardware counter i (1..5) is input
// i + 1; granted passes and count_soft increases are input 7.
//
// Ownership: one per bus address, created and owned by the loop; the message
// log and the connection are the loop's and must outlive the counter.
// Threads: main thread only. Every operation runs there (counter events and the
// output update are both handed to the main thread), so the class takes no lock.
// Statements are made on the connection per call and released before return.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace orlo {

class TMessLog;
class TODBC;
class TODBCStatement;

class TCounter {
 public:
  // Input numbers of counter_item.
  static constexpr int kSoftInput = 7;
  static constexpr int kHardwareCounters = 5;

  // Reads the device row at (loopId, address) and keeps its id, lot_id and
  // count_soft (all 0 when there is no such row). The first report after
  // creation (unless a Restart came first) is only taken as the starting
  // point. log may be null.
  TCounter(TMessLog* log, bool softCounter, int address, int loopId, TODBC* conn);
  TCounter(const TCounter&) = delete;
  TCounter& operator=(const TCounter&) = delete;

  // Takes one counter report (at least five characters; the low four bits of
  // character i are hardware counter i). Returns the device's name, or
  // "Invalid" for a report that is too short or a device row not found.
  std::string Process(std::string_view report);
  // The value 0..15 of hardware counter i (1-based) in a report: the low four
  // bits of its character i; 0 outside the report.
  static int CounterValue(std::string_view report, int i);
  // Pulses counted between two 4-bit running counts (0..15; the count wraps).
  static int CounterStep(int last, int now);
  // The device powered up: its hardware counters start again from 0, and 0
  // becomes what the next report counts from, so the steps the device made
  // before that report are counted too.
  void Restart();
  // Counts one granted pass at the device.
  void AddSoftCount();
  // Applies an increase of count_soft made by another program since the last
  // look; a lowered count_soft becomes the new starting point without a lot
  // change. The device query runs on s (the caller's statement).
  void CheckSoftCount(TODBCStatement& s);

  bool SoftCounter() const { return softCounter_; }
  int DeviceId() const { return deviceId_; }
  int LotId() const { return lotId_; }
  int SoftCount() const { return softCount_; }

 private:
  // Changes the lots of the device's counter_item rows for input by amount,
  // and flags the lot-full devices of deviceLot when a lot changed.
  void ApplyCounterItems(long long amount, int input, int deviceLot);
  // Flags the lot-full outputs and signs of the lot's devices for refresh.
  void FlagLotFull(int lot);
  void Log(const std::string& line);

  int deviceId_ = 0;
  int lotId_ = 0;  // device.lot_id at creation; the operations re-read it
  TMessLog* log_;
  TODBC* conn_;
  bool firstReport_ = true;
  int softCount_ = 0;
  bool softCounter_;
  std::array<int, kHardwareCounters + 1> lastValues_{};  // index 1..5
};

}  // namespace orlo
