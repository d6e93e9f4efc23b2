#include "loopfixture.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "config/inifile.h"
#include "config/registryex.h"
#include "platform/program.h"
#include "platform/registrystore.h"
#include "support/sqlfile.h"

namespace orlo::test {

bool HaveMariaDB() {
  MariaDBServer server;
  return FindMariaDB(server);
}

// --- TMainThread ---

TMainThread::TMainThread() : thread_([this] { loop_.Run(); }) {}

TMainThread::~TMainThread() { loop_.Stop(); }

void TMainThread::Do(std::function<void()> fn) {
  std::stop_source never;
  loop_.RunAndWait(std::move(fn), never.get_token());
}

// --- LoopFixture ---

void LoopFixture::SetUp() {
  SetHomeFolder(dir_.path().string());
  logFile_ = dir_.file("log/tolvsql.log");
  log_ = std::make_unique<TMessLog>(logFile_, false, false, false, true);
  if (IsMariaDB()) {
    MariaDBServer server;
    ORLO_REQUIRE_MARIADB(server);
    ASSERT_TRUE(site_.CreateMariaDB(server, "loop_", log_.get())) << LogText();
  } else {
    ASSERT_TRUE(site_.CreateSQLite(dir_.file("site.db"), log_.get())) << LogText();
  }
  registryFile_ = dir_.file("registry.reg");
  SetRegistryFileName(registryFile_);
  WriteRegistry();
  main_ = std::make_unique<TMainThread>();
}

void LoopFixture::WriteRegistry() {
  // No host: the supervisor then skips its ICMP ping, which an unprivileged
  // test run may not be allowed to send; the server is named in the options.
  TRegistryValues values = {{"Host", RegString("")}};
  for (const auto& v : site_.RegistryValues()) values.push_back(v);
  // Later values replace earlier ones of the same name.
  for (const auto& [name, value] : registryOverrides_) {
    bool replaced = false;
    for (auto& v : values)
      if (v.first == name) {
        v.second = value;
        replaced = true;
      }
    if (!replaced) values.emplace_back(name, value);
  }
  WriteRegistryStore(registryFile_, values);
}

void LoopFixture::SetRegistryDword(const std::string& name, unsigned value) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08x", value);
  registryOverrides_.emplace_back(name, std::string("dword:") + hex);
  WriteRegistry();
}

void LoopFixture::SetRegistryString(const std::string& name, const std::string& value) {
  registryOverrides_.emplace_back(name, RegString(value));
  WriteRegistry();
}

void LoopFixture::TearDown() {
  if (main_) {
    if (loop_) DestroyLoop();
    main_.reset();
  }
  sim_.reset();
  site_.Close();
}

void LoopFixture::Exec(const std::string& sql) {
  EXPECT_TRUE(site_.Exec(sql)) << sql << "\n" << LogText();
}

void LoopFixture::AddLoop(int id, const std::string& name, int port, bool enabled, bool rfModem) {
  Exec("INSERT INTO " + Db().QuoteTable("loop") + " (id, name, enabled, port, rfmodem) VALUES (" +
       std::to_string(id) + ", '" + name + "', " + (enabled ? "1" : "0") + ", " +
       std::to_string(port) + ", " + (rfModem ? "1" : "0") + ")");
}

int LoopFixture::AddDevice(int loopId, int address, const std::string& name,
                           const TColumns& extra) {
  std::string cols = "loop_id, addr_ess, name";
  std::string vals = std::to_string(loopId) + ", " + std::to_string(address) + ", '" + name + "'";
  for (const auto& [col, val] : extra) {
    cols += ", " + col;
    vals += ", " + val;
  }
  Exec("INSERT INTO device (" + cols + ") VALUES (" + vals + ")");
  return QueryInt("SELECT id FROM device WHERE loop_id = " + std::to_string(loopId) +
                  " and addr_ess = " + std::to_string(address));
}

void LoopFixture::AddMessages(int id, const std::string& idle, const std::string& gateUp) {
  Exec("INSERT INTO messages (id, idle, gateup) VALUES (" + std::to_string(id) + ", '" + idle +
       "', '" + gateUp + "')");
}

void LoopFixture::AddLot(int id, int count, int maxCapacity) {
  Exec("INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (" + std::to_string(id) +
       ", 'Lot " + std::to_string(id) + "', " + std::to_string(count) + ", " +
       std::to_string(maxCapacity) + ")");
}

std::string LoopFixture::SettingsFile() const { return SettingsFileName(); }

void LoopFixture::SetSetting(const std::string& key, const std::string& value,
                             const std::string& section) {
  TIniFileEx ini(SettingsFile());
  ini.WriteString(section, key, value);
}

bool LoopFixture::SettingExists(const std::string& key, const std::string& section) const {
  TIniFileEx ini(SettingsFile());
  return ini.ValueExists(section, key);
}

std::string LoopFixture::Setting(const std::string& key, const std::string& section) const {
  TIniFileEx ini(SettingsFile());
  return ini.ReadString(section, key, "");
}

void LoopFixture::StartSim(int port, const std::vector<int>& addresses) {
  sim_ = std::make_unique<sim::TSimulator>();
  std::string error;
  ASSERT_TRUE(sim_->OpenPty(error)) << error;
  for (int a : addresses) sim_->AddDevice(a);
  SetSetting("COM" + std::to_string(port), sim_->Path(), "Ports");
}

bool LoopFixture::WaitFrame(int address, char letter, const std::string& dataPrefix,
                            sim::TReceivedFrame* out, std::chrono::milliseconds deadline) {
  if (!sim_) return false;
  sim::TReceivedFrame found;
  bool ok = sim_->WaitFrames(
      [&](const std::vector<sim::TReceivedFrame>& frames) {
        for (const auto& f : frames) {
          if (f.frame.address == address && f.frame.letter == letter &&
              f.frame.data.rfind(dataPrefix, 0) == 0) {
            found = f;
            return true;
          }
        }
        return false;
      },
      deadline);
  if (ok && out) *out = found;
  return ok;
}

std::vector<sim::TReceivedFrame> LoopFixture::FramesOf(int address, char letter) {
  std::vector<sim::TReceivedFrame> out;
  if (!sim_) return out;
  for (const auto& f : sim_->Frames())
    if (f.frame.address == address && f.frame.letter == letter) out.push_back(f);
  return out;
}

bool LoopFixture::WaitPolls(int address, int polls, std::chrono::milliseconds deadline) {
  return WaitPollsOf(address, 'C', polls, deadline);
}

bool LoopFixture::WaitPollsOf(int address, char letter, int count,
                              std::chrono::milliseconds deadline) {
  if (!sim_) return false;
  const std::size_t start = FramesOf(address, letter).size();
  return sim_->WaitFrames(
      [&](const std::vector<sim::TReceivedFrame>& frames) {
        std::size_t n = 0;
        for (const auto& f : frames) n += f.frame.address == address && f.frame.letter == letter;
        return n >= start + static_cast<std::size_t>(count);
      },
      deadline);
}

void LoopFixture::CreateLoop(int loopId) {
  OnMain([&] {
    TLoopContext context;
    context.MessLog = log_.get();
    context.MainLoop = &main_->Loop();
    loop_ = std::make_unique<TLoop>(context, loopId);
  });
}

void LoopFixture::DestroyLoop() {
  OnMain([&] { loop_.reset(); });
}

std::string LoopFixture::LogText() {
  if (log_) log_->Log("");
  return ReadFile(logFile_);
}

bool LoopFixture::WaitLog(const std::string& text, int times, std::chrono::milliseconds deadline) {
  return WaitUntil([&] { return LogCount(text) >= times; }, deadline);
}

}  // namespace orlo::test
