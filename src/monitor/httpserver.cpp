#include "monitor/httpserver.h"

#include <civetweb.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

namespace orlo::detail {

namespace {

// CivetWeb's library state is set up once per process.
std::once_flag civetInit;

// A status page refreshed by a few people and a Prometheus scrape need few
// threads; each waits at most this long for a slow client's request.
constexpr char kThreads[] = "2";
constexpr char kRequestTimeoutMs[] = "5000";
// Requests are small GETs: a longer head is refused without being stored.
constexpr char kMaxRequestSize[] = "8192";

void SendPlain(mg_connection* conn, int status, const char* reason, const char* extraHeaders,
               const char* text) {
  mg_printf(conn,
            "HTTP/1.1 %d %s\r\nContent-Type: text/plain; charset=utf-8\r\n"
            "Content-Length: %zu\r\n%sConnection: close\r\n\r\n%s",
            status, reason, std::strlen(text), extraHeaders, text);
}

// The server's own messages would go to standard error; the HTTP threads may
// not write the service's log, and a bad request is no news worth a line.
int Quiet(const mg_connection*, const char*) { return 1; }

}  // namespace

THttpServer::THttpServer(std::vector<std::string> paths, TResponder responder)
    : paths_(std::move(paths)), responder_(std::move(responder)) {
  std::call_once(civetInit, [] { mg_init_library(0); });
}

THttpServer::~THttpServer() {
  if (context_) mg_stop(context_);
}

bool THttpServer::Start(const std::string& address, int port, std::string& error) {
  const std::string ports = address + ":" + std::to_string(port);
  const char* options[] = {"listening_ports",
                           ports.c_str(),
                           "num_threads",
                           kThreads,
                           "request_timeout_ms",
                           kRequestTimeoutMs,
                           "max_request_size",
                           kMaxRequestSize,
                           "enable_keep_alive",
                           "no",
                           nullptr};
  mg_callbacks callbacks{};
  callbacks.log_message = Quiet;
  mg_init_data init{};
  init.callbacks = &callbacks;
  init.user_data = this;
  init.configuration_options = options;
  std::array<char, 256> text{};
  unsigned code = 0;
  mg_error_data failure{};
  failure.code = &code;
  failure.text = text.data();
  failure.text_buffer_size = text.size();
  context_ = mg_start2(&init, &failure);
  if (!context_) {
    error = text[0] ? text.data() : "the server did not start";
    return false;
  }
  mg_set_request_handler(context_, "/", &THttpServer::Handle, this);
  std::array<mg_server_port, 1> bound{};
  port_ = mg_get_server_ports(context_, 1, bound.data()) == 1 ? bound[0].port : port;
  return true;
}

int THttpServer::Handle(mg_connection* conn, void* self) {
  const mg_request_info* request = mg_get_request_info(conn);
  const auto& server = *static_cast<THttpServer*>(self);
  const std::string path = request->local_uri ? request->local_uri : "";
  const std::string method = request->request_method ? request->request_method : "";
  if (std::find(server.paths_.begin(), server.paths_.end(), path) == server.paths_.end()) {
    SendPlain(conn, 404, "Not Found", "", "not found\n");
    return 404;
  }
  const bool head = method == "HEAD";
  if (method != "GET" && !head) {
    SendPlain(conn, 405, "Method Not Allowed", "Allow: GET, HEAD\r\n", "GET only\n");
    return 405;
  }
  THttpResponse response;
  try {
    response = server.responder_(path);
  } catch (...) {
    SendPlain(conn, 500, "Internal Server Error", "", "internal error\n");
    return 500;
  }
  mg_printf(conn,
            "HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %zu\r\n"
            "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
            "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'\r\n"
            "Connection: close\r\n\r\n",
            response.contentType.c_str(), response.body.size());
  if (!head) mg_write(conn, response.body.data(), response.body.size());
  return 200;
}

}  // namespace orlo::detail
