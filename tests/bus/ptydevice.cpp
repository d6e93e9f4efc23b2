#include "bus/ptydevice.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>

namespace orlo::test {

std::string ReplyFrame(const std::string& text) {
  unsigned char lrc = 0x04;
  for (char c : text) lrc ^= static_cast<unsigned char>(c);
  return "\x01" + text + "\x04" + std::string(1, static_cast<char>(lrc));
}

std::string ReplyText(int address, char kind, const std::string& payload) {
  return std::string(1, static_cast<char>(0x30 + address)) + kind + payload;
}

TPtyDevice::TPtyDevice() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
    throw std::runtime_error("cannot create a pseudo-terminal");
  slavePath_ = ptsname(master_);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  thread_ = std::jthread([this](std::stop_token st) { Run(st); });
}

TPtyDevice::~TPtyDevice() {
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
  if (master_ >= 0) close(master_);
}

void TPtyDevice::SetOnline(int address, bool online) {
  std::lock_guard lk(lock_);
  offline_[address] = !online;
}

void TPtyDevice::QueueAnswer(int address, TAnswer answer) {
  std::lock_guard lk(lock_);
  queued_[address].push_back(std::move(answer));
}

void TPtyDevice::QueueSilence(int address, int count) {
  std::lock_guard lk(lock_);
  for (int i = 0; i < count; ++i) queued_[address].push_back(TAnswer{});
}

void TPtyDevice::SetResponder(TResponder responder) {
  std::lock_guard lk(lock_);
  responder_ = std::move(responder);
}

std::vector<TPtyDevice::TFrame> TPtyDevice::Frames() const {
  std::lock_guard lk(lock_);
  return frames_;
}

std::size_t TPtyDevice::FrameCount() const {
  std::lock_guard lk(lock_);
  return frames_.size();
}

bool TPtyDevice::WaitFrames(const std::function<bool(const std::vector<TFrame>&)>& pred,
                            std::chrono::milliseconds deadline) {
  std::unique_lock lk(lock_);
  return cv_.wait_for(lk, deadline, [&] { return pred(frames_); });
}

bool TPtyDevice::WaitMoreFrames(std::size_t n, std::chrono::milliseconds deadline) {
  const std::size_t target = FrameCount() + n;
  return WaitFrames([&](const std::vector<TFrame>& f) { return f.size() >= target; }, deadline);
}

void TPtyDevice::Vanish() {
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
  std::lock_guard lk(lock_);
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void TPtyDevice::Run(std::stop_token stop) {
  unsigned char buf[256];
  while (!stop.stop_requested()) {
    pollfd p{master_, POLLIN, 0};
    const int r = poll(&p, 1, 20);
    if (r <= 0) continue;
    const ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0) {
      // EIO while nobody holds the slave end open: wait for the controller.
      usleep(5000);
      continue;
    }
    for (ssize_t i = 0; i < n; ++i) OnByte(buf[i]);
  }
}

void TPtyDevice::OnByte(unsigned char b) {
  if (partial_.empty() && b != 0x02 && b != 0x05) return;  // not a frame start
  partial_.push_back(static_cast<char>(b));
  // Data is sent raw, so ETX ends the frame only when the byte after it is
  // the check byte over address .. ETX.
  const std::size_t n = partial_.size();
  if (n < 5 || partial_[n - 2] != 0x03) return;
  unsigned char lrc = 0;
  for (std::size_t i = 1; i + 1 < n; ++i) lrc ^= static_cast<unsigned char>(partial_[i]);
  if (lrc != static_cast<unsigned char>(partial_[n - 1])) return;
  TFrame frame;
  frame.start = partial_[0];
  frame.address = static_cast<unsigned char>(partial_[1]) - 0x30;
  frame.command = partial_.substr(2, n - 4);
  partial_.clear();
  Answer(frame);
}

void TPtyDevice::Answer(const TFrame& frame) {
  TAnswer answer;
  {
    std::lock_guard lk(lock_);
    frames_.push_back(frame);
    bool chosen = responder_ && responder_(frame, answer);
    if (!chosen) {
      auto& queue = queued_[frame.address];
      if (!queue.empty()) {
        answer = queue.front();
        queue.pop_front();
      } else if (!offline_[frame.address]) {
        answer.chunks = {"\x06"};
      }
    }
  }
  cv_.notify_all();
  for (std::size_t i = 0; i < answer.chunks.size(); ++i) {
    if (i > 0 && answer.gapMs > 0) usleep(static_cast<useconds_t>(answer.gapMs) * 1000);
    const std::string& c = answer.chunks[i];
    std::size_t done = 0;
    while (done < c.size()) {
      const ssize_t w = write(master_, c.data() + done, c.size() - done);
      if (w > 0)
        done += static_cast<std::size_t>(w);
      else if (w < 0 && errno != EAGAIN)
        return;  // nobody holds the other end
      else
        usleep(1000);
    }
  }
}

}  // namespace orlo::test
