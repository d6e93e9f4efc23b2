#include "access/checkdetail.h"

#include <cmath>
#include <cstdio>

#include "log/messlog.h"
#include "platform/format.h"

namespace orlo::detail {

namespace {
constexpr long long kMsPerDay = 86400000;
constexpr long long kMsPerMinute = 60000;
}  // namespace

long long Ms(TDateTime dt) {
  if (!std::isfinite(dt)) return 0;
  return std::llround(dt * static_cast<double>(kMsPerDay));
}

long long TimeOfDayMs(TDateTime dt) {
  const long long r = Ms(dt) % kMsPerDay;
  return r < 0 ? r + kMsPerDay : r;
}

long long MinutesBetween(TDateTime a, TDateTime b) {
  const long long d = Ms(a) - Ms(b);
  return (d < 0 ? -d : d) / kMsPerMinute;
}

long long PlusMinutesMs(TDateTime a, long long minutes) { return Ms(a) + minutes * kMsPerMinute; }

std::string CardText(double cardNo) { return Format("%g", cardNo); }

bool IsNumberLiteral(const std::string& text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  if (i < n && (text[i] == '-' || text[i] == '+')) ++i;
  std::size_t digits = 0;
  while (i < n && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  if (i < n && text[i] == '.') {
    ++i;
    while (i < n && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '-' || text[i] == '+')) ++i;
    std::size_t expDigits = 0;
    while (i < n && text[i] >= '0' && text[i] <= '9') ++i, ++expDigits;
    if (expDigits == 0) return false;
  }
  return i == n;
}

std::string NumberLiteral(const TDBRow& row, const std::string& column) {
  std::string text = row.FieldAsString(column);
  if (IsNumberLiteral(text)) return text;
  // Not a number (NULL, or text a numeric column should never hold): the
  // value as a number keeps the statement's meaning.
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", row.FieldAsFloat(column));
  return IsNumberLiteral(buf) ? std::string(buf) : std::string("0");
}

TDateTime MonthEnd(TDateTime dt) {
  int y = 0, m = 0, d = 0;
  DecodeDate(dt, y, m, d);
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const int last = (m == 2 && IsLeapYear(y)) ? 29 : kDays[(m - 1) % 12];
  return EncodeDate(y, m, last) + EncodeTime(23, 59, 59, 0);
}

std::string DateText(TDateTime dt) { return DateTimeText(dt).substr(0, 10); }

void Detail(bool debugLog, TMessLog* log, const std::string& line) {
  if (debugLog && log) log->Log(line);
}

}  // namespace orlo::detail
