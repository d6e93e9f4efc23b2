#include "config/datetime.h"

#include <climits>
#include <optional>
#include <string_view>

#include "platform/format.h"
#include "platform/text.h"

namespace orlo {

namespace {

// A decimal number of digits only (an optional sign when allowSign) whose
// magnitude is at most max; nullopt otherwise.
std::optional<long long> Decimal(std::string_view s, bool allowSign, long long max) {
  std::size_t i = 0;
  bool negative = false;
  if (allowSign && i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i >= s.size()) return std::nullopt;
  long long v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return std::nullopt;
    const int d = s[i] - '0';
    if (v > (max - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return negative ? -v : v;
}

int FieldValue(const std::string& field) {
  const auto v = Decimal(TrimSpaceTabView(field), false, 9999);
  return v ? static_cast<int>(*v) : -1;
}

}  // namespace

TDateTime BarcodeIssueTime(const std::string& barcode, bool oldFormat) {
  const std::size_t n = barcode.size();
  if (n < 10 || n > 12) return 0;
  if (barcode[0] == '1' && n < 12) return -1;
  if (oldFormat) {
    std::string ticket;
    TDateTime when = 0;
    return ParseTicketDate(barcode, ticket, when) ? when : 0;
  }
  if (barcode[0] == '9') return 0;
  // Only digits carry a time: letters would otherwise read as second 0,
  // a plausible-looking issue time long ago.
  const auto seconds = Decimal(barcode.substr(0, n - 2), false, LLONG_MAX);
  if (!seconds) return 0;
  return n == 12 ? SecondsToDateTime(*seconds) : CycleSecondsToDateTime(*seconds);
}

bool ParseTicketDate(const std::string& text, std::string& ticket, TDateTime& when) {
  std::string month, day, hour, minute;
  ticket.clear();
  const std::size_t n = std::min<std::size_t>(text.size(), 12);
  for (std::size_t i = 0; i < n; ++i) {
    switch (kTicketDateTemplate[i]) {
      case 'T':
        ticket += text[i];
        break;
      case 'M':
        month += text[i];
        break;
      case 'D':
        day += text[i];
        break;
      case 'H':
        hour += text[i];
        break;
      case 'N':
        minute += text[i];
        break;
    }
  }
  int year, curMonth, curDay;
  DecodeDate(Now(), year, curMonth, curDay);
  const int m = FieldValue(month), d = FieldValue(day), h = FieldValue(hour),
            mi = FieldValue(minute);
  if (m != -1 && m > curMonth) --year;
  TDateTime date = 0, time = 0;
  if (!TryEncodeTime(h, mi, 0, 0, time) || !TryEncodeDate(year, m, d, date)) return false;
  when = date + time;
  return true;
}

TDateTime SecondsToDateTime(std::int64_t seconds) {
  return static_cast<double>(seconds) / kSecondsPerDay + 36525;
}

TDateTime CycleSecondsToDateTime(std::int64_t code) {
  const double x = static_cast<double>(code - 20000000) / kSecondsPerDay;
  int year, month, day;
  DecodeDate(Now(), year, month, day);
  const int even = year % 2 == 0 ? year : year - 1;
  int base;
  if (x <= DaysInYear(even))
    base = even;
  else
    base = year % 2 != 0 ? even : even - 2;
  return EncodeDate(base, 1, 1) + x;
}

int StrToIntPart(const std::string& text, int from, int count, int def) {
  std::string part;
  if (count <= 0) {
    part = text;
  } else {
    const std::size_t start = from < 1 ? 0 : static_cast<std::size_t>(from - 1);
    if (start < text.size()) part = text.substr(start, static_cast<std::size_t>(count));
  }
  const auto v = Decimal(TrimSpaceTabView(part), true, INT_MAX);
  return v ? static_cast<int>(*v) : def;
}

std::string StripLeadingZeros(const std::string& text) {
  std::size_t i = 0;
  while (i + 1 < text.size() && text[i] == '0') ++i;
  return text.substr(i);
}

std::string ClockText() {
  const TDateTime now = Now();
  int y, mo, d, h, mi, s, ms;
  DecodeDate(now, y, mo, d);
  DecodeTime(now, h, mi, s, ms);
  // The year modulo 100 keeps the text at 12 digits even for a clock set
  // before 2000.
  return Format("%.2d%.2d%.2d%.2d%.2d%.2d", h, mi, s, y % 100, mo, d);
}

int HhmmToMinutes(int hhmm) { return (hhmm / 100) * 60 + hhmm % 100; }

}  // namespace orlo
