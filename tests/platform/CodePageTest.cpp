// The code-page conversions the library calls. The tables hold on Windows
// (or Wine), where the functions are the system's, and here, where they are
// our platform layer's: Windows is the reference, and a case that fails only
// here is a fault of the layer. Our layer's ANSI code page is UTF-8; the
// cases that rely on that run here only.
#include "support/LiveBstrCheck.h"

#include <comsupport/WideChars.h>

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// --- WideCharToMultiByte -------------------------------------------------------

struct ToNarrowCase {
  const char* name;
  UINT codePage;
  DWORD flags;
  std::u16string input;
  int inputLength;  // -1: up to and including the terminator
  int bufferSize;   // 0: ask for the size only
  bool askUsedDefault;
  int expectedResult;
  std::string expectedBytes;  // compared when the call succeeds with a buffer
  DWORD expectedError;        // compared when the call fails
};

std::ostream& operator<<(std::ostream& os, const ToNarrowCase& c) { return os << c.name; }

class WideCharToMultiByteTest : public ::testing::TestWithParam<ToNarrowCase> {};

TEST_P(WideCharToMultiByteTest, AgreesWithWindows) {
  const ToNarrowCase& c = GetParam();
  std::vector<char> buffer(static_cast<std::size_t>(c.bufferSize) + 1, '#');
  BOOL usedDefault = TRUE;
  ::SetLastError(ERROR_SUCCESS);
  const int result = ::WideCharToMultiByte(c.codePage, c.flags, comsupport::AsOleChars(c.input.c_str()), c.inputLength,
                                           c.bufferSize == 0 ? nullptr : buffer.data(), c.bufferSize, nullptr,
                                           c.askUsedDefault ? &usedDefault : nullptr);
  ASSERT_EQ(result, c.expectedResult);
  if (result == 0) {
    EXPECT_EQ(::GetLastError(), c.expectedError);
  } else if (c.bufferSize != 0) {
    EXPECT_EQ(std::string(buffer.data(), static_cast<std::size_t>(result)), c.expectedBytes);
    EXPECT_EQ(buffer[static_cast<std::size_t>(result)], '#') << "wrote past the converted text";
  }
  // Every case converts characters the code page holds.
  if (result != 0 && c.askUsedDefault) {
    EXPECT_EQ(usedDefault, FALSE);
  }
}

const std::u16string kMixed = u"A\u00E9\u20AC\U0001F600";  // 1, 2, 3 and 4 UTF-8 bytes
const std::string kMixedUtf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";

INSTANTIATE_TEST_SUITE_P(
    CodePages, WideCharToMultiByteTest,
    ::testing::Values(
        ToNarrowCase{"Utf8AllWidths", CP_UTF8, 0, kMixed, 5, 32, false, 10, kMixedUtf8, 0},
        ToNarrowCase{"Utf8SizeOnly", CP_UTF8, 0, kMixed, 5, 0, false, 10, "", 0},
        ToNarrowCase{"Utf8TerminatorIncluded", CP_UTF8, 0, u"ab", -1, 8, false, 3, std::string("ab\0", 3), 0},
        ToNarrowCase{"Utf8LoneHighSurrogateReplaced", CP_UTF8, 0, u"x\xD800y", 3, 8, false, 5, "x\xEF\xBF\xBDy", 0},
        ToNarrowCase{"Utf8LoneLowSurrogateReplaced", CP_UTF8, 0, u"\xDC00", 1, 8, false, 3, "\xEF\xBF\xBD", 0},
        ToNarrowCase{"Utf8LoneSurrogateStrict", CP_UTF8, WC_ERR_INVALID_CHARS, u"x\xD800", 2, 8, false, 0, "",
                     ERROR_NO_UNICODE_TRANSLATION},
        ToNarrowCase{"Utf8BufferTooSmall", CP_UTF8, 0, kMixed, 5, 4, false, 0, "", ERROR_INSUFFICIENT_BUFFER},
        ToNarrowCase{"Utf8EmptyInput", CP_UTF8, 0, u"", 0, 8, false, 0, "", ERROR_INVALID_PARAMETER},
        ToNarrowCase{"UnknownCodePage", 12345, 0, u"ab", 2, 8, false, 0, "", ERROR_INVALID_PARAMETER},
        ToNarrowCase{"AnsiReportsNoDefaultCharForAscii", CP_ACP, 0, u"ab", 2, 8, true, 2, "ab", 0},
        ToNarrowCase{"AnsiAscii", CP_ACP, 0, u"Hello, 1.0!", -1, 16, false, 12, std::string("Hello, 1.0!\0", 12), 0},
        ToNarrowCase{"ThreadAnsiAscii", CP_THREAD_ACP, 0, u"abc", 3, 8, false, 3, "abc", 0},
        ToNarrowCase{"AnsiBufferTooSmall", CP_ACP, 0, u"abcdef", 6, 3, false, 0, "", ERROR_INSUFFICIENT_BUFFER}),
    [](const ::testing::TestParamInfo<ToNarrowCase>& info) { return std::string(info.param.name); });

TEST(ConversionArguments, NullInputIsRefusedBothWays) {
  char narrow[8];
  ::SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(::WideCharToMultiByte(CP_UTF8, 0, nullptr, 3, narrow, sizeof narrow, nullptr, nullptr), 0);
  EXPECT_EQ(::GetLastError(), ERROR_INVALID_PARAMETER);
  std::u16string wide(8, u'#');
  ::SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(::MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, comsupport::AsOleChars(&wide[0]), 8), 0);
  EXPECT_EQ(::GetLastError(), ERROR_INVALID_PARAMETER);
}

// --- MultiByteToWideChar -------------------------------------------------------

struct ToWideCase {
  const char* name;
  UINT codePage;
  DWORD flags;
  std::string input;
  int inputLength;
  int bufferSize;
  int expectedResult;
  std::u16string expectedUnits;
  DWORD expectedError;
};

std::ostream& operator<<(std::ostream& os, const ToWideCase& c) { return os << c.name; }

class MultiByteToWideCharTest : public ::testing::TestWithParam<ToWideCase> {};

TEST_P(MultiByteToWideCharTest, AgreesWithWindows) {
  const ToWideCase& c = GetParam();
  std::u16string buffer(static_cast<std::size_t>(c.bufferSize) + 1, u'#');
  ::SetLastError(ERROR_SUCCESS);
  const int result =
      ::MultiByteToWideChar(c.codePage, c.flags, c.input.c_str(), c.inputLength,
                            c.bufferSize == 0 ? nullptr : comsupport::AsOleChars(&buffer[0]), c.bufferSize);
  ASSERT_EQ(result, c.expectedResult);
  if (result == 0) {
    EXPECT_EQ(::GetLastError(), c.expectedError);
  } else if (c.bufferSize != 0) {
    EXPECT_EQ(buffer.substr(0, static_cast<std::size_t>(result)), c.expectedUnits);
    EXPECT_EQ(buffer[static_cast<std::size_t>(result)], u'#') << "wrote past the converted text";
  }
}

INSTANTIATE_TEST_SUITE_P(
    CodePages, MultiByteToWideCharTest,
    ::testing::Values(
        ToWideCase{"Utf8AllWidths", CP_UTF8, 0, kMixedUtf8, 10, 16, 5, kMixed, 0},
        ToWideCase{"Utf8SizeOnly", CP_UTF8, 0, kMixedUtf8, 10, 0, 5, u"", 0},
        ToWideCase{"Utf8TerminatorIncluded", CP_UTF8, 0, "ab", -1, 8, 3, std::u16string(u"ab\0", 3), 0},
        ToWideCase{"Utf8BadTrailReplaced", CP_UTF8, 0, "\xC3(", 2, 8, 2, u"\xFFFD(", 0},
        ToWideCase{"Utf8TruncatedSequenceIsOneReplacement", CP_UTF8, 0, "a\xE2\x82", 3, 8, 2, u"a\xFFFD", 0},
        ToWideCase{"Utf8OverlongReplacedPerByte", CP_UTF8, 0, "\xC0\x80", 2, 8, 2, u"\xFFFD\xFFFD", 0},
        // A continuation byte out of the lead's range is taken with the lead.
        ToWideCase{"Utf8EncodedSurrogate", CP_UTF8, 0, "\xED\xA0\x80", 3, 8, 2, u"\xFFFD\xFFFD", 0},
        ToWideCase{"Utf8OverlongThreeBytes", CP_UTF8, 0, "\xE0\x80\x80", 3, 8, 2, u"\xFFFD\xFFFD", 0},
        ToWideCase{"Utf8AboveLastCodePoint", CP_UTF8, 0, "\xF4\x90\x80\x80", 4, 8, 3, u"\xFFFD\xFFFD\xFFFD", 0},
        ToWideCase{"Utf8OutOfRangeThenAscii", CP_UTF8, 0, "\xE0\x80x", 3, 8, 2, u"\xFFFDx", 0},
        ToWideCase{"Utf8InvalidLeadsPerByte", CP_UTF8, 0, "\xF5\x80\xFF", 3, 8, 3, u"\xFFFD\xFFFD\xFFFD", 0},
        ToWideCase{"Utf8LastCodePoints", CP_UTF8, 0, "\xF4\x8F\xBF\xBF\xED\x9F\xBF", 7, 8, 3, u"\xDBFF\xDFFF\xD7FF", 0},
        ToWideCase{"Utf8InvalidStrict", CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF", 2, 8, 0, u"",
                   ERROR_NO_UNICODE_TRANSLATION},
        ToWideCase{"Utf8BufferTooSmall", CP_UTF8, 0, "abcdef", 6, 3, 0, u"", ERROR_INSUFFICIENT_BUFFER},
        ToWideCase{"Utf8EmptyInput", CP_UTF8, 0, "", 0, 8, 0, u"", ERROR_INVALID_PARAMETER},
        ToWideCase{"AnsiAscii", CP_ACP, 0, "Hello, 1.0!", -1, 16, 12, std::u16string(u"Hello, 1.0!\0", 12), 0},
        ToWideCase{"ThreadAnsiAscii", CP_THREAD_ACP, 0, "abc", 3, 8, 3, u"abc", 0}),
    [](const ::testing::TestParamInfo<ToWideCase>& info) { return std::string(info.param.name); });

// --- every scalar value, both ways -----------------------------------------------

#ifdef _WIN32
const UINT kCodePages[] = {CP_UTF8};
#else
const UINT kCodePages[] = {CP_ACP, CP_THREAD_ACP, CP_UTF8};
#endif

std::string Narrow(UINT codePage, const std::u16string& wide) {
  const auto* in = comsupport::AsOleChars(wide.data());
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
                                comsupport::AsOleChars(out.data()), size),
            size);
  return out;
}

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

#ifndef _WIN32
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

#endif  // _WIN32

}  // namespace
