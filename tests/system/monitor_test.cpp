// The real orlocard program with its monitor switched on: /metrics and the
// status page of a site deciding cards (SQLite and MariaDB), across a restart
// request, through a flood of bad requests, with its port taken, off by
// default, and the status page as a real browser (headless Chromium) shows it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "config/inifile.h"
#include "sitefixture.h"
#include "support/http.h"

namespace orlo::test {
namespace {

namespace fs = std::filesystem;

constexpr char kListening[] = "Monitor: metrics and status page on http://127.0.0.1:";

// The answers to cards the simulator received for an address: 'G' opens the
// gate (data: the pulse in three digits, then the text), 'B' refuses (data:
// the text).
std::vector<sim::TReceivedFrame> GateFrames(sim::TSimulator& sim, int address) {
  std::vector<sim::TReceivedFrame> out;
  for (const auto& f : sim.Frames())
    if (f.frame.address == address && (f.frame.letter == 'G' || f.frame.letter == 'B'))
      out.push_back(f);
  return out;
}

std::string GateText(const sim::TReceivedFrame& f) {
  if (f.frame.letter == 'B') return f.frame.data;
  return f.frame.data.size() > 3 ? f.frame.data.substr(3) : "";
}

std::string ReadAll(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The value of one series of the metrics text; -1 when it is not there.
double Series(const std::string& metrics, const std::string& series) {
  const auto at = metrics.find("\n" + series + " ");
  if (at == std::string::npos) return -1;
  return std::atof(metrics.c_str() + at + series.size() + 2);
}

class MonitorFixture : public SystemFixture {
 protected:
  void SwitchMonitorOn(int port = 0) {
    TIniFileEx ini(SettingsFile());
    ini.WriteString("Monitor", "HTTP Server", "1");
    ini.WriteString("Monitor", "HTTP Port", std::to_string(port));
  }
  // The port the running program's monitor named in its log.
  int MonitorPort() {
    if (!WaitLog(kListening)) return 0;
    const std::string log = LogText();
    return std::atoi(log.c_str() + log.rfind(kListening) + sizeof kListening - 1);
  }
  // Starts the program with its monitor on a free port and learns the port.
  void StartWithMonitor() {
    SwitchMonitorOn();
    StartProgram();
    ASSERT_TRUE(WaitLog("Started!")) << LogText();
    port_ = MonitorPort();
    ASSERT_GT(port_, 0) << LogText();
  }
  std::string Get(const std::string& path) {
    const THttpResult r = HttpRequest(port_, path);
    return r.status == 200 ? r.body : "";
  }
  bool WaitSeries(const std::string& series, double value) {
    return WaitUntil([&] { return Series(Get("/metrics"), series) == value; });
  }
  // Presents a card at the entry reader and waits for its gate answer.
  std::string Present(sim::TSimulator& sim, const std::string& card) {
    const std::size_t before = GateFrames(sim, 1).size();
    sim.QueueReply(1, 'C', card);
    if (!WaitUntil([&] { return GateFrames(sim, 1).size() > before; })) return "";
    return GateText(GateFrames(sim, 1)[before]);
  }

  int port_ = 0;
};

class MonitorSiteTest : public MonitorFixture, public ::testing::WithParamInterface<Backend> {
 protected:
  Backend Kind() const override { return GetParam(); }
};

TEST_P(MonitorSiteTest, MetricsAndStatusShowTheSiteAndKeepCountingAcrossARestartRequest) {
  ASSERT_TRUE(site_.LoadDemo());
  Exec("UPDATE device SET name = '<script>alert(1)</script> & \"Exit\"' WHERE id = 2");
  auto& sim = StartSim(1, {1, 2, 3, 4});
  ASSERT_NO_FATAL_FAILURE(StartWithMonitor());

  EXPECT_EQ(Present(sim, "1001"), "Welcome Ann Lee");
  EXPECT_EQ(Present(sim, "4711"), "Card 4711 unknown");
  ASSERT_TRUE(WaitSeries("orlocard_decisions_total{loop=\"1\",code=\"0\"}", 1)) << Get("/metrics");
  ASSERT_TRUE(WaitSeries("orlocard_decisions_total{loop=\"1\",code=\"1\"}", 1));
  const std::string m = Get("/metrics");
  EXPECT_EQ(Series(m, "orlocard_card_to_gate_seconds_count{loop=\"1\"}"), 2) << m;
  EXPECT_EQ(Series(m, "orlocard_reports_total{loop=\"1\",address=\"1\",kind=\"card\"}"), 2);
  EXPECT_EQ(Series(m, "orlocard_device_online{loop=\"1\",address=\"4\"}"), 1);
  EXPECT_GT(Series(m, "orlocard_bus_polls_total{loop=\"1\",address=\"3\"}"), 0);
  EXPECT_GT(Series(m, "orlocard_bus_replies_total{loop=\"1\",address=\"3\"}"), 0);
  EXPECT_GT(Series(m, "orlocard_bus_commands_total{loop=\"1\",address=\"1\"}"), 0);
  EXPECT_EQ(Series(m, "orlocard_db_connection_up{connection=\"service\"}"), 1);
  EXPECT_EQ(Series(m, "orlocard_db_connection_up{connection=\"loop 1\"}"), 1);
  EXPECT_GT(Series(m, "orlocard_db_statements_total{connection=\"loop 1\"}"), 10);
  EXPECT_EQ(Series(m, "orlocard_db_statement_failures_total{connection=\"loop 1\"}"), 0);
  EXPECT_GT(Series(m, "orlocard_log_lines_written_total"), 10);
  EXPECT_EQ(Series(m, "orlocard_mail_queued_total"), 0);

  ASSERT_TRUE(WaitUntil(
      [&] { return Get("/status.json").find("\"card\":\"4711\"") != std::string::npos; }));
  const std::string j = Get("/status.json");
  EXPECT_NE(j.find("{\"name\":\"service\",\"state\":\"connected\"}"), std::string::npos) << j;
  EXPECT_NE(j.find("{\"loop\":1,\"port\":1,\"port_open\":true"), std::string::npos) << j;
  EXPECT_NE(j.find("{\"address\":1,\"name\":\"Entry reader\",\"kind\":\"card reader\","
                   "\"state\":\"online\",\"gate_held_open\":false,\"last_report\":\"card 4711\""),
            std::string::npos)
      << j;
  EXPECT_NE(j.find("\"name\":\"\\u003cscript\\u003ealert(1)\\u003c/script\\u003e \\u0026 "
                   "\\\"Exit\\\"\""),
            std::string::npos)
      << j;
  EXPECT_NE(
      j.find("\"loop\":1,\"address\":1,\"card\":\"4711\",\"code\":1,\"result\":\"not on file\""),
      std::string::npos)
      << j;
  EXPECT_NE(j.find("\"card\":\"1001\",\"code\":0,\"result\":\"accepted\""), std::string::npos);
  const std::string page = Get("/status");
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt; &amp; &quot;Exit&quot;"),
            std::string::npos)
      << page;

  // A restart request rebuilds the loops: the server and the counts go on.
  Exec("UPDATE settings SET reset_tolvsql = 1");
  ASSERT_TRUE(WaitLog("Started!", 2)) << LogText();
  EXPECT_EQ(LogCount(kListening), 1) << LogText();
  EXPECT_EQ(Present(sim, "1002"), "Welcome Bob Hart");
  EXPECT_TRUE(WaitSeries("orlocard_decisions_total{loop=\"1\",code=\"0\"}", 2)) << Get("/metrics");
  EXPECT_TRUE(WaitUntil(
      [&] { return Get("/status.json").find("\"card\":\"1002\"") != std::string::npos; }));
  EXPECT_NE(Get("/status.json").find("\"card\":\"4711\""), std::string::npos);
  EXPECT_EQ(StopProgram(), 0);
  EXPECT_EQ(HttpRequest(port_, "/metrics").status, 0) << "the server outlived the service";
}

INSTANTIATE_TEST_SUITE_P(Sites, MonitorSiteTest,
                         ::testing::Values(Backend::SQLite, Backend::MariaDB), BackendName);

using MonitorFloodTest = MonitorFixture;

// Cards 5000, 5001, ... each presented once (no passback), named "N<i>".
TEST_F(MonitorFloodTest, CardsAreDecidedWhileBadRequestsFloodTheServer) {
  constexpr int kFirstCard = 5000;
  constexpr int kCards = 40;
  ASSERT_TRUE(site_.LoadDemo());
  AddNamedCards(kFirstCard, kCards);
  auto& sim = StartSim(1, {1, 2, 3, 4});
  ASSERT_NO_FATAL_FAILURE(StartWithMonitor());

  const std::vector<std::string> bad = {
      "\x16\x03\x01\x00\xa5garbage\r\n\r\n",
      "GET /metrics HTTP/1.1\r\nX: " + std::string(100 * 1024, 'a') + "\r\n\r\n",
      "POST /status HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + std::string(4096, 'b'),
      "GET /../../../etc/passwd HTTP/1.0\r\n\r\n",
      "GET /metrics HTTP/1.1\r\nHost: x\r\n",  // never ends
      std::string(8192, '\n'),
      "BREW /status HTTP/1.1\r\n\r\n",
  };
  std::atomic<int> sent{0};
  auto flood = [&](std::stop_token stop, std::size_t first) {
    for (std::size_t i = first; !stop.stop_requested(); ++i) {
      const std::string& request = bad[i % bad.size()];
      RawExchange(port_, request, request.find("Host: x") != std::string::npos ? 300 : 0);
      ++sent;
    }
  };
  std::jthread flood1(flood, 0);
  std::jthread flood2(flood, 3);

  std::set<std::string> answers;
  for (int i = 0; i < kCards; ++i) answers.insert(Present(sim, std::to_string(kFirstCard + i)));
  flood1.request_stop();
  flood2.request_stop();
  flood1.join();
  flood2.join();
  EXPECT_GT(sent.load(), 0);

  for (int i = 0; i < kCards; ++i)
    EXPECT_EQ(answers.count("Welcome N" + std::to_string(i) + " X"), 1u) << "card " << i;
  EXPECT_EQ(CountRows("trans"), kCards);
  EXPECT_TRUE(Running());
  EXPECT_TRUE(WaitSeries("orlocard_decisions_total{loop=\"1\",code=\"0\"}", kCards));
  EXPECT_EQ(HttpRequest(port_, "/status", "POST").status, 405);
  EXPECT_EQ(StopProgram(), 0);
}

using MonitorPortTest = MonitorFixture;

TEST_F(MonitorPortTest, APortInUseIsALogLineAndTheSiteRunsOn) {
  const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  socklen_t length = sizeof address;
  getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
  const int taken = ntohs(address.sin_port);

  ASSERT_TRUE(site_.LoadDemo());
  auto& sim = StartSim(1, {1, 2, 3, 4});
  SwitchMonitorOn(taken);
  StartProgram();
  EXPECT_TRUE(
      WaitLog("Monitor: cannot listen on http://127.0.0.1:" + std::to_string(taken) + "/: "))
      << LogText();
  ASSERT_TRUE(WaitLog("Started!")) << LogText();
  EXPECT_EQ(Present(sim, "1001"), "Welcome Ann Lee");
  EXPECT_EQ(StopProgram(), 0);
  close(holder);
}

TEST_F(MonitorPortTest, OffByDefaultWithItsSettingsWrittenBack) {
  ASSERT_TRUE(site_.LoadDemo());
  auto& sim = StartSim(1, {1, 2, 3, 4});
  StartProgram();
  ASSERT_TRUE(WaitLog("Started!")) << LogText();
  EXPECT_EQ(Present(sim, "1001"), "Welcome Ann Lee");
  EXPECT_EQ(StopProgram(), 0);
  EXPECT_EQ(LogText().find("Monitor:"), std::string::npos) << LogText();
  const std::string ini = ReadAll(SettingsFile());
  for (const char* key : {"[Monitor]", "HTTP Server=0", "HTTP Address=127.0.0.1", "HTTP Port=9464"})
    EXPECT_NE(ini.find(key), std::string::npos) << key << "\n" << ini;
}

// --- the status page in a real browser ---

std::string BrowserPath() {
  for (const char* candidate : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
    if (fs::exists(candidate)) return candidate;
  return "";
}

// Runs the browser headless (as root in CI: no sandbox), at most 90 seconds;
// its standard output.
std::string RunBrowser(const std::string& browser, const std::string& profile,
                       const std::string& arguments) {
  const std::string command =
      "timeout -k 5 90 '" + browser +
      "' --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
      " --disable-background-networking --disable-component-update --disable-sync"
      " --user-data-dir='" +
      profile + "' " + arguments + " 2>'" + profile + ".stderr'";
  std::string output;
  if (FILE* out = popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, out)) > 0) output.append(buffer, n);
    pclose(out);
  }
  return output;
}

using MonitorBrowserTest = MonitorFixture;

TEST_F(MonitorBrowserTest, HeadlessChromiumShowsTheSiteOnThePhoneSizedStatusPage) {
  const std::string browser = BrowserPath();
  if (browser.empty())
    GTEST_SKIP() << "NOT TESTED: chromium is not installed (scripts/setup-deps installs it)";
  ASSERT_TRUE(site_.LoadDemo());
  auto& sim = StartSim(1, {1, 2, 3, 4});
  ASSERT_NO_FATAL_FAILURE(StartWithMonitor());
  EXPECT_EQ(Present(sim, "1001"), "Welcome Ann Lee");
  ASSERT_TRUE(WaitUntil(
      [&] { return Get("/status.json").find("\"card\":\"1001\"") != std::string::npos; }));

  const std::string url = "http://127.0.0.1:" + std::to_string(port_) + "/status";
  const std::string dom = RunBrowser(browser, dir_.file("profile-dom"), "--dump-dom " + url);
  ASSERT_NE(dom.find("<h1>orlocard</h1>"), std::string::npos)
      << "the browser showed no page:\n"
      << dom << "\n"
      << ReadAll(dir_.file("profile-dom.stderr"));
  for (const char* shown : {"Loop 1 · COM1", "Entry reader", "Exit barcode reader", "online",
                            "card 1001", ">1001<", "accepted", "connected"})
    EXPECT_NE(dom.find(shown), std::string::npos) << shown << "\n" << dom;

  const fs::path folder = fs::path(ORLO_TEST_OUTPUT_DIR);
  fs::create_directories(folder);
  const fs::path shot = folder / "status-page.png";
  fs::remove(shot);
  RunBrowser(browser, dir_.file("profile-shot"),
             "--hide-scrollbars --window-size=412,915 --screenshot='" + shot.string() + "' " + url);
  ASSERT_TRUE(fs::exists(shot)) << ReadAll(dir_.file("profile-shot.stderr"));
  std::ifstream png(shot, std::ios::binary);
  char magic[8] = {};
  png.read(magic, sizeof magic);
  EXPECT_EQ(std::string(magic, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_GT(fs::file_size(shot), 5000u);
  std::printf("status page screenshot: %s\n", shot.string().c_str());
  EXPECT_EQ(StopProgram(), 0);
}

}  // namespace
}  // namespace orlo::test
