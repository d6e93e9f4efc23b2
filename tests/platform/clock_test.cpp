#include "platform/clock.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/format.h"

namespace orlo {
namespace {

TEST(Clock, EncodeAndDecodeRoundTrip) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
  EXPECT_EQ(EncodeDate(1999, 12, 31), 36525.0);
  const TDateTime dt = EncodeDate(2026, 12, 8) + EncodeTime(14, 3, 27, 518);
  int y, mo, d, h, mi, s, ms;
  DecodeDate(dt, y, mo, d);
  DecodeTime(dt, h, mi, s, ms);
  EXPECT_EQ((std::array{y, mo, d, h, mi, s, ms}), (std::array{2026, 12, 8, 14, 3, 27, 518}));
  // The last millisecond of a day stays on that day.
  DecodeTime(EncodeDate(2024, 2, 29) + EncodeTime(23, 59, 59, 999), h, mi, s, ms);
  EXPECT_EQ(h * 10000000 + mi * 100000 + s * 1000 + ms, 235959999);
  EXPECT_EQ(EncodeTime(0, 1, 0, 0), 1.0 / 1440);
}

TEST(Clock, ImpossibleDatesAndTimes) {
  TDateTime out = 123;
  EXPECT_FALSE(TryEncodeDate(2023, 2, 29, out));
  EXPECT_TRUE(TryEncodeDate(2024, 2, 29, out));
  EXPECT_FALSE(TryEncodeDate(2024, 13, 1, out));
  EXPECT_FALSE(TryEncodeDate(2024, 0, 1, out));
  EXPECT_FALSE(TryEncodeDate(2024, 4, 31, out));
  EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, out));
  EXPECT_FALSE(TryEncodeTime(-1, 0, 0, 0, out));
  EXPECT_FALSE(TryEncodeTime(1, 60, 0, 0, out));
  EXPECT_THROW(EncodeDate(2024, 2, 30), EConvertError);
  EXPECT_THROW(EncodeTime(25, 0, 0, 0), EConvertError);
}

TEST(Clock, WeekdaysAndLeapYears) {
  EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 6)), 1);   // Sunday
  EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 8)), 3);   // Tuesday
  EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 12)), 7);  // Saturday
  EXPECT_EQ(DayOfWeek(0), 7);
  EXPECT_EQ(DaysInYear(2000), 366);
  EXPECT_EQ(DaysInYear(1900), 365);
  EXPECT_EQ(DaysInYear(2024), 366);
  EXPECT_EQ(DaysInYear(2026), 365);
}

TEST(Clock, TestOverrideAndUnixTime) {
  const TDateTime fixed = EncodeDate(2026, 12, 8) + EncodeTime(14, 3, 27, 0);
  SetTestNow(fixed);
  EXPECT_EQ(Now(), fixed);
  EXPECT_EQ(Date(), EncodeDate(2026, 12, 8));
  EXPECT_NEAR(Time(), EncodeTime(14, 3, 27, 0), 1e-9);
  ClearTestNow();
  EXPECT_GT(Now(), EncodeDate(2020, 1, 1));
  EXPECT_NEAR(FromUnixTime(ToUnixTime(fixed)), fixed, 1e-8);
}

TEST(Clock, TickCountMovesForward) {
  const std::uint32_t a = GetTickCount();
  SleepMs(5);
  EXPECT_GE(static_cast<std::uint32_t>(GetTickCount() - a), 5u);
}

}  // namespace
}  // namespace orlo
