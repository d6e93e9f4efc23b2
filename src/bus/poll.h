// TPoll: the poll thread of one loop. It alone owns the loop's serial port:
// each cycle it sends at most one queued command and one poll ('C', 'R' or
// 'I') to the next address, decodes the reply into an event of its TCard and
// keeps per address whether the device answers. Card and memory-card data go
// to the main thread synchronously (the thread waits for the handler, or until
// the handler lets it go with its answer queued, so the gate command the
// handler queues is the next frame on the line); every other
// event goes through the dispatcher (TProcessInfo) it owns. When the line is
// traced, every frame it writes and every reply it reads goes to its TLineTrace.
//
// Owned by its TCard, created on the main thread by TCard::Open and stopped by
// TCard::Close. Enqueue and LatestPayload may be called from any thread;
// everything else runs on the poll thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "bus/card.h"
#include "bus/frame.h"
#include "bus/linetrace.h"
#include "bus/processinfo.h"
#include "platform/mutex.h"
#include "platform/ring.h"

namespace orlo {

class TMainLoop;
class TSerialPort;

// The command ring: 16 slots of (address, command), so at most 15 commands
// wait. Written by the main thread and the poll thread, read by the poll
// thread; one lock orders them all.
class TCommandRing {
 public:
  static constexpr int kSlots = 16;
  struct TCommand {
    int address = 0;
    std::string command;  // letter followed by data
  };

  // False when the ring is full and the command was dropped.
  bool Push(int address, std::string command);
  bool Front(TCommand& out) const;
  void PopFront();
  bool Empty() const;
  int Waiting() const;

 private:
  mutable TMutex lock_;
  TBoundedRing<TCommand, kSlots> ring_ GUARDED_BY(lock_);
};

class TPoll {
 public:
  // Starts the dispatcher; the poll thread starts with OpenPort.
  TPoll(TCard& owner, TMainLoop& mainLoop);
  ~TPoll();  // Stop
  TPoll(const TPoll&) = delete;
  TPoll& operator=(const TPoll&) = delete;

  // Traces every frame of the line from Start on (before Start only).
  void SetLineTrace(std::unique_ptr<TLineTrace> trace) { trace_ = std::move(trace); }
  // Takes an opened port and starts the poll thread (the thread closes it).
  void Start(std::unique_ptr<TSerialPort> port, int portNumber, std::string devicePath, int baud);
  // Asks both threads to end without waiting (safe from a handler).
  void RequestStop();
  // Asks both threads to end and waits for them.
  void Stop();

  // Queues letter + data for an address inside FirstReader..LastReader;
  // false when refused or when the ring is full.
  bool Enqueue(int address, char letter, std::string_view data);
  bool Enqueue(int address, std::string command);
  std::string LatestPayload() const;
  TBusStats Stats() const;

  TCommandRing& Commands() { return commands_; }
  TProcessInfo& Dispatcher() { return dispatcher_; }

 private:
  using Clock = std::chrono::steady_clock;

  void Execute(std::stop_token stop);
  void CommandStep(std::stop_token stop);
  void PollStep(int address, std::stop_token stop);
  void HandleReply(int address, const std::string& reply, std::stop_token stop);
  void CounterAnswer(int address, const std::string& payload);
  void ReportCounter(int address, const std::string& payload);
  void CardPollAnswered(int address);
  void PoweredUp(int address);
  // True once the counter restart of the address is in the event ring.
  bool PostCounterRestart(int address);
  void HandOver(int address, const std::string& payload, bool memory, std::stop_token stop);
  bool Transact(int tries, int address, const std::string& command, std::string& reply,
                std::stop_token stop);
  // The address of the device a reply came from when that is another device
  // of this loop than the polled one, else 0.
  int StraySender(const std::string& reply, int polled) const;
  void UpdateState(int address, bool good);
  // Counts the outcome of one reply wait that began when the frame was written.
  void CountReply(int address, bool good, Clock::time_point written);
  bool SendFrame(int address, const std::string& command);
  bool ReceiveFrame(std::string& reply);
  // Traces the reply just read, when the line is traced; true for a good one.
  bool TraceReply(TTraceOutcome outcome);
  bool ReadByte(std::uint8_t& b);
  // False when the event ring was full and the event was lost.
  bool Post(TEventKind kind, int address, std::string value = {});
  bool PostEvent(TEventKind kind, const TEventValues& values);
  void PortFailing(bool failing);
  void Sleep(std::stop_token stop, int ms);

  TCard& owner_;
  TMainLoop& mainLoop_;
  const std::uint32_t handled_;  // TCard::EventBit of each assigned handler
  TCommandRing commands_;

  mutable TMutex payloadLock_;
  std::string latestPayload_ GUARDED_BY(payloadLock_);

  // Written by the poll thread, read by anyone.
  const std::shared_ptr<TLineCounters> lines_;  // the owner's, kept for the thread's life
  std::atomic<std::uint64_t> transactions_{0};
  std::atomic<std::uint64_t> failures_{0};
  std::atomic<std::uint64_t> offline_{0};

  // Poll thread only from here on.
  std::unique_ptr<TSerialPort> port_;
  int portNumber_ = 0;
  std::string devicePath_;
  int baud_ = 9600;
  bool portFailing_ = false;  // the last read found the device gone
  int cursor_ = 1;
  std::optional<Clock::time_point> replyBase_;
  Clock::time_point replyTime_{};  // when the last good reply's last byte was read
  TReplyReader reader_;
  std::array<std::uint8_t, 64> inBuf_{};
  std::size_t inPos_ = 0;
  std::size_t inLen_ = 0;
  std::array<bool, kAddressSlots> online_;
  std::array<int, kAddressSlots> failCount_{};
  std::array<bool, kAddressSlots> firstContact_;
  std::array<int, kAddressSlots> counterTick_{};
  std::array<int, kAddressSlots> inputTick_{};
  std::array<bool, kAddressSlots> firstCounter_;
  std::array<std::string, kAddressSlots> lastCounter_;
  std::array<bool, kAddressSlots> restartPending_{};  // a counter restart the ring refused
  // A transaction failed since the last card-poll answer; a counter answer
  // that comes meanwhile waits in heldCounter_ for that answer.
  std::array<bool, kAddressSlots> unsure_{};
  std::array<std::optional<std::string>, kAddressSlots> heldCounter_;
  int sentTo_ = 0;          // the address of the latest frame sent
  std::string replyBytes_;  // the bytes read for the reply being read, when traced

  static constexpr int kOfflineFailures = 4;
  static constexpr int kCounterEvery = 10;  // an 'R' on every 11th poll of an address
  static constexpr int kInputEvery = 20;    // an 'I' on every 21st other poll
  static constexpr int kIdleCycleMs = 20;

  TProcessInfo dispatcher_;
  std::unique_ptr<TLineTrace> trace_;  // null when the line is not traced
  std::jthread thread_;                // last member: joined before the rest goes away
};

}  // namespace orlo
