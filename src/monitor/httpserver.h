// Inside the monitor: the HTTP server (CivetWeb) of /metrics and the status
// page. It answers GET and HEAD of the paths its responder knows, 405 to any
// other method on them and 404 to anything else; it serves no files.
// Requests are bounded (size, time, a few threads), so a flood of bad ones
// only keeps the server itself busy.
//
// Owned by the TMonitor; made, started and destroyed on the main thread.
// The responder runs on the server's own threads and must only touch state
// that is safe there.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct mg_connection;
struct mg_context;

namespace orlo::detail {

struct THttpResponse {
  std::string contentType;
  std::string body;
};

class THttpServer {
 public:
  // The response of one of the known paths.
  using TResponder = std::function<THttpResponse(const std::string& path)>;

  THttpServer(std::vector<std::string> paths, TResponder responder);
  ~THttpServer();  // stops: waits for the requests in progress
  THttpServer(const THttpServer&) = delete;
  THttpServer& operator=(const THttpServer&) = delete;

  // Listens on address:port; false with the reason in error when it cannot.
  bool Start(const std::string& address, int port, std::string& error);
  // The port it listens on (port 0 asked for any free one).
  int Port() const { return port_; }

 private:
  static int Handle(mg_connection* conn, void* self);

  const std::vector<std::string> paths_;
  TResponder responder_;
  mg_context* context_ = nullptr;
  int port_ = 0;
};

}  // namespace orlo::detail
