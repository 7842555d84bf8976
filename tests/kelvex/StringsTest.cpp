#include "support/LiveBstrCheck.h"

#include <kelvex/Strings.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using kelvex::utility::AsciiToUTF16;
using kelvex::utility::UTF16String;
using kelvex::utility::UTF16ToUTF8;

struct WidenCase {
  const char* name;
  std::string narrow;
  std::u16string wide;
};

class AsciiToUTF16Table : public ::testing::TestWithParam<WidenCase> {};

TEST_P(AsciiToUTF16Table, Widens) {
  const UTF16String result = AsciiToUTF16(GetParam().narrow);
  EXPECT_EQ(std::u16string(result.begin(), result.end()), GetParam().wide);
}

INSTANTIATE_TEST_SUITE_P(Cases, AsciiToUTF16Table,
                         ::testing::Values(WidenCase{"Empty", "", u""},
                                           WidenCase{"Ascii", "Section_01 name", u"Section_01 name"},
                                           WidenCase{"Utf8", "\xC3\xA9t\xC3\xA9", u"\x00E9t\x00E9"},
                                           WidenCase{"Astral", "\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
                                           WidenCase{"Latin1Byte", "caf\xE9", u"caf\xFFFD"},
                                           WidenCase{"InvalidBetweenAscii",
                                                     "a\xFF"
                                                     "b",
                                                     u"a\xFFFD"
                                                     u"b"},
                                           WidenCase{"Truncated", "ab\xE2\x82", u"ab\xFFFD"},
                                           WidenCase{"StopsAtNul", std::string("ab\0cd", 5), u"ab"},
                                           WidenCase{"LeadingNul", std::string("\0ab", 3), u""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UTF16ToUTF8, EncodesAndReplacesLoneSurrogates) {
  EXPECT_EQ(UTF16ToUTF8(UTF16String(u"a\x00E9\xD83D\xDE00")), "a\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(UTF16ToUTF8(UTF16String(u"a\xDC00")), "a\xEF\xBF\xBD");
  EXPECT_EQ(UTF16ToUTF8(UTF16String()), "");
}

}  // namespace
