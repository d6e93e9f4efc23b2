#include "bus/poll.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "platform/format.h"
#include "platform/mainloop.h"
#include "platform/serialport.h"

namespace orlo {

// ---- command ring ----

bool TCommandRing::Push(int address, std::string command) {
  TLockGuard lk(lock_);
  return ring_.Push(TCommand{address, std::move(command)});
}

bool TCommandRing::Front(TCommand& out) const {
  TLockGuard lk(lock_);
  const TCommand* oldest = ring_.Front();
  if (!oldest) return false;
  out = *oldest;
  return true;
}

void TCommandRing::PopFront() {
  TLockGuard lk(lock_);
  ring_.PopFront();
}

bool TCommandRing::Empty() const {
  TLockGuard lk(lock_);
  return ring_.Empty();
}

int TCommandRing::Waiting() const {
  TLockGuard lk(lock_);
  return ring_.Size();
}

// ---- poll thread ----

TPoll::TPoll(TCard& owner, TMainLoop& mainLoop)
    : owner_(owner),
      mainLoop_(mainLoop),
      handled_(owner.HandledEvents()),
      lines_(owner.LineCounters()),
      dispatcher_(owner, mainLoop) {
  for (auto& counters : lines_->address) counters.online = TAddressCounters::kUnknown;
  online_.fill(true);
  firstContact_.fill(true);
  firstCounter_.fill(true);
  cursor_ = owner_.FirstReader();
}

TPoll::~TPoll() { Stop(); }

void TPoll::Start(std::unique_ptr<TSerialPort> port, int portNumber, std::string devicePath,
                  int baud) {
  port_ = std::move(port);
  portNumber_ = portNumber;
  devicePath_ = std::move(devicePath);
  baud_ = baud;
  thread_ = std::jthread([this](std::stop_token st) { Execute(st); });
}

void TPoll::RequestStop() {
  thread_.request_stop();
  dispatcher_.RequestStop();
}

void TPoll::Stop() {
  RequestStop();
  if (thread_.joinable()) thread_.join();
  dispatcher_.Stop();
}

bool TPoll::Enqueue(int address, char letter, std::string_view data) {
  std::string command(1, letter);
  command.append(data);
  return Enqueue(address, std::move(command));
}

bool TPoll::Enqueue(int address, std::string command) {
  if (address < owner_.FirstReader() || address > owner_.LastReader()) return false;
  if (address < kMinAddress || address > kMaxAddress) return false;
  return commands_.Push(address, std::move(command));
}

std::string TPoll::LatestPayload() const {
  TLockGuard lk(payloadLock_);
  return latestPayload_;
}

TBusStats TPoll::Stats() const {
  TBusStats s;
  s.transactions = transactions_.load(std::memory_order_relaxed);
  s.failures = failures_.load(std::memory_order_relaxed);
  s.offline = offline_.load(std::memory_order_relaxed);
  return s;
}

void TPoll::Sleep(std::stop_token stop, int ms) {
  if (ms <= 0) return;
  std::mutex m;
  std::condition_variable_any cv;
  std::unique_lock lk(m);
  cv.wait_for(lk, stop, std::chrono::milliseconds(ms), [] { return false; });
}

void TPoll::Execute(std::stop_token stop) {
  while (!stop.stop_requested()) {
    const bool hadCommand = !commands_.Empty();
    CommandStep(stop);

    const int first = owner_.FirstReader();
    const int last = owner_.LastReader();
    ++cursor_;
    if (cursor_ > last || cursor_ < first) cursor_ = first;
    const bool polled = cursor_ <= last;
    if (polled && !stop.stop_requested()) PollStep(cursor_, stop);

    std::this_thread::yield();
    const int delay = owner_.PollDelay();
    if (delay > 0)
      Sleep(stop, delay);
    else if (!hadCommand && !polled)
      Sleep(stop, kIdleCycleMs);  // nothing to poll: don't spin
  }
  if (port_) port_->Close();
}

void TPoll::CommandStep(std::stop_token stop) {
  TCommandRing::TCommand cmd;
  if (!commands_.Front(cmd)) return;
  std::string reply;
  lines_->address[cmd.address].commands.fetch_add(1, std::memory_order_relaxed);
  const bool good = Transact(1, cmd.address, cmd.command, reply, stop);
  // A command for a device that still counts as online stays at the head and
  // is tried again next cycle; once the device is offline it is given up.
  if (good || !online_[cmd.address]) commands_.PopFront();
}

void TPoll::PollStep(int address, std::stop_token stop) {
  char letter = 'C';
  if (!owner_.NoCounters() && ++counterTick_[address] > kCounterEvery) {
    counterTick_[address] = 0;
    letter = 'R';
  }
  if (!owner_.NoInputs() && letter != 'R' && ++inputTick_[address] > kInputEvery) {
    inputTick_[address] = 0;
    letter = 'I';
  }
  std::string reply;
  lines_->address[address].polls.fetch_add(1, std::memory_order_relaxed);
  if (!Transact(1, address, std::string(1, letter), reply, stop)) return;
  HandleReply(address, reply, stop);
  if (letter == 'C') CardPollAnswered(address);
}

bool TPoll::Post(TEventKind kind, int address, std::string value) {
  TEventValues v;
  v.reader = address;
  v.value = std::move(value);
  return PostEvent(kind, v);
}

bool TPoll::PostEvent(TEventKind kind, const TEventValues& values) {
  // An event without a handler would only wake the main thread for nothing.
  if (!(handled_ & TCard::EventBit(kind))) return true;
  return dispatcher_.Post(kind, values);
}

void TPoll::HandleReply(int address, const std::string& reply, std::stop_token stop) {
  std::string payload = ReplyPayload(reply);
  {
    TLockGuard lk(payloadLock_);
    latestPayload_ = payload;
  }
  switch (ReplyKind(reply)) {
    case '#':
      Enqueue(address, 'A', {});
      Post(TEventKind::BarCode, address, payload);
      break;
    case 'C':
      HandOver(address, payload, false, stop);
      break;
    case 'D':
      Enqueue(address, 'D', {});
      Post(TEventKind::DiscCode, address, payload);
      break;
    case 'E':
      Enqueue(address, 'E', {});
      Post(TEventKind::EscrowLever, address, payload);
      break;
    case 'I':
      Post(TEventKind::Input, address, payload);
      break;
    case 'J':
      Enqueue(address, 'J', {});
      Post(TEventKind::Printer, address, payload);
      break;
    case 'K': {
      const std::string button = payload.substr(0, 1);
      Enqueue(address, 'K', button);
      const bool up = payload.size() >= 2 && payload[1] == '1';
      Post(up ? TEventKind::ButtonUp : TEventKind::ButtonDown, address, button);
      break;
    }
    case 'L': {
      const std::string boardByte = payload.substr(0, 1);
      Enqueue(address, 'L', boardByte);
      if (boardByte.empty()) break;
      TEventValues v;
      v.reader = address;
      v.board = static_cast<std::uint8_t>(boardByte[0]) & 0x0F;
      v.value = payload;
      const std::size_t inputs = std::min<std::size_t>(payload.size() - 1, 64);
      for (std::size_t i = 0; i < inputs; ++i) {
        const char state = payload[i + 1];
        if (state != '1' && state != '2') continue;
        v.input = static_cast<int>(i);
        PostEvent(state == '1' ? TEventKind::InputOff : TEventKind::InputOn, v);
      }
      break;
    }
    case 'M':
      HandOver(address, payload, true, stop);
      break;
    case 'P':
      PoweredUp(address);
      Post(TEventKind::PowerUp, address, payload);
      break;
    case 'R':
      CounterAnswer(address, payload);
      break;
    case 'U':
      Enqueue(address, 'U', {});
      Post(TEventKind::CashBox, address, payload);
      break;
    case 'Z':
      Enqueue(address, 'Z', {});
      Post(TEventKind::Deposit, address, payload);
      break;
    case 'p':
      owner_.MarkClockCapable(address);
      PoweredUp(address);
      Post(TEventKind::PowerUp, address, payload);
      break;
    default:
      break;  // the ACK reply "*" and kinds this controller does not know
  }
}

void TPoll::CounterAnswer(int address, const std::string& payload) {
  if (firstCounter_[address]) {
    firstCounter_[address] = false;
    lastCounter_[address] = payload;
    return;
  }
  // After a failed transaction the device may have powered up without having
  // said so yet: an answer made after its restart must not be compared with
  // the values of before it. The next card-poll answer tells.
  if (unsure_[address]) {
    heldCounter_[address] = payload;
    return;
  }
  ReportCounter(address, payload);
}

void TPoll::ReportCounter(int address, const std::string& payload) {
  if (payload == lastCounter_[address]) return;
  // A changed text becomes the one to compare with only once it is reported:
  // one that the full event ring refused goes again with the next answer.
  if (PostCounterRestart(address) && Post(TEventKind::Counter, address, payload))
    lastCounter_[address] = payload;
}

void TPoll::CardPollAnswered(int address) {
  // Not a power-up report (that clears the doubt itself): the device kept its
  // counts, and a counter answer held back meanwhile is reported now.
  if (!unsure_[address]) return;
  unsure_[address] = false;
  if (!heldCounter_[address]) return;
  const std::string held = std::move(*heldCounter_[address]);
  heldCounter_[address].reset();
  ReportCounter(address, held);
}

void TPoll::PoweredUp(int address) {
  // The device restarted: put it back into the gate state and text last
  // commanded, and take its next counter answer as the new baseline of the
  // text comparison. Its counters start again from 0, which the counting side
  // must learn before any counter report made after the power-up; a counter
  // answer held back since a failed transaction was made after the restart
  // too, and the counts from 0 include it.
  owner_.ResendGate(*this, address);
  firstCounter_[address] = true;
  unsure_[address] = false;
  heldCounter_[address].reset();
  restartPending_[address] = true;
  PostCounterRestart(address);
}

bool TPoll::PostCounterRestart(int address) {
  // A restart that found the event ring full stays pending; no counter report
  // goes before it.
  if (restartPending_[address])
    restartPending_[address] = !Post(TEventKind::CounterRestart, address);
  return !restartPending_[address];
}

void TPoll::HandOver(int address, const std::string& payload, bool memory, std::stop_token stop) {
  TCard* card = &owner_;
  const Clock::time_point replyTime = replyTime_;
  // The poll thread waits here until the handler has returned or released it
  // (or the loop is being closed), so whatever the handler queued goes out
  // next. The call owns copies of what it uses.
  mainLoop_.RunAndWait(
      [card, address, payload, memory, replyTime] {
        card->handOverReplyTime_ = replyTime;
        if (memory)
          card->DoMemory(address, payload);
        else
          card->DoData(address, payload);
        card->handOverReplyTime_ = {};
      },
      stop);
}

bool TPoll::Transact(int tries, int address, const std::string& command, std::string& reply,
                     std::stop_token stop) {
  bool good = false;
  for (int i = 0; i < tries && !good && !stop.stop_requested(); ++i) {
    port_->Purge();
    inPos_ = inLen_ = 0;
    SendFrame(address, command);  // a failed write still waits for a reply
    const Clock::time_point written = Clock::now();
    good = ReceiveFrame(reply);
    // A late answer of another device of this loop (it missed its own reply
    // window) belongs to that device: a card in it must open that device's
    // gate, not this one's. The polled device's own answer may still follow.
    while (good && !stop.stop_requested()) {
      const int sender = StraySender(reply, address);
      if (sender == 0) break;
      owner_.Log(Format("Reply of address %d received while polling address %d", sender, address));
      lines_->address[sender].lateReplies.fetch_add(1, std::memory_order_relaxed);
      replyTime_ = Clock::now();
      HandleReply(sender, reply, stop);
      good = ReceiveFrame(reply);
    }
    CountReply(address, good, written);
  }
  UpdateState(address, good);
  lines_->address[address].online.store(online_[address] ? 1 : 0, std::memory_order_relaxed);
  return good;
}

void TPoll::CountReply(int address, bool good, Clock::time_point written) {
  TAddressCounters& counters = lines_->address[address];
  if (good) {
    replyTime_ = Clock::now();
    counters.replies.fetch_add(1, std::memory_order_relaxed);
    counters.replyLatency.Observe(replyTime_ - written);
  } else if (reader_.Refused()) {
    counters.badReplies.fetch_add(1, std::memory_order_relaxed);
  } else {
    counters.timeouts.fetch_add(1, std::memory_order_relaxed);
  }
}

int TPoll::StraySender(const std::string& reply, int polled) const {
  // Only an address byte naming another device in this loop's range counts;
  // any other byte is the polled device's own odd addressing and is kept.
  if (reply.size() < 2) return 0;  // the ACK reply carries no address
  const int sender = static_cast<std::uint8_t>(reply[0]) - AddressByte(0);
  if (sender == polled || sender < owner_.FirstReader() || sender > owner_.LastReader()) return 0;
  return sender;
}

void TPoll::UpdateState(int address, bool good) {
  transactions_.fetch_add(1, std::memory_order_relaxed);
  if (!good) {
    failures_.fetch_add(1, std::memory_order_relaxed);
    unsure_[address] = true;
  }
  if (firstContact_[address]) {
    firstContact_[address] = false;
    if (good) {
      online_[address] = true;
      failCount_[address] = 0;
      Post(TEventKind::PowerUp, address);
      TEventValues v;
      v.reader = address;
      v.comstat = true;
      PostEvent(TEventKind::ErrorEx, v);
    } else {
      online_[address] = false;
      offline_.fetch_add(1, std::memory_order_relaxed);
      Post(TEventKind::Error, address);
    }
    return;
  }
  if (good) {
    failCount_[address] = 0;
    if (!online_[address]) {
      online_[address] = true;
      Post(TEventKind::PowerUp, address);
      TEventValues v;
      v.reader = address;
      v.comstat = false;
      PostEvent(TEventKind::ErrorEx, v);
    }
  } else if (online_[address] && ++failCount_[address] >= kOfflineFailures) {
    online_[address] = false;
    offline_.fetch_add(1, std::memory_order_relaxed);
    Post(TEventKind::Error, address);
  }
}

bool TPoll::SendFrame(int address, const std::string& command) {
  const std::string frame = BuildCommandFrame(address, command, owner_.PayOnFoot());
  const int turnAround = owner_.TurnAround();
  if (turnAround > 0) std::this_thread::sleep_for(std::chrono::milliseconds(turnAround));
  const bool ok = port_->Write(reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size());
  sentTo_ = address;
  if (trace_)
    trace_->Record(TTraceDirection::Out, ok ? TTraceOutcome::Good : TTraceOutcome::PortFailure,
                   address, frame);
  if (ok) {
    // The frame's own line time (about a millisecond per byte at 9600 baud)
    // plus the configured response delay.
    replyBase_ = Clock::now() + std::chrono::milliseconds(static_cast<int>(frame.size()) +
                                                          std::max(0, owner_.RespDly()));
  }
  TEventValues v;
  v.reader = address;
  v.comstat = ok;
  PostEvent(TEventKind::CommStatus, v);
  return ok;
}

bool TPoll::ReceiveFrame(std::string& reply) {
  reader_.Reset();
  replyBytes_.clear();
  for (;;) {
    std::uint8_t b;
    if (!ReadByte(b))
      return TraceReply(portFailing_ ? TTraceOutcome::PortFailure : TTraceOutcome::TimedOut);
    if (trace_) replyBytes_.push_back(static_cast<char>(b));
    switch (reader_.Feed(b)) {
      case TReplyReader::TStatus::More:
        continue;
      case TReplyReader::TStatus::Good:
        reply = reader_.Text();
        return TraceReply(TTraceOutcome::Good);
      case TReplyReader::TStatus::Bad:
        return TraceReply(TTraceOutcome::Bad);  // a bad check byte counts exactly like no reply
    }
  }
}

bool TPoll::TraceReply(TTraceOutcome outcome) {
  if (trace_) trace_->Record(TTraceDirection::In, outcome, sentTo_, replyBytes_);
  return outcome == TTraceOutcome::Good;
}

bool TPoll::ReadByte(std::uint8_t& b) {
  if (inPos_ < inLen_) {
    b = inBuf_[inPos_++];
    replyBase_.reset();
    return true;
  }
  auto now = Clock::now();
  if (!replyBase_) replyBase_ = now;
  const auto deadline = *replyBase_ + std::chrono::milliseconds(owner_.OffLineDly());
  for (;;) {
    if (now >= deadline) {
      replyBase_.reset();
      return false;
    }
    const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    const int n = port_->Read(inBuf_.data(), inBuf_.size(), static_cast<int>(waitMs));
    if (n > 0) {
      PortFailing(false);
      inLen_ = static_cast<std::size_t>(n);
      inPos_ = 0;
      b = inBuf_[inPos_++];
      replyBase_.reset();
      return true;
    }
    if (n < 0) {
      PortFailing(true);
      replyBase_.reset();
      return false;
    }
    now = Clock::now();
    // Less than a millisecond left: the wait has the resolution of one
    // millisecond anyway, and spinning on empty reads would only burn CPU.
    if (deadline - now < std::chrono::milliseconds(1)) now = deadline;
  }
}

void TPoll::PortFailing(bool failing) {
  // The port itself keeps the time-outs of a dead line and re-opens a
  // re-plugged adapter; here the change is only logged, once each way.
  if (failing == portFailing_) return;
  portFailing_ = failing;
  if (failing)
    owner_.Log(Format("Serial port COM%d (%s) failed; devices on it go offline", portNumber_,
                      devicePath_));
  else
    owner_.Log(Format("Serial port COM%d (%s) works again", portNumber_, devicePath_));
}

}  // namespace orlo
