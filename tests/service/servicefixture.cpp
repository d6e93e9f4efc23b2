#include "servicefixture.h"

#include <filesystem>

#include "config/inifile.h"
#include "loop/loop.h"
#include "platform/program.h"
#include "platform/registrystore.h"
#include "support/sqlfile.h"

namespace orlo::test {

void ServiceFixture::SetUp() {
  SiteDbFixture::SetUp();
  if (HasFatalFailure()) return;
  SetHomeFolder(dir_.path().string());
  SetRegistryFileName(dir_.file("registry.reg"));
  WriteRegistry();
  mainLoop_ = std::make_unique<TMainLoop>();
  mainThread_ = std::jthread([this] { mainLoop_->Run(); });
}

void ServiceFixture::TearDown() {
  if (mainLoop_) {
    if (service_) OnService([this](TOrloCard&) { service_.reset(); });
    mainLoop_->Stop();
    mainThread_.join();
    mainLoop_.reset();
  }
  sim_.reset();
  ClearTestNow();
  SiteDbFixture::TearDown();
}

void ServiceFixture::WriteRegistry(const std::string& computerName) {
  // No host: the supervisor then sends no ICMP ping (a test may not be
  // allowed to); the database is a file.
  TRegistryValues values = {{"Host", RegString("")}, {"DebugLog", "dword:00000001"}};
  for (const auto& v : site_.RegistryValues()) values.push_back(v);
  WriteRegistryStore(dir_.file("registry.reg"), values, computerName);
}

void ServiceFixture::AddLoop(int id, const std::string& name, bool enabled, int port) {
  Exec("INSERT INTO " + Db().QuoteTable("loop") + " (id, name, enabled, port) VALUES (" +
       std::to_string(id) + ", '" + name + "', " + (enabled ? "1" : "0") + ", " +
       std::to_string(port) + ")");
}

int ServiceFixture::AddDevice(int loopId, int address, const std::string& extraCols,
                              const std::string& extraVals) {
  Exec("INSERT INTO device (loop_id, addr_ess, name" + extraCols + ") VALUES (" +
       std::to_string(loopId) + ", " + std::to_string(address) + ", 'Gate " +
       std::to_string(address) + "'" + extraVals + ")");
  return QueryInt("SELECT id FROM device WHERE loop_id = " + std::to_string(loopId) +
                  " and addr_ess = " + std::to_string(address));
}

void ServiceFixture::StartSim(const std::vector<int>& addresses) {
  sim_ = std::make_unique<sim::TSimulator>();
  std::string error;
  ASSERT_TRUE(sim_->OpenPty(error)) << error;
  for (int a : addresses) sim_->AddDevice(a);
  TIniFileEx ini(SettingsFileName());
  ini.WriteString("Ports", "COM1", sim_->Path());
}

void ServiceFixture::MakeService() {
  std::stop_source never;
  mainLoop_->RunAndWait([this] { service_ = std::make_unique<TOrloCard>(*mainLoop_); },
                        never.get_token());
}

void ServiceFixture::OnService(const std::function<void(TOrloCard&)>& fn) {
  std::stop_source never;
  mainLoop_->RunAndWait([&] { fn(*service_); }, never.get_token());
}

bool ServiceFixture::StartUp() {
  if (!service_) MakeService();
  bool started = false;
  OnService([&](TOrloCard& s) {
    started = s.StartUp();
    s.timMain.SetEnabled(false);
    s.tmrRestart.SetEnabled(false);
  });
  return started;
}

std::vector<int> ServiceFixture::LoopIds() {
  std::vector<int> ids;
  OnService([&](TOrloCard& s) {
    for (const auto& loop : s.Loops) ids.push_back(loop->Id());
  });
  return ids;
}

std::string ServiceFixture::ServiceLog() {
  std::string all;
  std::error_code ec;
  const auto folder = dir_.path() / "log";
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
    all += ReadFile(entry.path().string());
  return all;
}

}  // namespace orlo::test
