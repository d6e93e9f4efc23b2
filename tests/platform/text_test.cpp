#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>

namespace orlo {
namespace {

// Only ASCII letters change: UTF-8 bytes, digits and signs pass through,
// whatever the process locale.
TEST(Text, LetterCaseIsAsciiOnly) {
  const std::string mixed =
      "K\xC3\xBC"
      "ck 9-Zz_\xC3\x9F\xE2\x82\xAC";
  EXPECT_EQ(UpperCase(mixed),
            "K\xC3\xBC"
            "CK 9-ZZ_\xC3\x9F\xE2\x82\xAC");
  EXPECT_EQ(LowerCase(mixed),
            "k\xC3\xBC"
            "ck 9-zz_\xC3\x9F\xE2\x82\xAC");
  EXPECT_EQ(LowerCase(std::string("A\0B", 3)), std::string("a\0b", 3));
  EXPECT_TRUE(SameText("POE/POF", "poe/pof"));
  EXPECT_TRUE(SameText("", ""));
  EXPECT_FALSE(SameText("loadext", "loadex"));
  // '@' and '`' sit next to the letters: no case of their own.
  EXPECT_FALSE(SameText("@", "`"));
  EXPECT_FALSE(SameText("\xC3\x9C", "\xC3\xBC"));
}

// The three trimming rules side by side on the same texts: what each keeps
// is what its callers rely on (see text.h).
TEST(Text, EachTrimKeepsWhatItsRuleKeeps) {
  struct TCase {
    std::string text, all, whiteSpace, spaceTab;
  };
  const TCase cases[] = {
      {"", "", "", ""},
      {" \t ", "", "", ""},
      {"  12 \t", "12", "12", "12"},
      {"12\r\n", "12", "12", "12\r\n"},
      {"\r 12", "12", "12", "\r 12"},
      {"\x01 12 \x1f", "12", "\x01 12 \x1f", "\x01 12 \x1f"},
      {std::string("\0 12", 4), "12", std::string("\0 12", 4), std::string("\0 12", 4)},
      {" a b ", "a b", "a b", "a b"},
      {"\xC2\xA0x\xC2\xA0", "\xC2\xA0x\xC2\xA0", "\xC2\xA0x\xC2\xA0", "\xC2\xA0x\xC2\xA0"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    EXPECT_EQ(TrimView(c.text), c.all);
    EXPECT_EQ(Trim(c.text), c.all);
    EXPECT_EQ(TrimWhiteSpaceView(c.text), c.whiteSpace);
    EXPECT_EQ(TrimSpaceTabView(c.text), c.spaceTab);
  }
  EXPECT_EQ(TrimEndView(" \x01 Hello, %1 \r\n\x7f \t"), " \x01 Hello, %1 \r\n\x7f");
  EXPECT_EQ(TrimEndView("\n\r "), "");
}

}  // namespace
}  // namespace orlo
