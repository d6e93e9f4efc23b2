// The bytes of the reader bus: command frames the controller sends and the
// reply reader that turns the device's answer back into a reply text.
// Everything here is pure (no I/O, no shared state) and may be used from any
// thread; one TReplyReader belongs to one reader at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orlo {

constexpr std::uint8_t kSOH = 0x01;  // start of a reply frame
constexpr std::uint8_t kSTX = 0x02;  // start of a command frame
constexpr std::uint8_t kETX = 0x03;  // end of a command frame
constexpr std::uint8_t kEOT = 0x04;  // end of a reply frame
constexpr std::uint8_t kENQ = 0x05;  // start of a command frame on a pay-on-foot loop
constexpr std::uint8_t kACK = 0x06;  // one-byte reply: nothing to report / command taken

constexpr int kMinAddress = 1;
constexpr int kMaxAddress = 16;
// Per-address tables are indexed by the address itself (0 is unused).
constexpr int kAddressSlots = kMaxAddress + 1;

// The reply text an ACK byte stands for.
inline constexpr std::string_view kAckReply = "*";

// The wire byte of a device address: 0x30 + address.
inline std::uint8_t AddressByte(int address) { return static_cast<std::uint8_t>(0x30 + address); }

// Builds one command frame: start byte (ENQ on a pay-on-foot loop, else STX),
// address byte, the command (letter then data, sent as is), ETX and the XOR
// check byte over everything from the address byte through ETX.
std::string BuildCommandFrame(int address, std::string_view command, bool payOnFoot);

// The reply kind letter of a reply text (its second character), 0 when the
// text is too short to carry one (the ACK reply "*" carries none).
inline char ReplyKind(std::string_view text) { return text.size() >= 2 ? text[1] : '\0'; }
// The payload of a reply text: everything from its third character on.
inline std::string ReplyPayload(std::string_view text) {
  return text.size() > 2 ? std::string(text.substr(2)) : std::string();
}

// Reads one reply, one byte at a time, from whatever source the caller has.
// Rules: bytes before SOH are dropped (SOH empties the text); ACK outside the
// check-byte position ends the reply at once as "*"; EOT announces the check
// byte; the reply is good only when the XOR of EOT and the text equals it.
// Nothing a device sends grows the text beyond kMaxText bytes: a longer text
// (or more than kMaxBytes bytes for one reply, noise included) fails the reply.
class TReplyReader {
 public:
  enum class TStatus { More, Good, Bad };

  // The longest reply text taken: the largest known report (an I/O board's
  // 'L' with 64 inputs) is 67 bytes, card and barcode texts are far shorter.
  static constexpr std::size_t kMaxText = 256;
  // Bytes accepted for one reply before giving up on a device that babbles
  // without ever ending a frame (keeps one reply's time bounded).
  static constexpr std::size_t kMaxBytes = 4 * kMaxText;

  void Reset();
  // Takes the next byte. Returns More until the reply is complete; after Good
  // or Bad the reader must be Reset before further use.
  TStatus Feed(std::uint8_t b);
  // The reply text: address byte, kind letter and payload, or "*".
  const std::string& Text() const { return text_; }
  // The last Feed answered Bad: a wrong check byte or an overlong reply, as
  // opposed to a reply that never ended.
  bool Refused() const { return refused_; }

 private:
  TStatus Refuse() {
    refused_ = true;
    return TStatus::Bad;
  }

  std::string text_;
  std::size_t bytes_ = 0;
  bool endSeen_ = false;
  bool tooLong_ = false;
  bool refused_ = false;
};

}  // namespace orlo
