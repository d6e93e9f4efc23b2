// TMonitor::MetricsText: every counter block read once and written in the
// Prometheus text format. Runs on an HTTP thread: it reads atomics and the
// registry's lists, nothing else.
#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include <limits>

#include "monitor/monitor.h"
#include "platform/program.h"

namespace orlo {

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;
using TLabels = std::vector<ClientMetric::Label>;

const char* const kReportKindLabels[kReportKinds] = {
    "card", "memory_card", "ticket", "barcode", "counter", "input", "printer", "power_up"};
const char* const kFaultLabels[] = {"commit_failed", "link_lost", "deadlock", "lock_timeout",
                                    "busy"};

// The families of one scrape, each made on first use, in order of first use.
class TFamilies {
 public:
  MetricFamily& Family(const std::string& name, const std::string& help, MetricType type) {
    for (MetricFamily& family : families_)
      if (family.name == name) return family;
    families_.push_back(MetricFamily{name, help, type, {}});
    return families_.back();
  }
  void Counter(const std::string& name, const std::string& help, TLabels labels,
               std::uint64_t value) {
    ClientMetric metric;
    metric.label = std::move(labels);
    metric.counter.value = static_cast<double>(value);
    Family(name, help, MetricType::Counter).metric.push_back(std::move(metric));
  }
  void Gauge(const std::string& name, const std::string& help, TLabels labels, double value) {
    ClientMetric metric;
    metric.label = std::move(labels);
    metric.gauge.value = value;
    Family(name, help, MetricType::Gauge).metric.push_back(std::move(metric));
  }
  void Histogram(const std::string& name, const std::string& help, TLabels labels,
                 const TLatencyHistogram& histogram) {
    const TLatencyHistogram::TSnapshot s = histogram.Snapshot();
    ClientMetric metric;
    metric.label = std::move(labels);
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < s.buckets.size(); ++i) {
      cumulative += s.buckets[i];
      const double bound =
          i < s.bounds.size() ? s.bounds[i] : std::numeric_limits<double>::infinity();
      metric.histogram.bucket.push_back({cumulative, bound});
    }
    metric.histogram.sample_count = cumulative;
    metric.histogram.sample_sum = s.sumSeconds;
    Family(name, help, MetricType::Histogram).metric.push_back(std::move(metric));
  }
  const std::vector<MetricFamily>& All() const { return families_; }

 private:
  std::vector<MetricFamily> families_;
};

std::uint64_t Load(const std::atomic<std::uint64_t>& value) {
  return value.load(std::memory_order_relaxed);
}

void AddressMetrics(TFamilies& f, const std::string& loop, int address, const TAddressCounters& c) {
  const TLabels labels{{"loop", loop}, {"address", std::to_string(address)}};
  f.Gauge("orlocard_device_online", "1 while the device answers its polls", labels,
          c.online.load(std::memory_order_relaxed) == 1 ? 1 : 0);
  f.Counter("orlocard_bus_polls_total", "Poll frames sent to the device", labels, Load(c.polls));
  f.Counter("orlocard_bus_commands_total", "Command frames sent to the device", labels,
            Load(c.commands));
  f.Counter("orlocard_bus_replies_total", "Good replies of the device", labels, Load(c.replies));
  f.Counter("orlocard_bus_timeouts_total", "Frames the device left without a complete reply",
            labels, Load(c.timeouts));
  f.Counter("orlocard_bus_bad_replies_total",
            "Replies refused for a wrong check byte or an overlong text", labels,
            Load(c.badReplies));
  f.Counter("orlocard_bus_late_replies_total",
            "Replies of the device that came while another device was asked", labels,
            Load(c.lateReplies));
  f.Histogram("orlocard_bus_reply_latency_seconds",
              "From the frame written to the reply's last byte read", labels, c.replyLatency);
}

void DatabaseMetrics(TFamilies& f, const std::string& name, const TDBCounters& c) {
  const TLabels labels{{"connection", name}};
  f.Gauge("orlocard_db_connection_up", "1 while the connection is usable", labels,
          c.state.load(std::memory_order_relaxed) == TDBCounters::Up ? 1 : 0);
  f.Counter("orlocard_db_reconnects_total", "Connections made again after the first", labels,
            Load(c.reconnects));
  f.Counter("orlocard_db_statements_total", "Statements executed", labels, Load(c.statements));
  f.Counter("orlocard_db_statement_failures_total", "Statements that failed", labels,
            Load(c.failures));
  f.Histogram("orlocard_db_statement_latency_seconds", "The driver's time of one execute", labels,
              c.latency);
  f.Counter("orlocard_db_commit_failures_total", "Commits that failed", labels,
            Load(c.commitFailures));
  f.Counter("orlocard_db_timeouts_total",
            "Calls that waited on the server longer than the stall limit", labels,
            Load(c.timeouts));
  for (std::size_t kind = 1; kind < c.faults.size(); ++kind)
    f.Counter("orlocard_db_faults_total", "Failures that void the work in progress, by kind",
              {{"connection", name}, {"kind", kFaultLabels[kind]}}, Load(c.faults[kind]));
}

}  // namespace

std::string TMonitor::MetricsText() const {
  TFamilies f;
  f.Gauge("orlocard_build_info", "The program version", {{"version", ProgramVersion()}}, 1);
  f.Gauge("process_start_time_seconds", "Start time of the process since the Unix epoch", {},
          startedUnix_);

  TLockGuard lock(registryLock_);
  for (const TConnection& connection : connections_)
    DatabaseMetrics(f, connection.name, *connection.counters);
  for (const auto& [id, loop] : loops_) {
    const std::string name = std::to_string(id);
    DatabaseMetrics(f, "loop " + name, *loop->db_);
    const int last = loop->lastAddress_.load(std::memory_order_relaxed);
    for (int a = loop->firstAddress_.load(std::memory_order_relaxed); a <= last; ++a) {
      AddressMetrics(f, name, a, loop->line_->address[a]);
      for (std::size_t kind = 0; kind < kReportKinds; ++kind)
        f.Counter(
            "orlocard_reports_total", "Device reports handled, by kind",
            {{"loop", name}, {"address", std::to_string(a)}, {"kind", kReportKindLabels[kind]}},
            Load(loop->reports_[a][kind]));
    }
    for (std::size_t code = 0; code < loop->decisions_.size(); ++code) {
      const std::uint64_t n = Load(loop->decisions_[code]);
      // Codes that never occurred are left out: most of the sixteen never do.
      if (n > 0 || code == 0)
        f.Counter("orlocard_decisions_total", "Card decisions, by result code",
                  {{"loop", name}, {"code", std::to_string(code)}}, n);
    }
    f.Histogram("orlocard_card_to_gate_seconds",
                "From the card reply's last byte to its gate command queued", {{"loop", name}},
                loop->cardToGate_);
    f.Counter("orlocard_low_security_answers_total",
              "Presentations opened without a decision (database down, low security set)",
              {{"loop", name}}, Load(loop->lowSecurity_));
    f.Counter("orlocard_undecided_refusals_total",
              "Presentations refused because no decision could be made", {{"loop", name}},
              Load(loop->refusedUndecided_));
  }

  f.Counter("orlocard_log_lines_written_total", "Log lines written to the file", {},
            Load(log_->written));
  f.Counter("orlocard_log_lines_dropped_total", "Log lines lost while the file was unwritable", {},
            Load(log_->dropped));
  f.Counter("orlocard_mail_queued_total", "Card mails queued", {}, Load(mail_->queued));
  f.Counter("orlocard_mail_sent_total", "Card mails the server took", {}, Load(mail_->sent));
  f.Counter("orlocard_mail_failed_total", "Card mails tried and not sent", {}, Load(mail_->failed));
  f.Counter("orlocard_mail_dropped_total", "Card mails dropped unsent (queue full, stop)", {},
            Load(mail_->dropped));
  return prometheus::TextSerializer().Serialize(f.All());
}

}  // namespace orlo
