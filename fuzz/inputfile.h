// The fuzz input as a file, for targets whose code under test reads a file:
// one temporary file per process, on tmpfs when there is one (the settings
// file is synced at every write), removed at exit.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace orlo::fuzz {

inline std::string& InputFileName() {
  static std::string name;
  return name;
}

inline void RemoveInputFile() { ::unlink(InputFileName().c_str()); }

// Writes the input to the process's file (made on first use; prefix names
// it, as in "orlo-fuzz-ini") and returns the file's path.
inline const std::string& WriteInputFile(const std::string& prefix, const std::string& input) {
  std::string& name = InputFileName();
  if (name.empty()) {
    std::string path = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : "/tmp/";
    path += prefix + "-XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0) std::abort();
    ::close(fd);
    name = path;
    std::atexit(RemoveInputFile);
  }
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << input;
  return name;
}

}  // namespace orlo::fuzz
