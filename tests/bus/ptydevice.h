// Test helper: the device end of a pseudo-terminal playing up to sixteen bus
// devices. It parses command frames (start byte, address, command, ETX,
// check byte), records them, and answers each with the next scripted reply of
// that address, or by default with ACK (online) or nothing (offline).
// Thread-safe: the device runs on its own thread; tests script it from theirs.
// Kept apart from the device simulator (tools/sim), which plays whole
// devices: these tests pick each answer in their own code (SetResponder,
// chunks with gaps), and their minimal reading of the frames does not depend
// on the simulator, which is under test itself (tests/sim).
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orlo::test {

// The bytes of a reply frame: SOH, text, EOT and the check byte.
std::string ReplyFrame(const std::string& text);
// The reply text of a device: address byte, kind letter and payload.
std::string ReplyText(int address, char kind, const std::string& payload);

class TPtyDevice {
 public:
  struct TFrame {
    char start = 0;  // STX or ENQ
    int address = 0;
    std::string command;  // letter followed by data
    char letter() const { return command.empty() ? '\0' : command[0]; }
    std::string data() const { return command.size() > 1 ? command.substr(1) : std::string(); }
  };
  // One answer: chunks written one after the other with gapMs between them.
  // No chunks: stay silent.
  struct TAnswer {
    std::vector<std::string> chunks;
    int gapMs = 0;
  };
  // Decides the answer to a frame; runs on the device thread.
  using TResponder = std::function<bool(const TFrame&, TAnswer&)>;

  TPtyDevice();
  ~TPtyDevice();

  const std::string& SlavePath() const { return slavePath_; }

  // Devices answer ACK by default while online; all start online.
  void SetOnline(int address, bool online);
  // Queues an answer for the next frame to this address (any letter).
  void QueueAnswer(int address, TAnswer answer);
  void QueueReply(int address, const std::string& frameBytes) {
    QueueAnswer(address, TAnswer{{frameBytes}, 0});
  }
  void QueueSilence(int address, int count);
  // Called first for every frame; returning true means it chose the answer.
  void SetResponder(TResponder responder);

  std::vector<TFrame> Frames() const;
  std::size_t FrameCount() const;
  // Waits (up to the deadline) until pred holds for the frames received.
  bool WaitFrames(const std::function<bool(const std::vector<TFrame>&)>& pred,
                  std::chrono::milliseconds deadline = std::chrono::seconds(20));
  // Waits until at least n more frames arrived than now.
  bool WaitMoreFrames(std::size_t n, std::chrono::milliseconds deadline = std::chrono::seconds(20));

  // The device end disappears (the controller's port sees a hang-up).
  void Vanish();

 private:
  void Run(std::stop_token stop);
  void OnByte(unsigned char b);
  void Answer(const TFrame& frame);

  int master_ = -1;
  std::string slavePath_;

  mutable std::mutex lock_;
  std::condition_variable cv_;
  std::vector<TFrame> frames_;                 // guarded by lock_
  std::map<int, std::deque<TAnswer>> queued_;  // guarded by lock_
  std::map<int, bool> offline_;                // guarded by lock_
  TResponder responder_;                       // guarded by lock_

  // Device thread only: the frame being parsed.
  std::string partial_;
  std::jthread thread_;
};

}  // namespace orlo::test
