#include "support/LiveBstrCheck.h"

#include <kelvex/Guid.h>

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace {

using kelvex::utility::Guid;

const _GUID kSample = {0x00112233, 0x4455, 0x6677, {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};

struct GoodForm {
  const char* name;
  const char* text;
};

class GuidGoodForm : public ::testing::TestWithParam<GoodForm> {};

// The first three groups are the numbers Data1..Data3 as written; the last
// two are the eight bytes of Data4 in the order written.
TEST_P(GuidGoodForm, ParsesIntoTheWindowsLayout) {
  const std::optional<Guid> parsed = Guid::Parse(GetParam().text);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(std::memcmp(&parsed->GetGUID(), &kSample, sizeof kSample), 0);
  EXPECT_EQ(Guid(std::string_view(GetParam().text)), Guid(kSample));
}

INSTANTIATE_TEST_SUITE_P(Forms, GuidGoodForm,
                         ::testing::Values(GoodForm{"Braced", "{00112233-4455-6677-8899-AABBCCDDEEFF}"},
                                           GoodForm{"Lower", "{00112233-4455-6677-8899-aabbccddeeff}"},
                                           GoodForm{"Unbraced", "00112233-4455-6677-8899-AABBCCDDEEFF"},
                                           GoodForm{"MixedCase", "00112233-4455-6677-8899-aAbBcCdDeEfF"}),
                         [](const auto& info) { return std::string(info.param.name); });

class GuidBadForm : public ::testing::TestWithParam<GoodForm> {};

TEST_P(GuidBadForm, IsRefused) {
  EXPECT_FALSE(Guid::Parse(GetParam().text).has_value());
  EXPECT_THROW(Guid(std::string_view(GetParam().text)), std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(Forms, GuidBadForm,
                         ::testing::Values(GoodForm{"Empty", ""}, GoodForm{"Braces", "{}"},
                                           GoodForm{"OpenBraceOnly", "{00112233-4455-6677-8899-AABBCCDDEEFF"},
                                           GoodForm{"CloseBraceOnly", "00112233-4455-6677-8899-AABBCCDDEEFF}"},
                                           GoodForm{"SwappedBraces", "}00112233-4455-6677-8899-AABBCCDDEEFF{"},
                                           GoodForm{"ParenthesesAsBraces", "(00112233-4455-6677-8899-AABBCCDDEEFF)"},
                                           GoodForm{"NonHexDigit", "{0011223G-4455-6677-8899-AABBCCDDEEFF}"},
                                           GoodForm{"DashMoved", "{0011223-34455-6677-8899-AABBCCDDEEFF}"},
                                           GoodForm{"NoDashes", "00112233445566778899AABBCCDDEEFF"},
                                           GoodForm{"OneDigitShort", "{00112233-4455-6677-8899-AABBCCDDEEF}"},
                                           GoodForm{"OneDigitLong", "{00112233-4455-6677-8899-AABBCCDDEEFF0}"},
                                           GoodForm{"SpaceInside", "{00112233-4455-6677-8899-AABBCCDDEE F}"},
                                           GoodForm{"SignInside", "{+0112233-4455-6677-8899-AABBCCDDEEFF}"},
                                           GoodForm{"Padded", " {00112233-4455-6677-8899-AABBCCDDEEFF}"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Guid, FormatsUpperCaseBracedAndParsesBack) {
  const _GUID values[] = {kSample,
                          {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}},
                          {0xFFFFFFFF, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
                          {0x0A0B0C0D, 0x0E0F, 0x1011, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}}};
  EXPECT_EQ(Guid(kSample).ToString(), "{00112233-4455-6677-8899-AABBCCDDEEFF}");
  for (const _GUID& value : values) {
    const std::string text = Guid(value).ToString();
    ASSERT_EQ(text.size(), 38u);
    EXPECT_EQ(Guid::Parse(text), Guid(value)) << text;
  }
}

TEST(Guid, NullComparisonAndOrder) {
  EXPECT_TRUE(Guid().IsNull());
  EXPECT_FALSE(Guid(kSample).IsNull());
  EXPECT_NE(Guid(), Guid(kSample));
  EXPECT_TRUE(Guid() < Guid(kSample));
  EXPECT_FALSE(Guid(kSample) < Guid(kSample));
  _GUID lastByte = kSample;
  lastByte.Data4[7] ^= 1;
  EXPECT_NE(Guid(lastByte), Guid(kSample));
}

}  // namespace
