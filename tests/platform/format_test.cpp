#include "platform/format.h"

#include <gtest/gtest.h>

namespace orlo {
namespace {

TEST(Format, DirectivesOfLogLinesAndSql) {
  EXPECT_EQ(Format("%d-%s", 42, std::string("abc")), "42-abc");
  EXPECT_EQ(Format("%.2d:%.2d", 7, 45), "07:45");
  EXPECT_EQ(Format("%.2d", -5), "-05");
  EXPECT_EQ(Format("%.3d", 1234), "1234");
  EXPECT_EQ(Format("%f", 1234567.0), "1234567.00");
  EXPECT_EQ(Format("%f", -0.5), "-0.50");
  EXPECT_EQ(Format("%.4f", 1.5), "1.5000");
  EXPECT_EQ(Format("100%%"), "100%");
  EXPECT_EQ(Format("%x", 255), "FF");
  EXPECT_EQ(Format("%.4x", 255), "00FF");
  EXPECT_EQ(Format("[%5d][%-5d][%5s][%.2s]", 12, 12, "ab", "abcdef"), "[   12][12   ][   ab][ab]");
  EXPECT_EQ(Format("%s %d", "text", true), "text 1");
  EXPECT_EQ(Format("%1:s %0:s", "a", "b"), "b a");
  EXPECT_EQ(Format("%*d", 4, 7), "   7");
  EXPECT_EQ(Format("plain"), "plain");
}

TEST(Format, GeneralFormHasUpTo15SignificantDigits) {
  EXPECT_EQ(Format("%g", 1234567.0), "1234567");
  EXPECT_EQ(Format("%g", 123456789012345.0), "123456789012345");
  EXPECT_EQ(Format("%g", 0.1 + 0.2), "0.3");
  EXPECT_EQ(Format("%g", 2.5), "2.5");
  EXPECT_EQ(Format("%g", -12.25), "-12.25");
  EXPECT_EQ(Format("%g", 0.0), "0");
  EXPECT_EQ(Format("%g", 0.00001), "0.00001");
  EXPECT_EQ(Format("%g", 1e20), "1E20");
  EXPECT_EQ(Format("%g", 1.5e-7), "1.5E-7");
  EXPECT_EQ(Format("%g", 1234567890123456.0), "1.23456789012346E15");
  // An integer is a valid argument of a float directive.
  EXPECT_EQ(Format("%g %f", 12, 3), "12 3.00");
}

TEST(Format, WrongOrMissingArgumentIsAConvertError) {
  EXPECT_THROW(Format("%d", "text"), EConvertError);
  EXPECT_THROW(Format("%d", 1.5), EConvertError);
  EXPECT_THROW(Format("%s", 5), EConvertError);
  EXPECT_THROW(Format("%f", "x"), EConvertError);
  EXPECT_THROW(Format("%d %d", 1), EConvertError);
  EXPECT_THROW(Format("%q", 1), EConvertError);
  EXPECT_THROW(Format("trailing %", 1), EConvertError);
  try {
    Format("value %d", "abc");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Format 'value %d' invalid or incompatible with argument");
  }
  try {
    Format("a %s b %s", "x");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "No argument for format 'a %s b %s'");
  }
}

}  // namespace
}  // namespace orlo
