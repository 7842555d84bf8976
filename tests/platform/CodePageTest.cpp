// The code-page conversions the library calls, against Windows (or Wine),
// where they are the system's, and here, where they are our platform
// layer's: a row that fails only here is a fault of the layer. Our ANSI
// code page is UTF-8; the rows that rely on that run here only.
#include <comsupport/WideChars.h>

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// One conversion of a pair, `narrow` to `wide` or the other way round, with
// the length of the input (-1: to its terminator) and the output's size.
struct Row {
  const char* name;
  bool toWide;
  UINT codePage;
  DWORD flags;
  std::string narrow;
  std::u16string wide;
  int length, buffer, result;
  DWORD error;  // when the result is 0
};

std::ostream& operator<<(std::ostream& os, const Row& row) { return os << row.name; }

class Conversion : public ::testing::TestWithParam<Row> {};

TEST_P(Conversion, AgreesWithWindows) {
  const Row& r = GetParam();
  std::string narrow(static_cast<std::size_t>(r.buffer) + 1, '#');
  std::u16string wide(static_cast<std::size_t>(r.buffer) + 1, u'#');
  auto convert = [&](int buffer) {
    ::SetLastError(ERROR_SUCCESS);
    if (r.toWide)
      return ::MultiByteToWideChar(r.codePage, r.flags, r.narrow.c_str(), r.length,
                                   buffer == 0 ? nullptr : comsupport::AsOleChars(&wide[0]), buffer);
    return ::WideCharToMultiByte(r.codePage, r.flags, comsupport::AsOleChars(r.wide.c_str()), r.length,
                                 buffer == 0 ? nullptr : &narrow[0], buffer, nullptr, nullptr);
  };
  const int result = convert(r.buffer);
  ASSERT_EQ(result, r.result);
  if (result == 0) {
    EXPECT_EQ(::GetLastError(), r.error);
    return;
  }
  const auto end = static_cast<std::size_t>(result);
  EXPECT_TRUE(r.toWide ? wide.substr(0, end) == r.wide : narrow.substr(0, end) == r.narrow) << "converted wrongly";
  EXPECT_TRUE(r.toWide ? wide[end] == u'#' : narrow[end] == '#') << "wrote past the converted text";
  EXPECT_EQ(convert(0), result) << "the size query disagrees";
}

const std::u16string kMixed = u"A\u00E9\u20AC\U0001F600", kTwo = u"\xFFFD\xFFFD", kThree = u"\xFFFD\xFFFD\xFFFD";
const std::string kMixedUtf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // 1, 2, 3 and 4 bytes
constexpr DWORD kOk = ERROR_SUCCESS, kNoTranslation = ERROR_NO_UNICODE_TRANSLATION;
constexpr DWORD kTooSmall = ERROR_INSUFFICIENT_BUFFER, kInvalid = ERROR_INVALID_PARAMETER;

// Each ill-formed sequence is one U+FFFD; a continuation byte out of its
// lead's range is taken with the lead; a cut sequence ends the input.
INSTANTIATE_TEST_SUITE_P(
    Rows, Conversion,
    ::testing::Values(
        Row{"NarrowAllWidths", false, CP_UTF8, 0, kMixedUtf8, kMixed, 5, 16, 10, kOk},
        Row{"NarrowAnsiTerminator", false, CP_ACP, 0, std::string("ab\0", 3), u"ab", -1, 16, 3, kOk},
        Row{"NarrowLoneSurrogates", false, CP_UTF8, 0, "x\xEF\xBF\xBDy\xEF\xBF\xBD", u"x\xD800y\xDC00", 4, 16, 8, kOk},
        Row{"NarrowStrict", false, CP_UTF8, WC_ERR_INVALID_CHARS, "", u"x\xD800", 2, 16, 0, kNoTranslation},
        Row{"NarrowBufferTooSmall", false, CP_UTF8, 0, "", kMixed, 5, 4, 0, kTooSmall},
        Row{"NarrowEmpty", false, CP_UTF8, 0, "", u"", 0, 16, 0, kInvalid},
        Row{"NarrowUnknownCodePage", false, 12345, 0, "", u"ab", 2, 16, 0, kInvalid},
        Row{"WideAllWidths", true, CP_UTF8, 0, kMixedUtf8, kMixed, 10, 16, 5, kOk},
        Row{"WideThreadAnsi", true, CP_THREAD_ACP, 0, "abc", u"abc", 3, 16, 3, kOk},
        Row{"WideIllFormed", true, CP_UTF8, 0,
            "\xC3(\xC0\x80\xE0\x80\x80\xED\xA0\x80\xF4\x90\x80\x80\xE0\x80x\xF5\x80\xFF"
            "a\xE2\x82",
            u"\xFFFD(" + kTwo + kTwo + kTwo + kThree + u"\xFFFDx" + kThree + u"a\xFFFD", 23, 32, 18, kOk},
        Row{"WideLastCodePoints", true, CP_UTF8, 0, "\xF4\x8F\xBF\xBF\xED\x9F\xBF", u"\xDBFF\xDFFF\xD7FF", 7, 16, 3,
            kOk},
        Row{"WideStrict", true, CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF", u"", 2, 16, 0, kNoTranslation},
        Row{"WideBufferTooSmall", true, CP_UTF8, 0, "abcdef", u"", 6, 3, 0, kTooSmall}
#ifndef _WIN32
        ,
        // Wine writes the first half of the pair instead.
        Row{"WidePairNeedsTwoUnits", true, CP_UTF8, 0, "\xF0\x9F\x98\x80", u"", 4, 1, 0, kTooSmall},
        Row{"NarrowUnknownFlag", false, CP_UTF8, 1, "", u"a", 1, 16, 0, ERROR_INVALID_FLAGS},
        Row{"WideLengthBelowMinusOne", true, CP_UTF8, 0, "a", u"", -2, 16, 0, kInvalid}
#endif
        ),
    [](const auto& info) { return std::string(info.param.name); });

// Every scalar value there and back, which finds any boundary between
// encoded lengths that is off by one.
TEST(CodePage, EveryScalarValueSurvivesTheRoundTrip) {
  std::u16string all;
  for (char32_t c = 1; c < 0x10000; ++c)
    if (c < 0xD800 || c > 0xDFFF) all.push_back(static_cast<char16_t>(c));
  for (char32_t c = 0x10000; c <= 0x10FFFF; c += 97) {
    all.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
    all.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
  }
#ifdef _WIN32
  for (UINT codePage : {CP_UTF8}) {
#else
  for (UINT codePage : {CP_ACP, CP_THREAD_ACP, CP_UTF8}) {
#endif
    const int size = static_cast<int>(all.size());
    std::string narrow(all.size() * 4, '\0');
    narrow.resize(static_cast<std::size_t>(::WideCharToMultiByte(codePage, 0, comsupport::AsOleChars(all.data()), size,
                                                                 narrow.data(), static_cast<int>(narrow.size()),
                                                                 nullptr, nullptr)));
    std::u16string back(all.size(), u'?');
    back.resize(static_cast<std::size_t>(::MultiByteToWideChar(
        codePage, 0, narrow.data(), static_cast<int>(narrow.size()), comsupport::AsOleChars(back.data()), size)));
    EXPECT_EQ(back, all) << codePage;
  }
}

}  // namespace
