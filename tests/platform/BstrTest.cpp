#include "support/LiveBstrCheck.h"

// The SDK's headers first: Windows' oleauto.h needs objbase.h before it.
#include <objbase.h>
#include <oleauto.h>

#include <comsupport/Bstr.h>
#include <comsupport/WideChars.h>
#ifndef _WIN32
#include <platformdebug.h>
#endif

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace {

UINT PrefixOf(BSTR value) {
  UINT prefix;
  std::memcpy(&prefix, reinterpret_cast<const unsigned char*>(value) - sizeof(UINT), sizeof prefix);
  return prefix;
}

struct LayoutCase {
  const char* name;
  std::u16string text;  // may hold NULs
};

class BstrLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(BstrLayout, SysAllocStringLenKeepsEveryCharacterAndPrefixesTheByteLength) {
  const std::u16string& text = GetParam().text;
  BSTR value = SysAllocStringLen(comsupport::AsOleChars(text.data()), static_cast<UINT>(text.size()));
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(PrefixOf(value), text.size() * sizeof(OLECHAR));
  EXPECT_EQ(SysStringByteLen(value), text.size() * sizeof(OLECHAR));
  EXPECT_EQ(SysStringLen(value), text.size());
  EXPECT_EQ(comsupport::BstrView(value), text);
  EXPECT_EQ(value[text.size()], 0) << "not terminated";
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(value) % alignof(OLECHAR), 0u);
  SysFreeString(value);
}

INSTANTIATE_TEST_SUITE_P(Texts, BstrLayout,
                         ::testing::Values(LayoutCase{"Empty", u""}, LayoutCase{"OneLetter", u"a"},
                                           LayoutCase{"Ascii", u"abc"},
                                           LayoutCase{"EmbeddedNul", std::u16string(u"a\0b", 3)},
                                           LayoutCase{"OnlyNuls", std::u16string(u"\0\0", 2)},
                                           LayoutCase{"Surrogates", u"\xD83D\xDE00\x00E9"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Bstr, SysAllocStringStopsAtTheFirstNul) {
  const char16_t source[] = u"ab\0cd";
  BSTR value = SysAllocString(comsupport::AsOleChars(source));
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(SysStringLen(value), 2u);
  EXPECT_EQ(comsupport::BstrView(value), u"ab");
  SysFreeString(value);
}

TEST(Bstr, NullSourceGivesZeroedCharacters) {
  BSTR chars = SysAllocStringLen(nullptr, 3);
  ASSERT_NE(chars, nullptr);
  EXPECT_EQ(SysStringLen(chars), 3u);
  for (UINT i = 0; i <= 3; ++i) EXPECT_EQ(chars[i], 0) << i;
  BSTR bytes = SysAllocStringByteLen(nullptr, 5);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(SysStringByteLen(bytes), 5u);
  for (UINT i = 0; i < 7; ++i) EXPECT_EQ(reinterpret_cast<const unsigned char*>(bytes)[i], 0) << i;
  SysFreeString(chars);
  SysFreeString(bytes);
}

class BstrByteLength : public ::testing::TestWithParam<UINT> {};

// Odd byte lengths leave half a character: the byte length must survive
// exactly and the payload must still be followed by a whole NUL character.
TEST_P(BstrByteLength, KeepsTheExactByteLengthAndTwoNulBytesAfterIt) {
  const UINT length = GetParam();
  std::string source;
  for (UINT i = 0; i < length; ++i) source.push_back(static_cast<char>('A' + i));
  BSTR value = SysAllocStringByteLen(source.data(), length);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(PrefixOf(value), length);
  EXPECT_EQ(SysStringByteLen(value), length);
  EXPECT_EQ(SysStringLen(value), length / 2);
  const auto* bytes = reinterpret_cast<const unsigned char*>(value);
  EXPECT_EQ(std::memcmp(bytes, source.data(), length), 0);
  EXPECT_EQ(bytes[length], 0);
  EXPECT_EQ(bytes[length + 1], 0);
  SysFreeString(value);
}

INSTANTIATE_TEST_SUITE_P(Lengths, BstrByteLength, ::testing::Values(0u, 1u, 2u, 3u, 7u, 8u, 255u));

TEST(Bstr, EveryFunctionAcceptsNull) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
  EXPECT_TRUE(comsupport::BstrView(nullptr).empty());
}

TEST(Bstr, ViewAndAllocationRoundTripEmbeddedNuls) {
  const std::u16string text(u"pa\0th\U0001F600", 7);
  comsupport::UniqueBstr value = comsupport::AllocateBstr(text);
  EXPECT_EQ(comsupport::BstrView(value.Get()), text);
}

// Where the live count exists (our platform layer) the check installed by
// LiveBstrCheck.h also proves that a refused length allocated nothing.
TEST(Bstr, LengthsThatCannotBeRepresentedFailWithoutAllocating) {
  const UINT max = std::numeric_limits<UINT>::max();
  EXPECT_EQ(SysAllocStringLen(nullptr, max), nullptr);
  EXPECT_EQ(SysAllocStringLen(nullptr, max / 2 + 1), nullptr);
  EXPECT_EQ(SysAllocStringByteLen(nullptr, max), nullptr);
  EXPECT_EQ(SysAllocStringByteLen(nullptr, max - 3), nullptr);
}

#ifndef _WIN32
// The test hooks of our platform layer: the live count and injected
// allocation failures, which the other tests rely on.

TEST(Bstr, LiveCounterFollowsAllocationsAndFreesOnAnyThread) {
  const std::int64_t live = platformdebug::LiveBstrCount();
  std::vector<BSTR> values = {SysAllocString(u"a"), SysAllocStringLen(u"bc", 2), SysAllocStringByteLen("d", 1)};
  EXPECT_EQ(platformdebug::LiveBstrCount(), live + 3);
  std::thread other([&] {
    for (BSTR value : values) SysFreeString(value);
  });
  other.join();
  EXPECT_EQ(platformdebug::LiveBstrCount(), live);
}

TEST(Bstr, FailNextAllocationsFailsExactlyThatManyOfAnyKind) {
  const std::int64_t live = platformdebug::LiveBstrCount();
  platformdebug::FailNextBstrAllocations(3);
  EXPECT_EQ(SysAllocString(u"x"), nullptr);
  EXPECT_EQ(SysAllocStringLen(u"x", 1), nullptr);
  EXPECT_EQ(SysAllocStringByteLen("x", 1), nullptr);
  EXPECT_EQ(platformdebug::LiveBstrCount(), live);
  BSTR value = SysAllocString(u"x");
  EXPECT_NE(value, nullptr) << "the fourth allocation must succeed again";
  SysFreeString(value);
}

TEST(Bstr, FailingAllocationsAreSharedAcrossThreads) {
  platformdebug::FailNextBstrAllocations(1);
  BSTR onOther = reinterpret_cast<BSTR>(1);
  std::thread other([&] { onOther = SysAllocString(u"x"); });
  other.join();
  EXPECT_EQ(onOther, nullptr);
  BSTR value = SysAllocString(u"x");
  EXPECT_NE(value, nullptr);
  SysFreeString(value);
}

#endif  // _WIN32

}  // namespace
