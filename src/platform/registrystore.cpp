#include "platform/registrystore.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/mutex.h"
#include "platform/text.h"

namespace orlo {

namespace {

TMutex fileNameLock;
std::string fileNameSet GUARDED_BY(fileNameLock);  // empty until main() sets it

// "\Software\Quenlor\Orlo\" and "Software\Quenlor\Orlo" name the same key.
std::string NormalKey(std::string_view path) {
  while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  return LowerCase(path);
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// UTF-16LE bytes to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16LeToUtf8(std::string_view bytes) {
  std::string out;
  const std::size_t n = bytes.size() / 2;
  auto unit = [&](std::size_t i) -> std::uint32_t {
    return static_cast<unsigned char>(bytes[2 * i]) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2 * i + 1])) << 8);
  };
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t u = unit(i);
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < n && unit(i + 1) >= 0xDC00 && unit(i + 1) < 0xE000) {
      u = 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
      ++i;
    } else if (u >= 0xD800 && u < 0xE000) {
      u = 0xFFFD;
    }
    AppendUtf8(out, u);
  }
  return out;
}

// A quoted text at the start of s (which begins with '"'): unescapes \\ and
// \" (any other backslash stays as written); advances s past the closing quote.
std::optional<std::string> QuotedText(std::string_view& s) {
  std::string out;
  std::size_t i = 1;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return out;
    }
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      out += s[i + 1];
      i += 2;
      continue;
    }
    out += c;
    ++i;
  }
  return std::nullopt;  // no closing quote
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "xx,xx,..." to bytes; nullopt for anything else.
std::optional<std::string> HexBytes(std::string_view s) {
  std::string out;
  s = TrimWhiteSpaceView(s);
  if (s.empty()) return out;
  std::size_t i = 0;
  while (true) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i >= s.size()) return std::nullopt;
    const int hi = i < s.size() ? HexDigit(s[i]) : -1;
    const int lo = i + 1 < s.size() ? HexDigit(s[i + 1]) : -1;
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i == s.size()) return out;
    if (s[i] != ',') return std::nullopt;
    ++i;
  }
}

// Parses the data after '=' of a value line; nullopt when it cannot be read.
// deleted is set for the "-" form that removes a value.
std::optional<TRegValue> ValueData(std::string_view data, bool& deleted) {
  deleted = false;
  data = TrimWhiteSpaceView(data);
  TRegValue v;
  if (data == "-") {
    deleted = true;
    return v;
  }
  if (!data.empty() && data.front() == '"') {
    auto text = QuotedText(data);
    if (!text || !TrimWhiteSpaceView(data).empty()) return std::nullopt;
    v.type = TRegValueType::String;
    v.text = std::move(*text);
    return v;
  }
  const std::string lower = LowerCase(data.substr(0, std::min<std::size_t>(data.size(), 8)));
  if (lower.rfind("dword:", 0) == 0) {
    const std::string_view digits = TrimWhiteSpaceView(data.substr(6));
    if (digits.empty() || digits.size() > 8) return std::nullopt;
    std::uint32_t n = 0;
    for (char c : digits) {
      const int d = HexDigit(c);
      if (d < 0) return std::nullopt;
      n = n * 16 + static_cast<std::uint32_t>(d);
    }
    v.type = TRegValueType::DWord;
    v.dword = n;
    return v;
  }
  if (lower.rfind("hex", 0) == 0) {
    const std::size_t colon = data.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string kind = LowerCase(TrimWhiteSpaceView(data.substr(0, colon)));
    auto bytes = HexBytes(data.substr(colon + 1));
    if (!bytes) return std::nullopt;
    if (kind == "hex(1)" || kind == "hex(2)") {
      std::string text = Utf16LeToUtf8(*bytes);
      // Exported strings carry their terminating NUL.
      while (!text.empty() && text.back() == '\0') text.pop_back();
      v.type = kind == "hex(1)" ? TRegValueType::String : TRegValueType::ExpandString;
      v.text = std::move(text);
    } else if (kind == "hex(4)" && bytes->size() == 4) {
      v.type = TRegValueType::DWord;
      for (int i = 3; i >= 0; --i)
        v.dword = v.dword << 8 | static_cast<unsigned char>((*bytes)[static_cast<std::size_t>(i)]);
    } else if (kind == "hex" ||
               (kind.size() > 5 && kind.rfind("hex(", 0) == 0 && kind.back() == ')')) {
      v.type = TRegValueType::Other;
    } else {
      return std::nullopt;
    }
    return v;
  }
  return std::nullopt;
}

// The file's text as UTF-8: regedit writes UTF-16LE with a byte order mark.
std::string DecodeFile(const std::string& raw) {
  if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
      static_cast<unsigned char>(raw[1]) == 0xFE)
    return Utf16LeToUtf8(std::string_view(raw).substr(2));
  if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) return raw.substr(3);
  return raw;
}

}  // namespace

std::string RegistryFileName() {
  {
    TLockGuard lock(fileNameLock);
    if (!fileNameSet.empty()) return fileNameSet;
  }
  if (const char* env = std::getenv("ORLOCARD_REGISTRY"); env && *env) return env;
  return "/etc/orlocard/registry.reg";
}

void SetRegistryFileName(const std::string& file) {
  TLockGuard lock(fileNameLock);
  fileNameSet = file;
}

TRegistryStore TRegistryStore::Load(const std::string& fileName) {
  std::error_code ec;
  if (!std::filesystem::exists(fileName, ec)) return TRegistryStore();
  TRegistryStore unreadable;
  if (std::filesystem::is_directory(fileName, ec)) {
    unreadable.readError_ = "it is a folder";
    return unreadable;
  }
  std::ifstream in(fileName, std::ios::binary);
  if (!in) {
    unreadable.readError_ = std::strerror(errno);
    return unreadable;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    unreadable.readError_ = "read error";
    return unreadable;
  }
  return Parse(DecodeFile(text.str()));
}

TRegistryStore TRegistryStore::Parse(std::string_view text) {
  TRegistryStore store;
  // The key values go to; nullptr while inside a key that is not kept
  // (another root, or a "[-...]" deletion).
  std::map<std::string, TRegValue>* key = nullptr;
  bool inKey = false;
  bool first = true;
  std::size_t pos = 0, lineNo = 0;

  while (pos < text.size()) {
    // One logical line: a line ending in a backslash goes on in the next one
    // (regedit wraps long hex data so).
    std::string line;
    const std::size_t startNo = lineNo + 1;
    while (pos < text.size()) {
      std::size_t end = text.find('\n', pos);
      if (end == std::string_view::npos) end = text.size();
      std::string_view part = text.substr(pos, end - pos);
      pos = end + 1;
      ++lineNo;
      if (!part.empty() && part.back() == '\r') part.remove_suffix(1);
      const std::string_view trimmed = TrimWhiteSpaceView(part);
      if (!line.empty()) part = trimmed;
      if (!trimmed.empty() && trimmed.back() == '\\' && trimmed.front() != '[') {
        const std::string_view body = TrimWhiteSpaceView(part);
        line += body.substr(0, body.size() - 1);
        continue;
      }
      line += part;
      break;
    }
    const std::string_view l = TrimWhiteSpaceView(line);
    auto problem = [&](const std::string& why) {
      store.problems_.push_back("line " + std::to_string(startNo) + ": " + why);
    };
    if (l.empty() || l.front() == ';') continue;
    if (first) {
      first = false;
      if (l == "Windows Registry Editor Version 5.00" || l == "REGEDIT4") continue;
    }
    if (l.front() == '[') {
      if (l.back() != ']') {
        problem("key line without closing bracket");
        key = nullptr;
        inKey = true;
        continue;
      }
      std::string_view path = TrimWhiteSpaceView(l.substr(1, l.size() - 2));
      inKey = true;
      key = nullptr;
      if (!path.empty() && path.front() == '-') continue;  // deletion of a key
      const std::size_t slash = path.find('\\');
      const std::string root = LowerCase(path.substr(0, slash));
      if (root != "hkey_local_machine" && root != "hklm") continue;
      const std::string_view rest =
          slash == std::string_view::npos ? std::string_view() : path.substr(slash);
      key = &store.keys_[NormalKey(rest)];
      continue;
    }
    std::string_view s = l;
    std::string name;
    if (s.front() == '@') {
      s.remove_prefix(1);
    } else if (s.front() == '"') {
      auto n = QuotedText(s);
      if (!n) {
        problem("value name without closing quote");
        continue;
      }
      name = LowerCase(*n);
    } else {
      problem("not a key, value or comment");
      continue;
    }
    s = TrimWhiteSpaceView(s);
    if (s.empty() || s.front() != '=') {
      problem("value without '='");
      continue;
    }
    bool deleted = false;
    auto value = ValueData(s.substr(1), deleted);
    if (!value) {
      problem("value data that cannot be read");
      continue;
    }
    if (!inKey) {
      problem("value outside a key");
      continue;
    }
    if (!key) continue;
    if (deleted)
      key->erase(name);
    else
      (*key)[name] = std::move(*value);
  }
  return store;
}

bool TRegistryStore::KeyExists(std::string_view keyPath) const {
  return keys_.count(NormalKey(keyPath)) > 0;
}

std::optional<TRegValue> TRegistryStore::Value(std::string_view keyPath,
                                               std::string_view name) const {
  const auto k = keys_.find(NormalKey(keyPath));
  if (k == keys_.end()) return std::nullopt;
  const auto v = k->second.find(LowerCase(name));
  if (v == k->second.end()) return std::nullopt;
  return v->second;
}

}  // namespace orlo
