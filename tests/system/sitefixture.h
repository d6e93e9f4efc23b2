// Fixture of the end-to-end tests: a home folder with a registry store and a
// settings file, a site database (a SQLite file, or a database of its own on
// the private MariaDB server of scripts/test), device simulators on
// pseudo-terminals, and the real orlocard program started and stopped by pid.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "db/odbc.h"
#include "log/messlog.h"
#include "simulator.h"
#include "support/privatemariadb.h"
#include "support/sitedatabase.h"
#include "support/tempdir.h"
#include "support/wait.h"

namespace orlo::test {

// One run of the real orlocard program on a home folder and a registry store
// file, by pid; killed when the object ends.
class TProgramRun {
 public:
  TProgramRun(std::string home, std::string registry)
      : home_(std::move(home)), registry_(std::move(registry)) {}
  ~TProgramRun();
  TProgramRun(const TProgramRun&) = delete;
  TProgramRun& operator=(const TProgramRun&) = delete;

  bool Start();
  // An environment variable of the runs that follow (besides this process's own).
  void SetEnv(const std::string& name, const std::string& value);
  bool Running();
  // SIGTERM and wait; the exit status (-1 when it did not end in time or
  // ended by a signal).
  int Stop();
  // SIGKILL and wait.
  void Kill();
  // The text of every log file of the home folder, and what it printed.
  std::string LogText() const;
  std::string Output() const;
  int LogCount(const std::string& text) const { return CountOf(LogText(), text); }
  bool WaitLog(const std::string& text, int times = 1,
               std::chrono::milliseconds deadline = kDeadline) const;

 private:
  std::string home_, registry_;
  std::vector<std::string> env_;  // "NAME=value"
  pid_t pid_ = -1;
};

class SystemFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  virtual Backend Kind() const { return Backend::SQLite; }
  // True: the MariaDB site lives on a server of the test's own
  // (server_), which the test may kill and restart.
  virtual bool OwnServer() const { return false; }

  // The database file of a SQLite site (it may be moved before the start).
  std::string databaseFile_;
  void MakeDatabase();  // connects the test connection and runs the schema
  void WriteRegistry(const std::string& computerName = "GATEPC");

  void Exec(const std::string& sql);
  int QueryInt(const std::string& sql) { return site_.QueryInt(sql); }
  int CountRows(const std::string& table, const std::string& where = "") {
    return site_.CountRows(table, where);
  }
  void AddLoop(int id, const std::string& name, bool enabled, int port = 1);
  int AddDevice(int loopId, int address, const std::string& name);
  // Cards first, first+1, ... of type 1, valid until 2030, named "N<i> X":
  // each presented once (so passback never refuses), every "Welcome" answer
  // tells which card it decided.
  void AddNamedCards(int first, int count);
  // A simulator with devices at the addresses, named as COM<port> in the
  // settings file of the home folder (default: the fixture's).
  sim::TSimulator& StartSim(int port, const std::vector<int>& addresses,
                            const std::string& home = "");
  std::string SettingsFile() const { return dir_.file("orlocard.ini"); }

  // The program on the fixture's home folder and registry store.
  void StartProgram() { ASSERT_TRUE(program_.Start()); }
  bool Running() { return program_.Running(); }
  int StopProgram() { return program_.Stop(); }

  std::string LogText() { return program_.LogText(); }
  int LogCount(const std::string& text) { return program_.LogCount(text); }
  bool WaitLog(const std::string& text, int times = 1,
               std::chrono::milliseconds deadline = kDeadline) {
    return program_.WaitLog(text, times, deadline);
  }

  TempDir dir_;
  std::unique_ptr<TMessLog> testLog_;
  TSiteDatabase site_;
  std::vector<std::unique_ptr<sim::TSimulator>> sims_;
  std::unique_ptr<TPrivateMariaDB> server_;  // with OwnServer()
  TProgramRun program_{dir_.path().string(), dir_.file("registry.reg")};
};

class SystemFixtureP : public SystemFixture, public ::testing::WithParamInterface<Backend> {
 protected:
  Backend Kind() const override { return GetParam(); }
};

}  // namespace orlo::test
