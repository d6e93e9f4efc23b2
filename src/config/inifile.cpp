#include "config/inifile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/text.h"

namespace orlo {

namespace {

constexpr std::size_t kMaxValueLength = 2047;

// Serialises read-modify-write of settings files within the process: every
// loop has its own TIniFileEx on the same file, and two write-backs at once
// must not lose one another's key.
std::mutex writeLock;

// The file as lines (without line ends). nullopt when it exists but cannot be
// read; an absent file is empty.
std::optional<std::vector<std::string>> ReadLines(const std::string& fileName, bool& crlf) {
  crlf = false;
  std::error_code ec;
  if (!std::filesystem::exists(fileName, ec)) return std::vector<std::string>{};
  if (std::filesystem::is_directory(fileName, ec)) return std::nullopt;
  std::ifstream in(fileName, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  const std::string all = text.str();
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\n', start);
    if (end == std::string::npos) end = all.size();
    std::string line = all.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
      crlf = true;
    }
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

bool IsSectionLine(const std::string& line, std::string& name) {
  const std::string_view t = TrimWhiteSpaceView(line);
  if (t.size() < 2 || t.front() != '[') return false;
  const std::size_t close = t.find(']');
  if (close == std::string_view::npos) return false;
  name = TrimWhiteSpaceView(t.substr(1, close - 1));
  return true;
}

bool IsKeyLine(const std::string& line, std::string& key, std::string& value) {
  const std::string_view t = TrimWhiteSpaceView(line);
  if (t.empty() || t[0] == ';' || t[0] == '#' || t[0] == '[') return false;
  const std::size_t eq = t.find('=');
  if (eq == std::string_view::npos) return false;
  key = TrimWhiteSpaceView(t.substr(0, eq));
  value = TrimWhiteSpaceView(t.substr(eq + 1));
  // A value in matching quotes loses them, as with the system's profile files.
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  if (value.size() > kMaxValueLength) value.resize(kMaxValueLength);
  return !key.empty();
}

// Finds the value of section/key in the lines; nullopt when absent.
std::optional<std::string> Lookup(const std::vector<std::string>& lines, const std::string& section,
                                  const std::string& key) {
  bool inSection = false;
  std::string name, k, v;
  for (const std::string& line : lines) {
    if (IsSectionLine(line, name)) {
      inSection = SameText(name, section);
    } else if (inSection && IsKeyLine(line, k, v) && SameText(k, key)) {
      return v;
    }
  }
  return std::nullopt;
}

// Integer text as the settings file holds it: decimal, or hexadecimal with
// "0x" or "$"; an optional sign. Hexadecimal may use all 32 bits.
std::optional<int> ParseInteger(std::string_view text) {
  text = TrimWhiteSpaceView(text);
  if (text.empty()) return std::nullopt;
  bool negative = false;
  std::size_t i = 0;
  if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
  int base = 10;
  if (text.compare(i, 1, "$") == 0) {
    base = 16;
    ++i;
  } else if (text.size() > i + 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= text.size()) return std::nullopt;
  unsigned long long v = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return std::nullopt;
    v = v * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    if (v > 0xFFFFFFFFULL) return std::nullopt;
  }
  long long result;
  if (base == 16)
    result = static_cast<long long>(static_cast<std::int32_t>(static_cast<std::uint32_t>(v)));
  else if (v > static_cast<unsigned long long>(INT_MAX) + (negative ? 1 : 0))
    return std::nullopt;
  else
    result = static_cast<long long>(v);
  return static_cast<int>(negative ? -result : result);
}

// Replaces the file by a complete new version: written beside it under a
// temporary name and renamed over it, so a concurrent reader sees the old or
// the new file, never a half-written one.
bool ReplaceFile(const std::string& fileName, const std::vector<std::string>& lines, bool crlf) {
  std::error_code ec;
  std::string target = fileName;
  if (std::filesystem::is_symlink(fileName, ec)) {
    const auto real = std::filesystem::canonical(fileName, ec);
    if (ec) return false;
    target = real.string();
  }
  mode_t mode = 0644;
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) {
    // A file made read-only (even for root, who could ignore it) stays as it is.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(target.c_str(), W_OK) != 0)
      return false;
    mode = st.st_mode & 07777;
  }
  std::string tmp = target + ".XXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) return false;
  std::string text;
  for (const std::string& line : lines) text += line + (crlf ? "\r\n" : "\n");
  bool ok = true;
  std::size_t done = 0;
  while (ok && done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      ok = false;
    else
      done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(tmp.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

std::string OneLine(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c == '\r' || c == '\n') c = ' ';
  return r;
}

}  // namespace

TIniFileEx::TIniFileEx(std::string fileName) : fileName_(std::move(fileName)) {}

bool TIniFileEx::ValueExists(const std::string& section, const std::string& key) const {
  bool crlf;
  const auto lines = ReadLines(fileName_, crlf);
  return lines && Lookup(*lines, section, key).has_value();
}

std::string TIniFileEx::ReadString(const std::string& section, const std::string& key,
                                   const std::string& def) const {
  bool crlf;
  const auto lines = ReadLines(fileName_, crlf);
  if (!lines) return def;
  return Lookup(*lines, section, key).value_or(def);
}

int TIniFileEx::ReadInteger(const std::string& section, const std::string& key, int def) const {
  return ParseInteger(ReadString(section, key, "")).value_or(def);
}

bool TIniFileEx::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFileEx::WriteString(const std::string& section, const std::string& key,
                             const std::string& value) {
  std::lock_guard lock(writeLock);
  bool crlf;
  auto read = ReadLines(fileName_, crlf);
  // A file that exists but cannot be read must not be replaced by one that
  // holds only this key.
  if (!read) throw EIniFileError("Unable to write to " + fileName_);
  std::vector<std::string>& lines = *read;
  const std::string newLine = OneLine(key) + "=" + OneLine(value);

  bool inSection = false, found = false;
  std::size_t insertAt = lines.size();
  std::string name, k, v;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (IsSectionLine(lines[i], name)) {
      if (inSection) break;  // end of the section: insert after its last entry
      inSection = SameText(name, section);
      if (inSection) {
        found = true;
        insertAt = i + 1;
      }
    } else if (inSection) {
      if (IsKeyLine(lines[i], k, v) && SameText(k, key)) {
        lines[i] = newLine;
        if (!ReplaceFile(fileName_, lines, crlf))
          throw EIniFileError("Unable to write to " + fileName_);
        return;
      }
      if (!TrimWhiteSpaceView(lines[i]).empty()) insertAt = i + 1;
    }
  }
  if (found) {
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), newLine);
  } else {
    if (!lines.empty() && !TrimWhiteSpaceView(lines.back()).empty()) lines.emplace_back();
    lines.push_back("[" + OneLine(section) + "]");
    lines.push_back(newLine);
  }
  if (!ReplaceFile(fileName_, lines, crlf)) throw EIniFileError("Unable to write to " + fileName_);
}

bool TIniFileEx::ReadBoolEx(const std::string& section, const std::string& key, bool def) {
  if (!ValueExists(section, key)) WriteString(section, key, def ? "1" : "0");
  return ReadBool(section, key, def);
}

int TIniFileEx::ReadIntegerEx(const std::string& section, const std::string& key, int def) {
  if (!ValueExists(section, key)) WriteString(section, key, std::to_string(def));
  return ReadInteger(section, key, def);
}

std::string TIniFileEx::ReadStringEx(const std::string& section, const std::string& key,
                                     const std::string& def) {
  if (!ValueExists(section, key)) WriteString(section, key, def);
  return ReadString(section, key, def);
}

}  // namespace orlo
