// The device side of a reader-bus line.
#include "simulator.h"

#include <sys/prctl.h>

#include <algorithm>
#include <cstdio>

namespace orlo::sim {

namespace {

using Clock = std::chrono::steady_clock;

// A frame whose bytes stop for this long is dropped: devices reset their
// receiver on a gap, so a torn frame never merges with the next one.
constexpr auto kFrameGap = std::chrono::milliseconds(200);
// The record keeps the newest frames only, so a simulator left running for
// days does not grow without bound.
constexpr std::size_t kMaxRecorded = 200000;

// The acknowledgement command the controller sends for a report kind; 0 for
// kinds that need none.
char AckLetterFor(char kind) {
  switch (kind) {
    case '#':
      return 'A';
    case 'D':
    case 'E':
    case 'J':
    case 'K':
    case 'L':
    case 'U':
    case 'Z':
      return kind;
    default:
      return 0;
  }
}

char DefaultAnswers(char kind) {
  if (kind == 'R' || kind == 'I') return kind;
  return 'C';
}

bool Matches(char answers, char letter) { return answers == '*' || answers == letter; }

std::string Ms(double ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", ms);
  return buf;
}

}  // namespace

std::string Escape(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  return out;
}

std::string Hex(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    char buf[4];
    std::snprintf(buf, sizeof buf, out.empty() ? "%02X" : " %02X", c);
    out += buf;
  }
  return out;
}

TSimulator::TSimulator() : epoch_(Clock::now()) {}

TSimulator::~TSimulator() { Close(); }

bool TSimulator::OpenPty(std::string& error) {
  auto line = OpenPtyLine(error);
  if (!line) return false;
  Start(std::move(line));
  return true;
}

bool TSimulator::OpenDevice(const std::string& path, int baud, std::string& error) {
  auto line = OpenDeviceLine(path, baud, error);
  if (!line) return false;
  Start(std::move(line));
  return true;
}

void TSimulator::Start(std::unique_ptr<TSimLine> line) {
  TLockGuard life(lifeMutex_);
  CloseLine();
  {
    TLockGuard g(mutex_);
    path_ = line->Path();
  }
  line_ = std::move(line);
  thread_ = std::jthread([this](std::stop_token st) { RunLine(st); });
}

void TSimulator::Close() {
  TLockGuard life(lifeMutex_);
  CloseLine();
}

void TSimulator::CloseLine() {
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
  line_.reset();
  TLockGuard g(mutex_);
  path_.clear();
}

bool TSimulator::IsOpen() const {
  TLockGuard g(mutex_);
  return !path_.empty();
}

std::string TSimulator::Path() const {
  TLockGuard g(mutex_);
  return path_;
}

void TSimulator::SetPace(int baud) {
  TLockGuard g(mutex_);
  paceBaud_ = baud > 0 ? baud : 0;
}

int TSimulator::Pace() const {
  TLockGuard g(mutex_);
  return paceBaud_;
}

TSimulator::TDevice* TSimulator::Device(int address) {
  if (address < 1 || address > kMaxAddress) return nullptr;
  return &devices_[address];
}

void TSimulator::AddDevice(int address) {
  TLockGuard g(mutex_);
  if (auto* d = Device(address)) d->present = true;
}

void TSimulator::RemoveDevice(int address) {
  TLockGuard g(mutex_);
  if (auto* d = Device(address)) *d = TDevice{};
}

void TSimulator::SetOnline(int address, bool online) {
  TLockGuard g(mutex_);
  if (auto* d = Device(address)) d->online = online;
}

void TSimulator::SetAnswerDelay(int address, int ms) {
  TLockGuard g(mutex_);
  if (auto* d = Device(address)) d->delayMs = std::max(ms, 0);
}

void TSimulator::SetCounters(int address, std::optional<std::string> text) {
  TLockGuard g(mutex_);
  if (auto* d = Device(address)) d->counters = std::move(text);
}

void TSimulator::SetInputs(int address, std::optional<std::string> text) {
  TLockGuard g(mutex_);
  if (auto* d = Device(address)) d->inputs = std::move(text);
}

void TSimulator::QueueReply(int address, char kind, const std::string& payload,
                            const TReplyOptions& options) {
  TQueued q;
  q.type = TQueued::Type::Reply;
  q.kind = kind;
  q.payload = payload;
  q.options = options;
  if (q.options.answers == 0) q.options.answers = DefaultAnswers(kind);
  TLockGuard g(mutex_);
  if (auto* d = Device(address)) d->queue.push_back(std::move(q));
}

void TSimulator::QueueRaw(int address, const std::string& bytes, const TReplyOptions& options) {
  TQueued q;
  q.type = TQueued::Type::Raw;
  q.payload = bytes;
  q.options = options;
  q.options.untilAcknowledged = false;
  if (q.options.answers == 0) q.options.answers = '*';
  TLockGuard g(mutex_);
  if (auto* d = Device(address)) d->queue.push_back(std::move(q));
}

void TSimulator::QueueSilence(int address, int count, char answers) {
  if (count <= 0) return;
  TQueued q;
  q.type = TQueued::Type::Silence;
  q.count = count;
  q.options.answers = answers ? answers : '*';
  TLockGuard g(mutex_);
  if (auto* d = Device(address)) d->queue.push_back(std::move(q));
}

void TSimulator::ClearQueue(int address) {
  TLockGuard g(mutex_);
  if (auto* d = Device(address)) d->queue.clear();
}

std::size_t TSimulator::Queued(int address) const {
  TLockGuard g(mutex_);
  if (address < 1 || address > kMaxAddress) return 0;
  return devices_[address].queue.size();
}

void TSimulator::SendRaw(const std::string& bytes) {
  TLockGuard g(mutex_);
  outgoing_.push_back(bytes);
}

std::vector<TReceivedFrame> TSimulator::Frames() const {
  TLockGuard g(mutex_);
  return frames_;
}

std::size_t TSimulator::FrameCount() const {
  TLockGuard g(mutex_);
  return frames_.size();
}

void TSimulator::ClearFrames() {
  TLockGuard g(mutex_);
  frames_.clear();
  nextSeq_ = 1;
}

bool TSimulator::WaitFrames(const std::function<bool(const std::vector<TReceivedFrame>&)>& pred,
                            std::chrono::milliseconds timeout) {
  TUniqueLock lock(mutex_);
  return framesChanged_.wait_for(lock, timeout, [&]() REQUIRES(mutex_) { return pred(frames_); });
}

void TSimulator::SetTrace(std::function<void(const std::string&)> sink) {
  TLockGuard g(mutex_);
  trace_ = std::move(sink);
}

std::vector<std::string> TSimulator::Status() const {
  TLockGuard g(mutex_);
  std::vector<std::string> out;
  for (int a = 1; a <= kMaxAddress; ++a) {
    const TDevice& d = devices_[a];
    if (!d.present) continue;
    std::string line = "device " + std::to_string(a) + (d.online ? " online" : " offline") +
                       " queued=" + std::to_string(d.queue.size()) +
                       " delay=" + std::to_string(d.delayMs);
    if (d.counters) line += " counters=\"" + Escape(*d.counters) + "\"";
    if (d.inputs) line += " inputs=\"" + Escape(*d.inputs) + "\"";
    out.push_back(line);
  }
  return out;
}

double TSimulator::NowMs() const {
  return std::chrono::duration<double, std::milli>(Clock::now() - epoch_).count();
}

std::chrono::nanoseconds TSimulator::ByteTime() const {
  TLockGuard g(mutex_);
  if (paceBaud_ <= 0) return std::chrono::nanoseconds(0);
  // 8N1: start bit, eight data bits, stop bit.
  return std::chrono::nanoseconds(10'000'000'000LL / paceBaud_);
}

void TSimulator::Trace(const std::string& line) {
  std::function<void(const std::string&)> sink;
  {
    TLockGuard g(mutex_);
    sink = trace_;
  }
  if (sink) sink(line);
}

bool TSimulator::SleepUntil(Clock::time_point when, std::stop_token stop) {
  if (Clock::now() >= when) return !stop.stop_requested();
  std::unique_lock<std::mutex> lock(sleepMutex_);
  sleepCv_.wait_until(lock, stop, when, [] { return false; });
  return !stop.stop_requested();
}

void TSimulator::RunLine(std::stop_token stop) {
  // Line pacing sleeps to byte deadlines; the default 50 us timer slack of a
  // thread would add up to a noticeable share of a 1 ms byte time.
  ::prctl(PR_SET_TIMERSLACK, 1000UL);
  TCommandParser parser;
  Clock::time_point rxFree{};      // when the receive direction is free again
  Clock::time_point lastByte{};    // arrival of the previous byte
  Clock::time_point frameStart{};  // arrival of the first byte of the frame being read
  std::uint8_t buf[512];
  while (!stop.stop_requested()) {
    std::deque<std::string> out;
    {
      TLockGuard g(mutex_);
      out.swap(outgoing_);
    }
    for (const auto& bytes : out) {
      Trace("tx " + Ms(NowMs()) + " noise " + Hex(bytes));
      Transmit(TTransmission{bytes, -1, 0, 0}, Clock::now(), stop);
    }

    int n = Line().Read(buf, sizeof buf, 20);
    if (n < 0) {
      // The line failed (a real device unplugged): wait, do not spin.
      SleepUntil(Clock::now() + std::chrono::milliseconds(100), stop);
      continue;
    }
    const auto byteTime = ByteTime();
    const auto readAt = Clock::now();
    for (int i = 0; i < n && !stop.stop_requested(); ++i) {
      Clock::time_point at = readAt;
      if (byteTime.count() > 0) {
        // A byte is complete only after its bit times on the line.
        rxFree = std::max(rxFree, readAt) + byteTime;
        at = rxFree;
      }
      if (parser.InFrame() && at - lastByte > kFrameGap) parser.Reset();
      lastByte = at;
      const bool wasInFrame = parser.InFrame();
      auto frame = parser.Feed(buf[i]);
      if (!wasInFrame && (parser.InFrame() || frame)) frameStart = at;
      if (frame) {
        if (!SleepUntil(at, stop)) break;
        OnFrame(*frame, frameStart, at, stop);
      }
    }
  }
}

void TSimulator::OnFrame(const TCommandFrame& frame, Clock::time_point firstAt,
                         Clock::time_point at, std::stop_token stop) {
  std::optional<TTransmission> answer;
  std::string traceLine;
  std::uint64_t seq = 0;
  {
    TLockGuard g(mutex_);
    TReceivedFrame rec;
    rec.seq = seq = nextSeq_++;
    rec.at = at;
    rec.firstByteAt = firstAt;
    rec.ms = std::chrono::duration<double, std::milli>(at - epoch_).count();
    rec.frame = frame;
    TDevice* dev = Device(frame.address);
    // A device ignores a frame with a bad check byte, and so does an absent
    // or offline one.
    if (frame.checkOk && dev && dev->present && dev->online) answer = Answer(*dev, frame);
    if (answer) rec.answer = answer->bytes;
    char buf[64];
    std::snprintf(buf, sizeof buf, "rx %.3f addr=%d cmd=", rec.ms, frame.address);
    traceLine = buf + Escape(std::string(1, frame.letter)) + " data=\"" + Escape(frame.data) +
                "\" check=" + (frame.checkOk ? "ok" : "bad");
    if (frames_.size() >= kMaxRecorded) frames_.erase(frames_.begin(), frames_.begin() + 1000);
    frames_.push_back(std::move(rec));
  }
  framesChanged_.notify_all();
  Trace(traceLine);
  if (!answer) return;
  Trace("tx " + Ms(NowMs()) + " addr=" + std::to_string(frame.address) + " " + Hex(answer->bytes));
  Transmit(*answer, at, stop);
  MarkAnswered(seq);
}

void TSimulator::MarkAnswered(std::uint64_t seq) {
  const auto now = Clock::now();
  {
    TLockGuard g(mutex_);
    // The frame is the newest one or close to it (ClearFrames may have
    // dropped it meanwhile).
    for (auto it = frames_.rbegin(); it != frames_.rend(); ++it) {
      if (it->seq != seq) continue;
      it->answeredAt = now;
      break;
    }
  }
  framesChanged_.notify_all();
}

std::optional<TSimulator::TTransmission> TSimulator::Answer(TDevice& dev,
                                                            const TCommandFrame& frame) {
  const char letter = frame.letter;
  // An acknowledgement settles the report it acknowledges.
  for (auto it = dev.queue.begin(); it != dev.queue.end(); ++it) {
    if (it->type != TQueued::Type::Reply || !it->sent || !it->options.untilAcknowledged) continue;
    if (AckLetterFor(it->kind) != letter) continue;
    if ((letter == 'K' || letter == 'L') &&
        frame.data != it->payload.substr(0, std::min<std::size_t>(1, it->payload.size())))
      continue;
    dev.queue.erase(it);
    break;
  }

  TTransmission t;
  t.delayMs = dev.delayMs;
  auto it = std::find_if(dev.queue.begin(), dev.queue.end(),
                         [&](const TQueued& q) { return Matches(q.options.answers, letter); });
  if (it == dev.queue.end()) {
    const std::uint8_t addr = AddressByte(frame.address);
    if (letter == 'R' && dev.counters) {
      t.bytes = EncodeReply(addr, 'R', *dev.counters);
    } else if (letter == 'I' && dev.inputs) {
      t.bytes = EncodeReply(addr, 'I', *dev.inputs);
    } else {
      t.bytes = std::string(1, static_cast<char>(kAck));
    }
    return t;
  }

  TQueued& q = *it;
  if (q.type == TQueued::Type::Silence) {
    if (--q.count <= 0) dev.queue.erase(it);
    return std::nullopt;
  }
  const TReplyOptions& o = q.options;
  if (q.type == TQueued::Type::Raw) {
    t.bytes = o.noise + q.payload;
  } else {
    std::uint8_t addr =
        o.addressByte >= 0 ? static_cast<std::uint8_t>(o.addressByte) : AddressByte(frame.address);
    std::string reply = EncodeReply(addr, q.kind, q.payload);
    if (o.badCheck) reply.back() = static_cast<char>(reply.back() ^ 0x5A);
    t.bytes = o.noise + reply;
  }
  t.splitAt = o.splitAt;
  t.splitGapMs = o.splitGapMs;
  if (o.delayMs >= 0) t.delayMs = o.delayMs;
  if (q.type == TQueued::Type::Reply && o.untilAcknowledged && AckLetterFor(q.kind) != 0) {
    q.sent = true;  // stays until its acknowledgement comes
  } else {
    dev.queue.erase(it);
  }
  return t;
}

void TSimulator::Transmit(const TTransmission& t, Clock::time_point from, std::stop_token stop) {
  const auto byteTime = ByteTime();
  // Byte times count from the moment the line turned round (`from`), not from
  // when this thread woke up, so a late wake-up does not stretch the reply.
  auto start = from + std::chrono::milliseconds(t.delayMs);
  const auto* data = reinterpret_cast<const std::uint8_t*>(t.bytes.data());
  const std::size_t size = t.bytes.size();
  const auto gap = std::chrono::milliseconds(t.splitGapMs);
  const std::size_t split =
      t.splitAt >= 0 ? std::min<std::size_t>(static_cast<std::size_t>(t.splitAt), size) : size;

  if (byteTime.count() == 0) {
    if (!SleepUntil(start, stop)) return;
    if (split > 0) Line().Write(data, split);
    if (split < size) {
      if (!SleepUntil(Clock::now() + gap, stop)) return;
      Line().Write(data + split, size - split);
    }
    return;
  }
  // Paced: byte k is complete on the line (and handed over) after k+1 byte
  // times; bytes that are already due go out together.
  auto dueOf = [&](std::size_t k) {
    auto due = start + byteTime * static_cast<long>(k + 1);
    return k >= split ? due + gap : due;
  };
  std::size_t sent = 0;
  while (sent < size) {
    if (!SleepUntil(dueOf(sent), stop)) return;
    const auto now = Clock::now();
    std::size_t upto = sent + 1;
    while (upto < size && dueOf(upto) <= now) ++upto;
    Line().Write(data + sent, upto - sent);
    sent = upto;
  }
}

}  // namespace orlo::sim
