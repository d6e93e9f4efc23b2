// ICMP echo ("ping") of a host, used by the database connection supervisor to
// skip a connect attempt when the database host does not answer. Uses an
// unprivileged ICMP datagram socket where the kernel allows it, else a raw
// socket. Thread-safe (each call uses its own socket).
#pragma once

#include <string>

namespace orlo {

enum class TPingOutcome {
  Reply,     // an echo reply came back
  NoAnswer,  // nothing came back within the time-out (worth another try)
  Failed,    // a definite failure: unknown host, unreachable network
  Error,     // no socket could be made (message says why)
};

struct TPingResult {
  TPingOutcome outcome = TPingOutcome::Error;
  std::string message;  // reason for Failed and Error
};

// Sends one echo request with dataBytes bytes of data to host (an IPv4 or IPv6
// address or a host name) and waits up to timeoutMs for the matching reply.
TPingResult IcmpEcho(const std::string& host, int timeoutMs, int dataBytes = 24);

}  // namespace orlo
