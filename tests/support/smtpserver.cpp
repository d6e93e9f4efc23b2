#include "support/smtpserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/sqlfile.h"
#include "support/wait.h"

extern char** environ;

namespace orlo::test {

namespace fs = std::filesystem;

namespace {

// The sink lives beside this file in the source tree.
std::string SinkScript() { return std::string(ORLO_SOURCE_DIR) + "/tests/support/smtp_sink.py"; }

pid_t Spawn(const std::vector<std::string>& args, const std::string& output) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Waits for pid with a deadline; kills it hard when it does not end.
int Reap(pid_t pid) {
  int status = 0;
  if (!WaitUntil([&] { return waitpid(pid, &status, WNOHANG) != 0; }, std::chrono::seconds(20))) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  return status;
}

// The system interpreter carries the Debian aiosmtpd package; a python3 found
// first on PATH (a version manager's) may not.
std::string FindPython(const std::string& scratch) {
  for (const char* candidate : {"/usr/bin/python3", "python3"}) {
    const pid_t pid = Spawn({candidate, "-c", "import aiosmtpd"}, scratch);
    if (pid > 0) {
      const int status = Reap(pid);
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return candidate;
    }
  }
  return {};
}

}  // namespace

TSmtpSink::TSmtpSink(const std::string& user, const std::string& password, TSinkMode mode) {
  fs::create_directory(dir_.path() / "mail");
  const std::string output = dir_.file("sink.out");
  const std::string python = FindPython(output);
  if (python.empty()) {
    error_ = "no python3 with the aiosmtpd module (scripts/setup-deps installs python3-aiosmtpd)";
    return;
  }
  std::vector<std::string> args = {python,        SinkScript(),     "--folder", dir_.file("mail"),
                                   "--port-file", dir_.file("port")};
  if (!user.empty()) args.insert(args.end(), {"--auth", user + ":" + password});
  if (mode == TSinkMode::HangAfterData) args.push_back("--hang-after-data");
  pid_ = Spawn(args, output);
  if (pid_ <= 0) {
    error_ = "cannot start " + python;
    return;
  }
  int port = 0;
  const bool up = WaitUntil([&] {
    port = std::atoi(ReadFile(dir_.file("port")).c_str());
    return port > 0 || waitpid(pid_, nullptr, WNOHANG) == pid_;
  });
  if (up && port > 0)
    port_ = port;
  else
    error_ = "SMTP sink did not come up: " + ReadFile(output);
}

TSmtpSink::~TSmtpSink() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    Reap(pid_);
  }
}

std::vector<std::string> TSmtpSink::Messages() const {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir_.path() / "mail", ec))
    if (entry.path().extension() == ".eml") names.push_back(entry.path().string());
  std::sort(names.begin(), names.end());
  std::vector<std::string> messages;
  for (const auto& name : names) messages.push_back(ReadFile(name));
  return messages;
}

bool TSmtpSink::WaitForMessages(std::size_t count) const {
  return WaitUntil([&] { return Messages().size() >= count; });
}

TMuteServer::TMuteServer() {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      listen(fd_, 16) == 0 && getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port_ = ntohs(addr.sin_port);
}

TMuteServer::~TMuteServer() { Close(); }

bool TMuteServer::HasConnection() const {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

void TMuteServer::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

int ClosedPort() {
  TMuteServer probe;
  return probe.port();
}

}  // namespace orlo::test
