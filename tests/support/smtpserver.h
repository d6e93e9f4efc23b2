// Mail servers for tests: a real SMTP server process (smtp_sink.py beside this
// file, on aiosmtpd) that stores what it receives (and may then hang instead
// of confirming it), and a listener that completes TCP connections but never
// says a word (a hung mail server).
// Each object belongs to the test that made it; use it from that test's thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "support/tempdir.h"

namespace orlo::test {

// How the sink answers the end of a message's data.
enum class TSinkMode {
  Confirm,        // "250 OK" once the message is stored
  HangAfterData,  // stores the message, then never answers
};

class TSmtpSink {
 public:
  // Starts the server (with AUTH required when user is not empty) and waits
  // for it to listen. ok() tells whether it came up; error() says why not.
  explicit TSmtpSink(const std::string& user = "", const std::string& password = "",
                     TSinkMode mode = TSinkMode::Confirm);
  ~TSmtpSink();  // stops the process by its id
  TSmtpSink(const TSmtpSink&) = delete;
  TSmtpSink& operator=(const TSmtpSink&) = delete;

  bool ok() const { return port_ > 0; }
  const std::string& error() const { return error_; }
  int port() const { return port_; }
  // The stored messages, oldest first, each with its envelope lines on top.
  std::vector<std::string> Messages() const;
  // Waits (30 s at most) until at least count messages are stored.
  bool WaitForMessages(std::size_t count) const;

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
  std::string error_;
};

class TMuteServer {
 public:
  TMuteServer();  // listens on 127.0.0.1 at a free port
  ~TMuteServer();
  TMuteServer(const TMuteServer&) = delete;
  TMuteServer& operator=(const TMuteServer&) = delete;

  int port() const { return port_; }
  // True when a client has connected (the connection waits in the backlog).
  bool HasConnection() const;
  // Closes the listener: waiting clients are reset and new ones refused.
  void Close();

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A port on 127.0.0.1 where nothing listens (taken and released again).
int ClosedPort();

}  // namespace orlo::test
