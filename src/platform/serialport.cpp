// The real serial port: a tty or pseudo-terminal driven through termios.
#include "platform/serialport.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace orlo {

namespace {

using Clock = std::chrono::steady_clock;

// A device that failed is tried again at most this often, so an adapter that
// is plugged back in (and gets the same device name) works again by itself.
constexpr auto kReopenInterval = std::chrono::seconds(1);

std::string SystemMessage(int err) { return std::strerror(err); }

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool BaudToSpeed(int baud, speed_t& speed) {
  static const struct {
    int baud;
    speed_t speed;
  } kRates[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},
      {150, B150},         {200, B200},         {300, B300},         {600, B600},
      {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
      {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
      {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
      {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
      {3500000, B3500000}, {4000000, B4000000},
  };
  for (const auto& r : kRates) {
    if (r.baud == baud) {
      speed = r.speed;
      return true;
    }
  }
  return false;
}

class TPosixSerialPort final : public TSerialPort {
 public:
  ~TPosixSerialPort() override { Close(); }

  bool Open(const std::string& devicePath, int baud, std::string& error) override {
    Close();
    speed_t speed = 0;
    if (!BaudToSpeed(baud, speed)) {
      error = "unsupported baud rate " + std::to_string(baud) + " for " + devicePath +
              " (use a standard rate such as 9600, 19200, 38400, 57600 or 115200)";
      return false;
    }
    int fd = -1;
    if (!OpenDevice(devicePath, speed, fd, error)) return false;
    fd_ = fd;
    path_ = devicePath;
    speed_ = speed;
    failed_ = false;
    reopenable_ = !IsPseudoTerminal(fd) || IsSymlink(devicePath);
    return true;
  }

  void Close() override {
    CloseFd();
    path_.clear();
    failed_ = false;
  }

  bool IsOpen() const override { return !path_.empty(); }

  bool Write(const std::uint8_t* data, std::size_t size) override {
    if (!Usable()) return false;
    // A line at the slowest standard rate still takes every byte well within
    // this; a stuck device (flow-controlled pty nobody reads) fails the write.
    const auto deadline = Clock::now() + std::chrono::milliseconds(1000 + size * 10);
    std::size_t done = 0;
    while (done < size) {
      ssize_t n = ::write(fd_, data + done, size - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) {
        MarkFailed();
        return false;
      }
      int wait = RemainingMs(deadline);
      if (wait == 0) return false;
      pollfd p{fd_, POLLOUT, 0};
      int r = ::poll(&p, 1, wait);
      if (r < 0 && errno != EINTR) return false;
      if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p.revents & POLLOUT)) {
        MarkFailed();
        return false;
      }
    }
    return true;
  }

  int Read(std::uint8_t* buf, std::size_t cap, int timeoutMs) override {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    // A port already known to be dead answers like a silent line: the wait
    // still takes its time, so a poll loop on a dead port never spins.
    if (!Usable()) {
      std::this_thread::sleep_until(deadline);
      return -1;
    }
    if (cap == 0) return 0;
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      int r = ::poll(&p, 1, RemainingMs(deadline));
      if (r < 0) {
        if (errno == EINTR) continue;
        return Failed();
      }
      if (r == 0) return 0;
      if (p.revents & POLLIN) {
        ssize_t n = ::read(fd_, buf, cap);
        if (n > 0) return static_cast<int>(n);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
          if (RemainingMs(deadline) == 0) return 0;
          continue;
        }
        // 0 bytes after "readable" is a hang-up; EIO is a vanished device.
        return Failed();
      }
      // Hang-up or error without data: the other side of the line is gone.
      return Failed();
    }
  }

  void Purge() override {
    if (fd_ >= 0) ::tcflush(fd_, TCIFLUSH);
  }

 private:
  static bool OpenDevice(const std::string& path, speed_t speed, int& fdOut, std::string& error) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      int err = errno;
      error = "cannot open " + path + ": " + SystemMessage(err);
      if (err == EBUSY) error += " (the port is in use by another program)";
      return false;
    }
    auto fail = [&](const std::string& what) {
      int err = errno;
      error = what + " " + path + ": " + SystemMessage(err);
      ::ioctl(fd, TIOCNXCL);
      ::close(fd);
      return false;
    };
    if (!::isatty(fd)) return fail("not a serial device:");
    // The lock guards against a second opener even where the exclusive tty
    // flag does not (a privileged process may open an exclusive tty).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int err = errno;
      ::close(fd);
      error = "cannot open " + path + ": " +
              (err == EWOULDBLOCK ? std::string("the port is in use by another program")
                                  : SystemMessage(err));
      return false;
    }
    if (::ioctl(fd, TIOCEXCL) != 0) return fail("cannot lock");
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return fail("cannot read line settings of");
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // Reads return at once with what is waiting; poll() does the waiting.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0)
      return fail("cannot set the baud rate of");
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) return fail("cannot configure");
    ::tcflush(fd, TCIOFLUSH);
    fdOut = fd;
    return true;
  }

  // The descriptor can be used; a failed device is re-opened at most once per
  // interval (a re-plugged adapter), otherwise the call fails.
  bool Usable() {
    if (path_.empty()) return false;
    if (!failed_) return fd_ >= 0;
    const auto now = Clock::now();
    if (!reopenable_ || now - lastReopen_ < kReopenInterval) return false;
    lastReopen_ = now;
    CloseFd();
    std::string ignored;
    int fd = -1;
    if (!OpenDevice(path_, speed_, fd, ignored)) return false;
    fd_ = fd;
    failed_ = false;
    return true;
  }

  // A pseudo-terminal whose other side closed never comes back, and its
  // number may be reused by an unrelated program: never re-open one by its
  // own name. A port named by a symbolic link is different: whoever keeps the
  // link (udev, a line bridge, the device simulator) points it at the line of
  // the moment, so a failed line is looked up again through the link.
  static bool IsPseudoTerminal(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    unsigned m = major(st.st_rdev);
    return m >= 136 && m <= 143;  // the Unix 98 pty slave majors
  }

  static bool IsSymlink(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  }

  void MarkFailed() {
    if (!failed_) lastReopen_ = Clock::now();
    failed_ = true;
  }

  int Failed() {
    MarkFailed();
    return -1;
  }

  void CloseFd() {
    if (fd_ < 0) return;
    // The exclusive flag belongs to the tty, not the descriptor: clear it so
    // the port can be opened again (a pseudo-terminal keeps it otherwise).
    ::ioctl(fd_, TIOCNXCL);
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
  }

  int fd_ = -1;
  std::string path_;  // non-empty while open (even when the device failed)
  speed_t speed_ = B9600;
  bool failed_ = false;
  bool reopenable_ = false;
  Clock::time_point lastReopen_{};
};

}  // namespace

bool IsStandardBaud(int baud) {
  speed_t ignored;
  return BaudToSpeed(baud, ignored);
}

std::unique_ptr<TSerialPort> MakeSerialPort() { return std::make_unique<TPosixSerialPort>(); }

}  // namespace orlo
