// Test helpers for the simulator: a controller end (the real serial port on
// the simulator's pseudo-terminal) that sends command frames and reads one
// reply with deadlines, the way the poll thread does.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "devicecodec.h"
#include "platform/serialport.h"
#include "simulator.h"

namespace orlo::sim::test {

inline std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s += static_cast<char>(v);
  return s;
}

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(sim.OpenPty(error)) << error;
    port = MakeSerialPort();
    ASSERT_TRUE(port->Open(sim.Path(), 9600, error)) << error;
  }

  // Sends the bytes, then reads one reply: everything through an ACK byte or
  // through the check byte after EOT. Empty when nothing
  // came within the wait (generous: the machine may be busy).
  std::string Exchange(const std::string& frame, int firstByteMs = 3000) {
    if (!frame.empty()) {
      port->Purge();
      EXPECT_TRUE(port->Write(reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size()));
    }
    return ReadReply(firstByteMs);
  }

  std::string ReadReply(int firstByteMs = 3000) {
    std::string got;
    bool endSeen = false;
    for (;;) {
      std::uint8_t b;
      int n = port->Read(&b, 1, got.empty() ? firstByteMs : 3000);
      if (n <= 0) return got;
      got += static_cast<char>(b);
      if (endSeen) return got;
      if (b == kAck) return got;  // ends a reply at once, even inside a frame
      if (b == kEot) endSeen = true;
    }
  }

  std::string Poll(int address, char letter = 'C', const std::string& data = "") {
    return Exchange(EncodeCommand(address, letter, data));
  }
  // For frames that must stay unanswered: a shorter wait keeps tests quick.
  std::string PollSilent(int address, char letter = 'C') {
    return Exchange(EncodeCommand(address, letter, ""), 300);
  }

  TSimulator sim;
  std::unique_ptr<TSerialPort> port;
};

}  // namespace orlo::sim::test
