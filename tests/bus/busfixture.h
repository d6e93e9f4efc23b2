// Test fixture for the reader bus: a main thread running a TMainLoop, a TCard
// whose COM1 points (through a settings file) at a TPtyDevice, and a recorder
// of every event the card raises, as text lines such as "Data 1 1234".
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bus/card.h"
#include "bus/ptydevice.h"
#include "platform/mainloop.h"
#include "support/tempdir.h"

namespace orlo::test {

// Added to the first-byte wait in every test (see BusTest).
constexpr int kTestRespDly = 300;

class TMainThread {
 public:
  TMainThread() : thread_([this] { loop_.Run(); }) {}
  ~TMainThread() {
    loop_.Stop();
    thread_.join();
  }
  TMainLoop& Loop() { return loop_; }
  // Runs fn on the main thread and waits for it.
  void Do(std::function<void()> fn) {
    std::stop_source never;
    loop_.RunAndWait(std::move(fn), never.get_token());
  }

 private:
  TMainLoop loop_;
  std::thread thread_;
};

class TEventRecorder {
 public:
  void Add(const std::string& line) {
    {
      std::lock_guard lk(lock_);
      lines_.push_back(line);
    }
    cv_.notify_all();
  }
  std::vector<std::string> Lines() const {
    std::lock_guard lk(lock_);
    return lines_;
  }
  int Count(const std::string& line) const {
    std::lock_guard lk(lock_);
    int n = 0;
    for (const auto& l : lines_) n += l == line;
    return n;
  }
  bool WaitFor(const std::string& line, int times = 1,
               std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    std::unique_lock lk(lock_);
    return cv_.wait_for(lk, deadline, [&] {
      int n = 0;
      for (const auto& l : lines_) n += l == line;
      return n >= times;
    });
  }
  // The lines whose text starts with prefix, in order.
  std::vector<std::string> Matching(const std::string& prefix) const {
    std::lock_guard lk(lock_);
    std::vector<std::string> out;
    for (const auto& l : lines_)
      if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
  }

 private:
  mutable std::mutex lock_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
};

class BusTest : public ::testing::Test {
 protected:
  BusTest() : card_(main_.Loop()) {
    settings_ = dir_.file("orlocard.ini");
    std::ofstream(settings_) << "[Ports]\nCOM1=" << device_.SlavePath() << "\n";
    card_.SetSettingsFile(settings_);
    card_.SetPort(1);
    // A loaded test machine may hold the device thread back for longer than
    // a real device's 40 ms: give the first reply byte generous time.
    card_.SetRespDly(kTestRespDly);
  }
  ~BusTest() override {
    main_.Do([this] { card_.Close(); });
  }

  // Assigns a recording handler to every event.
  void RecordAll() {
    auto text = [this](const char* name) {
      return [this, name](int r, const std::string& v) {
        events_.Add(std::string(name) + " " + std::to_string(r) + " " + v);
      };
    };
    auto input = [this](const char* name) {
      return [this, name](int r, int b, int i) {
        events_.Add(std::string(name) + " " + std::to_string(r) + " " + std::to_string(b) + " " +
                    std::to_string(i));
      };
    };
    auto reader = [this](const char* name) {
      return [this, name](int r) { events_.Add(std::string(name) + " " + std::to_string(r)); };
    };
    card_.OnCounter = text("Counter");
    card_.OnInput = text("Input");
    card_.OnDeposit = text("Deposit");
    card_.OnPrinter = text("Printer");
    card_.OnDiscCode = text("DiscCode");
    card_.OnBarCode = text("BarCode");
    card_.OnData = text("Data");
    card_.OnMemory = text("Memory");
    card_.OnInputOn = input("InputOn");
    card_.OnInputOff = input("InputOff");
    card_.OnButtonUp = text("ButtonUp");
    card_.OnButtonDown = text("ButtonDown");
    card_.OnError = reader("Error");
    card_.OnErrorEx = [this](int r, bool c) {
      events_.Add("ErrorEx " + std::to_string(r) + " " + (c ? "1" : "0"));
    };
    card_.OnPowerUp = reader("PowerUp");
    card_.OnEscrowLever = reader("EscrowLever");
    card_.OnCashBox = reader("CashBox");
    card_.OnCounterRestart = reader("CounterRestart");
  }

  bool Open() {
    bool ok = false;
    main_.Do([&] { ok = card_.Open(); });
    return ok;
  }

  // Frames to an address with a given letter.
  std::vector<TPtyDevice::TFrame> FramesTo(int address, char letter) const {
    std::vector<TPtyDevice::TFrame> out;
    for (const auto& f : device_.Frames())
      if (f.address == address && f.letter() == letter) out.push_back(f);
    return out;
  }
  bool WaitCommand(int address, const std::string& command) {
    return device_.WaitFrames([&](const std::vector<TPtyDevice::TFrame>& frames) {
      for (const auto& f : frames)
        if (f.address == address && f.command == command) return true;
      return false;
    });
  }

  TempDir dir_;
  std::string settings_;
  TPtyDevice device_;
  TMainThread main_;
  TEventRecorder events_;
  TCard card_;
};

}  // namespace orlo::test
