#include "support/privatemariadb.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/text.h"
#include "support/sqlfile.h"
#include "support/wait.h"

namespace orlo::test {

TPrivateMariaDB::~TPrivateMariaDB() { Stop(); }

bool TPrivateMariaDB::Start() {
  if (shared_.templateDir.empty()) return false;
  if (!Run("start " + shared_.templateDir + " " + dir_.path().string() + " >/dev/null"))
    return false;
  port_ = Trim(ReadFile(dir_.file("port")));
  return !port_.empty();
}

bool TPrivateMariaDB::Restart() { return Run("restart " + dir_.path().string()); }

bool TPrivateMariaDB::Stop() {
  Thaw();
  return Run("stop " + dir_.path().string());
}

void TPrivateMariaDB::Kill() { Signal(SIGKILL); }

namespace {

// True when every thread of process pid is stopped by a signal ('T' in the
// state field of its /proc stat line, which follows the ")" of the name).
bool AllThreadsStopped(int pid) {
  std::error_code ec;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
    std::ifstream in(task.path() / "stat");
    std::string line;
    std::getline(in, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size()) continue;  // thread gone
    if (line[close + 2] != 'T' && line[close + 2] != 't') return false;
  }
  return !ec;
}

}  // namespace

void TPrivateMariaDB::Freeze() {
  Signal(SIGSTOP);
  // SIGSTOP is delivered asynchronously: wait until the server has really
  // stopped, so that no statement sent after Freeze is answered.
  const int pid = std::atoi(ReadFile(dir_.file("server.pid")).c_str());
  if (pid > 0 && !WaitUntil([pid] { return AllThreadsStopped(pid); }))
    ADD_FAILURE() << "the MariaDB server " << pid << " did not stop on SIGSTOP";
}

void TPrivateMariaDB::Thaw() { Signal(SIGCONT); }

void TPrivateMariaDB::Signal(int signal) {
  const int pid = std::atoi(ReadFile(dir_.file("server.pid")).c_str());
  if (pid > 0) kill(pid, signal);
}

MariaDBServer TPrivateMariaDB::Coordinates() const {
  MariaDBServer s = shared_;
  s.host = "127.0.0.1";
  s.port = port_;
  return s;
}

bool TPrivateMariaDB::Run(const std::string& args) {
  const std::string cmd = std::string(ORLO_SOURCE_DIR) + "/scripts/mariadb-private " + args;
  return std::system(cmd.c_str()) == 0;
}

}  // namespace orlo::test
