// Text helpers: letter case and trimming.
#include "platform/text.h"

namespace orlo {

namespace {

char ToUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
char ToLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= ' '; }
bool IsWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsSpaceOrTab(char c) { return c == ' ' || c == '\t'; }

template <class Blank>
std::string_view TrimEnd(std::string_view text, Blank blank) {
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

template <class Blank>
std::string_view TrimBoth(std::string_view text, Blank blank) {
  text = TrimEnd(text, blank);
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  return text;
}

}  // namespace

std::string UpperCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ToUpper(c);
  return out;
}

std::string LowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ToLower(c);
  return out;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (ToUpper(a[i]) != ToUpper(b[i])) return false;
  return true;
}

std::string_view TrimView(std::string_view text) { return TrimBoth(text, IsBlankOrControl); }

std::string Trim(std::string_view text) { return std::string(TrimView(text)); }

std::string_view TrimEndView(std::string_view text) { return TrimEnd(text, IsBlankOrControl); }

std::string_view TrimWhiteSpaceView(std::string_view text) { return TrimBoth(text, IsWhiteSpace); }

std::string_view TrimSpaceTabView(std::string_view text) { return TrimBoth(text, IsSpaceOrTab); }

}  // namespace orlo
