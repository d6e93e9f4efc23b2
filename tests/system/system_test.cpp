// The real orlocard program end to end: start-up against SQLite and MariaDB
// sites, the loops it takes, a database that is not there at the start, a
// restart request and the stop request (SIGTERM) in its different states.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "sitefixture.h"

namespace orlo::test {
namespace {

using SettingsRowTest = SystemFixtureP;

TEST_P(SettingsRowTest, StartUpInsertsTheRowExactlyWhenTheTableIsEmpty) {
  AddLoop(12, "POE/POF", false);
  ASSERT_EQ(CountRows("settings"), 0);
  StartProgram();
  ASSERT_TRUE(WaitLog("Started!")) << LogText();
  EXPECT_TRUE(WaitUntil([&] { return CountRows("settings") == 1; }));
  EXPECT_EQ(StopProgram(), 0);
  EXPECT_EQ(LogCount("ShutDown..."), 1);
  EXPECT_EQ(LogCount("End Log"), 1);

  // The row holds 0 already (an UPDATE that changes nothing): still one row.
  StartProgram();
  ASSERT_TRUE(WaitLog("Started!", 2)) << LogText();
  EXPECT_EQ(StopProgram(), 0);
  EXPECT_EQ(CountRows("settings"), 1);
  EXPECT_EQ(QueryInt("SELECT reset_tolvsql FROM settings"), 0);
}

INSTANTIATE_TEST_SUITE_P(Sites, SettingsRowTest,
                         ::testing::Values(Backend::SQLite, Backend::MariaDB), BackendName);

using StartTest = SystemFixture;

TEST_F(StartTest, TakesThisComputersLoopsInOrderThenPoePofAndPollsOnlyThose) {
  StartSim(1, {1});
  auto& second = StartSim(2, {1});
  AddLoop(4, "gatepc", true, 1);
  AddLoop(5, "otherpc", true, 3);
  AddLoop(9, "gatepc", true, 2);
  AddLoop(12, "POE/POF", false);
  AddDevice(4, 1, "Entry");
  const int gate9 = AddDevice(9, 1, "Exit");
  AddDevice(5, 1, "Elsewhere");
  AddDevice(12, 2, "Pay station");
  StartProgram();
  ASSERT_TRUE(WaitLog("Started!")) << LogText();
  const std::string log = LogText();
  const auto at4 = log.find("Init Devices for LoopId 4 Port 1");
  const auto at9 = log.find("Init Devices for LoopId 9 Port 2");
  const auto at12 = log.find("Created POE/POF soft counter for address 2");
  ASSERT_NE(at4, std::string::npos) << log;
  ASSERT_NE(at9, std::string::npos) << log;
  ASSERT_NE(at12, std::string::npos) << log;
  EXPECT_LT(at4, at9);
  EXPECT_LT(at9, at12);
  EXPECT_EQ(log.find("LoopId 5"), std::string::npos);
  EXPECT_NE(log.find("Loops FOUND for computer name \"gatepc\""), std::string::npos);

  // A remote open on the second own loop: the open-flag check covers it.
  Exec("UPDATE device SET open_flag = 1 WHERE id = " + std::to_string(gate9));
  EXPECT_TRUE(WaitUntil([&] {
    return CountRows("trans", "error_code = 999 and device_id = " + std::to_string(gate9)) == 1;
  })) << LogText();
  EXPECT_TRUE(second.WaitFrames(
      [](const std::vector<sim::TReceivedFrame>& frames) {
        for (const auto& f : frames)
          if (f.frame.address == 1 && f.frame.letter == 'G') return true;
        return false;
      },
      kDeadline));
  EXPECT_EQ(StopProgram(), 0);
  EXPECT_NE(LogText().find("End Log"), std::string::npos);
}

TEST_F(StartTest, OnlyAPoePofLoopIsEnough) {
  AddLoop(12, "POE/POF", false);
  StartProgram();
  ASSERT_TRUE(WaitLog("Started!")) << LogText();
  EXPECT_EQ(StopProgram(), 0);
}

// The service manager's side of Type=notify: a datagram socket named by
// NOTIFY_SOCKET, as systemd gives it to the service.
class TNotifySocket {
 public:
  explicit TNotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  }
  ~TNotifySocket() {
    ::unsetenv("NOTIFY_SOCKET");
    ::close(fd_);
    std::filesystem::remove(path_);
  }
  // Every state line received so far, waiting up to the deadline for more.
  std::string Received() {
    timeval wait{0, 200000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char buf[512];
    for (ssize_t n; (n = ::recv(fd_, buf, sizeof buf, 0)) > 0;)
      text_.append(buf, static_cast<std::size_t>(n)).push_back('\n');
    return text_;
  }

 private:
  std::string path_, text_;
  int fd_ = -1;
};

TEST_F(StartTest, TellsTheServiceManagerWhenItIsReadyAndWhenItStops) {
  AddLoop(12, "POE/POF", false);
  TNotifySocket manager(dir_.file("notify"));
  StartProgram();
  ASSERT_TRUE(WaitLog("Started!")) << LogText();
  EXPECT_TRUE(
      WaitUntil([&] { return manager.Received().find("STATUS=Started") != std::string::npos; }));
  EXPECT_NE(manager.Received().find("READY=1"), std::string::npos);
  EXPECT_EQ(manager.Received().find("STOPPING=1"), std::string::npos);
  EXPECT_EQ(StopProgram(), 0);
  EXPECT_NE(manager.Received().find("STOPPING=1"), std::string::npos);
}

TEST_F(StartTest, StopDuringTheWaitForARetryEndsCleanly) {
  AddLoop(5, "otherpc", false);
  StartProgram();
  ASSERT_TRUE(WaitLog("No loops found for this computer name \"gatepc\"")) << LogText();
  ASSERT_TRUE(WaitLog("End Log"));
  EXPECT_EQ(StopProgram(), 0);
  EXPECT_EQ(LogCount("Starting server, Reading Registry"), 1);
  EXPECT_EQ(LogCount("ShutDown..."), 1);
  // The log file was closed; the stop is told where the service manager sees it.
  EXPECT_NE(program_.Output().find("stop requested before the service had started"),
            std::string::npos)
      << program_.Output();
}

TEST_F(StartTest, RestartRequestReleasesTheLoopsAndStartsAgain) {
  StartSim(1, {1});
  AddLoop(4, "gatepc", true, 1);
  AddDevice(4, 1, "Entry");
  StartProgram();
  ASSERT_TRUE(WaitLog("Started!")) << LogText();
  Exec("UPDATE settings SET reset_tolvsql = 1");
  ASSERT_TRUE(WaitLog("Started!", 2)) << LogText();
  EXPECT_GE(LogCount("ShutDown..."), 1);
  EXPECT_EQ(LogCount("Device started.  LoopId 4"), 2) << "the port opened again";
  EXPECT_TRUE(WaitUntil([&] { return QueryInt("SELECT reset_tolvsql FROM settings") == 0; }));
  EXPECT_EQ(StopProgram(), 0);
}

TEST_F(StartTest, ADatabaseMissingAtTheStartIsFoundByTheRetry) {
  // The database folder does not exist yet: the first attempt fails.
  const std::string later = dir_.file("later");
  site_.Close();
  databaseFile_ = later + "/site.db";
  WriteRegistry();
  StartProgram();
  ASSERT_TRUE(
      WaitLog("Failed connection, check ODBC install and parameters, retrying in 20 seconds"))
      << LogText();
  std::filesystem::create_directories(later);
  MakeDatabase();
  AddLoop(12, "POE/POF", false);
  ASSERT_TRUE(WaitLog("Started!", 1, std::chrono::milliseconds(60000))) << LogText();
  EXPECT_EQ(LogCount("Failed connection"), 1) << "one retry, at least 21 s later";
  EXPECT_EQ(StopProgram(), 0);
}

}  // namespace
}  // namespace orlo::test
