// TIniFileEx: the settings file (section/key/value text, keys without regard
// to letter case, values up to 2047 characters). The ...Ex reads write a
// missing key with its default first, so a fresh site ends up with a complete,
// self-documenting file. Every call reads the file anew, so edits by hand
// apply at the next read. Not thread-safe: use one instance per thread.
#pragma once

#include <stdexcept>
#include <string>

namespace orlo {

// Raised when a missing key cannot be written back: "Unable to write to <file>".
class EIniFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TIniFileEx {
 public:
  explicit TIniFileEx(std::string fileName);

  bool ReadBoolEx(const std::string& section, const std::string& key, bool def);
  int ReadIntegerEx(const std::string& section, const std::string& key, int def);
  std::string ReadStringEx(const std::string& section, const std::string& key,
                           const std::string& def);

  // Plain reads and writes, without write-back of defaults.
  bool ValueExists(const std::string& section, const std::string& key) const;
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  int ReadInteger(const std::string& section, const std::string& key, int def) const;
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;
  void WriteString(const std::string& section, const std::string& key, const std::string& value);

  const std::string& FileName() const { return fileName_; }

 private:
  std::string fileName_;
};

}  // namespace orlo
