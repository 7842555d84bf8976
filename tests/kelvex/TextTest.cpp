// The support library's texts: GUIDs, localised error keys, UTF-8 strings.
#include "support/LiveBstrCheck.h"

#include <kelvex/Config.h>
#include <kelvex/Guid.h>
#include <kelvex/Strings.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using kelvex::utility::Guid;

const _GUID kSample = {0x00112233, 0x4455, 0x6677, {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};

TEST(Guid, ParsesTheWindowsLayoutFormatsItAndRefusesEverythingElse) {
  const std::pair<const char*, bool> cases[] = {
      {"{00112233-4455-6677-8899-AABBCCDDEEFF}", true},  {"00112233-4455-6677-8899-aAbBcCdDeEfF", true},
      {"{00112233-4455-6677-8899-AABBCCDDEEFF", false},  {"{0011223G-4455-6677-8899-AABBCCDDEEFF}", false},
      {"{0011223-34455-6677-8899-AABBCCDDEEFF}", false}, {"{00112233-4455-6677-8899-AABBCCDDEEF}", false},
      {"00112233445566778899AABBCCDDEEFF", false},       {"{+0112233-4455-6677-8899-AABBCCDDEEFF}", false}};
  for (const auto& [text, valid] : cases) {
    // Data1..Data3 are numbers as written; Data4 is the eight bytes in order.
    EXPECT_EQ(Guid::Parse(text), valid ? std::optional<Guid>(Guid(kSample)) : std::nullopt) << text;
    if (!valid) {
      EXPECT_THROW(Guid(std::string_view(text)), std::invalid_argument);
    }
  }
  EXPECT_EQ(Guid(kSample).ToString(), "{00112233-4455-6677-8899-AABBCCDDEEFF}");
  _GUID lastByte = kSample;
  lastByte.Data4[7] ^= 1;
  EXPECT_TRUE(Guid() < Guid(lastByte) && Guid(lastByte) < Guid(kSample) && Guid().IsNull());
}

TEST(Config, ErrorTextIsTheKeyAfterTheFirstEqualsWithItsReplacements) {
  using kelvex::config::ReplacementValue;
  EXPECT_EQ(kelvex::config::FormatKey("$$$/a=b=^1 ^2, ^1 [^4] ^5^0^", ReplacementValue(std::string("one")),
                                      ReplacementValue(2L)),
            "b=one 2, one [] ^5^0^");
  EXPECT_EQ(kelvex::config::FormatKey("no key"), "no key");
  EXPECT_NO_THROW(kelvex::config::ThrowError(1, "$$$/a=b", 106, 21, false));
  try {
    kelvex::config::ThrowError(1, "$$$/a=no ^1", 106, 20, true, ReplacementValue(-42L));
    FAIL() << "nothing thrown";
  } catch (const kelvex::config::LocalizedError& error) {
    EXPECT_STREQ(error.what(), "no -42");
    EXPECT_TRUE(error.GetKey() == "$$$/a=no ^1" && error.GetModule() == 106 && error.GetCode() == 20);
  }
}

TEST(Strings, AsciiToUTF16DecodesUtf8UpToTheFirstNul) {
  const std::pair<std::string, std::u16string> cases[] = {
      {"", u""},
      {"\xC3\xA9t\xF0\x9F\x98\x80", u"\x00E9t\xD83D\xDE00"},
      {"caf\xE9 a\xFF", u"caf\xFFFD a\xFFFD"},
      {"ab\xE2\x82", u"ab\xFFFD"},
      {std::string("ab\0cd", 5), u"ab"},
  };
  for (const auto& [narrow, wide] : cases) {
    const kelvex::utility::UTF16String result = kelvex::utility::AsciiToUTF16(narrow);
    EXPECT_EQ(std::u16string(result.begin(), result.end()), wide);
  }
  EXPECT_EQ(kelvex::utility::UTF16ToUTF8(kelvex::utility::UTF16String(u"a\x00E9\xDC00")), "a\xC3\xA9\xEF\xBF\xBD");
}

}  // namespace
