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
#include <thread>

#include "config/inifile.h"
#include "config/registryex.h"

extern char** environ;

namespace orlo::test {

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string RegString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string SQLiteOptions() {
  return std::string("LoadExt=") + ORLO_SQLITEFN_PATH + ";JournalMode=WAL;Timeout=1000";
}

std::string MariaHost() {
  return Env("ORLO_MARIADB_HOST").empty() ? "127.0.0.1" : Env("ORLO_MARIADB_HOST");
}
std::string MariaUser() {
  return Env("ORLO_MARIADB_USER").empty() ? "kestrel" : Env("ORLO_MARIADB_USER");
}
std::string MariaPass() {
  return Env("ORLO_MARIADB_PASS").empty() ? "plover" : Env("ORLO_MARIADB_PASS");
}
std::string MariaOptions() {
  return "SERVER=" + MariaHost() + ";PORT=" + Env("ORLO_MARIADB_PORT") + ";database=%d";
}

bool ConnectMaria(TODBC& odbc, const std::string& database) {
  std::string options = MariaOptions();
  options.replace(options.find("%d"), 2, database);
  return odbc.ConnectToDataSource("", MariaUser(), MariaPass(), database, "MySQL ODBC 3.51 Driver",
                                  options);
}

bool RunSqlFile(TODBC& odbc, const std::string& path) {
  std::istringstream in(ReadFile(path));
  std::string line, statement;
  TODBCStatement q(odbc);
  while (std::getline(in, line)) {
    if (line.rfind("--", 0) == 0) continue;
    statement += line + "\n";
    auto end = line.find_last_not_of(" \t\r");
    if (end != std::string::npos && line[end] == ';') {
      statement.erase(statement.find_last_of(';'));
      if (!q.ExecSQL(statement)) {
        ADD_FAILURE() << "failed: " << statement;
        return false;
      }
      statement.clear();
    }
  }
  return true;
}

}  // namespace

std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::SQLite ? "SQLite" : "MariaDB";
}

void SystemFixture::SetUp() {
  testLog_ = std::make_unique<TMessLog>(dir_.file("test.log"), false, false, false, true);
  databaseFile_ = dir_.file("site.db");
  if (Kind() == Backend::MariaDB) {
    if (Env("ORLO_MARIADB_PORT").empty()) {
      if (Env("CI") == "true") FAIL() << "the private MariaDB server is required in CI";
      GTEST_SKIP() << "!!! NO PRIVATE MARIADB SERVER (ORLO_MARIADB_PORT unset): MariaDB "
                      "end-to-end test skipped. Run the tests through scripts/test. !!!";
    }
    static std::atomic<int> counter{0};
    mariaDatabase_ = "sys_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    TODBC boot;
    ASSERT_TRUE(ConnectMaria(boot, "tarn"));
    TODBCStatement q(boot);
    ASSERT_TRUE(q.ExecSQL("CREATE DATABASE " + mariaDatabase_ + " CHARACTER SET utf8mb4"));
  }
  MakeDatabase();
  WriteRegistry();
}

void SystemFixture::MakeDatabase() {
  db_ = std::make_unique<TODBC>();
  db_->SetLog(testLog_.get());
  db_->SetReportErrors(true);
  db_->SetBindColumns(true);
  if (Kind() == Backend::MariaDB) {
    ASSERT_TRUE(ConnectMaria(*db_, mariaDatabase_));
  } else {
    ASSERT_TRUE(db_->ConnectToDataSource("", "", "", databaseFile_, "SQLite3", SQLiteOptions()));
  }
  ASSERT_TRUE(RunSqlFile(*db_, std::string(ORLO_SOURCE_DIR) + "/schema/" +
                                   (Kind() == Backend::MariaDB ? "mariadb.sql" : "sqlite.sql")));
}

void SystemFixture::WriteRegistry(const std::string& computerName) {
  std::ofstream out(dir_.file("registry.reg"), std::ios::trunc);
  out << "Windows Registry Editor Version 5.00\n\n"
      << "[HKEY_LOCAL_MACHINE\\Software\\Quenlor\\Orlo]\n"
      << "\"Host\"=\"\"\n"
      << "\"DebugLog\"=dword:00000001\n";
  if (Kind() == Backend::MariaDB) {
    std::string pass;
    Scramble(MariaPass(), pass);
    out << "\"Database\"=" << RegString(mariaDatabase_) << "\n"
        << "\"User\"=" << RegString(MariaUser()) << "\n"
        << "\"Pass\"=" << RegString(pass) << "\n"
        << "\"ODBCDriver\"=\"MySQL ODBC 3.51 Driver\"\n"
        << "\"ODBCOptions\"=" << RegString(MariaOptions()) << "\n";
  } else {
    out << "\"Database\"=" << RegString(databaseFile_) << "\n"
        << "\"ODBCDriver\"=\"SQLite3\"\n"
        << "\"ODBCOptions\"=" << RegString(SQLiteOptions()) << "\n";
  }
  out << "\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\ComputerName\\ComputerName]\n"
      << "\"ComputerName\"=" << RegString(computerName) << "\n";
}

void SystemFixture::TearDown() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  sims_.clear();
  if (db_) db_->DisconnectFromDataSource();
  db_.reset();
  if (!mariaDatabase_.empty()) {
    TODBC boot;
    if (ConnectMaria(boot, "tarn")) {
      TODBCStatement q(boot);
      q.ExecSQL("DROP DATABASE " + mariaDatabase_);
    }
  }
}

void SystemFixture::Exec(const std::string& sql) {
  TODBCStatement q(*db_);
  EXPECT_TRUE(q.ExecSQL(sql)) << sql;
}

int SystemFixture::QueryInt(const std::string& sql) {
  TODBCStatement q(*db_);
  if (!q.ExecSQL(sql) || q.FieldCount() < 1) return 0;
  return q.FieldAsInteger(q.FieldName(0));
}

int SystemFixture::CountRows(const std::string& table, const std::string& where) {
  return QueryInt("SELECT COUNT(*) AS n FROM " + table + (where.empty() ? "" : " WHERE " + where));
}

void SystemFixture::AddLoop(int id, const std::string& name, bool enabled, int port) {
  Exec("INSERT INTO " + db_->QuoteTable("loop") + " (id, name, enabled, port) VALUES (" +
       std::to_string(id) + ", '" + name + "', " + (enabled ? "1" : "0") + ", " +
       std::to_string(port) + ")");
}

int SystemFixture::AddDevice(int loopId, int address, const std::string& name) {
  Exec("INSERT INTO device (loop_id, addr_ess, name) VALUES (" + std::to_string(loopId) + ", " +
       std::to_string(address) + ", '" + name + "')");
  return QueryInt("SELECT id FROM device WHERE loop_id = " + std::to_string(loopId) +
                  " and addr_ess = " + std::to_string(address));
}

sim::TSimulator& SystemFixture::StartSim(int port, const std::vector<int>& addresses) {
  auto sim = std::make_unique<sim::TSimulator>();
  std::string error;
  EXPECT_TRUE(sim->OpenPty(error)) << error;
  for (int a : addresses) sim->AddDevice(a);
  TIniFileEx ini(dir_.file("orlocard.ini"));
  ini.WriteString("Ports", "COM" + std::to_string(port), sim->Path());
  sims_.push_back(std::move(sim));
  return *sims_.back();
}

void SystemFixture::StartProgram() {
  const std::string program = ORLO_PROGRAM;
  const std::string home = dir_.path().string();
  const std::string registry = dir_.file("registry.reg");
  const std::string out = dir_.file("program.out");
  std::vector<std::string> args = {program, "--home", home, "--registry", registry};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ASSERT_EQ(rc, 0) << "cannot start " << program;
}

bool SystemFixture::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

int SystemFixture::StopProgram() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  const auto end = std::chrono::steady_clock::now() + kDeadline;
  while (std::chrono::steady_clock::now() < end) {
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;  // TearDown kills it
}

std::string SystemFixture::LogText() {
  std::string all;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path() / "log", ec))
    all += ReadFile(entry.path().string());
  return all;
}

int SystemFixture::LogCount(const std::string& text) {
  const std::string all = LogText();
  int n = 0;
  for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
  return n;
}

bool SystemFixture::WaitLog(const std::string& text, int times,
                            std::chrono::milliseconds deadline) {
  return WaitUntil([&] { return LogCount(text) >= times; }, deadline);
}

bool SystemFixture::WaitUntil(const std::function<bool()>& pred,
                              std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

}  // namespace orlo::test
