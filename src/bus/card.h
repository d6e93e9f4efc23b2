// TCard: the face of one serial reader loop towards the rest of the system.
// The loop controller creates one, sets its properties, assigns its On...
// events, opens it and then drives the loop's devices only through the
// outbound operations, which queue command frames to the loop's poll thread.
// Every event is raised on the main thread: card and memory-card data while
// the poll thread waits for the handler, everything else through the
// dispatcher's 64-slot event ring.
//
// Ownership and threads: owned by its creator (a TLoop or a test), which calls
// every public operation on the main thread (the thread that runs the
// TMainLoop). The poll thread reads the settings live (they are atomics) and
// shares the per-address gate state and texts under gateLock_.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "bus/frame.h"
#include "bus/linetrace.h"
#include "platform/clock.h"
#include "platform/histogram.h"
#include "platform/mutex.h"

namespace orlo {

class TMainLoop;
class TMessLog;
class TPoll;
class TSerialPort;

// What one event carries from the poll thread to the main thread.
struct TEventValues {
  int reader = 0;  // the device address the poll thread was talking to
  int board = 0;
  int input = 0;
  bool comstat = false;
  std::string value;
};

// The events that travel through the dispatcher's ring (card and memory-card
// data are handed over synchronously instead).
enum class TEventKind {
  Counter,
  Input,
  DiscCode,
  Deposit,
  BarCode,
  InputOn,
  InputOff,
  ButtonUp,
  ButtonDown,
  Error,
  ErrorEx,
  PowerUp,
  EscrowLever,
  CashBox,
  CommStatus,
  Printer,
  CounterRestart,
};

// Event handler types; an empty function means "no handler assigned".
using TReaderEvent = std::function<void(int reader)>;
using TCardEvent = std::function<void(int reader, const std::string& value)>;
using TInputEvent = std::function<void(int reader, int board, int input)>;
using TCommEvent = std::function<void(int reader, bool comstat)>;

// Line counters of an open card since its Open (for installers and benchmarks).
struct TBusStats {
  std::uint64_t transactions = 0;  // commands and polls sent
  std::uint64_t failures = 0;      // transactions without a good reply
  std::uint64_t offline = 0;       // devices declared offline
};

// What the line did at one address, for monitoring: written by the poll
// thread with relaxed atomics, read by any thread, each figure on its own.
struct TAddressCounters {
  static constexpr int kUnknown = -1;  // not polled yet since the card opened

  std::atomic<std::uint64_t> polls{0};        // poll frames sent ('C', 'R', 'I')
  std::atomic<std::uint64_t> commands{0};     // command frames sent
  std::atomic<std::uint64_t> replies{0};      // good replies to either
  std::atomic<std::uint64_t> timeouts{0};     // no complete reply in time
  std::atomic<std::uint64_t> badReplies{0};   // a wrong check byte or an overlong reply
  std::atomic<std::uint64_t> lateReplies{0};  // replies of this device that came while
                                              // another device was being asked
  std::atomic<int> online{kUnknown};          // 1 online, 0 offline, or kUnknown
  // From the frame written to the reply's last byte read.
  TLatencyHistogram replyLatency{0.002, 0.005, 0.01, 0.015, 0.02, 0.03, 0.04, 0.06, 0.1};
};

// The counters of every address of a loop (indexed by address; 0 unused).
// Shared: whoever wants them to outlive the card (a monitor keeping counts
// across a restart of the loop) hands its own to SetLineCounters.
struct TLineCounters {
  std::array<TAddressCounters, kAddressSlots> address;
};

// Creates the serial port a card opens; tests may inject one that fails.
using TSerialPortFactory = std::function<std::unique_ptr<TSerialPort>()>;

class TCard {
 public:
  explicit TCard(TMainLoop& mainLoop);
  ~TCard();  // closes
  TCard(const TCard&) = delete;
  TCard& operator=(const TCard&) = delete;

  // Published events. Assign them while the card is closed.
  TCardEvent OnCounter;        // an 'R' answer differing from the previous one
  TCardEvent OnInput;          // every 'I' answer
  TCardEvent OnDeposit;        // 'Z' report
  TCardEvent OnPrinter;        // 'J' report
  TCardEvent OnDiscCode;       // 'D' report
  TCardEvent OnBarCode;        // '#' report
  TCardEvent OnData;           // 'C' report; the poll thread waits for the handler
  TCardEvent OnMemory;         // 'M' report; the poll thread waits for the handler
  TInputEvent OnInputOn;       // 'L' report, input byte '2'
  TInputEvent OnInputOff;      // 'L' report, input byte '1'
  TCardEvent OnButtonUp;       // 'K' report, second byte '1'
  TCardEvent OnButtonDown;     // 'K' report, other second byte
  TReaderEvent OnError;        // the device was declared offline
  TCommEvent OnErrorEx;        // first answer (comstat true) or back online (false)
  TReaderEvent OnPowerUp;      // 'P'/'p' report, first answer, back online
  TReaderEvent OnEscrowLever;  // 'E' report
  TReaderEvent OnCashBox;      // 'U' report
  TCommEvent OnCommStatus;     // after a frame write: whether it succeeded
  // A 'P'/'p' power-up report: the device's counters start again from 0.
  // Raised before any counter event of a report made after the power-up.
  TReaderEvent OnCounterRestart;

  // Lifecycle. Open forgets gate states and clock-capable marks (texts stay),
  // forces NoCounters/NoInputs when OnCounter/OnInput are unassigned, opens
  // the port COM<Port> (device path from the settings file's [Ports] section)
  // and starts polling. False (and closed) when the port cannot be opened.
  bool Open();
  // Stops the poll and dispatcher threads; the poll thread closes the port.
  // Never deadlocks against a pending hand-over; called from inside one of
  // this card's own handlers, the threads are joined once the handler returns.
  void Close();
  bool IsOpen() const { return poll_ != nullptr; }

  // Properties. Settings read by the poll thread act on its next frame;
  // Port and Baud act at the next Open.
  int Port() const { return port_; }
  void SetPort(int port) { port_ = port; }
  int FirstReader() const { return firstReader_; }
  void SetFirstReader(int address);  // outside 1..16: ignored
  int LastReader() const { return lastReader_; }
  void SetLastReader(int address);  // above 16: ignored
  int Readers() const { return lastReader_ - firstReader_ + 1; }
  void SetReaders(int count);  // n > 0: LastReader = FirstReader + n - 1, at most 16
  int Baud() const { return baud_; }
  void SetBaud(int baud) { baud_ = baud; }
  int TurnAround() const { return turnAround_; }
  void SetTurnAround(int ms) { turnAround_ = ms; }
  int PollDelay() const { return pollDelay_; }
  void SetPollDelay(int ms) { pollDelay_ = ms; }
  bool PayOnFoot() const { return payOnFoot_; }
  void SetPayOnFoot(bool on) { payOnFoot_ = on; }
  bool NoCounters() const { return noCounters_; }
  void SetNoCounters(bool on) { noCounters_ = on; }
  bool NoInputs() const { return noInputs_; }
  void SetNoInputs(bool on) { noInputs_ = on; }
  int RespDly() const { return respDly_; }
  void SetRespDly(int ms) { respDly_ = ms; }
  int OffLineDly() const { return offLineDly_; }
  // Payload of the latest good poll reply up to its first NUL; empty when closed.
  std::string CardNo() const;
  // Zero while closed.
  TBusStats Stats() const;
  // The per-address counters the poll thread writes. Set them while the card
  // is closed; by default the card has its own. Never null.
  void SetLineCounters(std::shared_ptr<TLineCounters> counters);
  const std::shared_ptr<TLineCounters>& LineCounters() const { return lineCounters_; }
  // Inside an OnData or OnMemory handler: when the poll thread had read the
  // last byte of the reply handed over. Otherwise the epoch (a zero time).
  std::chrono::steady_clock::time_point HandOverReplyTime() const { return handOverReplyTime_; }

  // Per-address display texts (addresses 0..16, others ignored); kept while closed.
  void SetIdleMsg(int address, const std::string& text);
  void SetGateUpMsg(int address, const std::string& text);
  // The gate state last commanded through SetGate (true = held up).
  bool GetGate(int address) const;

  // Where COM<N> is looked up; empty (the default) means the program's settings file.
  void SetSettingsFile(const std::string& fileName) { settingsFile_ = fileName; }
  // The line trace of the next Open (off by default); the port comes from Port.
  void SetLineTrace(const TLineTraceSettings& settings) { lineTrace_ = settings; }
  // Diagnostic lines (port failures, handler exceptions); may stay unset.
  void SetLog(TMessLog* log) { log_ = log; }
  void SetPortFactory(TSerialPortFactory factory) { portFactory_ = std::move(factory); }

  // Outbound operations: each does nothing while closed and queues one command
  // to the poll thread, which drops it for an address outside
  // FirstReader..LastReader or when 15 commands already wait.
  void GateOpenMsg(int address, bool open, int pulse, std::string_view msg);
  void SetGate(int address, bool up);
  void SetClock(int address, std::string_view clock);
  void SignMsg(int address, std::string_view text);
  void SetOutput(int address, bool on, unsigned outputs);
  void PulseOutput(int address, int output, int duration);
  void TicketAck(int address, std::string_view text);

  // Which handlers are assigned, one bit per queued kind plus the two
  // hand-over events; read by Open when it starts the poll thread.
  static constexpr std::uint32_t EventBit(TEventKind kind) {
    return 1u << static_cast<unsigned>(kind);
  }
  // The two hand-over events take the bits after the last queued kind.
  static constexpr std::uint32_t kDataBit = 2u << static_cast<unsigned>(TEventKind::CounterRestart);
  static constexpr std::uint32_t kMemoryBit = kDataBit << 1;
  std::uint32_t HandledEvents() const;

  // The device clock text "hhnnssyymmdd" of a date-time.
  static std::string ClockText(TDateTime when);

 private:
  friend class TPoll;
  friend class TProcessInfo;

  // Raising operations: call the handler when one is assigned. Main thread
  // only: the poll thread's hand-over (DoData, DoMemory) and the dispatcher
  // (Raise) call them, nothing outside the bus.
  void DoCounter(int reader, const std::string& value);
  void DoInput(int reader, const std::string& value);
  void DoDeposit(int reader, const std::string& value);
  void DoPrinter(int reader, const std::string& value);
  void DoDiscCode(int reader, const std::string& value);
  void DoBarCode(int reader, const std::string& value);
  void DoData(int reader, const std::string& value);
  void DoMemory(int reader, const std::string& value);
  void DoInputOn(int reader, int board, int input);
  void DoInputOff(int reader, int board, int input);
  void DoButtonUp(int reader, const std::string& value);
  void DoButtonDown(int reader, const std::string& value);
  void DoError(int reader);
  void DoErrorEx(int reader, bool comstat);
  void DoPowerUp(int reader);
  void DoEscrowLever(int reader);
  void DoCashBox(int reader);
  void DoCommStatus(int reader, bool comstat);
  void DoCounterRestart(int reader);

  // Raises the event of a queued kind (the dispatcher's DispatchOne).
  void Raise(TEventKind kind, const TEventValues& values);

  // Runs a handler, containing any exception it raises (logged). Main thread.
  void RunHandler(const char* event, const std::function<void()>& call);
  void Log(const std::string& line) const;
  std::string DevicePath(int port) const;
  // Queues the command of the held gate state and text of an address through
  // poll; the caller holds gateLock_. Building and queuing under the lock that
  // also guards every change of the state keeps the commands in the ring in
  // the order of the changes: the last one queued is always the state held
  // last. Lock order: gateLock_, then the command ring's lock.
  void QueueHeldGate(TPoll& poll, int address) const REQUIRES(gateLock_);
  // Poll thread: puts a device that powered up back into its held gate state.
  void ResendGate(TPoll& poll, int address) EXCLUDES(gateLock_);
  // Poll thread: the device announced its power-up with 'p'.
  void MarkClockCapable(int address) EXCLUDES(gateLock_);
  void Enqueue(int address, std::string command);

  TMainLoop& mainLoop_;
  TMessLog* log_ = nullptr;
  std::string settingsFile_;
  TSerialPortFactory portFactory_;
  TLineTraceSettings lineTrace_;

  int port_ = 1;
  int baud_ = 9600;
  std::atomic<int> firstReader_{1};
  std::atomic<int> lastReader_{0};
  std::atomic<int> turnAround_{0};
  std::atomic<int> pollDelay_{0};
  std::atomic<bool> payOnFoot_{false};
  std::atomic<bool> noCounters_{false};
  std::atomic<bool> noInputs_{false};
  std::atomic<int> respDly_{0};
  const int offLineDly_ = 40;

  // gateLock_ guards the per-address gate state, clock-capable marks and
  // texts: written by the main thread (SetGate, Open, Set...Msg) and read or
  // written by the poll thread (power-up re-send, 'p' report). Gate commands
  // are queued while it is held (QueueHeldGate).
  mutable TMutex gateLock_;
  std::array<bool, kAddressSlots> gateUp_ GUARDED_BY(gateLock_){};
  std::array<bool, kAddressSlots> clockCapable_ GUARDED_BY(gateLock_){};
  std::array<std::string, kAddressSlots> idleText_ GUARDED_BY(gateLock_);
  std::array<std::string, kAddressSlots> upText_ GUARDED_BY(gateLock_);

  // Main thread only: the running poll thread (with its dispatcher), and how
  // many of this card's handlers are running right now (Close inside one
  // must not join the thread that waits for that very handler).
  std::shared_ptr<TPoll> poll_;
  int handlerDepth_ = 0;
  std::chrono::steady_clock::time_point handOverReplyTime_{};  // main thread, see HandOverReplyTime
  // Set while closed, read by the poll thread of an open card.
  std::shared_ptr<TLineCounters> lineCounters_ = std::make_shared<TLineCounters>();
};

}  // namespace orlo
