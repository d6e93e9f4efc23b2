// ICMP echo over an unprivileged ICMP datagram socket (Linux "ping socket",
// allowed by net.ipv4.ping_group_range) or, failing that, a raw socket.
#include "platform/ping.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

namespace orlo {

namespace {

constexpr std::uint8_t kEchoRequest4 = 8, kEchoReply4 = 0;
constexpr std::uint8_t kEchoRequest6 = 128, kEchoReply6 = 129;

std::atomic<std::uint16_t> nextSequence{1};

std::uint16_t Checksum(const std::uint8_t* data, size_t size) {
  std::uint32_t sum = 0;
  for (size_t i = 0; i + 1 < size; i += 2) sum += (data[i] << 8) | data[i + 1];
  if (size & 1) sum += data[size - 1] << 8;
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

struct Socket {
  int fd = -1;
  ~Socket() {
    if (fd >= 0) close(fd);
  }
};

std::string ErrnoText(const char* what, int err) {
  return std::string(what) + ": " + strerror(err);
}

}  // namespace

TPingResult IcmpEcho(const std::string& host, int timeoutMs, int dataBytes) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found); rc != 0 || !found)
    return {TPingOutcome::Failed, "unknown host " + host + ": " + gai_strerror(rc)};
  sockaddr_storage target{};
  socklen_t targetLen = found->ai_addrlen;
  std::memcpy(&target, found->ai_addr, found->ai_addrlen);
  const int family = found->ai_family;
  freeaddrinfo(found);
  if (family != AF_INET && family != AF_INET6)
    return {TPingOutcome::Failed, "unsupported address family for " + host};
  const bool v6 = family == AF_INET6;
  const int proto = v6 ? static_cast<int>(IPPROTO_ICMPV6) : static_cast<int>(IPPROTO_ICMP);

  Socket s;
  bool raw = false;
  s.fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, proto);
  if (s.fd < 0) {
    s.fd = socket(family, SOCK_RAW | SOCK_CLOEXEC, proto);
    raw = true;
    if (s.fd < 0) return {TPingOutcome::Error, ErrnoText("ICMP socket", errno)};
  }

  // Datagram sockets get their identifier from the kernel (the local port)
  // and only ever see their own replies; a raw socket sees all ICMP traffic,
  // so its replies are matched on identifier and sequence.
  const std::uint16_t id = static_cast<std::uint16_t>(getpid() ^ (raw ? 0 : 0x5a5a));
  const std::uint16_t seq = nextSequence.fetch_add(1);
  std::vector<std::uint8_t> packet(8 + std::max(0, dataBytes));
  packet[0] = v6 ? kEchoRequest6 : kEchoRequest4;
  packet[4] = id >> 8;
  packet[5] = id & 0xff;
  packet[6] = seq >> 8;
  packet[7] = seq & 0xff;
  for (size_t i = 8; i < packet.size(); ++i) packet[i] = static_cast<std::uint8_t>(i);
  if (!v6) {  // the kernel fills in the ICMPv6 checksum itself
    std::uint16_t sum = Checksum(packet.data(), packet.size());
    packet[2] = sum >> 8;
    packet[3] = sum & 0xff;
  }
  if (sendto(s.fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&target),
             targetLen) < 0)
    return {TPingOutcome::Failed, ErrnoText("send", errno)};

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
  std::uint8_t reply[1500];
  for (;;) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return {TPingOutcome::NoAnswer, {}};
    pollfd p{s.fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return {TPingOutcome::NoAnswer, {}};
    ssize_t n = recv(s.fd, reply, sizeof reply, 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return {TPingOutcome::Failed, ErrnoText("receive", errno)};
    }
    size_t at = 0;
    if (raw && !v6) {  // a raw IPv4 socket delivers the IP header too
      if (n < 1) continue;
      at = static_cast<size_t>(reply[0] & 0x0f) * 4;
    }
    if (static_cast<size_t>(n) < at + 8) continue;
    const std::uint8_t* icmp = reply + at;
    if (icmp[0] != (v6 ? kEchoReply6 : kEchoReply4)) continue;
    const std::uint16_t rid = static_cast<std::uint16_t>((icmp[4] << 8) | icmp[5]);
    const std::uint16_t rseq = static_cast<std::uint16_t>((icmp[6] << 8) | icmp[7]);
    if (rseq == seq && (!raw || rid == id)) return {TPingOutcome::Reply, {}};
  }
}

}  // namespace orlo
