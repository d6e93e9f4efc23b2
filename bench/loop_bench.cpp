// orlo-loopbench: card-to-gate latency through the whole loop controller.
// A TLoop runs on the generated site of the access benchmark (100,000 cards,
// 1,000,000 trans rows, 200 devices, 50 access levels; loop 1 holds devices
// 1..16) with the device simulator on a pseudo-terminal, paced like a real
// loop at 9600 baud (--pace 0: unpaced, which keeps the poll thread and the
// simulator busy on two cores and so measures the machine more than the loop). Each
// presentation queues a card report at a random address and waits for the
// gate answer ('G' granted, 'B' refused). The time is taken on the device
// side: from the moment the card reply's last byte was on the line to the
// moment the gate frame's first byte was put on the line (its arrival less its
// own byte time). The clock is fixed at one minute
// per presentation from a Monday 06:00, so grants and refusals (time of day,
// expiry, passback, cards not on file) mix the same way in every run.
//
// Variants: SQLite and MariaDB (when ORLO_MARIADB_PORT names the private
// server), each without and with an "Email Server" (a real SMTP server
// process on loopback; every granted card must arrive there as a mail), and
// with --trace on or both, with the line trace writing every frame of the
// loop ("Line Trace" in [Monitor]; --mail off --trace both sets the loop with
// and without the trace side by side). --rounds N runs the variants N times
// in turn and reports each over all its rounds, so that a machine whose load
// changes during the run weighs on every variant alike. With --monitor on or
// both, the monitor runs as the service runs it (its HTTP server on, the page
// published every 750 ms, and /metrics and /status read four times a second
// meanwhile). With --db-delay-us N (N > 0) the loop reaches the MariaDB
// server through a relay that holds every chunk N microseconds in each
// direction, as at a site whose server is another machine; the relay counts
// the database round trips, reported per presentation in all (over the whole
// measured run) and before the gate answer (between the card reply and the
// gate frame on the line). --config-cache on or both runs the loop with its
// configuration rows kept for 300 s ("Config Cache (seconds)").
//
//   orlo-loopbench [--backend sqlite|mariadb|both] [--presentations N] [--pace BAUD]
//                  [--cards N] [--trans N] [--gap-ms N] [--sqlite-options ";SyncPragma=OFF"]
//                  [--folder DIR] [--mail off|on|both] [--trace off|on|both]
//                  [--monitor off|on|both] [--rounds N] [--db-delay-us N]
//                  [--config-cache off|on|both]
// --folder puts the site (the SQLite file among it) in DIR instead of /tmp:
// --folder /dev/shm keeps the disk out of the SQLite figures.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "benchsite.h"
#include "childprocess.h"
#include "figure.h"
#include "latencyrelay.h"
#include "log/messlog.h"
#include "loop/loop.h"
#include "mail/mailworker.h"
#include "mainthread.h"
#include "monitor/monitor.h"
#include "platform/clock.h"
#include "platform/program.h"
#include "platform/registrystore.h"
#include "simulator.h"

namespace {

using namespace orlo;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kWarmup = 50;  // presentations before the measured ones
// "Config Cache (seconds)" of the variants with the cache: longer than a run.
constexpr int kConfigCacheSeconds = 300;

struct Options {
  std::string backend = "both";
  int presentations = 1000;
  bench::TSiteSize site;
  // Pause after each answer: lets the mail worker (one SMTP exchange at a
  // time, a bounded queue) keep up, as it must on a real site.
  int gapMs = 20;
  int pace = 9600;              // the simulator's line speed; 0 = unpaced
  std::string sqliteOptions;    // appended to the SQLite connection options
  std::string folder = "/tmp";  // where the site's temporary folder is made
  std::string mail = "both";    // variants without and/or with card mail
  std::string trace = "off";    // variants without and/or with the line trace
  std::string monitor = "off";  // variants without and/or with the monitor
  int rounds = 1;               // times each variant runs, in turn with the others
  int dbDelayUs = 0;            // MariaDB through a relay with this one-way delay; 0 = direct
  std::string configCache = "off";  // variants without and/or with the configuration cache
};

// The variants an off|on|both option asks for, in that order.
std::vector<bool> Choices(const std::string& option) {
  if (option == "off") return {false};
  if (option == "on") return {true};
  return {false, true};
}
bool ValidChoice(const std::string& option) {
  return option == "off" || option == "on" || option == "both";
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i], v = argv[i + 1];
    if (a == "--backend")
      o.backend = v;
    else if (a == "--presentations")
      o.presentations = std::atoi(v.c_str());
    else if (a == "--cards")
      o.site.cards = std::atoi(v.c_str());
    else if (a == "--trans")
      o.site.trans = std::atoll(v.c_str());
    else if (a == "--gap-ms")
      o.gapMs = std::atoi(v.c_str());
    else if (a == "--pace")
      o.pace = std::atoi(v.c_str());
    else if (a == "--sqlite-options")
      o.sqliteOptions = v;
    else if (a == "--folder")
      o.folder = v;
    else if (a == "--mail")
      o.mail = v;
    else if (a == "--trace")
      o.trace = v;
    else if (a == "--monitor")
      o.monitor = v;
    else if (a == "--rounds")
      o.rounds = std::atoi(v.c_str());
    else if (a == "--db-delay-us")
      o.dbDelayUs = std::atoi(v.c_str());
    else if (a == "--config-cache")
      o.configCache = v;
    else
      return false;
  }
  return argc % 2 == 1 &&
         (o.backend == "sqlite" || o.backend == "mariadb" || o.backend == "both") &&
         o.presentations > 0 && o.site.cards > 0 && o.site.trans >= 0 && o.gapMs >= 0 &&
         o.pace >= 0 && ValidChoice(o.mail) && ValidChoice(o.trace) && ValidChoice(o.monitor) &&
         ValidChoice(o.configCache) &&
         o.rounds > 0 && o.dbDelayUs >= 0;
}

// The SMTP server of the mail tests (aiosmtpd) as a child process; every
// message it takes is a file in its folder.
class TSmtpSink {
 public:
  explicit TSmtpSink(const fs::path& dir) : folder_(dir / "mail") {
    fs::create_directories(folder_);
    const std::string portFile = (dir / "smtp.port").string();
    process_.emplace(
        std::vector<std::string>{"/usr/bin/python3",
                                 std::string(ORLO_SOURCE_DIR) + "/tests/support/smtp_sink.py",
                                 "--folder", folder_.string(), "--port-file", portFile},
        (dir / "smtp.out").string());
    port_ = std::atoi(bench::WaitFirstLine(portFile, std::chrono::seconds(30)).c_str());
    if (port_ <= 0) bench::Die("the SMTP server did not start (python3-aiosmtpd installed?)");
  }
  int Port() const { return port_; }
  int Messages() const {
    int n = 0;
    for (const auto& e : fs::directory_iterator(folder_)) n += e.path().extension() == ".eml";
    return n;
  }

 private:
  fs::path folder_;
  std::optional<bench::TChildProcess> process_;
  int port_ = 0;
};

void WriteSettings(const std::string& simPath, const TSmtpSink* sink, bool trace,
                   int cacheSeconds) {
  std::ofstream out(SettingsFileName(), std::ios::trunc);
  out << "[Ports]\nCOM1=" << simPath << "\n";
  if (trace) out << "[Monitor]\nLine Trace=1\n";
  out << "[Settings]\nConfig Cache (seconds)=" << cacheSeconds << "\n";
  if (!sink) return;
  out << "Email Server=127.0.0.1\nEmail Port=" << sink->Port()
      << "\nEmail From=gate@site.test\nEmail To=office@site.test\n";
}

// One whole HTTP/1.0 exchange with the monitor's server; the bytes received.
std::size_t HttpGet(int port, const std::string& path) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::size_t received = 0;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0) {
      char buffer[16384];
      for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
        received += static_cast<std::size_t>(n);
    }
  }
  close(fd);
  return received;
}

// The monitor as the service runs it, with readers: its server on a free
// port, the board published every 750 ms on the main thread, and a reader
// of /metrics and /status four times a second.
class TMonitorLoad {
 public:
  TMonitorLoad(TMonitor& monitor, bench::TMainThread& main) : monitor_(monitor) {
    TMonitorSettings settings;
    settings.Enabled = true;
    settings.Port = 0;
    main.Do([&] { monitor_.Configure(settings, nullptr); });
    if (monitor_.Port() == 0) bench::Die("the monitor's HTTP server did not start");
    publisher_ = std::jthread([this, &main](std::stop_token stop) {
      while (!Pause(stop, 750)) main.Do([this] { monitor_.Publish(); });
    });
    reader_ = std::jthread([this](std::stop_token stop) {
      while (!Pause(stop, 250)) {
        bytes_ += HttpGet(monitor_.Port(), "/metrics");
        bytes_ += HttpGet(monitor_.Port(), "/status");
        ++reads_;
      }
    });
  }
  ~TMonitorLoad() {
    publisher_ = {};
    reader_ = {};
    std::printf("monitor: %d reads of /metrics and /status, %zu bytes\n", reads_.load(),
                bytes_.load());
  }

 private:
  // True when stop was asked during the pause.
  static bool Pause(std::stop_token stop, int ms) {
    for (int waited = 0; waited < ms && !stop.stop_requested(); waited += 10)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return stop.stop_requested();
  }

  TMonitor& monitor_;
  std::atomic<int> reads_{0};
  std::atomic<std::size_t> bytes_{0};
  std::jthread publisher_;
  std::jthread reader_;
};

struct TResult {
  std::vector<double> ms;
  int granted = 0;
  int refused = 0;
  int lost = 0;
  int grantedAll = 0;    // with the warm-up: the mails to expect
  int mails = -1;        // mails received (-1: the variant sends none)
  double mainCpuMs = 0;  // CPU time of the main thread (the handlers) per presentation
  int runs = 0;
  // Through the relay: database round trips over the measured presentations
  // (lost ones included), and those of the answered ones before their answer.
  std::uint64_t roundTrips = 0;
  std::uint64_t roundTripsBeforeAnswer = 0;

  // Adds the result of one more run of the same variant.
  void Add(const TResult& run) {
    ms.insert(ms.end(), run.ms.begin(), run.ms.end());
    granted += run.granted;
    refused += run.refused;
    lost += run.lost;
    grantedAll += run.grantedAll;
    if (run.mails >= 0) mails = std::max(mails, 0) + run.mails;
    mainCpuMs = (mainCpuMs * runs + run.mainCpuMs) / (runs + 1);
    ++runs;
    roundTrips += run.roundTrips;
    roundTripsBeforeAnswer += run.roundTripsBeforeAnswer;
  }
};

// What the line carried around a presentation without answer: whether the
// card reply went out whole, and what the controller sent after it.
void ReportLost(const std::vector<sim::TReceivedFrame>& frames, int address,
                const std::string& card) {
  std::printf("no answer to card %s at address %d; the line since the card was queued:\n",
              card.c_str(), address);
  int shown = 0;
  for (const auto& f : frames) {
    if (f.frame.address != address && shown == 0) continue;  // from the card's poll on
    std::printf("  %9.1f ms  '%c' to %2d, answer %zu bytes%s\n", f.ms, f.frame.letter,
                f.frame.address, f.answer.size(),
                f.answer.size() > 3 && f.answer[2] == 'C' ? " (the card)" : "");
    if (++shown == 40) break;
  }
}

// One presentation: the card report, then the gate answer to the same
// address. Adds the latency in ms, the kind of answer and, through a relay,
// the database round trips in between to the result.
void Present(sim::TSimulator& sim, int address, const std::string& card, TResult& r, bool record,
             const bench::TLatencyRelay* relay) {
  sim.ClearFrames();
  sim.QueueReply(address, 'C', card);
  const sim::TReceivedFrame* poll = nullptr;
  const sim::TReceivedFrame* gate = nullptr;
  std::vector<sim::TReceivedFrame> frames;
  auto find = [&](const std::vector<sim::TReceivedFrame>& all) {
    poll = gate = nullptr;
    for (const auto& f : all) {
      if (!poll && f.frame.address == address && f.answer.size() > 3 && f.answer[2] == 'C' &&
          f.answeredAt != Clock::time_point{})
        poll = &f;
      else if (poll && f.frame.address == address &&
               (f.frame.letter == 'G' || f.frame.letter == 'B'))
        gate = &f;
      if (gate) return true;
    }
    return false;
  };
  if (!sim.WaitFrames(find, std::chrono::seconds(10))) {
    ++r.lost;
    ReportLost(sim.Frames(), address, card);
    return;
  }
  frames = sim.Frames();
  find(frames);
  r.grantedAll += gate->frame.letter == 'G';
  if (!record) return;
  const auto gateOnLine = gate->firstByteAt - sim.ByteTime();
  r.ms.push_back(std::chrono::duration<double, std::milli>(gateOnLine - poll->answeredAt).count());
  ++(gate->frame.letter == 'G' ? r.granted : r.refused);
  if (relay) r.roundTripsBeforeAnswer += relay->RoundTripsBetween(poll->answeredAt, gateOnLine);
}

// Each variant on the same site starts a week after the one before, with
// other cards, so earlier passages do not turn its grants into passback refusals.
TResult RunPresentations(sim::TSimulator& sim, const Options& o, int variant,
                         const bench::TLatencyRelay* relay) {
  std::mt19937 rng(1 + variant);
  std::uniform_int_distribution<int> cardPick(1, o.site.cards), addressPick(1, 16), tenth(0, 9);
  const TDateTime start = EncodeDate(2024, 6, 3) + 7 * variant + EncodeTime(6, 0, 0, 0);
  TResult r;
  std::uint64_t roundTripsBefore = 0;
  for (int i = 0; i < kWarmup + o.presentations; ++i) {
    if (relay && i == kWarmup) roundTripsBefore = relay->RoundTrips();
    const int card = (tenth(rng) == 0 ? 5000000 : 1000000) + cardPick(rng);
    SetTestNow(start + i / 1440.0);
    Present(sim, addressPick(rng), std::to_string(card), r, i >= kWarmup, relay);
    std::this_thread::sleep_for(std::chrono::milliseconds(o.gapMs));
  }
  if (relay) r.roundTrips = relay->RoundTrips() - roundTripsBefore;
  ClearTestNow();
  return r;
}

// The database round trips the relay counted, per presentation.
void ReportRoundTrips(const std::string& variant, const TResult& r,
                      const bench::TLatencyRelay& relay) {
  const double presented = r.granted + r.refused + r.lost;
  const double all = static_cast<double>(r.roundTrips) / presented;
  const double beforeAnswer =
      static_cast<double>(r.roundTripsBeforeAnswer) / static_cast<double>(r.ms.size());
  std::printf(
      "%s: database one-way delay %lld us through the relay: %.2f round trips per "
      "presentation in all (the whole measured run), %.2f before the gate answer\n",
      variant.c_str(), static_cast<long long>(relay.Delay().count()), all, beforeAnswer);
  const std::string name = "loop." + variant + ".db_round_trips";
  bench::PrintFigure(name + ".all", all, "per card");
  bench::PrintFigure(name + ".before_answer", beforeAnswer, "per card");
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5))];
}

void Report(const std::string& variant, bool maria, const TResult& r,
            const bench::TLatencyRelay* relay) {
  std::printf("%s: %zu presentations in %d run(s), %d granted, %d refused, %d without answer",
              variant.c_str(), r.ms.size(), r.runs, r.granted, r.refused, r.lost);
  if (r.mails >= 0)
    std::printf(", %d mails received for %d grants (warm-up included)", r.mails, r.grantedAll);
  // The handlers' own CPU time against the latency tells a slow decision
  // from a busy machine (threads waiting for a core).
  std::printf("; main thread CPU %.2f ms per presentation\n", r.mainCpuMs);
  if (r.ms.empty()) bench::Die(variant + ": no gate answers");
  const std::string name = "loop." + variant + ".card_to_gate";
  bench::PrintFigure(name + ".median", Percentile(r.ms, 0.5), "ms");
  bench::PrintFigure(name + ".p99", Percentile(r.ms, 0.99), "ms", bench::TGoal::AtMost,
                     maria ? 15 : 5);
  bench::PrintFigure(name + ".max", *std::max_element(r.ms.begin(), r.ms.end()), "ms");
  if (relay) ReportRoundTrips(variant, r, *relay);
}

// The bytes the line trace has written under the home folder.
std::uintmax_t TraceBytes(const fs::path& home) {
  std::error_code ec;
  std::uintmax_t bytes = 0;
  for (fs::directory_iterator it(home / "trace", ec), end; !ec && it != end; it.increment(ec))
    bytes += it->file_size(ec);
  return bytes;
}

// What a variant runs beside the loop.
struct TSetup {
  bool mail = false;
  bool trace = false;
  bool monitor = false;
  bool configCache = false;
  const bench::TLatencyRelay* relay = nullptr;  // the database's traffic goes through it
};

std::string VariantName(const bench::TSiteDatabase& site, const TSetup& setup) {
  const std::string delay =
      setup.relay ? ".dbdelay" + std::to_string(setup.relay->Delay().count()) + "us" : "";
  return std::string(site.Backend()) + (setup.mail ? ".mail" : ".nomail") +
         (setup.trace ? ".trace" : "") + (setup.monitor ? ".monitor" : "") +
         (setup.configCache ? ".cache" : "") + delay;
}

// Creates the loop on the main thread, runs the presentations, destroys it.
TResult RunVariant(const bench::TSiteDatabase& site, const fs::path& home, const TSetup& setup,
                   int variant, const Options& o) {
  const bool withMail = setup.mail, withTrace = setup.trace;
  std::optional<TSmtpSink> sink;
  // A folder of its own per run: each counts only its own mails.
  if (withMail) sink.emplace(home / ("smtp" + std::to_string(variant)));
  sim::TSimulator sim;
  std::string error;
  if (!sim.OpenPty(error)) bench::Die(error);
  for (int a = 1; a <= 16; ++a) sim.AddDevice(a);
  sim.SetPace(o.pace);
  WriteSettings(sim.Path(), sink ? &*sink : nullptr, withTrace,
                setup.configCache ? kConfigCacheSeconds : 0);
  fs::remove_all(home / "trace");

  TMessLog log((home / "log" / "loop.log").string(), false, false, false, true);
  std::optional<TMailWorker> mail;
  if (withMail) mail.emplace(log);
  TResult result;
  const auto t0 = Clock::now();
  {
    bench::TMainThread main;
    TMonitor monitor;
    std::optional<TMonitorLoad> load;
    if (setup.monitor) load.emplace(monitor, main);
    std::unique_ptr<TLoop> loop;
    TLoopContext context{&log, &main.Loop(), mail ? &*mail : nullptr,
                         setup.monitor ? &monitor : nullptr};
    main.Do([&] { loop = std::make_unique<TLoop>(context, 1); });
    if (!loop->HasCard())
      bench::Die("the loop has no database connection; see " + log.CurrentFileName() +
                 (setup.relay && setup.relay->FailedConnections() > 0
                      ? " (the relay: " + setup.relay->LastError() + ")"
                      : ""));
    std::this_thread::sleep_for(std::chrono::seconds(1));  // first contact with every device
    const double cpu0 = main.CpuSeconds();
    result = RunPresentations(sim, o, variant, setup.relay);
    result.mainCpuMs = (main.CpuSeconds() - cpu0) * 1000 / (o.presentations + kWarmup);
    load.reset();
    main.Do([&] {
      loop.reset();
      monitor.Stop();
    });
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  if (sink) {
    // Every grant is mailed; wait for the last ones to arrive.
    const auto end = Clock::now() + std::chrono::seconds(60);
    while (sink->Messages() < result.grantedAll && Clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    mail->Stop();
    result.mails = sink->Messages();
  }
  if (withTrace) {
    const double bytes = static_cast<double>(TraceBytes(home));
    std::printf("%s: the line trace wrote %.0f bytes in %.0f s (%.1f kB/s)\n",
                VariantName(site, setup).c_str(), bytes, seconds, bytes / seconds / 1000);
  }
  return result;
}

void RunBackend(bool maria, const fs::path& home, const Options& o) {
  bench::TSiteDatabase site(maria, home.string(), o.sqliteOptions);
  const auto t0 = Clock::now();
  site.CreateSchema();
  bench::BuildSite(site.Odbc(), maria, o.site);
  bench::Exec(site.Odbc(), "INSERT INTO " + site.Odbc().QuoteTable("loop") +
                               " (id, name, enabled, port, rfmodem) VALUES (1, 'gatepc', 1, 1, 0)");
  bench::Exec(site.Odbc(),
              "INSERT INTO messages (id, idle, gateup, accepted, not_on_file, access, inac_tive, "
              "passback, max_group, not_on_path) VALUES (1, 'Present card', 'Gate open', "
              "'Welcome %f %l', 'Card %c unknown', 'No access now', 'Card expired', "
              "'Passback!', 'Group full', 'Wrong path')");
  std::printf("%s site: %d cards, %lld trans rows, generated in %.1f s\n", site.Backend(),
              o.site.cards, o.site.trans, std::chrono::duration<double>(Clock::now() - t0).count());
  // The loop's connections (not the generator's) go through the relay.
  std::optional<bench::TLatencyRelay> relay;
  if (maria && o.dbDelayUs > 0)
    relay.emplace(bench::MariaHost(), std::atoi(bench::MariaPort().c_str()),
                  std::chrono::microseconds(o.dbDelayUs));
  site.WriteRegistry((home / "registry.reg").string(), "GATEPC", relay ? relay->Port() : 0);
  const bench::TLatencyRelay* via = relay ? &*relay : nullptr;
  struct TVariant {
    TSetup setup;
    TResult total;
  };
  std::vector<TVariant> variants;
  for (bool mail : Choices(o.mail))
    for (bool trace : Choices(o.trace))
      for (bool monitor : Choices(o.monitor))
        for (bool cache : Choices(o.configCache))
          variants.push_back({{mail, trace, monitor, cache, via}, {}});
  int run = 0;
  for (int round = 0; round < o.rounds; ++round)
    for (TVariant& v : variants) v.total.Add(RunVariant(site, home, v.setup, run++, o));
  for (const TVariant& v : variants) Report(VariantName(site, v.setup), site.Maria(), v.total, via);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: orlo-loopbench [--backend sqlite|mariadb|both] [--presentations N] "
                 "[--pace BAUD] [--cards N] [--trans N] [--gap-ms N] [--sqlite-options TEXT] "
                 "[--folder DIR] [--mail off|on|both] [--trace off|on|both] "
                 "[--monitor off|on|both] [--rounds N] [--db-delay-us N] "
                 "[--config-cache off|on|both]\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  std::string dir = o.folder;
  dir += "/orlo-loopbench.XXXXXX";
  if (!mkdtemp(dir.data())) bench::Die("cannot make a temporary folder in " + o.folder);
  const fs::path home = dir;
  fs::create_directories(home / "log");
  SetHomeFolder(home.string());
  SetRegistryFileName((home / "registry.reg").string());

  if (o.backend != "mariadb") RunBackend(false, home, o);
  if (o.backend != "sqlite") {
    if (bench::Env("ORLO_MARIADB_PORT").empty())
      std::printf("orlo-loopbench: ORLO_MARIADB_PORT not set, MariaDB figures skipped\n");
    else
      RunBackend(true, home, o);
  }
  fs::remove_all(home);
  return 0;
}
