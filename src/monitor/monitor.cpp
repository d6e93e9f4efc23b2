// TMonitor and TLoopMonitor: the counter blocks, the board the main thread
// keeps and publishes, and the server that shows both.
#include "monitor/monitor.h"

#include <arpa/inet.h>

#include <algorithm>

#include "config/inifile.h"
#include "monitor/httpserver.h"
#include "monitor/statuspage.h"
#include "platform/program.h"

namespace orlo {

namespace {

constexpr char kSection[] = "Monitor";
constexpr char kMetricsPath[] = "/metrics";
constexpr char kStatusPath[] = "/status";
constexpr char kStatusJsonPath[] = "/status.json";

// Orders the decisions of all loops for the page.
std::atomic<std::uint64_t> decisionSequence{0};

bool ValidAddress(int address) { return address >= 0 && address < kAddressSlots; }

std::string ListenText(const TMonitorSettings& settings, int port) {
  return "http://" + settings.Address + ":" + std::to_string(port) + "/";
}

// The server's own option syntax would read more into other text (a list of
// ports, flags for TLS or redirects): only a plain IPv4 address and port pass.
std::string SettingsProblem(const TMonitorSettings& settings) {
  in_addr parsed{};
  if (inet_pton(AF_INET, settings.Address.c_str(), &parsed) != 1)
    return "HTTP Address \"" + settings.Address + "\" is not an IPv4 address";
  if (settings.Port < 0 || settings.Port > 65535)
    return "HTTP Port " + std::to_string(settings.Port) + " is not a port number";
  return "";
}

}  // namespace

// MetricsText lives in metrics.cpp.

TMonitorSettings TMonitorSettings::Read(TIniFileEx& ini) {
  TMonitorSettings s;
  s.Enabled = ini.ReadBoolEx(kSection, "HTTP Server", s.Enabled);
  s.Address = ini.ReadStringEx(kSection, "HTTP Address", s.Address);
  s.Port = ini.ReadIntegerEx(kSection, "HTTP Port", s.Port);
  return s;
}

// ---- TLoopMonitor ----

TLoopMonitor::TLoopMonitor(int loopId) : loopId_(loopId) {}

void TLoopMonitor::SetUp(int port) {
  present_ = true;
  port_ = port;
  portOpen_ = false;
  devices_.clear();
}

void TLoopMonitor::LineOpened(int firstAddress, int lastAddress) {
  portOpen_ = true;
  firstAddress_ = std::max(firstAddress, 0);
  lastAddress_ = std::min(lastAddress, kAddressSlots - 1);
}

void TLoopMonitor::AddDevice(int address, const std::string& name, const std::string& kind) {
  TDevice& device = Device(address);
  device.name = name;
  device.kind = kind;
}

void TLoopMonitor::Close() {
  present_ = false;
  portOpen_ = false;
  devices_.clear();
}

TLoopMonitor::TDevice& TLoopMonitor::Device(int address) { return devices_[address]; }

void TLoopMonitor::Report(int address, TReportKind kind, const std::string& text) {
  if (!ValidAddress(address)) return;
  reports_[address][static_cast<std::size_t>(kind)].fetch_add(1, std::memory_order_relaxed);
  TDevice& device = Device(address);
  static const char* const kNames[kReportKinds] = {"card",    "memory card", "ticket",  "barcode",
                                                   "counter", "input",       "printer", "power-up"};
  device.lastReport = kNames[static_cast<std::size_t>(kind)];
  if (!text.empty()) device.lastReport += " " + text;
  device.lastReportTime = Now();
}

void TLoopMonitor::GateHeld(int address, bool up) {
  if (ValidAddress(address)) Device(address).gateUp = up;
}

void TLoopMonitor::Decision(int address, const std::string& card, int code) {
  decisions_[static_cast<std::size_t>(code) & 15].fetch_add(1, std::memory_order_relaxed);
  decisionsKept_.push_front(TDecision{Now(), ++decisionSequence, address, card, code});
  if (decisionsKept_.size() > kDecisionsKept) decisionsKept_.pop_back();
}

void TLoopMonitor::CardToGate(std::chrono::nanoseconds latency) { cardToGate_.Observe(latency); }

void TLoopMonitor::UndecidedAnswer(bool opened) {
  (opened ? lowSecurity_ : refusedUndecided_).fetch_add(1, std::memory_order_relaxed);
}

// ---- TMonitor ----

TMonitor::TMonitor()
    : startedUnix_(
          std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
              .count()) {}

TMonitor::~TMonitor() { Stop(); }

TLoopMonitor& TMonitor::Loop(int loopId) {
  TLockGuard lock(registryLock_);
  auto& slot = loops_[loopId];
  if (!slot) slot = std::make_unique<TLoopMonitor>(loopId);
  return *slot;
}

std::shared_ptr<TDBCounters> TMonitor::Connection(const std::string& name) {
  TLockGuard lock(registryLock_);
  for (const TConnection& connection : connections_)
    if (connection.name == name) return connection.counters;
  connections_.push_back(TConnection{name, std::make_shared<TDBCounters>()});
  return connections_.back().counters;
}

void TMonitor::Configure(const TMonitorSettings& settings, TMessLog* log) {
  if (server_ && settings == running_) return;
  Stop();
  running_ = settings;
  if (!settings.Enabled) return;
  if (const std::string problem = SettingsProblem(settings); !problem.empty()) {
    if (log) log->Log("Monitor: " + problem + "; metrics and status page are off");
    return;
  }
  auto server = std::make_unique<detail::THttpServer>(
      std::vector<std::string>{kMetricsPath, kStatusPath, kStatusJsonPath},
      [this](const std::string& path) { return Respond(path); });
  std::string error;
  if (!server->Start(settings.Address, settings.Port, error)) {
    if (log)
      log->Log("Monitor: cannot listen on " + ListenText(settings, settings.Port) + ": " + error +
               "; metrics and status page are off");
    return;
  }
  server_ = std::move(server);
  if (log)
    log->Log("Monitor: metrics and status page on " + ListenText(settings, server_->Port()) +
             " (metrics, status, status.json)");
}

void TMonitor::Stop() { server_.reset(); }

int TMonitor::Port() const { return server_ ? server_->Port() : 0; }

void TMonitor::Publish() {
  auto snapshot = std::make_shared<detail::TStatusSnapshot>();
  snapshot->version = ProgramVersion();
  snapshot->published = Now();
  std::vector<std::pair<std::uint64_t, detail::TDecisionStatus>> decisions;
  {
    TLockGuard lock(registryLock_);
    for (const TConnection& connection : connections_)
      snapshot->connections.push_back({connection.name, connection.counters});
    for (const auto& [id, loop] : loops_) {
      snapshot->connections.push_back({"loop " + std::to_string(id), loop->db_});
      for (const TLoopMonitor::TDecision& d : loop->decisionsKept_)
        decisions.push_back({d.sequence, {d.time, id, d.address, d.card, d.code}});
      if (!loop->present_) continue;
      detail::TLoopStatus status{id, loop->port_, loop->portOpen_, {}, loop->line_};
      for (const auto& [address, device] : loop->devices_)
        status.devices.push_back({address, device.name, device.kind, device.lastReport,
                                  device.lastReportTime, device.gateUp});
      snapshot->loops.push_back(std::move(status));
    }
  }
  std::sort(decisions.begin(), decisions.end(),
            [](const auto& a, const auto& b) { return a.first > b.first; });
  if (decisions.size() > TLoopMonitor::kDecisionsKept)
    decisions.resize(TLoopMonitor::kDecisionsKept);
  for (auto& [sequence, decision] : decisions) snapshot->decisions.push_back(std::move(decision));
  TLockGuard lock(snapshotLock_);
  snapshot_ = std::move(snapshot);
}

detail::THttpResponse TMonitor::Respond(const std::string& path) const {
  if (path == kMetricsPath) return {"text/plain; version=0.0.4; charset=utf-8", MetricsText()};
  std::shared_ptr<const detail::TStatusSnapshot> published;
  {
    TLockGuard lock(snapshotLock_);
    published = snapshot_;
  }
  detail::TStatusSnapshot status = published ? *published : detail::TStatusSnapshot{};
  if (!published) status.version = ProgramVersion();
  status.uptimeSeconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started_)
          .count();
  if (path == kStatusJsonPath) return {"application/json", detail::StatusJson(status)};
  return {"text/html; charset=utf-8", detail::StatusHtml(status)};
}

}  // namespace orlo
