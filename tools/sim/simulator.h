// TSimulator: the device side of one reader-bus line. It owns the line (a
// pseudo-terminal or a real serial device) and a line thread that reads the
// controller's command frames, records each with its arrival time, and answers
// for every configured device address: ACK, a queued report, a standing
// counter or input answer, or silence while the device is offline.
// Optionally paces both directions like a real line at a given baud rate.
// Every public operation may be called from any thread.
// It plays whole devices (orlocard-sim and the tests of whole loops); the bus
// tests that pick each answer in their own code have a minimal device end of
// their own (tests/bus/ptydevice.h).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "devicecodec.h"
#include "platform/mutex.h"
#include "simline.h"

namespace orlo::sim {

constexpr int kMaxAddress = 16;

// How one queued answer goes out.
struct TReplyOptions {
  // The command letter it answers; 0 picks by reply kind ('R' answers 'R',
  // 'I' answers 'I', every other kind the card poll 'C'); '*' answers any.
  char answers = 0;
  bool badCheck = false;           // send a wrong check byte
  std::string noise;               // bytes sent just before the reply
  int splitAt = -1;                // >= 0: pause after this many bytes ...
  int splitGapMs = 20;             // ... for this long
  int addressByte = -1;            // >= 0: answer with this address byte instead
  int delayMs = -1;                // >= 0: answer delay instead of the device's
  bool untilAcknowledged = false;  // report again at every poll until acknowledged
};

// One frame the controller sent, as the device end saw it.
struct TReceivedFrame {
  std::uint64_t seq = 0;  // 1, 2, ... since the last ClearFrames
  double ms = 0;          // arrival (after its line time) in ms since the simulator started
  std::chrono::steady_clock::time_point at;
  std::chrono::steady_clock::time_point firstByteAt;  // arrival of its first byte
  TCommandFrame frame;
  std::string answer;  // the bytes sent back (empty: no answer)
  // When the answer's last byte was handed to the line; unset (epoch) while
  // the answer is still going out, and for a frame without an answer.
  std::chrono::steady_clock::time_point answeredAt;
};

class TSimulator {
 public:
  TSimulator();
  ~TSimulator();
  TSimulator(const TSimulator&) = delete;
  TSimulator& operator=(const TSimulator&) = delete;

  // Opens a new pseudo-terminal (Path() is its slave) or a real device, and
  // starts the line thread. Closes any line opened before.
  bool OpenPty(std::string& error);
  bool OpenDevice(const std::string& path, int baud, std::string& error);
  // Stops the line thread and closes the line: the controller sees the
  // device vanish. Device settings, queues and the record are kept.
  void Close();
  bool IsOpen() const;
  std::string Path() const;

  // Paces both directions at this rate (10 bit times per byte); 0 = as fast
  // as the line takes the bytes.
  void SetPace(int baud);
  int Pace() const;
  // The line time of one byte at the pace; zero when unpaced.
  std::chrono::nanoseconds ByteTime() const;

  // Devices: an address answers only while present and online.
  void AddDevice(int address);
  void RemoveDevice(int address);
  void SetOnline(int address, bool online);
  void SetAnswerDelay(int address, int ms);
  // Standing answers to 'R' and 'I' (nullopt: answer ACK).
  void SetCounters(int address, std::optional<std::string> text);
  void SetInputs(int address, std::optional<std::string> text);

  // Queues a framed report (kind letter and payload) for the address.
  void QueueReply(int address, char kind, const std::string& payload,
                  const TReplyOptions& options = {});
  // Queues raw bytes as the answer to the next matching command.
  void QueueRaw(int address, const std::string& bytes, const TReplyOptions& options = {});
  // The next count matching commands to the address get no answer.
  void QueueSilence(int address, int count, char answers = '*');
  void ClearQueue(int address);
  std::size_t Queued(int address) const;

  // Sends bytes now, outside any exchange (line noise).
  void SendRaw(const std::string& bytes);

  std::vector<TReceivedFrame> Frames() const;
  std::size_t FrameCount() const;
  void ClearFrames();
  // Waits up to timeout until pred holds for the frames received.
  bool WaitFrames(const std::function<bool(const std::vector<TReceivedFrame>&)>& pred,
                  std::chrono::milliseconds timeout);

  // A text line per received frame and per answer (on the line thread).
  void SetTrace(std::function<void(const std::string&)> sink);

  // One line per present device: address, state, queue length.
  std::vector<std::string> Status() const;
  double NowMs() const;

 private:
  struct TQueued {
    enum class Type { Reply, Raw, Silence } type = Type::Reply;
    char kind = 0;
    std::string payload;  // reply payload, or the raw bytes
    TReplyOptions options;
    int count = 1;      // silences left
    bool sent = false;  // reported at least once (untilAcknowledged)
  };
  struct TDevice {
    bool present = false;
    bool online = true;
    int delayMs = 0;
    std::optional<std::string> counters;
    std::optional<std::string> inputs;
    std::deque<TQueued> queue;
  };
  struct TTransmission {
    std::string bytes;
    int splitAt = -1;
    int splitGapMs = 0;
    int delayMs = 0;
  };

  void Start(std::unique_ptr<TSimLine> line);
  void CloseLine() REQUIRES(lifeMutex_);
  void RunLine(std::stop_token stop);
  // The line, for the line thread: it is the thread's own while the thread
  // runs (Start and Close replace it only with the thread stopped), which the
  // lock analysis cannot see.
  TSimLine& Line() NO_THREAD_SAFETY_ANALYSIS { return *line_; }
  void OnFrame(const TCommandFrame& frame, std::chrono::steady_clock::time_point firstAt,
               std::chrono::steady_clock::time_point at, std::stop_token stop);
  void MarkAnswered(std::uint64_t seq) EXCLUDES(mutex_);
  // Picks the answer and updates the queue.
  std::optional<TTransmission> Answer(TDevice& dev, const TCommandFrame& frame) REQUIRES(mutex_);
  void Transmit(const TTransmission& t, std::chrono::steady_clock::time_point from,
                std::stop_token stop);
  bool SleepUntil(std::chrono::steady_clock::time_point when, std::stop_token stop);
  void Trace(const std::string& line) EXCLUDES(mutex_);
  TDevice* Device(int address) REQUIRES(mutex_);

  const std::chrono::steady_clock::time_point epoch_;

  mutable TMutex mutex_;
  std::condition_variable_any framesChanged_;
  TDevice devices_[kMaxAddress + 1] GUARDED_BY(mutex_);
  std::vector<TReceivedFrame> frames_ GUARDED_BY(mutex_);
  std::uint64_t nextSeq_ GUARDED_BY(mutex_) = 1;
  std::deque<std::string> outgoing_ GUARDED_BY(mutex_);
  int paceBaud_ GUARDED_BY(mutex_) = 0;
  std::function<void(const std::string&)> trace_ GUARDED_BY(mutex_);
  std::string path_ GUARDED_BY(mutex_);

  // Serialises opening and closing. The line belongs to the line thread
  // while it runs; Start and Close swap it only with the thread stopped.
  TMutex lifeMutex_;
  std::unique_ptr<TSimLine> line_ GUARDED_BY(lifeMutex_);
  std::mutex sleepMutex_;
  std::condition_variable_any sleepCv_;
  std::jthread thread_ GUARDED_BY(lifeMutex_);
};

// Describes bytes for people: printable ASCII as is, others as \xHH.
std::string Escape(const std::string& bytes);
std::string Hex(const std::string& bytes);

}  // namespace orlo::sim
