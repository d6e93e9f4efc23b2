// Device-side frame coding.
#include "devicecodec.h"

namespace orlo::sim {

std::uint8_t Lrc(const std::string& bytes) {
  std::uint8_t sum = 0;
  for (char c : bytes) sum ^= static_cast<std::uint8_t>(c);
  return sum;
}

std::string EncodeReply(std::uint8_t addressByte, char kind, const std::string& payload) {
  std::string body;
  body += static_cast<char>(addressByte);
  body += kind;
  body += payload;
  body += static_cast<char>(kEot);
  std::string out(1, static_cast<char>(kSoh));
  out += body;
  out += static_cast<char>(Lrc(body));
  return out;
}

std::string EncodeCommand(int address, char letter, const std::string& data, std::uint8_t start) {
  std::string body;
  body += static_cast<char>(AddressByte(address));
  body += letter;
  body += data;
  body += static_cast<char>(kEtx);
  std::string out(1, static_cast<char>(start));
  out += body;
  out += static_cast<char>(Lrc(body));
  return out;
}

void TCommandParser::Reset() {
  if (state_ != State::Idle) skipped_ += cur_.raw.size();
  state_ = State::Idle;
  cur_ = TCommandFrame{};
  sum_ = 0;
}

std::optional<TCommandFrame> TCommandParser::Feed(std::uint8_t b) {
  switch (state_) {
    case State::Idle:
      // A device listens for a start byte; anything else is line noise or
      // another device's reply traffic.
      if (b != kStx && b != kEnq) {
        ++skipped_;
        return std::nullopt;
      }
      cur_ = TCommandFrame{};
      cur_.start = b;
      cur_.raw += static_cast<char>(b);
      sum_ = 0;
      state_ = State::Address;
      return std::nullopt;
    case State::Address:
      cur_.address = b - 0x30;
      break;
    case State::Body:
      if (b == kEtx) {
        state_ = State::Check;
      } else if (cur_.letter == 0) {
        cur_.letter = static_cast<char>(b);
      } else {
        cur_.data += static_cast<char>(b);
      }
      break;
    case State::Check: {
      cur_.raw += static_cast<char>(b);
      cur_.checkOk = (sum_ == b);
      TCommandFrame done = std::move(cur_);
      cur_ = TCommandFrame{};
      state_ = State::Idle;
      return done;
    }
  }
  // Address and body bytes, ETX included, go into the check.
  cur_.raw += static_cast<char>(b);
  sum_ ^= b;
  if (state_ == State::Address) state_ = State::Body;
  if (cur_.raw.size() > kMaxFrame) Reset();
  return std::nullopt;
}

}  // namespace orlo::sim
