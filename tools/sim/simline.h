// The simulator's end of the line: either the master side of a fresh
// pseudo-terminal (the controller opens the slave path) or a real serial
// device. Owned and used by the simulator's line thread; Open/Close by its owner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace orlo::sim {

class TSimLine {
 public:
  virtual ~TSimLine() = default;
  // The path the controller should open (the pty slave or the device).
  virtual const std::string& Path() const = 0;
  // Bytes read (0 on time-out), -1 when the line failed.
  virtual int Read(std::uint8_t* buf, std::size_t cap, int timeoutMs) = 0;
  virtual bool Write(const std::uint8_t* data, std::size_t size) = 0;
};

// A new pseudo-terminal in raw mode. The slave side is also kept open here, so
// the line stays usable while the controller closes and re-opens its port.
std::unique_ptr<TSimLine> OpenPtyLine(std::string& error);
// A real serial device, opened exclusively at the given rate.
std::unique_ptr<TSimLine> OpenDeviceLine(const std::string& path, int baud, std::string& error);

}  // namespace orlo::sim
