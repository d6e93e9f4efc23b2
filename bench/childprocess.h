// A program the benchmark starts and ends by its process id: its output
// (stdout and stderr) goes to a file, and its stdin is a pipe the benchmark
// writes command lines into. Owned and used by one thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace orlo::bench {

class TChildProcess {
 public:
  // Starts argv[0] (a path) with the arguments; dies when it cannot.
  TChildProcess(const std::vector<std::string>& argv, const std::string& outputFile);
  ~TChildProcess();  // Stop(), then SIGKILL if it has not ended
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  bool Running();
  // Writes one line to its stdin (false when it is gone).
  bool Send(const std::string& line);
  // SIGTERM, then waits up to the deadline; the exit status, or -1 when it
  // did not end in time or ended by a signal.
  int Stop(std::chrono::milliseconds deadline = std::chrono::seconds(30));

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
};

// Waits (polling) until the file has a first whole line and returns it; ""
// after the deadline.
std::string WaitFirstLine(const std::string& file, std::chrono::milliseconds deadline);
std::string ReadFile(const std::string& path);

}  // namespace orlo::bench
