#include "marshalling/ErrorChecks.h"

#include <comsupport/WideChars.h>
#include "support/LiveBstrCheck.h"

#include <moravane/LinkError.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using moravane::LinkError;
using moravane::WideString;

std::u16string Text(const LinkError& error) {
  return std::u16string(error.GetErrorString().begin(), error.GetErrorString().end());
}

TEST(LinkError, ConstructorsSetMessageAndCode) {
  const WideString message(u"lost");
  struct Case {
    LinkError error;
    std::u16string message;
    LONG code;
  } cases[] = {{LinkError(), u"", 0},
               {LinkError(message), u"lost", 0},
               {LinkError(LONG{E_FAIL}), u"", E_FAIL},
               {LinkError(message, E_ABORT), u"lost", E_ABORT}};
  for (const Case& c : cases) {
    EXPECT_EQ(Text(c.error), c.message);
    EXPECT_EQ(c.error.GetError(), c.code);
    EXPECT_STREQ(c.error.what(), "") << "what() never carries the message";
  }
}

TEST(LinkError, CopyAndAssignmentCarryMessageAndCode) {
  const LinkError source(WideString(u"\x00E9rror"), E_ACCESSDENIED);
  const LinkError copy(source);
  EXPECT_EQ(Text(copy), u"\x00E9rror");
  EXPECT_EQ(copy.GetError(), E_ACCESSDENIED);

  LinkError assigned(WideString(u"old and rather longer than the new one"), 1);
  LinkError& returned = (assigned = source);
  EXPECT_EQ(&returned, &assigned);
  EXPECT_EQ(Text(assigned), u"\x00E9rror");
  EXPECT_EQ(assigned.GetError(), E_ACCESSDENIED);
  EXPECT_STREQ(assigned.what(), "");

  assigned = LinkError();  // back to empty
  EXPECT_EQ(Text(assigned), u"");
  EXPECT_EQ(assigned.GetError(), 0);
}

TEST(LinkError, IsCaughtAsStdException) {
  try {
    throw LinkError(WideString(u"x"), E_FAIL);
  } catch (const std::exception& error) {
    EXPECT_STREQ(error.what(), "");
  }
}

struct ReconnectCase {
  HRESULT code;
  bool reconnect;
};

class ShouldReconnect : public ::testing::TestWithParam<ReconnectCase> {};

TEST_P(ShouldReconnect, OnlyForAnEmptyHandleOrAnUnavailableServer) {
  LinkError error(GetParam().code);
  EXPECT_EQ(error.ShouldReconnect(), GetParam().reconnect) << std::hex << GetParam().code;
  LinkError withText(WideString(u"text"), GetParam().code);
  EXPECT_EQ(withText.ShouldReconnect(), GetParam().reconnect) << "the text must not matter";
}

INSTANTIATE_TEST_SUITE_P(Codes, ShouldReconnect,
                         ::testing::Values(ReconnectCase{static_cast<HRESULT>(0x800706BAu), true},
                                           ReconnectCase{static_cast<HRESULT>(0x000006BAu), true},
                                           ReconnectCase{static_cast<HRESULT>(0x801706BAu), true},
                                           ReconnectCase{static_cast<HRESULT>(0xFFFF06BAu), true},
                                           ReconnectCase{moravane::kNoRemoteObject, true}, ReconnectCase{E_FAIL, false},
                                           ReconnectCase{static_cast<HRESULT>(0x00002329u), false},
                                           ReconnectCase{static_cast<HRESULT>(0x800706BBu), false},
                                           ReconnectCase{static_cast<HRESULT>(0x800706BEu), false},
                                           ReconnectCase{moravane::kSharedMemoryFailed, false}, ReconnectCase{0, false},
                                           ReconnectCase{-1, false}));

// --- the two checks ----------------------------------------------------------------

struct CallCase {
  const char* name;
  LONG code;
  std::u16string text;
  bool throws;
};

class CheckCallResult : public ::testing::TestWithParam<CallCase> {};

TEST_P(CheckCallResult, PassesOnlyCodeZeroWithoutText) {
  const CallCase& c = GetParam();
  const WideString text(c.text.begin(), c.text.end());
  if (!c.throws) {
    EXPECT_NO_THROW(moravane::CheckCallResult(c.code, text));
    return;
  }
  try {
    moravane::CheckCallResult(c.code, text);
    ADD_FAILURE() << "no LinkError";
  } catch (const LinkError& error) {
    EXPECT_EQ(error.GetError(), c.code);
    EXPECT_EQ(Text(error), c.text);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, CheckCallResult,
                         ::testing::Values(CallCase{"ZeroNoText", 0, u"", false},
                                           CallCase{"PositiveNoText", 1, u"", true},
                                           CallCase{"ZeroOneLetter", 0, u"x", true},
                                           CallCase{"ThrownLong", -1, u"", true},
                                           CallCase{"FailureWithText", E_FAIL, u"failed", true}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ServerCase {
  const char* name;
  HRESULT hr;
  std::optional<std::u16string> text;
  bool throws;
  std::u16string message;
};

class CheckServerResult : public ::testing::TestWithParam<ServerCase> {};

// The text is owned by the check from the moment it is passed: the live
// BSTR count (checked after every test) proves it is freed on every path.
TEST_P(CheckServerResult, PassesSuccessWithoutTextAndFreesAnyText) {
  const ServerCase& c = GetParam();
  BSTR text =
      c.text ? ::SysAllocStringLen(comsupport::AsOleChars(c.text->data()), static_cast<UINT>(c.text->size())) : nullptr;
  if (!c.throws) {
    EXPECT_EQ(moravane::CheckServerResult(c.hr, text), c.hr);
    return;
  }
  try {
    moravane::CheckServerResult(c.hr, text);
    ADD_FAILURE() << "no LinkError";
  } catch (const LinkError& error) {
    EXPECT_EQ(error.GetError(), c.hr);
    EXPECT_EQ(Text(error), c.message);
  }
}

// The text is read through the ANSI code page, which is UTF-8 in our
// platform layer only: the non-ASCII rows hold there.
const ServerCase kServerCases[] = {
    {"ZeroNoText", S_OK, std::nullopt, false, u""},
    {"PositiveNoText", 1, std::nullopt, false, u""},
    {"FailureNoText", E_FAIL, std::nullopt, true, u""},
    {"ZeroThreeLetters", S_OK, u"abc", true, u"abc"},
    {"ZeroEmptyText", S_OK, u"", true, u""},
    {"FailureEmptyText", E_FAIL, u"", true, u""},
#ifndef _WIN32
    {"FailureNonAscii", E_FAIL, u"\x00FC\x4E2D", true, u"\x00FC\x4E2D"},
    {"LoneSurrogateReplaced", E_FAIL, u"a\xD800", true, u"a\xFFFD"},
#endif
};

INSTANTIATE_TEST_SUITE_P(Cases, CheckServerResult, ::testing::ValuesIn(kServerCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
