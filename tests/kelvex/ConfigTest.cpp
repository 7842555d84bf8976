#include "support/LiveBstrCheck.h"

#include <kelvex/Config.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using kelvex::config::FormatKey;
using kelvex::config::LocalizedError;
using kelvex::config::ReplacementValue;
using kelvex::config::ThrowError;

struct FormatCase {
  const char* name;
  std::string key;
  std::string expected;
};

class FormatKeyTable : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatKeyTable, UsesTheTextAfterTheFirstEqualsWithReplacements) {
  EXPECT_EQ(FormatKey(GetParam().key, ReplacementValue(std::string("one")), ReplacementValue(2L),
                      ReplacementValue(std::string("three"))),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FormatKeyTable,
    ::testing::Values(FormatCase{"Plain",
                                 "$$$/kvx/threads/Error/FailedToAcquireThreadLock=Failure to acquire thread lock.",
                                 "Failure to acquire thread lock."},
                      FormatCase{"NoEquals", "just a text", "just a text"},
                      FormatCase{"SecondEqualsKept", "$$$/a=b=c", "b=c"}, FormatCase{"EmptyText", "$$$/a=", ""},
                      FormatCase{"AllReplacements", "$$$/a=^1 and ^2 and ^3", "one and 2 and three"},
                      FormatCase{"ReplacementTwice", "$$$/a=^1^1", "oneone"},
                      FormatCase{"UnsetReplacementIsEmpty", "$$$/a=[^4]", "[]"},
                      FormatCase{"OutOfRangeKept", "$$$/a=^5 ^0", "^5 ^0"},
                      FormatCase{"TrailingCaret", "$$$/a=end^", "end^"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ThrowError, RaisesALocalizedErrorCarryingEveryArgument) {
  try {
    ThrowError(1, "$$$/kvx/threads/Error/NotEnoughThreadResources=Not enough thread resources.", 106, 20, true);
    FAIL() << "nothing thrown";
  } catch (const LocalizedError& error) {
    EXPECT_STREQ(error.what(), "Not enough thread resources.");
    EXPECT_EQ(error.GetErrorLevel(), 1);
    EXPECT_EQ(error.GetKey(), "$$$/kvx/threads/Error/NotEnoughThreadResources=Not enough thread resources.");
    EXPECT_EQ(error.GetModule(), 106);
    EXPECT_EQ(error.GetCode(), 20);
  }
}

TEST(ThrowError, ReturnsWhenNotAskedToRaise) {
  EXPECT_NO_THROW(ThrowError(1, "$$$/a=b", 106, 21, false, ReplacementValue(std::string("x"))));
}

TEST(ReplacementValue, DefaultIsUnset) {
  EXPECT_FALSE(ReplacementValue().IsSet());
  EXPECT_TRUE(ReplacementValue(0L).IsSet());
  EXPECT_EQ(ReplacementValue(-42L).GetText(), "-42");
}

}  // namespace
