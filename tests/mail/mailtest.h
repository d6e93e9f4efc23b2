// Small helpers of the mail tests.
#pragma once

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

namespace orlo::mailtest {

// Polls cond until it holds or the deadline passes; returns the last value.
inline bool WaitUntil(const std::function<bool()>& cond,
                      std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The whole text of a file, empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace orlo::mailtest
