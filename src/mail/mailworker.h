// TMailWorker: sends mail on its own thread so that no caller ever waits for an
// SMTP server. The card handlers run on the main thread while the loop's poll
// thread holds the gate command back, so the card mail must never block there.
//
// One worker thread (std::jthread) takes mails from a bounded queue one at a
// time. Submit only queues: when the queue is full the mail is dropped with a
// log line. Each mail carries the log line its caller wants written when its
// exchange starts ("Sending email to: ..."); a failed exchange logs its error.
//
// Owned by whoever creates it (the service); the log must outlive it. Submit,
// SubmitCardEvent and Stop may be called from any thread. Stop (and the
// destructor) abandons the mail in progress at once, however long its server
// keeps silent, and drops the queued rest; each mail not sent is logged.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "mail/mail.h"
#include "platform/mutex.h"

namespace orlo {

class TMessLog;

// The mails of a worker, for monitoring: written by the worker and its
// callers, read by any thread.
struct TMailCounters {
  std::atomic<std::uint64_t> queued{0};   // accepted by Submit
  std::atomic<std::uint64_t> sent{0};     // confirmed by the server
  std::atomic<std::uint64_t> failed{0};   // tried and not sent (abandoned at stop included)
  std::atomic<std::uint64_t> dropped{0};  // never tried: queue full or service stopped
};

class TMailWorker {
 public:
  // Called once per accepted mail with MailMessage's result text, on the
  // worker thread, or on the thread calling Stop for a mail dropped at stop.
  // It must not call Stop.
  using TDone = std::function<void(const std::string& result)>;

  static constexpr std::size_t kDefaultCapacity = 16;

  // counters: where the mails are counted; null gives the worker its own.
  explicit TMailWorker(TMessLog& log, TMailTimeouts timeouts = {},
                       std::size_t capacity = kDefaultCapacity,
                       std::shared_ptr<TMailCounters> counters = nullptr);
  ~TMailWorker();  // Stop()
  TMailWorker(const TMailWorker&) = delete;
  TMailWorker& operator=(const TMailWorker&) = delete;

  // Queues msg and returns at once. startLine (if not empty) is logged when the
  // exchange starts. Returns false when the mail was dropped (queue full or
  // worker stopped); the drop is logged and done is not called.
  bool Submit(TMailMessage msg, std::string startLine, TDone done = {});

  // The card-event mail: subject "Card Event", no user name, no blind copies
  // or attachment, logged as "Sending email to: <to> Server: <host> Port:
  // <port>" when it starts.
  bool SubmitCardEvent(const std::string& host, int port, const std::string& from,
                       const std::string& to, const std::string& body, TDone done = {});

  // Ends the worker: abandons the mail in progress (logged, and its done
  // called with kMailAbandoned unless the server had already confirmed it)
  // and drops the queued ones (each logged). Later Submit calls drop their
  // mail. Safe to call twice.
  void Stop();

 private:
  struct TJob {
    TMailMessage msg;
    std::string startLine;
    TDone done;
  };

  void Run(std::stop_token stop);
  void Send(TJob& job, std::stop_token stop);

  TMessLog& log_;
  const TMailTimeouts timeouts_;
  const std::size_t capacity_;
  const std::shared_ptr<TMailCounters> counters_;  // never null

  std::mutex stopLock_;  // serialises Stop
  TMutex lock_;
  std::condition_variable_any wake_;
  std::deque<TJob> queue_ GUARDED_BY(lock_);
  bool stopped_ GUARDED_BY(lock_) = false;  // no Submit is accepted once set

  std::jthread thread_;  // last: started after the fields it uses exist
};

}  // namespace orlo
