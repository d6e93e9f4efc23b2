// Pseudo-terminal and serial-device ends of the simulated line.
#include "simline.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "platform/serialport.h"

namespace orlo::sim {

namespace {

class TPtyLine final : public TSimLine {
 public:
  TPtyLine(int master, int slave, std::string path)
      : master_(master), slave_(slave), path_(std::move(path)) {}
  ~TPtyLine() override {
    ::close(slave_);
    ::close(master_);
  }
  const std::string& Path() const override { return path_; }

  int Read(std::uint8_t* buf, std::size_t cap, int timeoutMs) override {
    pollfd p{master_, POLLIN, 0};
    int r = ::poll(&p, 1, timeoutMs);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r == 0) return 0;
    ssize_t n = ::read(master_, buf, cap);
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return -1;
  }

  bool Write(const std::uint8_t* data, std::size_t size) override {
    // A controller that stopped reading fills the pty's buffer; give it a
    // moment, then drop what does not fit (a real line loses it too).
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    std::size_t done = 0;
    while (done < size) {
      ssize_t n = ::write(master_, data + done, size - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) return false;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      pollfd p{master_, POLLOUT, 0};
      ::poll(&p, 1, 10);
    }
    return true;
  }

 private:
  int master_;
  int slave_;
  std::string path_;
};

class TDeviceLine final : public TSimLine {
 public:
  TDeviceLine(std::unique_ptr<TSerialPort> port, std::string path)
      : port_(std::move(port)), path_(std::move(path)) {}
  const std::string& Path() const override { return path_; }
  int Read(std::uint8_t* buf, std::size_t cap, int timeoutMs) override {
    return port_->Read(buf, cap, timeoutMs);
  }
  bool Write(const std::uint8_t* data, std::size_t size) override {
    return port_->Write(data, size);
  }

 private:
  std::unique_ptr<TSerialPort> port_;
  std::string path_;
};

}  // namespace

std::unique_ptr<TSimLine> OpenPtyLine(std::string& error) {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0) {
    error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    return nullptr;
  }
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    error = std::string("cannot unlock the pseudo-terminal: ") + std::strerror(errno);
    ::close(master);
    return nullptr;
  }
  char name[256];
  if (::ptsname_r(master, name, sizeof name) != 0) {
    error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
    ::close(master);
    return nullptr;
  }
  // Holding the slave open keeps the master readable while no controller has
  // the port open (otherwise reads fail with EIO between two opens).
  int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) {
    error = std::string("cannot open ") + name + ": " + std::strerror(errno);
    ::close(master);
    return nullptr;
  }
  // Raw from the start: a cooked, echoing line would bounce our replies back
  // to us before the controller has configured the port.
  termios tio{};
  if (::tcgetattr(slave, &tio) == 0) {
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    ::tcsetattr(slave, TCSANOW, &tio);
  }
  return std::make_unique<TPtyLine>(master, slave, name);
}

std::unique_ptr<TSimLine> OpenDeviceLine(const std::string& path, int baud, std::string& error) {
  auto port = MakeSerialPort();
  if (!port->Open(path, baud, error)) return nullptr;
  return std::make_unique<TDeviceLine>(std::move(port), path);
}

}  // namespace orlo::sim
