// TLatencyRelay: a TCP relay on 127.0.0.1 that stands between the program
// under measurement and a server (the MariaDB server of the benchmarks) and
// holds every chunk of bytes, in either direction, for a set one-way delay
// before passing it on, as a server on another machine would. Each chunk
// leaves at its own arrival time plus the delay, in order, so chunks that
// follow each other closely are not delayed twice. It counts round trips: the
// times a connection's traffic turns from client->server to server->client.
//
// Owned by the benchmark that makes it. One relay thread of its own does all
// the socket work; Port, the round-trip counts and the connection failures
// may be read from any thread.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace orlo::bench {

class TLatencyRelay {
 public:
  using TClock = std::chrono::steady_clock;

  // Listens on a free port of 127.0.0.1 and relays each connection to
  // host:port; dies when it cannot listen or the host has no address.
  TLatencyRelay(const std::string& host, int port, std::chrono::microseconds oneWayDelay);
  ~TLatencyRelay();  // Stop()
  TLatencyRelay(const TLatencyRelay&) = delete;
  TLatencyRelay& operator=(const TLatencyRelay&) = delete;

  // Ends the relay thread; every socket is closed when it returns.
  void Stop();

  int Port() const { return port_; }
  std::chrono::microseconds Delay() const { return delay_; }

  // Round trips over all connections since the start or the last reset.
  std::uint64_t RoundTrips() const { return roundTrips_.load(); }
  void ResetRoundTrips() { roundTrips_.store(0); }
  // The round trips whose answer was handed to the client in [from, to);
  // only the latest kKeptRoundTrips are kept for this.
  static constexpr std::size_t kKeptRoundTrips = 8192;
  std::uint64_t RoundTripsBetween(TClock::time_point from, TClock::time_point to) const;

  // Connections that could not reach the server (their client was closed),
  // and why the latest one could not.
  int FailedConnections() const { return failedConnections_.load(); }
  std::string LastError() const;

 private:
  class TWorker;  // the relay thread's sockets and queues

  void NoteRoundTrip(TClock::time_point answerReleased);
  void NoteFailure(const std::string& what);

  const std::chrono::microseconds delay_;
  sockaddr_storage target_{};  // the server's address
  socklen_t targetLength_ = 0;
  std::string targetName_;  // host:port, for messages
  int listen_ = -1;
  int wake_ = -1;  // eventfd: Stop wakes the relay thread with it
  int port_ = 0;

  std::atomic<std::uint64_t> roundTrips_{0};
  std::atomic<int> failedConnections_{0};
  mutable std::mutex mutex_;
  std::vector<TClock::time_point> answers_;  // guarded by mutex_: a ring of answer times
  std::size_t nextAnswer_ = 0;               // guarded by mutex_
  std::string lastError_;                    // guarded by mutex_
  std::jthread thread_;
};

}  // namespace orlo::bench
