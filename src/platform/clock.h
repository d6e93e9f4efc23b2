// The system's date-time type and the calendar routines every subsystem shares.
// TDateTime counts days since 30 December 1899 00:00 local time; the fraction is
// the time of day (one minute = 1/1440); 0 stands for "no date".
// Now() reads the local wall clock unless a test has fixed it with SetTestNow.
// All functions are thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace orlo {

using TDateTime = double;

constexpr double kMinutesPerDay = 1440.0;
constexpr double kSecondsPerDay = 86400.0;

TDateTime Now();
TDateTime Date();  // today 00:00
TDateTime Time();  // time of day only

// Fix Now() for tests (and for jobs driven at chosen times); ClearTestNow
// returns to the wall clock.
void SetTestNow(TDateTime when);
void ClearTestNow();

// Monotonic millisecond counter for time-outs (wraps like a 32-bit tick count).
std::uint32_t GetTickCount();
void SleepMs(unsigned ms);

// Calendar conversion. The Try... forms return false for an impossible date or
// time; EncodeDate/EncodeTime raise EConvertError for them.
bool TryEncodeDate(int year, int month, int day, TDateTime& out);
bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& out);
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int min, int sec, int msec);
void DecodeDate(TDateTime dt, int& year, int& month, int& day);
void DecodeTime(TDateTime dt, int& hour, int& min, int& sec, int& msec);
int DayOfWeek(TDateTime dt);  // 1 = Sunday .. 7 = Saturday
int DaysInYear(int year);
bool IsLeapYear(int year);
// "YYYY-MM-DD HH:NN:SS", the seconds truncated.
std::string DateTimeText(TDateTime dt);

// Conversion to and from the operating system's time (seconds since 1970 UTC),
// through the local time zone.
TDateTime FromUnixTime(double unixSeconds);
double ToUnixTime(TDateTime dt);

}  // namespace orlo
