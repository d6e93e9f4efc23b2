// orlo-sitebench: the whole orlocard program on a small site under light,
// continuous card traffic: its memory (RSS) and CPU over a run of minutes.
//
// The real program runs as a child process with a generated home folder: a
// site database (SQLite from schema/, or a database of its own on the private
// MariaDB server), a registry store and a settings file whose [Ports] COM1..
// COM4 name four orlocard-sim processes with 16 devices each, paced at 9600
// baud. Every loop gets a card every few seconds through its simulator's
// stdin, at the next of its sixteen addresses, mixing cards on file (granted
// or refused by time of day, expiry, passback) with unknown ones.
//
// Samples VmRSS and utime+stime of the program from /proc every few seconds
// and reports RSS at minute 2 and at the end, the growth between them and the
// CPU share of one core over the traffic. At the end it counts the decisions
// (the log's "Got CardData event!" lines: each card the loops took), the
// trans rows written meanwhile (one per decision) and the log's error lines.
//
//   orlo-sitebench [--minutes N] [--database sqlite|mariadb] [--interval S] [--keep]
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "benchsite.h"
#include "childprocess.h"
#include "figure.h"
#include "platform/text.h"

namespace {

using namespace orlo;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kLoops = 4;
constexpr int kDevicesPerLoop = 16;
constexpr int kCards = 1000;
constexpr auto kSampleEvery = std::chrono::seconds(5);

struct Options {
  double minutes = 10;
  std::string database = "sqlite";
  double interval = 3;  // seconds between two cards on one loop
  bool keep = false;    // keep the home folder (log, database) for a look
};

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--keep") {
      o.keep = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const std::string v = argv[++i];
    if (a == "--minutes")
      o.minutes = std::atof(v.c_str());
    else if (a == "--database")
      o.database = v;
    else if (a == "--interval")
      o.interval = std::atof(v.c_str());
    else
      return false;
  }
  return o.minutes > 0 && o.interval > 0 && (o.database == "sqlite" || o.database == "mariadb");
}

// Memory and CPU time of a process, from /proc.
struct TUsage {
  double rssMB = 0;
  double cpuSeconds = 0;
};

TUsage ReadUsage(pid_t pid) {
  TUsage u;
  const std::string proc = "/proc/" + std::to_string(pid);
  std::istringstream status(bench::ReadFile(proc + "/status"));
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) u.rssMB = std::atof(line.c_str() + 6) / 1024.0;
  // utime and stime are fields 14 and 15; the name (field 2) may hold spaces,
  // so count from the closing parenthesis.
  const std::string stat = bench::ReadFile(proc + "/stat");
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return u;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int n = 3; n <= 15 && fields >> field; ++n)
    if (n >= 14) ticks += std::atof(field.c_str());
  u.cpuSeconds = ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
  return u;
}

// Four loops of sixteen devices on the generated site; the day range of each
// level is open at every hour (00:00 to 00:00) so that grants come at any
// time of day.
void MakeSite(bench::TSiteDatabase& site) {
  TODBC& db = site.Odbc();
  site.CreateSchema();
  bench::BuildSite(db, site.Maria(), bench::TSiteSize{kCards, 10000, kLoops * kDevicesPerLoop, 4});
  bench::Exec(
      db, "UPDATE a_l_range SET start_time = '00:00:00', end_time = '00:00:00' WHERE id % 2 = 1");
  for (int loop = 1; loop <= kLoops; ++loop)
    bench::Exec(db, "INSERT INTO " + db.QuoteTable("loop") +
                        " (id, name, enabled, port, rfmodem) VALUES (" + std::to_string(loop) +
                        ", 'gatepc', 1, " + std::to_string(loop) + ", 0)");
  bench::Exec(db,
              "INSERT INTO messages (id, idle, gateup, accepted, not_on_file, access, inac_tive, "
              "passback, max_group, not_on_path) VALUES (1, 'Present card', 'Gate open', "
              "'Welcome %f %l', 'Card %c unknown', 'No access now', 'Card expired', "
              "'Passback!', 'Group full', 'Wrong path')");
}

// The four simulators, each on a pseudo-terminal named in [Ports].
std::vector<std::unique_ptr<bench::TChildProcess>> StartSims(const fs::path& home) {
  std::vector<std::unique_ptr<bench::TChildProcess>> sims;
  std::ofstream ini(home / "orlocard.ini", std::ios::trunc);
  ini << "[Ports]\n";
  for (int loop = 1; loop <= kLoops; ++loop) {
    const std::string out = (home / ("sim" + std::to_string(loop) + ".out")).string();
    sims.push_back(std::make_unique<bench::TChildProcess>(
        std::vector<std::string>{ORLO_SIM_PROGRAM, "--pace", "9600", "--devices", "1-16"}, out));
    const std::string path = bench::WaitFirstLine(out, std::chrono::seconds(30));
    if (path.empty()) bench::Die("orlocard-sim did not start; see " + out);
    ini << "COM" << loop << "=" << path << "\n";
  }
  return sims;
}

std::string LogText(const fs::path& home) {
  std::string all;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(home / "log", ec))
    all += bench::ReadFile(e.path().string());
  return all;
}

int CountLines(const std::string& text, const std::string& part) {
  int n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

bool WaitLog(const fs::path& home, const std::string& part, int times,
             bench::TChildProcess& program) {
  const auto end = Clock::now() + std::chrono::seconds(90);
  while (Clock::now() < end && program.Running()) {
    if (CountLines(LogText(home), part) >= times) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return false;
}

// Lines of the log that tell of a failure. Refusals are decisions, not
// faults: "access failure", "passback error", "has a pathway error".
std::vector<std::string> ErrorLines(const std::string& log) {
  std::vector<std::string> out;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.find("passback error") != std::string::npos ||
        line.find("pathway error") != std::string::npos)
      continue;
    const std::string lower = LowerCase(line);
    for (const char* word : {"error", "exception", "failed", "lost", "cannot"})
      if (lower.find(word) != std::string::npos) {
        out.push_back(line);
        break;
      }
  }
  return out;
}

constexpr char kEvent[] = "Got CardData event!";

// The log line a card at the address gives when the loop takes it.
std::string EventText(int address, int card) {
  return std::string(kEvent) + "  - " + std::to_string(address) + " - |" + std::to_string(card) +
         "|";
}

// The card traffic: one card per loop every interval, the loops staggered.
class TTraffic {
 public:
  TTraffic(std::vector<std::unique_ptr<bench::TChildProcess>>& sims, double interval)
      : sims_(sims), interval_(interval), next_(sims.size()) {
    for (std::size_t i = 0; i < next_.size(); ++i)
      next_[i] = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(interval * i / next_.size()));
  }
  void Tick() {
    for (std::size_t i = 0; i < sims_.size(); ++i) {
      if (Clock::now() < next_[i]) continue;
      next_[i] +=
          std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval_));
      const int address = static_cast<int>(presented_ / sims_.size()) % kDevicesPerLoop + 1;
      const int card = (tenth_(rng_) == 0 ? 5000000 : 1000000) + cardPick_(rng_);
      if (sims_[i]->Send("card " + std::to_string(address) + " " + std::to_string(card))) {
        ++presented_;
        sent_.push_back("loop " + std::to_string(i + 1) + ": " + EventText(address, card));
      }
    }
  }
  long Presented() const { return presented_; }
  // The cards whose event never came (an event taken once covers one card
  // of that address and number on any loop).
  std::vector<std::string> NotTaken(const std::string& log) const {
    std::map<std::string, int> taken;
    for (auto at = log.find(kEvent); at != std::string::npos; at = log.find(kEvent, at + 1))
      ++taken[log.substr(at, log.find_first_of("\r\n", at) - at)];
    std::vector<std::string> missing;
    for (const auto& s : sent_) {
      const std::string event = s.substr(s.find(": ") + 2);
      if (taken[event]-- <= 0) missing.push_back(s);
    }
    return missing;
  }

 private:
  std::vector<std::unique_ptr<bench::TChildProcess>>& sims_;
  double interval_;
  std::vector<Clock::time_point> next_;
  long presented_ = 0;
  std::vector<std::string> sent_;  // "loop L: <the event line the card should give>"
  std::mt19937 rng_{7};
  std::uniform_int_distribution<int> cardPick_{1, kCards}, tenth_{0, 9};
};

struct TRunFigures {
  TUsage start, atMark, end;
  double markMinutes = 2;
  double seconds = 0;
  long presented = 0;
};

// Runs the traffic for the given minutes, sampling the program's usage.
TRunFigures Run(bench::TChildProcess& program, TTraffic& traffic, const Options& o) {
  TRunFigures f;
  // The memory mark is minute 2; a shorter run takes its middle instead.
  f.markMinutes = std::min(2.0, o.minutes / 2);
  const auto t0 = Clock::now();
  const auto mark = t0 + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double>(f.markMinutes * 60));
  const auto end = t0 + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(o.minutes * 60));
  f.start = ReadUsage(program.Pid());
  bool marked = false;
  auto nextSample = t0;
  while (Clock::now() < end) {
    if (!program.Running()) bench::Die("orlocard ended during the run");
    traffic.Tick();
    if (Clock::now() >= nextSample) {
      nextSample += kSampleEvery;
      const TUsage u = ReadUsage(program.Pid());
      const double s = std::chrono::duration<double>(Clock::now() - t0).count();
      if (!marked && Clock::now() >= mark) {
        f.atMark = u;
        marked = true;
      }
      if (static_cast<long>(s) % 60 < 5)
        std::printf("  %5.0f s: RSS %.2f MB, CPU %.2f s, cards %ld\n", s, u.rssMB,
                    u.cpuSeconds - f.start.cpuSeconds, traffic.Presented());
      std::fflush(stdout);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // Cards queued last are answered within a few polls.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  f.end = ReadUsage(program.Pid());
  f.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  f.presented = traffic.Presented();
  return f;
}

void Report(const std::string& db, const TRunFigures& f, long decisions, long transRows,
            const std::vector<std::string>& errors) {
  const std::string name = "site." + db + ".";
  const double cpu = (f.end.cpuSeconds - f.start.cpuSeconds) / f.seconds * 100;
  std::printf("%.1f min, %ld cards presented, %ld decisions (log), %ld trans rows written: %s\n",
              f.seconds / 60, f.presented, decisions, transRows,
              decisions == transRows ? "equal" : "NOT EQUAL");
  std::printf("RSS at start %.2f MB, at minute %.1f %.2f MB, at the end %.2f MB\n", f.start.rssMB,
              f.markMinutes, f.atMark.rssMB, f.end.rssMB);
  std::printf("%zu error lines in the log\n", errors.size());
  for (std::size_t i = 0; i < errors.size() && i < 20; ++i)
    std::printf("  %s\n", errors[i].c_str());
  bench::PrintFigure(name + "rss_at_mark", f.atMark.rssMB, "MB", bench::TGoal::AtMost, 30);
  bench::PrintFigure(name + "rss_end", f.end.rssMB, "MB", bench::TGoal::AtMost, 30);
  // "Flat" is a growth of at most 1 MB: allocator pools and the log's
  // buffers settle in steps of a few hundred KB, a leak keeps going.
  bench::PrintFigure(name + "rss_growth_mark_to_end", f.end.rssMB - f.atMark.rssMB, "MB",
                     bench::TGoal::AtMost, 1);
  bench::PrintFigure(name + "cpu", cpu, "% of a core", bench::TGoal::AtMost, 5);
  bench::PrintFigure(name + "decisions", static_cast<double>(decisions), "cards");
  bench::PrintFigure(name + "trans_rows_minus_decisions",
                     static_cast<double>(transRows - decisions), "rows", bench::TGoal::AtMost, 0);
  bench::PrintFigure(name + "log_error_lines", static_cast<double>(errors.size()), "lines",
                     bench::TGoal::AtMost, 0);
}

// A card not taken at its address was lost on the line, or its reply came
// too late and was taken as the answer of the next address polled (the loop
// then decided it for that reader).
void ReportNotTaken(const std::vector<std::string>& cards) {
  std::printf("%zu cards not taken at the address they were presented at\n", cards.size());
  for (std::size_t i = 0; i < cards.size() && i < 20; ++i)
    std::printf("  not taken: %s\n", cards[i].c_str());
}

int RunSite(const fs::path& home, const Options& o) {
  bench::TSiteDatabase site(o.database == "mariadb", home.string());
  MakeSite(site);
  const std::string registry = (home / "registry.reg").string();
  site.WriteRegistry(registry);
  auto sims = StartSims(home);
  bench::TChildProcess program({ORLO_PROGRAM, "--home", home.string(), "--registry", registry},
                               (home / "program.out").string());
  if (!WaitLog(home, "Device started.", kLoops, program))
    bench::Die("orlocard did not start its four loops; see " + (home / "log").string());
  const long transBefore = bench::QueryCount(site.Odbc(), "SELECT COUNT(*) AS n FROM trans");
  const int decisionsBefore = CountLines(LogText(home), kEvent);
  std::printf(
      "orlocard pid %d, %s site, %d loops x %d devices at 9600 baud, a card every %.1f s "
      "per loop, %.1f minutes\n",
      program.Pid(), site.Backend(), kLoops, kDevicesPerLoop, o.interval, o.minutes);

  TTraffic traffic(sims, o.interval);
  const TRunFigures f = Run(program, traffic, o);
  const long transRows =
      bench::QueryCount(site.Odbc(), "SELECT COUNT(*) AS n FROM trans") - transBefore;
  const int status = program.Stop();
  const std::string log = LogText(home);
  const long decisions = CountLines(log, kEvent) - decisionsBefore;
  Report(site.Backend(), f, decisions, transRows, ErrorLines(log));
  ReportNotTaken(traffic.NotTaken(log));
  std::printf("orlocard exit status %d\n", status);
  return status == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: orlo-sitebench [--minutes N] [--database sqlite|mariadb] "
                 "[--interval SECONDS] [--keep]\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  if (o.database == "mariadb" && bench::Env("ORLO_MARIADB_PORT").empty())
    bench::Die("--database mariadb needs ORLO_MARIADB_PORT (scripts/soak starts a server)");
  char dir[] = "/tmp/orlo-sitebench.XXXXXX";
  if (!mkdtemp(dir)) bench::Die("cannot make a temporary folder");
  const fs::path home = dir;
  fs::create_directories(home / "log");
  const int rc = RunSite(home, o);
  if (o.keep)
    std::printf("home folder kept: %s\n", home.c_str());
  else
    fs::remove_all(home);
  return rc;
}
