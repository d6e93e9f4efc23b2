// libFuzzer target for the settings-file reader. The input is the file's
// text; the reads must not crash and keep values within the 2047-character
// cap, and a value written to a key must read back as written (the rest of
// the file as it was, whatever it holds).
#include "config/inifile.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "inputfile.h"

namespace {

// A value the file can hold on one line: no line ends, no outer blanks or
// matching quotes (which a read strips), at most 2047 characters.
std::string Storable(std::string value) {
  for (char& c : value)
    if (c == '\r' || c == '\n' || c == '\t' || c == '"' || c == '\'') c = '_';
  while (!value.empty() && value.front() == ' ') value.erase(0, 1);
  while (!value.empty() && value.back() == ' ') value.pop_back();
  if (value.size() > 2047) value.resize(2047);
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);
  const std::string& file = orlo::fuzz::WriteInputFile("orlo-fuzz-ini", raw);
  orlo::TIniFileEx ini(file);
  if (ini.ReadString("Settings", "Grace Time", "").size() > 2047) std::abort();
  if (ini.ReadString("ports", "COM1", "").size() > 2047) std::abort();
  (void)ini.ReadInteger("Settings", "Grace Time", 15);
  (void)ini.ReadBool("Settings", "Debug Log?", true);
  (void)ini.ValueExists("Settings", "");

  // The input's last line as a value, written under a fixed key.
  const std::string value = Storable(raw.substr(raw.rfind('\n') + 1));
  try {
    ini.WriteString("Fuzz", "Round Trip", value);
  } catch (const orlo::EIniFileError&) {
    return 0;
  }
  if (ini.ReadString("FUZZ", "round trip", "<absent>") != value) std::abort();
  return 0;
}
