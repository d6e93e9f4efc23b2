#include "bus/frame.h"

namespace orlo {

std::string BuildCommandFrame(int address, std::string_view command, bool payOnFoot) {
  std::string frame;
  frame.reserve(command.size() + 5);
  frame.push_back(static_cast<char>(payOnFoot ? kENQ : kSTX));
  const std::uint8_t addr = AddressByte(address);
  frame.push_back(static_cast<char>(addr));
  std::uint8_t lrc = kETX ^ addr;
  for (char c : command) {
    frame.push_back(c);
    lrc ^= static_cast<std::uint8_t>(c);
  }
  frame.push_back(static_cast<char>(kETX));
  frame.push_back(static_cast<char>(lrc));
  return frame;
}

void TReplyReader::Reset() {
  text_.clear();
  bytes_ = 0;
  endSeen_ = false;
  tooLong_ = false;
  refused_ = false;
}

TReplyReader::TStatus TReplyReader::Feed(std::uint8_t b) {
  if (++bytes_ > kMaxBytes) return Refuse();
  if (endSeen_) {
    // This byte is the check byte, whatever its value (it may well be 0x01 or 0x06).
    if (tooLong_) return Refuse();
    std::uint8_t lrc = kEOT;
    for (char c : text_) lrc ^= static_cast<std::uint8_t>(c);
    return lrc == b ? TStatus::Good : Refuse();
  }
  switch (b) {
    case kACK:
      text_.clear();
      text_.push_back(kAckReply[0]);
      tooLong_ = false;
      return TStatus::Good;
    case kEOT:
      endSeen_ = true;
      return TStatus::More;
    case kSOH:
      // Noise, an echo of our own command or a broken first attempt: start over.
      text_.clear();
      tooLong_ = false;
      return TStatus::More;
    default:
      if (text_.size() < kMaxText)
        text_.push_back(static_cast<char>(b));
      else
        tooLong_ = true;
      return TStatus::More;
  }
}

}  // namespace orlo
