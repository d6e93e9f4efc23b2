// Device-side coding of the reader bus: reads the controller's command frames
// from the line and builds the reply frames a field device sends back.
// Written from the device's point of view on purpose, so it cross-checks the
// controller's own coding. Plain values; TCommandParser is used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace orlo::sim {

constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kEnq = 0x05;
constexpr std::uint8_t kAck = 0x06;

// Bus address 1..16 on the wire: one byte 0x30 + address.
inline std::uint8_t AddressByte(int address) { return static_cast<std::uint8_t>(0x30 + address); }

// A command frame as a device sees it.
struct TCommandFrame {
  std::uint8_t start = kStx;  // STX, or ENQ on a pay-on-foot loop
  int address = 0;            // address byte - 0x30 (may lie outside 1..16)
  char letter = 0;            // 0 when the frame had no letter
  std::string data;           // bytes between the letter and ETX
  std::string raw;            // every byte of the frame, start to check byte
  bool checkOk = false;       // the check byte matched
};

// Splits the byte stream from the controller into command frames. Bytes
// outside a frame are skipped; a frame longer than kMaxFrame, or one whose
// bytes stop for longer than the caller's gap rule, is dropped.
class TCommandParser {
 public:
  static constexpr std::size_t kMaxFrame = 512;

  // Feeds one byte; returns a frame when this byte completed one.
  std::optional<TCommandFrame> Feed(std::uint8_t b);
  // Forgets a partly received frame (the line went quiet in the middle).
  void Reset();
  bool InFrame() const { return state_ != State::Idle; }
  // Bytes skipped outside frames and frames dropped as too long.
  std::size_t Skipped() const { return skipped_; }

 private:
  enum class State { Idle, Address, Body, Check };
  State state_ = State::Idle;
  TCommandFrame cur_;
  std::uint8_t sum_ = 0;
  std::size_t skipped_ = 0;
};

// The XOR block check of the bytes.
std::uint8_t Lrc(const std::string& bytes);

// A framed reply: SOH, address byte, kind, payload, EOT, check byte. The
// address byte is given as a byte so a test can make a device answer with
// another device's address.
std::string EncodeReply(std::uint8_t addressByte, char kind, const std::string& payload);

// A command frame as the controller should send it (for tests of this tool).
std::string EncodeCommand(int address, char letter, const std::string& data,
                          std::uint8_t start = kStx);

}  // namespace orlo::sim
