// TRegistryStore: the machine-wide registry of the system, kept in one text
// file in the Windows registry export format ("Windows Registry Editor Version
// 5.00" or "REGEDIT4"), which admins can edit by hand:
//   [HKEY_LOCAL_MACHINE\Software\Quenlor\Orlo]
//   "Host"="127.0.0.1"                      string (escapes \\ and \")
//   "DebugLog"=dword:00000001               DWORD
//   "Path"=hex(2):25,00,41,00,00,00         expandable string, UTF-16LE bytes
// Only keys under HKEY_LOCAL_MACHINE are kept. Key paths and value names
// compare without regard to letter case. A missing file is an empty registry;
// a line that cannot be parsed is skipped (and listed in Problems()).
// A loaded store is an immutable snapshot: any thread may read it. Load it
// anew for every use so edits of the file apply without a restart.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orlo {

// The store file: set by main() from --registry; else the environment
// variable ORLOCARD_REGISTRY; else /etc/orlocard/registry.reg.
std::string RegistryFileName();
void SetRegistryFileName(const std::string& file);

enum class TRegValueType { String, ExpandString, DWord, Other };

struct TRegValue {
  TRegValueType type = TRegValueType::Other;
  std::string text;         // String and ExpandString (UTF-8, as stored)
  std::uint32_t dword = 0;  // DWord
};

class TRegistryStore {
 public:
  // Reads the file; never fails (a missing or unreadable file is empty, and
  // an unreadable one says why in ReadError()).
  static TRegistryStore Load(const std::string& fileName);
  // Parses the text of a store file.
  static TRegistryStore Parse(std::string_view text);

  // keyPath is relative to HKEY_LOCAL_MACHINE ("\Software\Quenlor\Orlo\");
  // leading and trailing backslashes do not matter.
  bool KeyExists(std::string_view keyPath) const;
  std::optional<TRegValue> Value(std::string_view keyPath, std::string_view name) const;

  // "line N: reason" for every line that was skipped.
  const std::vector<std::string>& Problems() const { return problems_; }
  // Why a file that exists could not be read ("" when it was read or is
  // absent): the caller can say so instead of running on silent defaults.
  const std::string& ReadError() const { return readError_; }

 private:
  // Lower-case key path without root and outer backslashes -> lower-case value
  // name ("" is the key's default value) -> value.
  std::map<std::string, std::map<std::string, TRegValue>> keys_;
  std::vector<std::string> problems_;
  std::string readError_;
};

}  // namespace orlo
