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
#include <vector>

#include "db/odbc.h"
#include "log/messlog.h"
#include "simulator.h"
#include "support/sitedatabase.h"
#include "support/tempdir.h"

namespace orlo::test {

constexpr std::chrono::milliseconds kDeadline{30000};

class SystemFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  virtual Backend Kind() const { return Backend::SQLite; }

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
  // A simulator with devices at the addresses, named as COM<port>.
  sim::TSimulator& StartSim(int port, const std::vector<int>& addresses);

  // The program, by pid.
  void StartProgram();
  bool Running();
  // SIGTERM and wait; the exit status (-1 when it did not end in time or
  // ended by a signal).
  int StopProgram();

  std::string LogText();
  int LogCount(const std::string& text);
  bool WaitLog(const std::string& text, int times = 1,
               std::chrono::milliseconds deadline = kDeadline);
  static bool WaitUntil(const std::function<bool()>& pred,
                        std::chrono::milliseconds deadline = kDeadline);

  TempDir dir_;
  std::unique_ptr<TMessLog> testLog_;
  TSiteDatabase site_;
  std::vector<std::unique_ptr<sim::TSimulator>> sims_;
  pid_t pid_ = -1;
};

class SystemFixtureP : public SystemFixture, public ::testing::WithParamInterface<Backend> {
 protected:
  Backend Kind() const override { return GetParam(); }
};

}  // namespace orlo::test
