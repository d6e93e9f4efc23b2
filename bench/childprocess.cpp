// Child processes of the benchmark programs.
#include "childprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "benchsite.h"

extern char** environ;

namespace orlo::bench {

TChildProcess::TChildProcess(const std::vector<std::string>& argv, const std::string& outputFile) {
  int in[2];
  if (pipe2(in, O_CLOEXEC) != 0) Die("pipe failed");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_addopen(&fa, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int rc = posix_spawn(&pid_, argv[0].c_str(), &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(in[0]);
  if (rc != 0) Die("cannot start " + argv[0]);
  stdin_ = in[1];
}

TChildProcess::~TChildProcess() {
  if (Stop() < 0 && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (stdin_ >= 0) close(stdin_);
}

bool TChildProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
  pid_ = -1;
  return false;
}

bool TChildProcess::Send(const std::string& line) {
  const std::string text = line + "\n";
  return ::write(stdin_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

int TChildProcess::Stop(std::chrono::milliseconds deadline) {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  const auto end = std::chrono::steady_clock::now() + deadline;
  int status = 0;
  while (std::chrono::steady_clock::now() < end) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string WaitFirstLine(const std::string& file, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (std::chrono::steady_clock::now() < end) {
    const std::string text = ReadFile(file);
    const auto nl = text.find('\n');
    if (nl != std::string::npos) return text.substr(0, nl);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return "";
}

}  // namespace orlo::bench
