// orlocard --check, the installer's preflight, run as the real program on
// SQLite and MariaDB sites: a working site passes and lists its loops and
// ports; each fault an installer meets gives one problem line and a non-zero
// exit; the check writes nothing to the site.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "config/inifile.h"
#include "config/registryex.h"
#include "platform/serialport.h"
#include "sitefixture.h"
#include "support/sqlfile.h"

extern char** environ;

namespace orlo::test {
namespace {

namespace fs = std::filesystem;

struct TCheckResult {
  int status = -1;  // the exit status; -1 when it did not end by itself in time
  std::string out, err;
  std::vector<std::string> problems;  // the problem lines of err
};

// Runs `orlocard --check` on a home folder and registry store and waits for
// its end (killed when it outlives the deadline).
TCheckResult RunCheck(const std::string& home, const std::string& registry,
                      const std::string& outputs) {
  const std::string program = ORLO_PROGRAM;
  std::vector<std::string> args = {program, "--check", "--home", home, "--registry", registry};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string outFile = outputs + ".out", errFile = outputs + ".err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  TCheckResult result;
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << program;
    return result;
  }
  int status = 0;
  if (!WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; })) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    ADD_FAILURE() << "orlocard --check did not end within the deadline";
  } else if (WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  }
  result.out = ReadFile(outFile);
  result.err = ReadFile(errFile);
  std::istringstream lines(result.err);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("orlocard --check: ", 0) == 0) result.problems.push_back(line);
  return result;
}

class CheckFixture : public SystemFixture {
 protected:
  TCheckResult Check(const std::string& registry = "") {
    return RunCheck(dir_.path().string(), registry.empty() ? dir_.file("registry.reg") : registry,
                    dir_.file("check"));
  }

  // Rewrites the registry store with one value changed (or added).
  void SetRegistryValue(const std::string& name, const std::string& value) {
    TRegistryValues values = {{"Host", RegString("")}};
    const TRegistryValues site =
        Kind() == Backend::MariaDB ? site_.RegistryValues() : SqliteRegistryValues(databaseFile_);
    values.insert(values.end(), site.begin(), site.end());
    bool replaced = false;
    for (auto& [key, old] : values)
      if (key == name) old = value, replaced = true;
    if (!replaced) values.emplace_back(name, value);
    WriteRegistryStore(dir_.file("registry.reg"), values, "GATEPC");
  }

  // A site whose check passes: one loop of this computer on a simulator.
  void MakeWorkingSite() {
    AddLoop(1, "gatepc", true, 1);
    StartSim(1, {1});
  }
};

// One problem line that holds every part; the output shows on failure.
void ExpectOneProblem(const TCheckResult& r, const std::vector<std::string>& parts) {
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  ASSERT_EQ(r.problems.size(), 1u) << r.out << r.err;
  for (const std::string& part : parts)
    EXPECT_NE(r.problems[0].find(part), std::string::npos) << "'" << part << "' in " << r.err;
}

class CheckTest : public CheckFixture, public ::testing::WithParamInterface<Backend> {
 protected:
  Backend Kind() const override { return GetParam(); }
};

TEST_P(CheckTest, AWorkingSitePassesListingItsLoopsAndPortsAndChangesNothing) {
  MakeWorkingSite();
  AddLoop(2, "gatepc", false, 2);
  AddLoop(3, "otherpc", true, 3);
  const std::string settingsBefore = ReadFile(SettingsFile());

  const TCheckResult r = Check();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(r.problems.empty()) << r.err;
  EXPECT_NE(r.out.find("SELECT {fn now()}: 20"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("loop 1 \"gatepc\": COM1 = " + sims_[0]->Path() + ", opened at 9600 baud"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("loop 2 \"gatepc\": disabled"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("otherpc"), std::string::npos) << r.out;

  // No default written back, no log folder; the port is free again.
  EXPECT_EQ(ReadFile(SettingsFile()), settingsBefore);
  EXPECT_FALSE(fs::exists(dir_.file("log")));
  std::string error;
  EXPECT_TRUE(MakeSerialPort()->Open(sims_[0]->Path(), 9600, error)) << error;
}

TEST_P(CheckTest, AnUnknownOdbcDriverIsOneLine) {
  MakeWorkingSite();
  SetRegistryValue("ODBCDriver", RegString("Orlo No Such Driver"));
  ExpectOneProblem(Check(), {"ODBC driver \"Orlo No Such Driver\" is not registered"});
}

TEST_P(CheckTest, NoLoopForThisComputerIsOneLine) {
  AddLoop(1, "otherpc", true, 1);
  ExpectOneProblem(Check(), {"no loop for this computer", "\"gatepc\""});
}

INSTANTIATE_TEST_SUITE_P(Sites, CheckTest, ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         BackendName);

using CheckSQLiteTest = CheckFixture;

TEST_F(CheckSQLiteTest, AMissingOrUnreadableRegistryStoreIsOneLine) {
  MakeWorkingSite();
  ExpectOneProblem(Check(dir_.file("none.reg")), {dir_.file("none.reg"), "does not exist"});

  fs::create_directory(dir_.file("folder.reg"));
  ExpectOneProblem(Check(dir_.file("folder.reg")), {dir_.file("folder.reg"), "cannot be read"});

  if (geteuid() != 0) {  // root reads a file of any mode
    fs::copy_file(dir_.file("registry.reg"), dir_.file("locked.reg"));
    fs::permissions(dir_.file("locked.reg"), fs::perms::none);
    ExpectOneProblem(Check(dir_.file("locked.reg")), {"cannot be read", "Permission denied"});
  }
}

TEST_F(CheckSQLiteTest, AMissingFunctionExtensionIsOneLine) {
  MakeWorkingSite();
  SetRegistryValue("ODBCOptions", RegString("JournalMode=WAL;Timeout=1000"));
  ExpectOneProblem(Check(), {"SELECT {fn now()} fails", "no LoadExt="});

  const std::string missing = dir_.file("gone/sqlitefn.so");
  SetRegistryValue("ODBCOptions", RegString("LoadExt=" + missing + ";JournalMode=WAL"));
  ExpectOneProblem(Check(), {"SQLite function extension " + missing, "does not exist"});
}

TEST_F(CheckSQLiteTest, AMissingOrReadOnlyDatabaseFileIsOneLineAndIsNotMade) {
  MakeWorkingSite();
  if (geteuid() != 0) {  // root writes a file of any mode (scripts/package-check covers it)
    fs::permissions(databaseFile_, fs::perms::owner_read);
    ExpectOneProblem(Check(), {"SQLite database file \"" + databaseFile_ + "\" is not writable"});
    fs::permissions(databaseFile_, fs::perms::owner_read | fs::perms::owner_write);
  }
  const std::string missing = dir_.file("none.db");
  SetRegistryValue("Database", RegString(missing));
  ExpectOneProblem(Check(), {"SQLite database file \"" + missing + "\" does not exist"});
  EXPECT_FALSE(fs::exists(missing));
}

TEST_F(CheckSQLiteTest, APortThatIsMissingOrBusyIsOneLineEach) {
  AddLoop(1, "gatepc", true, 1);
  AddLoop(2, "gatepc", true, 2);
  AddLoop(3, "gatepc", true, 3);
  TIniFileEx(SettingsFile()).WriteString("Ports", "COM1", dir_.file("ttyNONE"));
  sim::TSimulator& busy = StartSim(2, {1});
  StartSim(3, {1});
  std::string error;
  std::unique_ptr<TSerialPort> holder = MakeSerialPort();
  ASSERT_TRUE(holder->Open(busy.Path(), 9600, error)) << error;

  const TCheckResult r = Check();
  EXPECT_EQ(r.status, 1);
  ASSERT_EQ(r.problems.size(), 2u) << r.out << r.err;
  EXPECT_NE(r.problems[0].find("loop 1 \"gatepc\": COM1: cannot open " + dir_.file("ttyNONE") +
                               ": No such file or directory"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.problems[1].find("loop 2 \"gatepc\": COM2: cannot open " + busy.Path()),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.problems[1].find("in use by another program"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("loop 3 \"gatepc\": COM3 = "), std::string::npos) << r.out;
}

class CheckMariaDBTest : public CheckFixture {
 protected:
  Backend Kind() const override { return Backend::MariaDB; }
};

// A TCP port of 127.0.0.1 that nothing listens on (bound once, then closed).
int ClosedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

TEST_F(CheckMariaDBTest, AWrongPasswordOrNoServerIsOneLine) {
  MakeWorkingSite();
  std::string wrong;
  ASSERT_TRUE(Scramble("not-the-password", wrong));
  SetRegistryValue("Pass", RegString(wrong));
  ExpectOneProblem(Check(), {"cannot connect to the database", "Access denied", "SQLSTATE 28000"});

  SetRegistryValue(
      "ODBCOptions",
      RegString("SERVER=127.0.0.1;PORT=" + std::to_string(ClosedPort()) + ";database=%d"));
  ExpectOneProblem(Check(), {"cannot connect to the database", "SQLSTATE"});
}

}  // namespace
}  // namespace orlo::test
