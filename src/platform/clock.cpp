#include "platform/clock.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "platform/format.h"

namespace orlo {

namespace {

// Days from 1970-01-01 to 1899-12-30 (the date-time epoch) is -25569.
constexpr long long kUnixEpochDay = 25569;
constexpr long long kMsPerDay = 86400000LL;

// The test override of Now(); NaN means "use the wall clock".
std::atomic<double> testNow{std::nan("")};

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int& year, int& month, int& day) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long y = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

int DaysInMonth(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

// Splits a date-time into whole days and milliseconds of the day. As in the
// system's date type, the time of a negative value is its fraction's magnitude.
void Split(TDateTime dt, long long& days, long long& ms) {
  if (!std::isfinite(dt)) {
    days = 0;
    ms = 0;
    return;
  }
  if (dt >= 0) {
    const long long total = std::llround(dt * kMsPerDay);
    days = total / kMsPerDay;
    ms = total % kMsPerDay;
  } else {
    days = static_cast<long long>(std::trunc(dt));
    ms = std::llround(std::fabs(dt - std::trunc(dt)) * kMsPerDay);
    if (ms >= kMsPerDay) ms = kMsPerDay - 1;
  }
}

TDateTime FromTm(const struct tm& tm, int msec) {
  TDateTime date = 0, time = 0;
  TryEncodeDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, date);
  TryEncodeTime(tm.tm_hour, tm.tm_min, tm.tm_sec > 59 ? 59 : tm.tm_sec, msec, time);
  return date + time;
}

}  // namespace

std::string DateTimeText(TDateTime dt) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
  DecodeDate(dt, y, mo, d);
  DecodeTime(dt, h, mi, s, ms);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
  return text;
}

TDateTime FromUnixTime(double unixSeconds) {
  const double whole = std::floor(unixSeconds);
  const time_t t = static_cast<time_t>(whole);
  int msec = static_cast<int>(std::lround((unixSeconds - whole) * 1000.0));
  if (msec > 999) msec = 999;
  struct tm tm {};
  if (!localtime_r(&t, &tm)) return 0;
  return FromTm(tm, msec);
}

double ToUnixTime(TDateTime dt) {
  int y, mo, d, h, mi, s, ms;
  DecodeDate(dt, y, mo, d);
  DecodeTime(dt, h, mi, s, ms);
  struct tm tm {};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return static_cast<double>(mktime(&tm)) + ms / 1000.0;
}

TDateTime Now() {
  const double fixed = testNow.load();
  if (!std::isnan(fixed)) return fixed;
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm {};
  localtime_r(&ts.tv_sec, &tm);
  return FromTm(tm, static_cast<int>(ts.tv_nsec / 1000000));
}

TDateTime Date() { return std::floor(Now()); }

TDateTime Time() {
  const TDateTime now = Now();
  return now - std::floor(now);
}

void SetTestNow(TDateTime when) { testNow.store(when); }
void ClearTestNow() { testNow.store(std::nan("")); }

std::uint32_t GetTickCount() {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
  return static_cast<std::uint32_t>(ms);
}

void SleepMs(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInYear(int year) { return IsLeapYear(year) ? 366 : 365; }

bool TryEncodeDate(int year, int month, int day, TDateTime& out) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month))
    return false;
  out = static_cast<double>(
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
      kUnixEpochDay);
  return true;
}

bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& out) {
  if (hour < 0 || hour > 23 || min < 0 || min > 59 || sec < 0 || sec > 59 || msec < 0 || msec > 999)
    return false;
  out = (hour * 3600000.0 + min * 60000.0 + sec * 1000.0 + msec) / kMsPerDay;
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime r = 0;
  if (!TryEncodeDate(year, month, day, r))
    throw EConvertError(Format("Invalid date: %d-%.2d-%.2d", year, month, day));
  return r;
}

TDateTime EncodeTime(int hour, int min, int sec, int msec) {
  TDateTime r = 0;
  if (!TryEncodeTime(hour, min, sec, msec, r))
    throw EConvertError(Format("Invalid time: %.2d:%.2d:%.2d.%.3d", hour, min, sec, msec));
  return r;
}

void DecodeDate(TDateTime dt, int& year, int& month, int& day) {
  long long days, ms;
  Split(dt, days, ms);
  CivilFromDays(days - kUnixEpochDay, year, month, day);
}

void DecodeTime(TDateTime dt, int& hour, int& min, int& sec, int& msec) {
  long long days, ms;
  Split(dt, days, ms);
  hour = static_cast<int>(ms / 3600000);
  min = static_cast<int>(ms / 60000 % 60);
  sec = static_cast<int>(ms / 1000 % 60);
  msec = static_cast<int>(ms % 1000);
}

int DayOfWeek(TDateTime dt) {
  long long days, ms;
  Split(dt, days, ms);
  // Day 0 (30 December 1899) was a Saturday (7).
  const long long r = ((days % 7) + 7 + 6) % 7;
  return static_cast<int>(r) + 1;
}

}  // namespace orlo
