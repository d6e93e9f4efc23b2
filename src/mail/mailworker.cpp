#include "mail/mailworker.h"

#include <utility>

#include "log/messlog.h"

namespace orlo {

namespace {

constexpr const char* kStoppedResult = "Not sent: the mail service stopped";

}  // namespace

TMailWorker::TMailWorker(TMessLog& log, TMailTimeouts timeouts, std::size_t capacity,
                         std::shared_ptr<TMailCounters> counters)
    : log_(log),
      timeouts_(timeouts),
      capacity_(capacity > 0 ? capacity : 1),
      counters_(counters ? std::move(counters) : std::make_shared<TMailCounters>()),
      thread_([this](std::stop_token stop) { Run(stop); }) {}

TMailWorker::~TMailWorker() { Stop(); }

bool TMailWorker::Submit(TMailMessage msg, std::string startLine, TDone done) {
  std::string dropLine;
  {
    TLockGuard lk(lock_);
    if (stopped_)
      dropLine = "Email service stopped, mail to " + msg.to + " dropped";
    else if (queue_.size() >= capacity_)
      dropLine = "Email queue full, mail to " + msg.to + " dropped";
    else
      queue_.push_back(TJob{std::move(msg), std::move(startLine), std::move(done)});
  }
  if (!dropLine.empty()) {
    counters_->dropped.fetch_add(1, std::memory_order_relaxed);
    log_.Log(dropLine);
    return false;
  }
  counters_->queued.fetch_add(1, std::memory_order_relaxed);
  wake_.notify_one();
  return true;
}

bool TMailWorker::SubmitCardEvent(const std::string& host, int port, const std::string& from,
                                  const std::string& to, const std::string& body, TDone done) {
  TMailMessage msg;
  msg.host = host;
  msg.port = port;
  msg.from = from;
  msg.to = to;
  msg.subject = "Card Event";
  msg.body = body;
  std::string line =
      "Sending email to: " + to + " Server: " + host + " Port: " + std::to_string(port);
  return Submit(std::move(msg), std::move(line), std::move(done));
}

void TMailWorker::Stop() {
  std::lock_guard stopping(stopLock_);  // two stopping threads must not both join
  {
    TLockGuard lk(lock_);
    stopped_ = true;
  }
  if (thread_.joinable()) {
    thread_.request_stop();  // wakes the wait and ends a running exchange
    thread_.join();
  }
  std::deque<TJob> rest;
  {
    TLockGuard lk(lock_);
    rest.swap(queue_);
  }
  for (TJob& job : rest) {
    counters_->dropped.fetch_add(1, std::memory_order_relaxed);
    log_.Log("Email service stopped, mail to " + job.msg.to + " dropped");
    if (job.done) {
      try {
        job.done(kStoppedResult);
      } catch (...) {
        log_.Log("Exception in mail completion");
      }
    }
  }
}

void TMailWorker::Run(std::stop_token stop) {
  for (;;) {
    TJob job;
    {
      TUniqueLock lk(lock_);
      // The wait also returns at a stop request; the queued rest is Stop's.
      wake_.wait(lk, stop, [this]() REQUIRES(lock_) { return !queue_.empty(); });
      if (stop.stop_requested()) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    Send(job, stop);
  }
}

void TMailWorker::Send(TJob& job, std::stop_token stop) {
  std::string result;
  try {
    if (!job.startLine.empty()) log_.Log(job.startLine);
    result = MailMessage(job.msg, timeouts_, stop);
    if (result == kMailAbandoned)
      log_.Log("Email service stopped, mail to " + job.msg.to + " to server " + job.msg.host +
               " abandoned: the server had not confirmed it");
    else if (result != kMailSent)
      log_.Log("Email not sent: " + result);
  } catch (...) {
    log_.Log("Exception in MailMessage()");
    result = "Exception in MailMessage()";
  }
  (result == kMailSent ? counters_->sent : counters_->failed)
      .fetch_add(1, std::memory_order_relaxed);
  if (job.done) {
    try {
      job.done(result);
    } catch (...) {
      log_.Log("Exception in mail completion");
    }
  }
}

}  // namespace orlo
