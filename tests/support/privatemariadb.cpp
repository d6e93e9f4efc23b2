#include "support/privatemariadb.h"

#include <signal.h>

#include <cstdlib>

#include "platform/text.h"
#include "support/sqlfile.h"

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

void TPrivateMariaDB::Freeze() { Signal(SIGSTOP); }

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
