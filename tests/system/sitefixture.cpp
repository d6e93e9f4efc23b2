#include "sitefixture.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "config/inifile.h"
#include "config/registryex.h"
#include "support/sqlfile.h"

extern char** environ;

namespace orlo::test {

void SystemFixture::SetUp() {
  testLog_ = std::make_unique<TMessLog>(dir_.file("test.log"), false, false, false, true);
  databaseFile_ = dir_.file("site.db");
  if (Kind() == Backend::MariaDB) {
    MariaDBServer server;
    ORLO_REQUIRE_MARIADB(server);
    if (OwnServer()) {
      ASSERT_FALSE(server.templateDir.empty()) << "ORLO_MARIADB_TEMPLATE is not set";
      server_ = std::make_unique<TPrivateMariaDB>(server);
      ASSERT_TRUE(server_->Start()) << "the test's own MariaDB server did not start";
    }
  }
  MakeDatabase();
  WriteRegistry();
}

void SystemFixture::MakeDatabase() {
  if (server_)
    ASSERT_TRUE(site_.CreateMariaDB(server_->Coordinates(), "sys_", testLog_.get()));
  else
    ASSERT_TRUE(site_.Create(Kind(), databaseFile_, "sys_", testLog_.get()));
}

void SystemFixture::WriteRegistry(const std::string& computerName) {
  TRegistryValues values = {{"Host", RegString("")}, {"DebugLog", "dword:00000001"}};
  // The SQLite file is named even before it exists (a test may make it later).
  const TRegistryValues site =
      Kind() == Backend::MariaDB ? site_.RegistryValues() : SqliteRegistryValues(databaseFile_);
  values.insert(values.end(), site.begin(), site.end());
  WriteRegistryStore(dir_.file("registry.reg"), values, computerName);
}

void SystemFixture::TearDown() {
  program_.Kill();
  sims_.clear();
  site_.Close();
  server_.reset();
}

void SystemFixture::Exec(const std::string& sql) { EXPECT_TRUE(site_.Exec(sql)) << sql; }

void SystemFixture::AddLoop(int id, const std::string& name, bool enabled, int port) {
  Exec("INSERT INTO " + site_.Db().QuoteTable("loop") + " (id, name, enabled, port) VALUES (" +
       std::to_string(id) + ", '" + name + "', " + (enabled ? "1" : "0") + ", " +
       std::to_string(port) + ")");
}

int SystemFixture::AddDevice(int loopId, int address, const std::string& name) {
  Exec("INSERT INTO device (loop_id, addr_ess, name) VALUES (" + std::to_string(loopId) + ", " +
       std::to_string(address) + ", '" + name + "')");
  return QueryInt("SELECT id FROM device WHERE loop_id = " + std::to_string(loopId) +
                  " and addr_ess = " + std::to_string(address));
}

void SystemFixture::AddNamedCards(int first, int count) {
  std::string values;
  for (int i = 0; i < count; ++i)
    values += std::string(i ? "," : "") + "(" + std::to_string(first + i) + ", 1, 1, 'N" +
              std::to_string(i) +
              "', 'X', '2024-01-01 00:00:00', '2030-12-31 23:59:59', '2024-01-01 00:00:00')";
  Exec(
      "INSERT INTO card (number, type_id, card_type, first_name, last_name, start_dt, exp_iry, "
      "start_date) VALUES " +
      values);
}

sim::TSimulator& SystemFixture::StartSim(int port, const std::vector<int>& addresses,
                                         const std::string& home) {
  auto sim = std::make_unique<sim::TSimulator>();
  std::string error;
  EXPECT_TRUE(sim->OpenPty(error)) << error;
  for (int a : addresses) sim->AddDevice(a);
  TIniFileEx ini(home.empty() ? SettingsFile() : home + "/orlocard.ini");
  ini.WriteString("Ports", "COM" + std::to_string(port), sim->Path());
  sims_.push_back(std::move(sim));
  return *sims_.back();
}

// --- TProgramRun ---

TProgramRun::~TProgramRun() { Kill(); }

void TProgramRun::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

bool TProgramRun::Start() {
  const std::string program = ORLO_PROGRAM;
  const std::string out = home_ + "/program.out";
  std::vector<std::string> args = {program, "--home", home_, "--registry", registry_};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e) envp.push_back(*e);
  for (auto& e : env_) envp.push_back(e.data());  // later entries win
  envp.push_back(nullptr);
  const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) ADD_FAILURE() << "cannot start " << program;
  return rc == 0;
}

void TProgramRun::SetEnv(const std::string& name, const std::string& value) {
  env_.push_back(name + "=" + value);
}

bool TProgramRun::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

int TProgramRun::Stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  if (!WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }))
    return -1;  // the destructor kills it
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string TProgramRun::LogText() const {
  std::string all;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(home_ + "/log", ec))
    all += ReadFile(entry.path().string());
  return all;
}

std::string TProgramRun::Output() const { return ReadFile(home_ + "/program.out"); }

bool TProgramRun::WaitLog(const std::string& text, int times,
                          std::chrono::milliseconds deadline) const {
  return WaitUntil([&] { return LogCount(text) >= times; }, deadline);
}

}  // namespace orlo::test
