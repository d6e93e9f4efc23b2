// Reading a line trace back in tests: every record of a pcap file through
// libpcap, with the fields of the trace's record header taken apart.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orlo::test {

struct TTraceEntry {
  long sec = 0;
  long usec = 0;
  std::uint32_t len = 0;  // the record's length before any cut to the snapshot length
  std::string payload;    // record header and frame

  int Version() const { return Byte(0); }
  int Direction() const { return Byte(1); }
  int Outcome() const { return Byte(2); }
  int Address() const { return Byte(3); }
  int LoopId() const { return Byte(4) << 8 | Byte(5); }
  int Port() const { return Byte(6) << 8 | Byte(7); }
  std::string Frame() const { return payload.size() > 8 ? payload.substr(8) : std::string(); }

 private:
  int Byte(std::size_t i) const {
    return i < payload.size() ? static_cast<std::uint8_t>(payload[i]) : -1;
  }
};

struct TTraceFileContents {
  bool ok = false;    // read to its end without an error
  std::string error;  // libpcap's text when not
  int linkType = -1;
  int snapLen = -1;
  bool microseconds = false;  // the file's own time stamp precision
  std::vector<TTraceEntry> entries;
};

TTraceFileContents ReadTrace(const std::string& path);

}  // namespace orlo::test
