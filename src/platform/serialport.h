// TSerialPort: one serial device opened exclusively, raw 8N1, no flow control.
// Owned and used by a single thread (a loop's poll thread); not thread-safe.
// A device that disappears (read or write error such as EIO) never raises:
// the calls return failure and the owner decides what to do. A failed Read
// still takes its time-out (a dead port behaves like a silent line, so a poll
// loop never spins), and the port tries to re-open the same device path about
// once a second, so an adapter plugged back in works again without a restart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace orlo {

class TSerialPort {
 public:
  virtual ~TSerialPort() = default;

  // Opens the device at the given standard baud rate. On failure returns false
  // and sets error to a readable reason (including the system's message).
  virtual bool Open(const std::string& devicePath, int baud, std::string& error) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;

  // Writes every byte or fails; false when the device is gone or times out.
  virtual bool Write(const std::uint8_t* data, std::size_t size) = 0;
  // Waits up to timeoutMs for input, then returns what is there (up to cap):
  // the number of bytes read, 0 on time-out, -1 when the device failed.
  virtual int Read(std::uint8_t* buf, std::size_t cap, int timeoutMs) = 0;
  // Discards received bytes not yet read.
  virtual void Purge() = 0;
};

// True for the rates a port can be opened at (50 .. 4000000, the standard
// termios rates); any other rate fails Open.
bool IsStandardBaud(int baud);

// The real port on a tty or pseudo-terminal.
std::unique_ptr<TSerialPort> MakeSerialPort();

}  // namespace orlo
