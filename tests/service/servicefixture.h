// Fixture of the TOrloCard tests: a home folder with a registry store naming
// the SQLite site database and the computer "GATEPC", a main thread running a
// TMainLoop, the service made and driven on that thread, and the device
// simulator on a pseudo-terminal named as COM1.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/mainloop.h"
#include "service/orlocard.h"
#include "simulator.h"
#include "sitedb.h"
#include "support/wait.h"

namespace orlo::test {

class ServiceFixture : public SiteDbFixture {
 protected:
  void SetUp() override;
  void TearDown() override;

  void WriteRegistry(const std::string& computerName = "GATEPC");
  void AddLoop(int id, const std::string& name, bool enabled, int port = 1);
  int AddDevice(int loopId, int address, const std::string& extraCols = "",
                const std::string& extraVals = "");
  // The simulator with devices at the addresses, named as COM1.
  void StartSim(const std::vector<int>& addresses);

  // Makes the service on the main thread; runs fn there with it.
  void MakeService();
  void OnService(const std::function<void(TOrloCard&)>& fn);
  // StartUp with both timers off afterwards, so only the test drives ticks.
  bool StartUp();
  std::vector<int> LoopIds();

  // Every log file of the home folder, concatenated.
  std::string ServiceLog();
  int ServiceLogCount(const std::string& text) { return CountOf(ServiceLog(), text); }

  std::unique_ptr<TMainLoop> mainLoop_;
  std::jthread mainThread_;
  std::unique_ptr<TOrloCard> service_;
  std::unique_ptr<sim::TSimulator> sim_;
};

}  // namespace orlo::test
