// orlo-tracebench: what the line trace costs the poll thread per frame. The
// poll thread hands each frame to TLineTrace, whose writer thread writes it;
// the alternative, writing the pcap file on the poll thread itself (stdio
// buffered, flushed four times a second as the writer does), is measured
// beside it. The times are of the call alone, as the poll thread sees them:
// median, 99.9th percentile and the longest, over frames at a steady rate
// (far above a 9600 baud line's, so the run stays short).
//
//   orlo-tracebench [--frames N] [--rate PER_SECOND] [--folder DIR]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bus/linetrace.h"
#include "bus/tracefile.h"
#include "figure.h"

namespace {

using namespace orlo;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

struct Options {
  int frames = 100000;
  int rate = 20000;  // frames a second
  std::string folder = "/tmp";
};

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i], v = argv[i + 1];
    if (a == "--frames")
      o.frames = std::atoi(v.c_str());
    else if (a == "--rate")
      o.rate = std::atoi(v.c_str());
    else if (a == "--folder")
      o.folder = v;
    else
      return false;
  }
  return argc % 2 == 1 && o.frames > 0 && o.rate > 0;
}

const std::string kPoll("\x02\x33\x43\x03\x73", 5);
const std::string kAck("\x06", 1);

// Calls record(i) for every frame at the steady rate; the time of each call in ns.
template <class Record>
std::vector<double> Run(const Options& o, Record record) {
  std::vector<double> ns;
  ns.reserve(o.frames);
  const auto step = std::chrono::nanoseconds(1000000000LL / o.rate);
  auto next = Clock::now();
  for (int i = 0; i < o.frames; ++i) {
    next += step;
    std::this_thread::sleep_until(next);
    const auto t0 = Clock::now();
    record(i);
    ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count());
  }
  return ns;
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5))];
}

void Report(const std::string& name, const std::vector<double>& ns) {
  bench::PrintFigure("trace." + name + ".median", Percentile(ns, 0.5), "ns");
  bench::PrintFigure("trace." + name + ".p99.9", Percentile(ns, 0.999), "ns");
  bench::PrintFigure("trace." + name + ".max", *std::max_element(ns.begin(), ns.end()), "ns");
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: orlo-tracebench [--frames N] [--rate PER_SECOND] [--folder DIR]\n");
    return 2;
  }
  std::string dir = o.folder + "/orlo-tracebench.XXXXXX";
  if (!mkdtemp(dir.data())) {
    std::fprintf(stderr, "orlo-tracebench: cannot make a folder in %s\n", o.folder.c_str());
    return 1;
  }
  TLineTraceSettings settings;
  settings.enabled = true;
  settings.loopId = 1;
  settings.port = 1;
  settings.maxBytes = 1ull << 40;
  std::printf("%d frames at %d a second, files in %s\n", o.frames, o.rate, dir.c_str());

  // The poll thread writes the file itself.
  settings.folder = dir + "/direct";
  std::vector<double> direct;
  {
    TTraceFile file(settings, nullptr);
    const int flushEvery = std::max(1, o.rate / 4);
    direct = Run(o, [&](int i) {
      const TTraceRecord r{std::chrono::system_clock::now(),
                           i % 2 ? TTraceDirection::In : TTraceDirection::Out, TTraceOutcome::Good,
                           3, i % 2 ? kAck : kPoll};
      file.Write(r);
      if (i % flushEvery == flushEvery - 1) file.Flush();
    });
  }
  Report("direct_write", direct);

  // The poll thread queues; the trace's writer thread writes.
  settings.folder = dir + "/queued";
  std::vector<double> queued;
  {
    TLineTrace trace(settings, nullptr);
    queued = Run(o, [&](int i) {
      if (i % 2)
        trace.Record(TTraceDirection::In, TTraceOutcome::Good, 3, kAck);
      else
        trace.Record(TTraceDirection::Out, TTraceOutcome::Good, 3, kPoll);
    });
  }
  Report("queued_record", queued);
  fs::remove_all(dir);
  return 0;
}
