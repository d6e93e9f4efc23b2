// TSimScript: the simulator's line-oriented command language. Each call runs
// one command line against a TSimulator and returns its output lines; the
// last line is "ok ..." or "error ...". Used by the program for stdin, script
// files and control-socket clients. Each client uses its own TSimScript; the
// simulator underneath is shared and thread-safe.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "simulator.h"

namespace orlo::sim {

class TSimScript {
 public:
  explicit TSimScript(TSimulator& sim) : sim_(sim) {}
  ~TSimScript();  // stops and joins the "every" repeaters
  TSimScript(const TSimScript&) = delete;
  TSimScript& operator=(const TSimScript&) = delete;

  std::vector<std::string> Execute(const std::string& line);
  // Set by the "quit" command.
  bool QuitRequested() const { return quit_; }

  static std::string Help();

 private:
  friend class TScriptCall;  // a command's view of its script: repeaters, quit

  void StartRepeater(int periodMs, const std::string& command);
  void StopRepeaters();

  TSimulator& sim_;
  bool quit_ = false;
  // Repeaters started by "every": each runs its command with its own script
  // on its own thread until "every stop" or the end of this script.
  std::vector<std::jthread> repeaters_;
  std::mutex repeatMutex_;
  std::condition_variable_any repeatCv_;
};

// Decodes the escapes of command arguments: \xHH, \s (space), \t, \r, \n,
// \0 and \\. False (with a reason) for a malformed escape.
bool Unescape(const std::string& text, std::string& out, std::string& error);
// Decodes hex bytes: "02 31 43", "023143" or "02,31,43".
bool ParseHex(const std::string& text, std::string& out, std::string& error);

}  // namespace orlo::sim
