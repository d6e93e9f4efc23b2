// TRegistryEx: typed reads of registry values with defaults and the Missing
// flag; Unscramble/Scramble of the two scrambled values; ReadComputerName.
// Every read loads the registry store file anew (edits apply at the next use).
// Each instance belongs to one thread (Missing is per instance); the free
// functions are thread-safe.
#pragma once

#include <string>

namespace orlo {

class TRegistryEx {
 public:
  // keyPath is relative to HKEY_LOCAL_MACHINE ("\Software\Quenlor\Orlo\").
  // registryFile empty means RegistryFileName().
  explicit TRegistryEx(std::string keyPath, std::string registryFile = "");

  void SetKey(std::string keyPath) { keyPath_ = std::move(keyPath); }

  // Strings are REG_SZ or REG_EXPAND_SZ (not expanded); integers and booleans
  // are REG_DWORD (a boolean is true when not 0). A value of another type, or
  // no value, gives empty / 0 / false and sets Missing.
  std::string GetString(const std::string& name);
  std::string GetStringDef(const std::string& name, const std::string& def);
  bool GetBool(const std::string& name);
  bool GetBoolDef(const std::string& name, bool def);
  int GetInteger(const std::string& name);
  int GetIntegerDef(const std::string& name, int def);
  // GetString followed by Unscramble.
  std::string GetScrambled(const std::string& name);

  // True when the last read found no value of the asked type.
  bool Missing() const { return missing_; }

 private:
  std::string keyPath_;
  std::string registryFile_;
  bool missing_ = false;
};

// The 90 characters (distinct printable ASCII) of scrambled values.
extern const char kScrambleAlphabet[];

// Each character moved back in the alphabet by its 1-based position,
// cyclically; a character outside the alphabet counts as position 0.
std::string Unscramble(const std::string& stored);
// The inverse, for storing a value: false (and stored untouched) when plain
// holds a character outside the alphabet, which could not be restored.
bool Scramble(const std::string& plain, std::string& stored);

// The computer name from the registry store, else the host name.
std::string ReadComputerName(const std::string& registryFile = "");

}  // namespace orlo
