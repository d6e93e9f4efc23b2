// Servers for the mail tests: a real SMTP server process (smtp_sink.py on
// aiosmtpd) that stores what it receives, and a listener that completes TCP
// connections but never says a word (a hung mail server).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "support/tempdir.h"

namespace orlo::test {

// Polls cond until it holds or the deadline passes; returns the last value.
bool WaitUntil(const std::function<bool()>& cond,
               std::chrono::milliseconds deadline = std::chrono::seconds(30));

// The whole text of a file, empty when it cannot be read.
std::string ReadFile(const std::string& path);

class TSmtpSink {
 public:
  // Starts the server (with AUTH required when user is not empty) and waits
  // for it to listen. ok() tells whether it came up; error() says why not.
  explicit TSmtpSink(const std::string& user = "", const std::string& password = "");
  ~TSmtpSink();  // stops the process by its id
  TSmtpSink(const TSmtpSink&) = delete;
  TSmtpSink& operator=(const TSmtpSink&) = delete;

  bool ok() const { return port_ > 0; }
  const std::string& error() const { return error_; }
  int port() const { return port_; }
  // The stored messages, oldest first, each with its envelope lines on top.
  std::vector<std::string> Messages() const;

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
