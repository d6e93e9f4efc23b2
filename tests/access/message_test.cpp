// Display templates, result texts, memory-card times and the arithmetic and
// literal rules the decision rests on.
#include "access/checkdetail.h"
#include "site.h"

namespace orlo::test {
namespace {

class Template : public SiteTest {
 protected:
  // Expands templ for card number (its row and its type's row).
  std::string Expand(double number, const std::string& templ, const std::string& cardText = "") {
    const TDBRow card = FindCard(*odbc_, number);
    return ExpandCardMessage(card, templ, FindCardType(*odbc_, card), cardText);
  }
};

TEST_P(Template, NamesAndDaysLeftWithALonePercentAtTheEnd) {
  SetTestNow(Tue(10, 0));
  AddCard(900, 2, "exp_iry = '2024-03-24 12:00:00'");  // 12.5 days from today's midnight
  EXPECT_EQ(Expand(900, "Welcome %f %l, %d days left%"), "Welcome Ann Lee, 12 days left");
  AddCard(901, 2, "exp_iry = '2024-03-10 12:00:00'");  // ended 1.5 days ago
  EXPECT_EQ(Expand(901, "%d"), "-1");
  AddCard(902, 5, "debit_left = 7");
  EXPECT_EQ(Expand(902, "%d uses"), "7 uses");
}

TEST_P(Template, UnknownAndUpperCaseCodesAndEmptyFieldsGiveNothing) {
  AddCard(903, 1, "misc_1 = NULL, misc_2 = 'B2', misc_4 = 'D4'");
  EXPECT_EQ(Expand(903, "%x%1"), "");
  EXPECT_EQ(Expand(903, "%F%C%L"), "");
  EXPECT_EQ(Expand(903, "[%1|%2|%3|%4]"), "[|B2||D4]");
  EXPECT_EQ(Expand(903, "%s"), "1 Harbour Road");
  EXPECT_EQ(Expand(903, "100%% %"), "100");  // "%%" is an unknown code too
  EXPECT_EQ(Expand(903, "Hi %f \t\r\n"), "Hi Ann");
  EXPECT_EQ(Expand(903, "Card %c", "0903"), "Card 0903");
  EXPECT_EQ(Expand(903, "Card %c").rfind("Card 903", 0), 0u);  // the row's own number text
}

TEST_P(Template, CardNotOnFileKeepsTheTemplateAndTheCallersText) {
  EXPECT_EQ(Expand(904, "Card %c unknown %f%l", "904"), "Card 904 unknown");
}

INSTANTIATE_TEST_SUITE_P(Db, Template, ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         BackendName);

TEST(ResultText, EveryCodeAndTheSoftBit) {
  EXPECT_EQ(ResultText(0), "Accepted");
  EXPECT_EQ(ResultText(1), "Not On File");
  EXPECT_EQ(ResultText(2), "No Valid Access Found");
  EXPECT_EQ(ResultText(3), "Expired, or not valid yet");
  EXPECT_EQ(ResultText(4), "Passback Error");
  EXPECT_EQ(ResultText(5), "Group Max. Exceeded");
  EXPECT_EQ(ResultText(6), "Not in Path");
  EXPECT_EQ(ResultText(12), "Passback Error");
  EXPECT_EQ(ResultText(13), "Group Max. Exceeded");
  EXPECT_EQ(ResultText(14), "Not in Path");
  EXPECT_EQ(ResultText(7), "Unknown error!");
  EXPECT_EQ(ResultText(-1), "Unknown error!");
  EXPECT_TRUE(IsGranted(0));
  EXPECT_FALSE(IsGranted(4));
  EXPECT_TRUE(IsGranted(12));
}

TEST(MemoryCardTime, FiveMinutesAheadIsStillToday) {
  const TDateTime record = EncodeDate(2024, 3, 15) + EncodeTime(9, 30, 0, 0);
  auto at = [](int h, int m) { return EncodeDate(2024, 3, 15) + EncodeTime(h, m, 0, 0); };
  EXPECT_DOUBLE_EQ(MemoryCardTime("2403150930123", at(12, 0)), record);
  EXPECT_DOUBLE_EQ(MemoryCardTime("2403150930123", at(9, 26)), record);
  EXPECT_DOUBLE_EQ(MemoryCardTime("2403150930123", at(9, 25)), record);  // not earlier
  EXPECT_DOUBLE_EQ(MemoryCardTime("2403150930123", at(9, 20)), record - 1);
  // Fields are trimmed; hours and minutes are not range-checked.
  EXPECT_DOUBLE_EQ(MemoryCardTime("24 315  75", at(12, 0)),
                   EncodeDate(2024, 3, 15) + 75.0 / kMinutesPerDay);
  EXPECT_NEAR(MemoryCardTime("2403152599", at(12, 0)) - EncodeDate(2024, 3, 15) + 1,
              (25 * 60 + 99) / kMinutesPerDay, 1e-9);
  EXPECT_THROW(MemoryCardTime("2402300930", at(12, 0)), EConvertError);
  EXPECT_THROW(MemoryCardTime("0000", at(12, 0)), EConvertError);
}

TEST(Arithmetic, MinutesAreTruncatedOnWholeMilliseconds) {
  const TDateTime a = EncodeDate(2024, 3, 12) + EncodeTime(8, 0, 0, 0);
  EXPECT_EQ(detail::MinutesBetween(a, a + 30.0 / 1440), 30);
  EXPECT_EQ(detail::MinutesBetween(a + 30.0 / 1440, a), 30);
  EXPECT_EQ(detail::MinutesBetween(a, EncodeDate(2024, 3, 12) + EncodeTime(8, 29, 59, 999)), 29);
  EXPECT_EQ(detail::MinutesBetween(a, EncodeDate(2024, 3, 12) + EncodeTime(8, 30, 0, 0)), 30);
}

TEST(Literal, OnlyPlainNumbersReachSql) {
  for (const char* ok : {"1234567", "1234567.0", "-3", "+2.5", "1.5E20", "7e-3", ".5", "5."})
    EXPECT_TRUE(detail::IsNumberLiteral(ok)) << ok;
  for (const char* bad :
       {"", "-", ".", "1e", "1 OR 1=1", "1;DELETE FROM card", "0x10", "1.5E+", "NaN", "%d"})
    EXPECT_FALSE(detail::IsNumberLiteral(bad)) << bad;
  const TDateTime lastSecond = EncodeTime(23, 59, 59, 0);
  EXPECT_EQ(detail::MonthEnd(EncodeDate(2024, 2, 10)), EncodeDate(2024, 2, 29) + lastSecond);
  EXPECT_EQ(detail::MonthEnd(EncodeDate(2023, 2, 10)), EncodeDate(2023, 2, 28) + lastSecond);
  EXPECT_EQ(detail::MonthEnd(EncodeDate(2024, 12, 31) + 0.99), EncodeDate(2024, 12, 31) + lastSecond);
  EXPECT_EQ(detail::CardText(1234567), "1234567");
  EXPECT_EQ(detail::CardText(123456789012345), "123456789012345");
}

}  // namespace
}  // namespace orlo::test
