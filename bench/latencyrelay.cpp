// The latency relay of the benchmarks: one thread, ppoll over the listening
// socket, a wake-up eventfd and both sockets of every connection.
#include "latencyrelay.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>

#include "benchsite.h"

namespace orlo::bench {

namespace {

using TClock = TLatencyRelay::TClock;

constexpr std::size_t kReadBytes = 64 * 1024;
// Beyond this much held in one direction the relay stops reading that side
// until the queue drains: a fast sender cannot grow it without bound.
constexpr std::size_t kMaxHeldBytes = 4 * 1024 * 1024;
constexpr auto kConnectTimeout = std::chrono::seconds(5);
// The longest single wait of the relay thread, with nothing due before it.
constexpr auto kLongestWait = std::chrono::milliseconds(250);

std::string ErrnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

void SetNoDelay(int fd) {
  // The relay writes whole chunks when they are due; Nagle's algorithm would
  // hold a small one back for the peer's delayed acknowledgement.
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

struct TChunk {
  TClock::time_point release;  // its arrival plus the delay
  std::string bytes;
  std::size_t sent = 0;
};

// One direction of a connection: what was read from one socket, held until
// due, then written to the other.
struct TFlow {
  std::deque<TChunk> held;
  std::size_t heldBytes = 0;
  bool ended = false;     // the source sent its end of stream
  bool shutDown = false;  // ... and it was passed on, after every held byte
  bool blocked = false;   // the destination would block: wait until it is writable

  bool WantsRead() const { return !ended && heldBytes < kMaxHeldBytes; }
  bool Due(TClock::time_point now) const {
    return !blocked && !held.empty() && held.front().release <= now;
  }
};

struct TConnection {
  int client = -1;
  int server = -1;
  bool connecting = true;
  TClock::time_point connectDeadline;
  TFlow up;                 // client -> server
  TFlow down;               // server -> client
  bool lastReadUp = false;  // the latest chunk read went client -> server
  bool failed = false;      // a socket failed: close both at once

  ~TConnection() {
    if (client >= 0) close(client);
    if (server >= 0) close(server);
  }
  bool Done() const { return failed || (up.shutDown && down.shutDown); }
};

}  // namespace

class TLatencyRelay::TWorker {
 public:
  explicit TWorker(TLatencyRelay& relay) : relay_(relay) {}

  void Run(std::stop_token stop) {
    // Delays of a few hundred microseconds: the default 50 us timer slack
    // would be a noticeable share of them.
    ::prctl(PR_SET_TIMERSLACK, 1000UL);
    while (!stop.stop_requested()) {
      ServiceAll(TClock::now());
      std::erase_if(connections_, [](const auto& c) { return c->Done(); });
      WaitAndHandle();
    }
    connections_.clear();
  }

 private:
  enum class TSide { Wake, Listen, Client, Server };
  struct TWatch {
    TSide side;
    TConnection* connection;
  };

  // Writes what is due, passes ends of stream on, and gives up on
  // connections to the server that took too long.
  void ServiceAll(TClock::time_point now) {
    for (auto& c : connections_) {
      if (c->connecting) {
        if (now >= c->connectDeadline)
          Fail(*c, "the server at " + relay_.targetName_ + " did not accept a connection within " +
                       std::to_string(kConnectTimeout.count()) + " s");
        continue;
      }
      Flush(*c, c->up, c->server, now);
      Flush(*c, c->down, c->client, now);
    }
  }

  void Flush(TConnection& c, TFlow& flow, int to, TClock::time_point now) {
    while (!c.failed && flow.Due(now)) {
      TChunk& chunk = flow.held.front();
      const ssize_t n =
          send(to, chunk.bytes.data() + chunk.sent, chunk.bytes.size() - chunk.sent, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
          flow.blocked = true;
        else if (errno != EINTR)
          c.failed = true;
        continue;
      }
      chunk.sent += static_cast<std::size_t>(n);
      if (chunk.sent < chunk.bytes.size()) continue;
      flow.heldBytes -= chunk.bytes.size();
      flow.held.pop_front();
    }
    if (flow.ended && flow.held.empty() && !flow.shutDown) {
      shutdown(to, SHUT_WR);
      flow.shutDown = true;
    }
  }

  void WaitAndHandle() {
    fds_.clear();
    watches_.clear();
    Watch(relay_.wake_, POLLIN, {TSide::Wake, nullptr});
    Watch(relay_.listen_, POLLIN, {TSide::Listen, nullptr});
    auto until = TClock::now() + kLongestWait;
    for (auto& c : connections_) {
      if (c->connecting) {
        Watch(c->server, POLLOUT, {TSide::Server, c.get()});
        until = std::min(until, c->connectDeadline);
        continue;
      }
      Watch(c->client, Events(c->up, c->down), {TSide::Client, c.get()});
      Watch(c->server, Events(c->down, c->up), {TSide::Server, c.get()});
      for (const TFlow* flow : {&c->up, &c->down})
        if (!flow->blocked && !flow->held.empty())
          until = std::min(until, flow->held.front().release);
    }
    const auto wait = std::max(until - TClock::now(), TClock::duration::zero());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    const timespec timeout{static_cast<time_t>(ns / 1'000'000'000),
                           static_cast<long>(ns % 1'000'000'000)};
    if (ppoll(fds_.data(), fds_.size(), &timeout, nullptr) <= 0) return;
    for (std::size_t i = 0; i < fds_.size(); ++i)
      if (fds_[i].revents != 0) Handle(watches_[i], fds_[i].revents);
  }

  // A socket is read for the flow it feeds and written for the flow it takes.
  static short Events(const TFlow& from, const TFlow& to) {
    return static_cast<short>((from.WantsRead() ? POLLIN : 0) | (to.blocked ? POLLOUT : 0));
  }

  void Watch(int fd, short events, TWatch watch) {
    // A socket with nothing asked of it stays out of the set: its hang-up
    // alone would end every wait at once.
    fds_.push_back({events != 0 ? fd : -1, events, 0});
    watches_.push_back(watch);
  }

  void Handle(const TWatch& watch, short revents) {
    switch (watch.side) {
      case TSide::Wake: {
        std::uint64_t count;
        [[maybe_unused]] const ssize_t n = read(relay_.wake_, &count, sizeof count);
        return;
      }
      case TSide::Listen:
        return AcceptAll();
      case TSide::Client:
      case TSide::Server:
        break;
    }
    TConnection& c = *watch.connection;
    const bool server = watch.side == TSide::Server;
    if (server && c.connecting) return FinishConnect(c);
    TFlow& from = server ? c.down : c.up;
    TFlow& to = server ? c.up : c.down;
    if (revents & POLLOUT) to.blocked = false;
    if (from.WantsRead() && (revents & (POLLIN | POLLHUP | POLLERR)))
      Read(c, from, server);
    else if (revents & POLLERR)
      c.failed = true;
  }

  void Read(TConnection& c, TFlow& flow, bool fromServer) {
    char buffer[kReadBytes];
    const ssize_t n = recv(fromServer ? c.server : c.client, buffer, sizeof buffer, 0);
    if (n == 0) flow.ended = true;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) c.failed = true;
    if (n <= 0) return;
    const auto release = TClock::now() + relay_.delay_;
    flow.held.push_back({release, std::string(buffer, static_cast<std::size_t>(n))});
    flow.heldBytes += static_cast<std::size_t>(n);
    if (fromServer && c.lastReadUp) relay_.NoteRoundTrip(release);
    c.lastReadUp = !fromServer;
  }

  void AcceptAll() {
    for (;;) {
      const int client = accept4(relay_.listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (client < 0) return;  // EAGAIN: none left; anything else: the client is gone
      SetNoDelay(client);
      auto c = std::make_unique<TConnection>();
      c->client = client;
      c->connectDeadline = TClock::now() + kConnectTimeout;
      StartConnect(*c);
      connections_.push_back(std::move(c));
    }
  }

  void StartConnect(TConnection& c) {
    const auto& target = relay_.target_;
    c.server = socket(target.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c.server < 0) return Fail(c, ErrnoText("socket"));
    if (connect(c.server, reinterpret_cast<const sockaddr*>(&target), relay_.targetLength_) == 0)
      return Connected(c);
    if (errno != EINPROGRESS)
      Fail(c, ErrnoText(("cannot connect to " + relay_.targetName_).c_str()));
  }

  void FinishConnect(TConnection& c) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(c.server, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0) {
      errno = error;
      return Fail(c, ErrnoText(("cannot connect to " + relay_.targetName_).c_str()));
    }
    Connected(c);
  }

  void Connected(TConnection& c) {
    SetNoDelay(c.server);
    c.connecting = false;
  }

  // The client's connection is closed: it sees the server vanish.
  void Fail(TConnection& c, const std::string& what) {
    c.failed = true;
    relay_.NoteFailure(what);
  }

  TLatencyRelay& relay_;
  std::vector<std::unique_ptr<TConnection>> connections_;
  std::vector<pollfd> fds_;  // the wait's set, and beside it what each entry is
  std::vector<TWatch> watches_;
};

TLatencyRelay::TLatencyRelay(const std::string& host, int port,
                             std::chrono::microseconds oneWayDelay)
    : delay_(oneWayDelay),
      targetName_(host + ":" + std::to_string(port)),
      answers_(kKeptRoundTrips) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
    Die("latency relay: no address for " + targetName_);
  std::memcpy(&target_, found->ai_addr, found->ai_addrlen);
  targetLength_ = found->ai_addrlen;
  freeaddrinfo(found);

  listen_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof local;
  if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      listen(listen_, 64) != 0 ||
      getsockname(listen_, reinterpret_cast<sockaddr*>(&local), &length) != 0)
    Die(ErrnoText("latency relay: cannot listen on 127.0.0.1"));
  port_ = ntohs(local.sin_port);
  wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_ < 0) Die(ErrnoText("latency relay: eventfd"));
  thread_ = std::jthread([this](std::stop_token stop) { TWorker(*this).Run(stop); });
}

TLatencyRelay::~TLatencyRelay() { Stop(); }

void TLatencyRelay::Stop() {
  if (thread_.joinable()) {
    thread_.request_stop();
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wake_, &one, sizeof one);
    thread_.join();
  }
  for (int* fd : {&listen_, &wake_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

std::uint64_t TLatencyRelay::RoundTripsBetween(TClock::time_point from,
                                               TClock::time_point to) const {
  std::lock_guard<std::mutex> g(mutex_);
  return static_cast<std::uint64_t>(std::count_if(
      answers_.begin(), answers_.end(), [&](TClock::time_point t) { return t >= from && t < to; }));
}

std::string TLatencyRelay::LastError() const {
  std::lock_guard<std::mutex> g(mutex_);
  return lastError_;
}

void TLatencyRelay::NoteRoundTrip(TClock::time_point answerReleased) {
  roundTrips_.fetch_add(1);
  std::lock_guard<std::mutex> g(mutex_);
  answers_[nextAnswer_] = answerReleased;
  nextAnswer_ = (nextAnswer_ + 1) % answers_.size();
}

void TLatencyRelay::NoteFailure(const std::string& what) {
  failedConnections_.fetch_add(1);
  std::lock_guard<std::mutex> g(mutex_);
  lastError_ = what;
}

}  // namespace orlo::bench
