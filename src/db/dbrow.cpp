// TDBRow and the text rules of the column readers.
#include "db/dbrow.h"

#include <algorithm>
#include <charconv>

#include "platform/text.h"

namespace orlo {

namespace {

// A whole decimal number with optional sign that fits 32 bits.
bool ParseInt(std::string_view text, int& out) {
  text = TrimView(text);
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty() || text[0] == '+') return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

// A decimal number with '.' separator and optional exponent.
bool ParseFloat(std::string_view text, double& out) {
  text = TrimView(text);
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty() || text.find_first_not_of("0123456789.eE+-") != std::string_view::npos)
    return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

int PartOr(std::string_view text, size_t pos, size_t len, int def) {
  if (pos >= text.size()) return def;
  int v = 0;
  return ParseInt(text.substr(pos, len), v) ? v : def;
}

TDateTime ParseDate(std::string_view t) {
  TDateTime d = 0;
  return TryEncodeDate(PartOr(t, 0, 4, 1899), PartOr(t, 5, 2, 12), PartOr(t, 8, 2, 30), d) ? d : -1;
}

TDateTime ParseTime(std::string_view t, size_t at) {
  TDateTime d = 0;
  return TryEncodeTime(PartOr(t, at, 2, 0), PartOr(t, at + 3, 2, 0), PartOr(t, at + 6, 2, 0), 0, d)
             ? d
             : -1;
}

}  // namespace

namespace detail {

int TextAsInteger(TColCategory category, std::string_view text) {
  int v = 0;
  return category != ccLongText && ParseInt(text, v) ? v : 0;
}

double TextAsFloat(TColCategory category, std::string_view text) {
  double v = 0;
  return category != ccLongText && ParseFloat(text, v) ? v : 0;
}

TDateTime TextAsDateTime(TColCategory category, std::string_view text) {
  if (category == ccDate) return std::max(ParseDate(text), 0.0);
  if (category == ccTime) return std::max(ParseTime(text, 0), 0.0);
  if (category != ccDateTime) return Date();
  const TDateTime d = ParseDate(text), t = ParseTime(text, 11);
  return d < 0 || t < 0 ? 0 : d + t;
}

}  // namespace detail

int TDBRow::IndexOf(std::string_view name) const {
  const auto it = std::find_if(columns_.begin(), columns_.end(),
                               [&](const TColumn& c) { return SameText(c.name, name); });
  return it == columns_.end() ? -1 : static_cast<int>(it - columns_.begin());
}

const TDBRow::TColumn* TDBRow::Find(std::string_view name) const {
  const int i = IndexOf(name);
  return i < 0 ? nullptr : &columns_[i];
}

std::string TDBRow::FieldAsString(std::string_view name) const {
  const TColumn* c = Find(name);
  return c ? c->text : std::string();
}

int TDBRow::FieldAsInteger(std::string_view name) const {
  const TColumn* c = Find(name);
  return c ? detail::TextAsInteger(c->category, c->text) : 0;
}

double TDBRow::FieldAsFloat(std::string_view name) const {
  const TColumn* c = Find(name);
  return c ? detail::TextAsFloat(c->category, c->text) : 0;
}

TDateTime TDBRow::FieldAsDateTime(std::string_view name) const {
  const TColumn* c = Find(name);
  return c ? detail::TextAsDateTime(c->category, c->text) : Date();
}

void TDBRow::SetText(std::string_view name, std::string text) {
  const int i = IndexOf(name);
  if (i >= 0) columns_[i].text = std::move(text);
}

void TDBRow::SetInteger(std::string_view name, long long value) {
  SetText(name, std::to_string(value));
}

void TDBRow::SetDateTime(std::string_view name, TDateTime value) {
  SetText(name, DateTimeText(value));
}

}  // namespace orlo
