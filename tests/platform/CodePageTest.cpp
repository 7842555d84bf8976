#include "support/LiveBstrCheck.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

const UINT kCodePages[] = {CP_ACP, CP_THREAD_ACP, CP_UTF8};

std::string Narrow(UINT codePage, const std::u16string& wide) {
  const auto* in = reinterpret_cast<LPCWSTR>(wide.data());
  const int size = WideCharToMultiByte(codePage, 0, in, static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  EXPECT_GT(size, 0) << "size query failed, error " << GetLastError();
  std::string out(static_cast<std::size_t>(size), '?');
  EXPECT_EQ(WideCharToMultiByte(codePage, 0, in, static_cast<int>(wide.size()), out.data(), size, nullptr, nullptr),
            size);
  return out;
}

std::u16string Widen(UINT codePage, const std::string& narrow) {
  const int size = MultiByteToWideChar(codePage, 0, narrow.data(), static_cast<int>(narrow.size()), nullptr, 0);
  EXPECT_GT(size, 0) << "size query failed, error " << GetLastError();
  std::u16string out(static_cast<std::size_t>(size), u'?');
  EXPECT_EQ(MultiByteToWideChar(codePage, 0, narrow.data(), static_cast<int>(narrow.size()),
                                reinterpret_cast<LPWSTR>(out.data()), size),
            size);
  return out;
}

// --- UTF-16 -> narrow ----------------------------------------------------------

struct ToNarrowCase {
  const char* name;
  std::u16string wide;
  std::string narrow;
};

class ToNarrow : public ::testing::TestWithParam<std::tuple<UINT, ToNarrowCase>> {};

TEST_P(ToNarrow, ConvertsAndAnswersTheSizeQuery) {
  const auto& [codePage, c] = GetParam();
  EXPECT_EQ(Narrow(codePage, c.wide), c.narrow);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ToNarrow,
    ::testing::Combine(
        ::testing::ValuesIn(kCodePages),
        ::testing::Values(ToNarrowCase{"Ascii", u"Hello, world", "Hello, world"},
                          ToNarrowCase{"TwoAndThreeBytes", u"\x00E9t\x00E9 \x20AC", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC"},
                          ToNarrowCase{"LastBmp", u"\xFFFF", "\xEF\xBF\xBF"},
                          ToNarrowCase{"SurrogatePair", u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
                          ToNarrowCase{"HighestScalar", u"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},
                          ToNarrowCase{"LoneHighThenLetter",
                                       u"\xD800"
                                       u"a",
                                       "\xEF\xBF\xBD"
                                       "a"},
                          ToNarrowCase{"LoneHighAtEnd", u"a\xD800", "a\xEF\xBF\xBD"},
                          ToNarrowCase{"LoneLow", u"\xDC00", "\xEF\xBF\xBD"},
                          ToNarrowCase{"ReversedPair", u"\xDC00\xD800", "\xEF\xBF\xBD\xEF\xBF\xBD"},
                          ToNarrowCase{"EmbeddedNul", std::u16string(u"a\0b", 3), std::string("a\0b", 3)})),
    [](const auto& info) {
      return std::get<1>(info.param).name + std::string("_cp") + std::to_string(std::get<0>(info.param));
    });

// --- narrow -> UTF-16 ----------------------------------------------------------

struct ToWideCase {
  const char* name;
  std::string narrow;
  std::u16string wide;
};

class ToWide : public ::testing::TestWithParam<std::tuple<UINT, ToWideCase>> {};

TEST_P(ToWide, ConvertsAndAnswersTheSizeQuery) {
  const auto& [codePage, c] = GetParam();
  EXPECT_EQ(Widen(codePage, c.narrow), c.wide);
}

// Each maximal ill-formed subsequence becomes one U+FFFD.
INSTANTIATE_TEST_SUITE_P(
    Table, ToWide,
    ::testing::Combine(
        ::testing::ValuesIn(kCodePages),
        ::testing::Values(ToWideCase{"Ascii", "Hello", u"Hello"}, ToWideCase{"TwoBytes", "\xC3\xA9", u"\x00E9"},
                          ToWideCase{"ThreeBytes", "\xE2\x82\xAC", u"\x20AC"},
                          ToWideCase{"FourBytes", "\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
                          ToWideCase{"StrayContinuation",
                                     "a\x80"
                                     "b",
                                     u"a\xFFFD"
                                     u"b"},
                          ToWideCase{"TruncatedAtEnd", "a\xC3", u"a\xFFFD"},
                          ToWideCase{"TruncatedFourBytes",
                                     "\xF0\x9F\x98"
                                     "A",
                                     u"\xFFFD"
                                     u"A"},
                          ToWideCase{"OverlongTwoBytes", "\xC0\xAF", u"\xFFFD\xFFFD"},
                          ToWideCase{"OverlongThreeBytes", "\xE0\x80\xAF", u"\xFFFD\xFFFD"},
                          ToWideCase{"EncodedSurrogate", "\xED\xA0\x80", u"\xFFFD\xFFFD"},
                          ToWideCase{"AboveLastScalar", "\xF4\x90\x80\x80", u"\xFFFD\xFFFD\xFFFD"},
                          ToWideCase{"InvalidLead", "\xF5\x80", u"\xFFFD\xFFFD"},
                          ToWideCase{"ByteFF", "\xFF", u"\xFFFD"},
                          ToWideCase{"EmbeddedNul", std::string("a\0b", 3), std::u16string(u"a\0b", 3)})),
    [](const auto& info) {
      return std::get<1>(info.param).name + std::string("_cp") + std::to_string(std::get<0>(info.param));
    });

TEST(CodePage, EveryScalarValueSurvivesTheRoundTrip) {
  std::u16string all;
  for (char32_t c = 1; c < 0x10000; ++c) {
    if (c < 0xD800 || c > 0xDFFF) all.push_back(static_cast<char16_t>(c));
  }
  for (char32_t c = 0x10000; c <= 0x10FFFF; c += 97) {
    all.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
    all.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
  }
  for (UINT codePage : kCodePages) EXPECT_EQ(Widen(codePage, Narrow(codePage, all)), all) << codePage;
}

// --- lengths, buffers and invalid arguments -------------------------------------

TEST(CodePage, MinusOneLengthConvertsTheTerminatorToo) {
  const WCHAR wide[] = u"ab";
  char narrow[8] = "xxxxxxx";
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr), 3);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, 8, nullptr, nullptr), 3);
  EXPECT_STREQ(narrow, "ab");
  EXPECT_EQ(narrow[3], 'x') << "wrote past the terminator";

  WCHAR back[8] = u"xxxxxxx";
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xC3\xA9", -1, nullptr, 0), 2);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xC3\xA9", -1, back, 8), 2);
  EXPECT_EQ(back[0], u'\x00E9');
  EXPECT_EQ(back[1], u'\0');
  EXPECT_EQ(back[2], u'x');
}

TEST(CodePage, TooSmallBufferFailsWithInsufficientBuffer) {
  char narrow[2];
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\x00E9", 1, narrow, 1, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

  WCHAR wide[1];
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "\xF0\x9F\x98\x80", 4, wide, 1), 0) << "a pair needs two units";
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

struct BadCall {
  const char* name;
  UINT codePage;
  DWORD flags;
  bool nullInput;
  int length;
  DWORD error;
};

class InvalidArguments : public ::testing::TestWithParam<BadCall> {};

TEST_P(InvalidArguments, FailWithTheErrorOfTheirKind) {
  const BadCall& c = GetParam();
  char narrow[16];
  WCHAR wide[16];
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(WideCharToMultiByte(c.codePage, c.flags, c.nullInput ? nullptr : u"a\xD800", c.length, narrow, 16, nullptr,
                                nullptr),
            0);
  EXPECT_EQ(GetLastError(), c.error);
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(MultiByteToWideChar(c.codePage, c.flags == WC_ERR_INVALID_CHARS ? MB_ERR_INVALID_CHARS : c.flags,
                                c.nullInput ? nullptr : "a\xFF", c.length, wide, 16),
            0);
  EXPECT_EQ(GetLastError(), c.error);
}

INSTANTIATE_TEST_SUITE_P(Table, InvalidArguments,
                         ::testing::Values(BadCall{"UnknownCodePage", 1252, 0, false, 2, ERROR_INVALID_PARAMETER},
                                           BadCall{"UnknownFlag", CP_UTF8, 0x1, false, 2, ERROR_INVALID_FLAGS},
                                           BadCall{"NullInput", CP_ACP, 0, true, 2, ERROR_INVALID_PARAMETER},
                                           BadCall{"ZeroLength", CP_ACP, 0, false, 0, ERROR_INVALID_PARAMETER},
                                           BadCall{"LengthBelowMinusOne", CP_ACP, 0, false, -2,
                                                   ERROR_INVALID_PARAMETER},
                                           BadCall{"StrictRejectsIllFormed", CP_UTF8, WC_ERR_INVALID_CHARS, false, 2,
                                                   ERROR_NO_UNICODE_TRANSLATION}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CodePage, NullOutputWithNonZeroSizeIsInvalid) {
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"a", 1, nullptr, 4, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "a", 1, nullptr, 4), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
