// End-to-end fixture of the loop controller tests: a home folder with a
// registry store and a settings file, a database made from schema/ (a SQLite
// file, or a database of its own on the private MariaDB server), the device
// simulator on a pseudo-terminal named as a COM port in [Ports], a main thread
// running a TMainLoop, and the TLoop under test, created and destroyed on that
// main thread. Helpers insert the rows a loop reads and wait, with generous
// deadlines, for frames on the line, rows in the database and log lines.
//
// Threads: the test body runs on the gtest thread; everything the loop does
// runs on the fixture's main thread (OnMain). The fixture's own database
// connection is for the test thread only.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "db/odbc.h"
#include "log/messlog.h"
#include "loop/loop.h"
#include "looppeer.h"
#include "platform/mainloop.h"
#include "simulator.h"
#include "support/sitedatabase.h"
#include "support/tempdir.h"
#include "support/wait.h"

namespace orlo::test {

using LoopBackend = Backend;
inline std::string LoopBackendName(const ::testing::TestParamInfo<LoopBackend>& info) {
  return BackendName(info);
}

// True when the private MariaDB server of scripts/test runs (ORLO_MARIADB_PORT set).
bool HaveMariaDB();

// A TMainLoop running on a thread of its own: the "main thread" of the test.
class TMainThread {
 public:
  TMainThread();
  ~TMainThread();  // stops the loop and joins
  TMainThread(const TMainThread&) = delete;
  TMainThread& operator=(const TMainThread&) = delete;

  TMainLoop& Loop() { return loop_; }
  // Runs fn on the main thread and waits for it; an exception fn throws is
  // rethrown here.
  void Do(std::function<void()> fn);

 private:
  TMainLoop loop_;
  std::jthread thread_;
};

// Column values of a device row: name and SQL literal ("1", "'Gate 1'").
using TColumns = std::vector<std::pair<std::string, std::string>>;

class LoopFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // SQLite unless a parameterised test says otherwise.
  virtual LoopBackend Backend() const { return LoopBackend::SQLite; }
  bool IsMariaDB() const { return Backend() == LoopBackend::MariaDB; }

  // --- database (test thread) ---
  // Runs SQL on the fixture's own connection; fails the test when it fails.
  void Exec(const std::string& sql);
  // First column of the first row as integer / text ("" and 0 when no row).
  int QueryInt(const std::string& sql) { return site_.QueryInt(sql); }
  std::string QueryString(const std::string& sql) { return site_.QueryString(sql); }
  double QueryFloat(const std::string& sql) { return site_.QueryFloat(sql); }
  int CountRows(const std::string& table, const std::string& where = "") {
    return site_.CountRows(table, where);
  }
  // Rows a loop reads. AddDevice returns the new device id.
  void AddLoop(int id, const std::string& name, int port, bool enabled = true,
               bool rfModem = false);
  int AddDevice(int loopId, int address, const std::string& name, const TColumns& extra = {});
  void AddMessages(int id, const std::string& idle, const std::string& gateUp);
  void AddLot(int id, int count, int maxCapacity);
  TODBC& Db() { return site_.Db(); }

  // --- settings file and registry ---
  std::string SettingsFile() const;
  // Writes one key into the settings file ([Settings] unless given).
  void SetSetting(const std::string& key, const std::string& value,
                  const std::string& section = "Settings");
  bool SettingExists(const std::string& key, const std::string& section = "Settings") const;
  std::string Setting(const std::string& key, const std::string& section = "Settings") const;
  // Rewrites the registry store with one more (or another) value.
  void SetRegistryDword(const std::string& name, unsigned value);
  void SetRegistryString(const std::string& name, const std::string& value);

  // --- simulator ---
  // Opens the simulator on a pseudo-terminal, plays the devices at the given
  // addresses and names it as COM<port> in the settings file.
  void StartSim(int port, const std::vector<int>& addresses);
  sim::TSimulator& Sim() { return *sim_; }
  // Waits until a frame with this letter (and data starting with prefix) was
  // received for the address; returns it through out when found.
  bool WaitFrame(int address, char letter, const std::string& dataPrefix = "",
                 sim::TReceivedFrame* out = nullptr,
                 std::chrono::milliseconds deadline = kDeadline);
  // The frames received so far with this address and letter.
  std::vector<sim::TReceivedFrame> FramesOf(int address, char letter);
  // Waits until the line shows at least `polls` more card polls ('C') to the
  // address: by then every command queued before has gone out.
  bool WaitPolls(int address, int polls = 3, std::chrono::milliseconds deadline = kDeadline);
  // The same for any command letter ('R' counter polls, 'I' input polls).
  bool WaitPollsOf(int address, char letter, int count,
                   std::chrono::milliseconds deadline = kDeadline);

  // --- the loop (main thread) ---
  void CreateLoop(int loopId);
  void DestroyLoop();
  TLoop& Loop() { return *loop_; }
  // The loop's own state, as tests read and set it.
  TLoopTestPeer Peer() { return TLoopTestPeer(*loop_); }
  bool HasLoop() const { return loop_ != nullptr; }
  void OnMain(std::function<void()> fn) { main_->Do(std::move(fn)); }

  // --- log ---
  std::string LogText();
  int LogCount(const std::string& text) { return CountOf(LogText(), text); }
  bool WaitLog(const std::string& text, int times = 1,
               std::chrono::milliseconds deadline = kDeadline);

  TempDir dir_;
  std::unique_ptr<TMessLog> log_;
  TSiteDatabase site_;
  std::unique_ptr<TMainThread> main_;
  std::unique_ptr<sim::TSimulator> sim_;
  std::unique_ptr<TLoop> loop_;
  std::string logFile_;
  std::string registryFile_;
  TRegistryValues registryOverrides_;

 private:
  void WriteRegistry();
};

// The same fixture run once per backend (INSTANTIATE_TEST_SUITE_P with
// LoopBackends()). MariaDB runs skip loudly without the private server, and
// fail instead under CI=true.
class LoopFixtureP : public LoopFixture, public ::testing::WithParamInterface<LoopBackend> {
 protected:
  LoopBackend Backend() const override { return GetParam(); }
};
inline ::testing::internal::ParamGenerator<LoopBackend> LoopBackends() { return Backends(); }

}  // namespace orlo::test
