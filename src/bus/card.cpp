#include "bus/card.h"

#include <cstdio>
#include <exception>

#include "bus/poll.h"
#include "config/inifile.h"
#include "log/messlog.h"
#include "platform/format.h"
#include "platform/mainloop.h"
#include "platform/program.h"
#include "platform/serialport.h"

namespace orlo {

namespace {

bool ValidSlot(int address) { return address >= 0 && address < kAddressSlots; }

// Longest data field of a 'G' or 'B' command: three pulse digits plus 125
// message characters, or 128 message characters.
constexpr std::size_t kMaxMessageData = 128;

}  // namespace

TCard::TCard(TMainLoop& mainLoop) : mainLoop_(mainLoop), portFactory_(MakeSerialPort) {}

TCard::~TCard() { Close(); }

// ---- properties ----

void TCard::SetFirstReader(int address) {
  if (address >= kMinAddress && address <= kMaxAddress) firstReader_ = address;
}

void TCard::SetLastReader(int address) {
  if (address <= kMaxAddress) lastReader_ = address;
}

void TCard::SetReaders(int count) {
  if (count <= 0) return;
  lastReader_ = std::min(firstReader_ + count - 1, kMaxAddress);
}

std::string TCard::CardNo() const {
  if (!poll_) return {};
  std::string payload = poll_->LatestPayload();
  const auto nul = payload.find('\0');
  if (nul != std::string::npos) payload.resize(nul);
  return payload;
}

TBusStats TCard::Stats() const { return poll_ ? poll_->Stats() : TBusStats{}; }

void TCard::SetLineCounters(std::shared_ptr<TLineCounters> counters) {
  if (counters) lineCounters_ = std::move(counters);
}

void TCard::SetIdleMsg(int address, const std::string& text) {
  if (!ValidSlot(address)) return;
  TLockGuard lk(gateLock_);
  idleText_[address] = text;
}

void TCard::SetGateUpMsg(int address, const std::string& text) {
  if (!ValidSlot(address)) return;
  TLockGuard lk(gateLock_);
  upText_[address] = text;
}

bool TCard::GetGate(int address) const {
  if (!ValidSlot(address)) return false;
  TLockGuard lk(gateLock_);
  return gateUp_[address];
}

// ---- lifecycle ----

std::string TCard::DevicePath(int port) const {
  const std::string key = Format("COM%d", port);
  const std::string def = Format("/dev/ttyS%d", port - 1);
  const std::string file = settingsFile_.empty() ? SettingsFileName() : settingsFile_;
  try {
    TIniFileEx ini(file);
    return ini.ReadStringEx("Ports", key, def);
  } catch (const std::exception& e) {
    // The file cannot take the default: the default is still the best guess.
    Log(Format("Settings file %s: %s", file, e.what()));
    return def;
  }
}

bool TCard::Open() {
  Close();
  {
    TLockGuard lk(gateLock_);
    gateUp_.fill(false);
    clockCapable_.fill(false);
  }
  if (!OnCounter) noCounters_ = true;
  if (!OnInput) noInputs_ = true;

  auto poll = std::make_shared<TPoll>(*this, mainLoop_);
  const std::string path = DevicePath(port_);
  std::unique_ptr<TSerialPort> serial = portFactory_ ? portFactory_() : nullptr;
  std::string error = "no serial port available";
  if (!serial || !serial->Open(path, baud_, error)) {
    Log(Format("Serial port COM%d (%s) could not be opened: %s", port_, path, error));
    return false;  // poll (and its idle dispatcher) goes away here
  }
  if (lineTrace_.enabled) {
    TLineTraceSettings trace = lineTrace_;
    trace.port = port_;
    poll->SetLineTrace(std::make_unique<TLineTrace>(trace, log_));
  }
  poll->Start(std::move(serial), port_, path, baud_);
  poll_ = std::move(poll);
  return true;
}

void TCard::Close() {
  if (!poll_) return;
  std::shared_ptr<TPoll> poll = std::move(poll_);
  poll_.reset();
  if (handlerDepth_ > 0) {
    // Called from one of our own handlers: the poll or dispatcher thread is
    // waiting for this very handler, so join them only after it has returned.
    poll->RequestStop();
    mainLoop_.Post([poll] { poll->Stop(); });
    return;
  }
  poll->Stop();
}

// ---- outbound operations ----

void TCard::Enqueue(int address, std::string command) {
  if (poll_) poll_->Enqueue(address, std::move(command));
}

void TCard::GateOpenMsg(int address, bool open, int pulse, std::string_view msg) {
  if (!poll_) return;
  std::string command;
  if (open) {
    // Exactly three digits: the last three of the pulse (a negative pulse is no pulse).
    char digits[8];
    std::snprintf(digits, sizeof digits, "%03d", pulse > 0 ? pulse % 1000 : 0);
    command = "G";
    command += digits;
    command.append(msg.substr(0, kMaxMessageData - 3));
  } else {
    command = "B";
    command.append(msg.substr(0, kMaxMessageData));
  }
  Enqueue(address, std::move(command));
}

std::string TCard::ClockText(TDateTime when) {
  int year, month, day, hour, min, sec, msec;
  DecodeDate(when, year, month, day);
  DecodeTime(when, hour, min, sec, msec);
  std::string text;
  for (int field : {hour, min, sec, year - 2000, month, day}) {
    field = (field % 100 + 100) % 100;  // two digits whatever the century
    text.push_back(static_cast<char>('0' + field / 10));
    text.push_back(static_cast<char>('0' + field % 10));
  }
  return text;
}

void TCard::QueueHeldGate(TPoll& poll, int address) const {
  const bool up = gateUp_[address];
  std::string command;
  if (clockCapable_[address]) {
    command = up ? "o" : "x";
    command += ClockText(Now());
  } else {
    command = up ? "O" : "X";
  }
  command += up ? upText_[address] : idleText_[address];
  poll.Enqueue(address, std::move(command));
}

void TCard::SetGate(int address, bool up) {
  if (!poll_ || !ValidSlot(address)) return;
  TLockGuard lk(gateLock_);
  gateUp_[address] = up;
  QueueHeldGate(*poll_, address);
}

void TCard::ResendGate(TPoll& poll, int address) {
  if (!ValidSlot(address)) return;
  TLockGuard lk(gateLock_);
  QueueHeldGate(poll, address);
}

void TCard::MarkClockCapable(int address) {
  if (!ValidSlot(address)) return;
  TLockGuard lk(gateLock_);
  clockCapable_[address] = true;
}

void TCard::SetClock(int address, std::string_view clock) {
  if (!poll_) return;
  Enqueue(address, "M" + std::string(clock));
}

void TCard::SignMsg(int address, std::string_view text) {
  if (!poll_) return;
  Enqueue(address, "L" + std::string(text));
}

void TCard::SetOutput(int address, bool on, unsigned outputs) {
  if (!poll_) return;
  std::string command(1, on ? 'W' : 'F');
  command.push_back(static_cast<char>((outputs + 0x40) & 0xFF));
  Enqueue(address, std::move(command));
}

void TCard::PulseOutput(int address, int output, int duration) {
  if (!poll_) return;
  std::string command(1, 'P');
  command.push_back(static_cast<char>((output + 0x3F) & 0xFF));
  command += std::to_string(duration);
  Enqueue(address, std::move(command));
}

void TCard::TicketAck(int address, std::string_view text) {
  if (!poll_) return;
  Enqueue(address, "Y" + std::string(text));
}

// ---- events ----

void TCard::Log(const std::string& line) const {
  if (log_) log_->Log(line);
}

void TCard::RunHandler(const char* event, const std::function<void()>& call) {
  ++handlerDepth_;
  try {
    call();
  } catch (const std::exception& e) {
    Log(Format("%s handler exception: %s", event, e.what()));
  } catch (...) {
    Log(Format("%s handler exception", event));
  }
  --handlerDepth_;
}

#define ORLO_RAISE(handler, ...)                                      \
  do {                                                                \
    if (handler) RunHandler(#handler, [&] { handler(__VA_ARGS__); }); \
  } while (0)

void TCard::DoCounter(int r, const std::string& v) { ORLO_RAISE(OnCounter, r, v); }
void TCard::DoInput(int r, const std::string& v) { ORLO_RAISE(OnInput, r, v); }
void TCard::DoDeposit(int r, const std::string& v) { ORLO_RAISE(OnDeposit, r, v); }
void TCard::DoPrinter(int r, const std::string& v) { ORLO_RAISE(OnPrinter, r, v); }
void TCard::DoDiscCode(int r, const std::string& v) { ORLO_RAISE(OnDiscCode, r, v); }
void TCard::DoBarCode(int r, const std::string& v) { ORLO_RAISE(OnBarCode, r, v); }
void TCard::DoData(int r, const std::string& v) { ORLO_RAISE(OnData, r, v); }
void TCard::DoMemory(int r, const std::string& v) { ORLO_RAISE(OnMemory, r, v); }
void TCard::DoInputOn(int r, int b, int i) { ORLO_RAISE(OnInputOn, r, b, i); }
void TCard::DoInputOff(int r, int b, int i) { ORLO_RAISE(OnInputOff, r, b, i); }
void TCard::DoButtonUp(int r, const std::string& v) { ORLO_RAISE(OnButtonUp, r, v); }
void TCard::DoButtonDown(int r, const std::string& v) { ORLO_RAISE(OnButtonDown, r, v); }
void TCard::DoError(int r) { ORLO_RAISE(OnError, r); }
void TCard::DoErrorEx(int r, bool c) { ORLO_RAISE(OnErrorEx, r, c); }
void TCard::DoPowerUp(int r) { ORLO_RAISE(OnPowerUp, r); }
void TCard::DoEscrowLever(int r) { ORLO_RAISE(OnEscrowLever, r); }
void TCard::DoCashBox(int r) { ORLO_RAISE(OnCashBox, r); }
void TCard::DoCommStatus(int r, bool c) { ORLO_RAISE(OnCommStatus, r, c); }
void TCard::DoCounterRestart(int r) { ORLO_RAISE(OnCounterRestart, r); }

#undef ORLO_RAISE

std::uint32_t TCard::HandledEvents() const {
  std::uint32_t bits = 0;
  auto add = [&bits](bool assigned, std::uint32_t bit) {
    if (assigned) bits |= bit;
  };
  add(bool(OnCounter), EventBit(TEventKind::Counter));
  add(bool(OnInput), EventBit(TEventKind::Input));
  add(bool(OnDiscCode), EventBit(TEventKind::DiscCode));
  add(bool(OnDeposit), EventBit(TEventKind::Deposit));
  add(bool(OnBarCode), EventBit(TEventKind::BarCode));
  add(bool(OnInputOn), EventBit(TEventKind::InputOn));
  add(bool(OnInputOff), EventBit(TEventKind::InputOff));
  add(bool(OnButtonUp), EventBit(TEventKind::ButtonUp));
  add(bool(OnButtonDown), EventBit(TEventKind::ButtonDown));
  add(bool(OnError), EventBit(TEventKind::Error));
  add(bool(OnErrorEx), EventBit(TEventKind::ErrorEx));
  add(bool(OnPowerUp), EventBit(TEventKind::PowerUp));
  add(bool(OnEscrowLever), EventBit(TEventKind::EscrowLever));
  add(bool(OnCashBox), EventBit(TEventKind::CashBox));
  add(bool(OnCommStatus), EventBit(TEventKind::CommStatus));
  add(bool(OnPrinter), EventBit(TEventKind::Printer));
  add(bool(OnCounterRestart), EventBit(TEventKind::CounterRestart));
  add(bool(OnData), kDataBit);
  add(bool(OnMemory), kMemoryBit);
  return bits;
}

void TCard::Raise(TEventKind kind, const TEventValues& v) {
  switch (kind) {
    case TEventKind::Counter:
      return DoCounter(v.reader, v.value);
    case TEventKind::Input:
      return DoInput(v.reader, v.value);
    case TEventKind::DiscCode:
      return DoDiscCode(v.reader, v.value);
    case TEventKind::Deposit:
      return DoDeposit(v.reader, v.value);
    case TEventKind::BarCode:
      return DoBarCode(v.reader, v.value);
    case TEventKind::InputOn:
      return DoInputOn(v.reader, v.board, v.input);
    case TEventKind::InputOff:
      return DoInputOff(v.reader, v.board, v.input);
    case TEventKind::ButtonUp:
      return DoButtonUp(v.reader, v.value);
    case TEventKind::ButtonDown:
      return DoButtonDown(v.reader, v.value);
    case TEventKind::Error:
      return DoError(v.reader);
    case TEventKind::ErrorEx:
      return DoErrorEx(v.reader, v.comstat);
    case TEventKind::PowerUp:
      return DoPowerUp(v.reader);
    case TEventKind::EscrowLever:
      return DoEscrowLever(v.reader);
    case TEventKind::CashBox:
      return DoCashBox(v.reader);
    case TEventKind::CommStatus:
      return DoCommStatus(v.reader, v.comstat);
    case TEventKind::Printer:
      return DoPrinter(v.reader, v.value);
    case TEventKind::CounterRestart:
      return DoCounterRestart(v.reader);
  }
}

}  // namespace orlo
