// HTTP from the tests: real requests with libcurl, and raw bytes over a TCP
// socket for requests no client library would send. Every wait is bounded.
#pragma once

#include <string>

namespace orlo::test {

struct THttpResult {
  long status = 0;  // 0: no answer (error says why)
  std::string headers;
  std::string body;
  std::string error;
};

// One request to http://127.0.0.1:<port><path>.
THttpResult HttpRequest(int port, const std::string& path, const std::string& method = "GET");

// Sends bytes to 127.0.0.1:<port>, stays silent for holdMs, and returns what
// came back until the server closed the connection (10 seconds at most).
std::string RawExchange(int port, const std::string& bytes, int holdMs = 0);

}  // namespace orlo::test
