#include "config/datetime.h"

#include <gtest/gtest.h>

namespace orlo {
namespace {

class DateTimeTest : public ::testing::Test {
 protected:
  void SetUp() override { SetTestNow(EncodeDate(2026, 12, 8) + EncodeTime(14, 3, 27, 0)); }
  void TearDown() override { ClearTestNow(); }
};

TEST_F(DateTimeTest, ClockTextAndMinutes) {
  EXPECT_EQ(ClockText(), "140327261208");
  SetTestNow(EncodeDate(1999, 1, 2) + EncodeTime(3, 4, 5, 0));
  EXPECT_EQ(ClockText(), "030405990102");
  EXPECT_EQ(HhmmToMinutes(1730), 1050);
  EXPECT_EQ(HhmmToMinutes(0), 0);
  EXPECT_EQ(HhmmToMinutes(59), 59);
}

TEST_F(DateTimeTest, TicketDates) {
  std::string ticket;
  TDateTime when = -5;
  ASSERT_TRUE(ParseTicketDate("123411251730", ticket, when));
  EXPECT_EQ(ticket, "1234");
  EXPECT_DOUBLE_EQ(when, EncodeDate(2026, 11, 25) + EncodeTime(17, 30, 0, 0));
  // A month still to come this year was last year.
  SetTestNow(EncodeDate(2026, 3, 1));
  ASSERT_TRUE(ParseTicketDate("000112310800", ticket, when));
  EXPECT_DOUBLE_EQ(when, EncodeDate(2025, 12, 31) + EncodeTime(8, 0, 0, 0));
  ASSERT_TRUE(ParseTicketDate("000103010800", ticket, when));
  EXPECT_DOUBLE_EQ(when, EncodeDate(2026, 3, 1) + EncodeTime(8, 0, 0, 0));
  // Eleven characters leave a one-digit minute, which still reads.
  ASSERT_TRUE(ParseTicketDate("12340225173", ticket, when));
  EXPECT_DOUBLE_EQ(when, EncodeDate(2026, 2, 25) + EncodeTime(17, 3, 0, 0));
  when = -5;
  for (const char* bad : {"1234112517", "1234", "", "123413251730", "123411311730", "123411252430",
                          "123411251760", "1234AB251730", "12341125173X"}) {
    EXPECT_FALSE(ParseTicketDate(bad, ticket, when)) << bad;
    EXPECT_EQ(when, -5) << bad;
  }
  EXPECT_EQ(ticket, "1234");
  ASSERT_TRUE(ParseTicketDate("1234112517309999", ticket, when));  // the rest is ignored
}

TEST_F(DateTimeTest, BarcodeIssueTimes) {
  for (const char* len : {"", "123456789", "1234567890123", "9999999999999999"}) {
    EXPECT_EQ(BarcodeIssueTime(len, false), 0) << len;
    EXPECT_EQ(BarcodeIssueTime(len, true), 0) << len;
  }
  EXPECT_EQ(BarcodeIssueTime("10000000000", false), -1);
  EXPECT_EQ(BarcodeIssueTime("10000000000", true), -1);
  EXPECT_EQ(BarcodeIssueTime("1000000000", false), -1);
  // Twelve characters: seconds since 31 December 1999 and a check pair.
  EXPECT_DOUBLE_EQ(BarcodeIssueTime("000008640077", false), 36526.0);
  EXPECT_DOUBLE_EQ(BarcodeIssueTime("100000000000", false), 36525 + 1000000000 / 86400.0);
  EXPECT_EQ(BarcodeIssueTime("900000000000", false), 0);
  // Ten or eleven: cycle seconds.
  EXPECT_DOUBLE_EQ(BarcodeIssueTime("2000000012", false), EncodeDate(2026, 1, 1));
  // Letters carry no time.
  EXPECT_EQ(BarcodeIssueTime("ABCDEFGHIJ12", false), 0);
  EXPECT_EQ(BarcodeIssueTime("20000A0012", false), 0);
  EXPECT_EQ(BarcodeIssueTime("-0000000012", false), 0);
  // Old format: the ticket date layout.
  EXPECT_DOUBLE_EQ(BarcodeIssueTime("123411251730", true),
                   EncodeDate(2026, 11, 25) + EncodeTime(17, 30, 0, 0));
  EXPECT_EQ(BarcodeIssueTime("1234112517", true), -1);
  EXPECT_EQ(BarcodeIssueTime("2234112517", true), 0);  // no minutes
  // The ticket number is not checked: only the date and time fields count.
  EXPECT_DOUBLE_EQ(BarcodeIssueTime("ABCD1125173", true),
                   EncodeDate(2026, 11, 25) + EncodeTime(17, 3, 0, 0));
  EXPECT_EQ(BarcodeIssueTime("ABCD11X5173", true), 0);
}

TEST_F(DateTimeTest, SecondsAndCycleSeconds) {
  EXPECT_DOUBLE_EQ(SecondsToDateTime(0), EncodeDate(1999, 12, 31));
  EXPECT_DOUBLE_EQ(SecondsToDateTime(86400 + 43200), EncodeDate(2000, 1, 1) + 0.5);
  // 2026 is even: codes up to 365 days count from 2026.
  EXPECT_DOUBLE_EQ(CycleSecondsToDateTime(20000000), EncodeDate(2026, 1, 1));
  EXPECT_DOUBLE_EQ(CycleSecondsToDateTime(20000000 + 400LL * 86400), EncodeDate(2024, 1, 1) + 400);
  SetTestNow(EncodeDate(2027, 3, 1));  // odd year: the cycle began in 2026
  EXPECT_DOUBLE_EQ(CycleSecondsToDateTime(20000000 + 86400), EncodeDate(2026, 1, 2));
  EXPECT_DOUBLE_EQ(CycleSecondsToDateTime(20000000 + 400LL * 86400), EncodeDate(2026, 1, 1) + 400);
}

TEST(TextNumbers, StrToIntPartAndStripLeadingZeros) {
  EXPECT_EQ(StrToIntPart("abc 12xyz", 4, 3, -1), 12);
  EXPECT_EQ(StrToIntPart("abcdefg", 4, 3, -1), -1);
  EXPECT_EQ(StrToIntPart("12345", 4, 10, -1), 45);
  EXPECT_EQ(StrToIntPart("12345", 9, 2, -7), -7);
  EXPECT_EQ(StrToIntPart(" 42 ", 1, 0, -1), 42);
  EXPECT_EQ(StrToIntPart("-42", 1, 0, 0), -42);
  EXPECT_EQ(StrToIntPart("99999999999", 1, 0, 5), 5);
  EXPECT_EQ(StrToIntPart("", 1, 0, 5), 5);
  EXPECT_EQ(StrToIntPart("1 2", 1, 3, 5), 5);
  EXPECT_EQ(StripLeadingZeros("0042"), "42");
  EXPECT_EQ(StripLeadingZeros("000"), "0");
  EXPECT_EQ(StripLeadingZeros(""), "");
  EXPECT_EQ(StripLeadingZeros("100"), "100");
  EXPECT_EQ(StripLeadingZeros("00A1"), "A1");
}

}  // namespace
}  // namespace orlo
