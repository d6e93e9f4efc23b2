// The monitor on its own: what its HTTP server shows of the counters and the
// board, what it refuses, its settings, and a port already in use. Real
// requests over loopback (libcurl, raw sockets).
#include "monitor/monitor.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stop_token>
#include <thread>

#include "config/inifile.h"
#include "support/http.h"
#include "support/tempdir.h"
#include "support/wait.h"

namespace orlo::test {
namespace {

std::string ReadFile(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TMonitorSettings AnyFreePort() {
  TMonitorSettings settings;
  settings.Enabled = true;
  settings.Port = 0;
  return settings;
}

class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = std::make_unique<TMessLog>(dir_.file("monitor.log"), false, false, false, true);
  }
  std::string LogText() { return ReadFile(dir_.file("monitor.log")); }

  // A loop of two devices, one named with markup and bytes that are no text.
  void DescribeLoop(TMonitor& monitor) {
    TLoopMonitor& loop = monitor.Loop(4);
    loop.SetUp(1);
    loop.AddDevice(1, "Entry", "card reader");
    loop.AddDevice(2,
                   "<script>alert(1)</script>\xff\x01 S\xC3\xBC"
                   "d",
                   "barcode exit");
    loop.LineOpened(1, 2);
    loop.LineCounters()->address[1].online = 1;
    loop.LineCounters()->address[2].online = 0;
    loop.Report(1, TReportKind::Card, "1001");
    loop.Report(2, TReportKind::Barcode, "<b>0123</b>");
    loop.GateHeld(1, true);
    loop.Decision(1, "1001", 0);
    loop.Decision(1, "9999", 1);
    loop.Decision(2, "77", 12);
    loop.CardToGate(std::chrono::microseconds(800));
    loop.CardToGate(std::chrono::milliseconds(30));
    loop.UndecidedAnswer(true);
    monitor.Connection("service")->state = TDBCounters::Up;
    monitor.Publish();
  }

  TempDir dir_;
  std::unique_ptr<TMessLog> log_;
};

TEST_F(MonitorTest, MetricsAndStatusShowTheCountsAndTheBoardWithEveryOutsideTextEscaped) {
  TMonitor monitor;
  monitor.Configure(AnyFreePort(), log_.get());
  ASSERT_GT(monitor.Port(), 0) << LogText();
  EXPECT_NE(LogText().find("Monitor: metrics and status page on http://127.0.0.1:" +
                           std::to_string(monitor.Port()) + "/"),
            std::string::npos)
      << LogText();
  DescribeLoop(monitor);

  // The poll thread counts while the pages are read.
  auto& polled = monitor.Loop(4).LineCounters()->address[1];
  std::jthread poller([&](std::stop_token stop) {
    while (!stop.stop_requested()) {
      polled.polls.fetch_add(1);
      polled.replyLatency.Observe(std::chrono::milliseconds(3));
    }
  });

  const THttpResult metrics = HttpRequest(monitor.Port(), "/metrics");
  ASSERT_EQ(metrics.status, 200) << metrics.error;
  const std::string& m = metrics.body;
  for (const char* line : {
           "orlocard_decisions_total{loop=\"4\",code=\"0\"} 1\n",
           "orlocard_decisions_total{loop=\"4\",code=\"1\"} 1\n",
           "orlocard_decisions_total{loop=\"4\",code=\"12\"} 1\n",
           "orlocard_card_to_gate_seconds_bucket{loop=\"4\",le=\"0.001\"} 1\n",
           "orlocard_card_to_gate_seconds_bucket{loop=\"4\",le=\"0.05\"} 2\n",
           "orlocard_card_to_gate_seconds_count{loop=\"4\"} 2\n",
           "orlocard_low_security_answers_total{loop=\"4\"} 1\n",
           "orlocard_device_online{loop=\"4\",address=\"1\"} 1\n",
           "orlocard_device_online{loop=\"4\",address=\"2\"} 0\n",
           "orlocard_reports_total{loop=\"4\",address=\"2\",kind=\"barcode\"} 1\n",
           "orlocard_db_connection_up{connection=\"service\"} 1\n",
           "orlocard_db_connection_up{connection=\"loop 4\"} 0\n",
           "# TYPE orlocard_bus_reply_latency_seconds histogram\n",
       })
    EXPECT_NE(m.find(line), std::string::npos) << line << "\n" << m;
  EXPECT_NE(m.find("orlocard_build_info{version=\""), std::string::npos);
  EXPECT_NE(m.find("process_start_time_seconds "), std::string::npos);
  // Addresses outside the polled range have no series.
  EXPECT_EQ(m.find("address=\"3\""), std::string::npos);

  const THttpResult json = HttpRequest(monitor.Port(), "/status.json");
  ASSERT_EQ(json.status, 200) << json.error;
  EXPECT_NE(json.headers.find("Content-Type: application/json"), std::string::npos);
  const std::string& j = json.body;
  EXPECT_EQ(j.find('<'), std::string::npos) << j;
  EXPECT_NE(j.find("\"name\":\"\\u003cscript\\u003ealert(1)\\u003c/script\\u003e"
                   "\xEF\xBF\xBD\xEF\xBF\xBD S\xC3\xBC"
                   "d\""),
            std::string::npos)
      << j;
  EXPECT_NE(j.find("\"state\":\"online\",\"gate_held_open\":true,\"last_report\":\"card 1001\""),
            std::string::npos)
      << j;
  // Newest first.
  const auto soft = j.find("\"card\":\"77\",\"code\":12,\"result\":\"passback (let through)\"");
  const auto unknown = j.find("\"card\":\"9999\",\"code\":1,\"result\":\"not on file\"");
  const auto accepted = j.find("\"card\":\"1001\",\"code\":0,\"result\":\"accepted\"");
  ASSERT_NE(accepted, std::string::npos) << j;
  EXPECT_LT(soft, unknown);
  EXPECT_LT(unknown, accepted);

  const THttpResult page = HttpRequest(monitor.Port(), "/status");
  ASSERT_EQ(page.status, 200) << page.error;
  const std::string& h = page.body;
  EXPECT_NE(h.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos) << h;
  EXPECT_NE(h.find("barcode &lt;b&gt;0123&lt;/b&gt;"), std::string::npos) << h;
  EXPECT_EQ(h.find("<script"), std::string::npos);
  EXPECT_EQ(h.find("<b>"), std::string::npos);
  EXPECT_NE(h.find("http-equiv=\"refresh\""), std::string::npos);
  EXPECT_NE(h.find("Loop 4 &middot; COM1"), std::string::npos) << h;
  EXPECT_NE(page.headers.find("Content-Security-Policy: default-src 'none'"), std::string::npos);
}

TEST_F(MonitorTest, AnswersOnlyGetAndHeadOfItsPathsAndSurvivesBadRequests) {
  TMonitor monitor;
  monitor.Configure(AnyFreePort(), log_.get());
  const int port = monitor.Port();
  ASSERT_GT(port, 0) << LogText();

  for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS"}) {
    const THttpResult r = HttpRequest(port, "/metrics", method);
    EXPECT_EQ(r.status, 405) << method << " " << r.error;
    EXPECT_NE(r.headers.find("Allow: GET, HEAD"), std::string::npos) << r.headers;
  }
  for (const char* path : {"/", "/nope", "/metrics/", "/status.json.bak", "/../etc/passwd"})
    EXPECT_EQ(HttpRequest(port, path).status, 404) << path;
  const THttpResult head = HttpRequest(port, "/status", "HEAD");
  EXPECT_EQ(head.status, 200);
  EXPECT_TRUE(head.body.empty());

  // Bytes no client would send: the server answers with an error or closes.
  EXPECT_EQ(RawExchange(port, "\x16\x03\x01\x02\x00garbage\r\n\r\n").find("200 OK"),
            std::string::npos);
  EXPECT_EQ(
      RawExchange(port, "GET /metrics HTTP/1.1\r\nX: " + std::string(64 * 1024, 'a') + "\r\n\r\n")
          .find("200 OK"),
      std::string::npos);
  EXPECT_EQ(RawExchange(port, "GET /metrics\r\n\r\n").find("orlocard_"), std::string::npos);
  EXPECT_EQ(HttpRequest(port, "/metrics").status, 200);
}

TEST_F(MonitorTest, APortInUseIsALogLineAndIsTriedAgainAtTheNextConfigure) {
  TMonitor first;
  first.Configure(AnyFreePort(), log_.get());
  ASSERT_GT(first.Port(), 0);
  TMonitorSettings taken = AnyFreePort();
  taken.Port = first.Port();

  TMonitor second;
  second.Configure(taken, log_.get());
  EXPECT_EQ(second.Port(), 0);
  const std::string line =
      "Monitor: cannot listen on http://127.0.0.1:" + std::to_string(taken.Port) + "/: ";
  EXPECT_EQ(CountOf(LogText(), line), 1) << LogText();
  EXPECT_EQ(HttpRequest(first.Port(), "/metrics").status, 200);

  first.Stop();
  second.Configure(taken, log_.get());
  EXPECT_EQ(second.Port(), taken.Port) << LogText();
  EXPECT_EQ(HttpRequest(taken.Port, "/status.json").status, 200);
}

TEST_F(MonitorTest, AnAddressOrPortThatIsNotOneIsALogLineAndNoServer) {
  TMonitor monitor;
  TMonitorSettings settings = AnyFreePort();
  // The server's own syntax would listen on both, the second on every interface.
  settings.Address = "127.0.0.1:1,0.0.0.0";
  monitor.Configure(settings, log_.get());
  EXPECT_EQ(monitor.Port(), 0);
  EXPECT_NE(LogText().find("Monitor: HTTP Address \"127.0.0.1:1,0.0.0.0\" is not an IPv4 "
                           "address; metrics and status page are off"),
            std::string::npos)
      << LogText();
  settings = AnyFreePort();
  settings.Port = 70000;
  monitor.Configure(settings, log_.get());
  EXPECT_EQ(monitor.Port(), 0);
  EXPECT_NE(LogText().find("Monitor: HTTP Port 70000 is not a port number"), std::string::npos);
}

TEST_F(MonitorTest, TheSameSettingsKeepTheServerAndSwitchingItOffStopsIt) {
  TMonitor monitor;
  monitor.Configure(AnyFreePort(), log_.get());
  const int port = monitor.Port();
  ASSERT_GT(port, 0);
  monitor.Configure(AnyFreePort(), log_.get());
  EXPECT_EQ(monitor.Port(), port);

  TMonitorSettings off = AnyFreePort();
  off.Enabled = false;
  monitor.Configure(off, log_.get());
  EXPECT_EQ(monitor.Port(), 0);
  EXPECT_EQ(HttpRequest(port, "/metrics").status, 0);
}

TEST(MonitorSettingsTest, OffByDefaultOnLoopbackAndWrittenBackWithTheirDefaults) {
  TempDir dir;
  const std::string file = dir.file("orlocard.ini");
  TIniFileEx ini(file);
  const TMonitorSettings settings = TMonitorSettings::Read(ini);
  EXPECT_FALSE(settings.Enabled);
  EXPECT_EQ(settings.Address, "127.0.0.1");
  EXPECT_EQ(settings.Port, 9464);
  const std::string text = ReadFile(file);
  EXPECT_NE(text.find("[Monitor]"), std::string::npos) << text;
  for (const char* key : {"HTTP Server=0", "HTTP Address=127.0.0.1", "HTTP Port=9464"})
    EXPECT_NE(text.find(key), std::string::npos) << key << "\n" << text;
}

}  // namespace
}  // namespace orlo::test
