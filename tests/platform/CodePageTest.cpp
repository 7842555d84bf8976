// The code-page conversions the library calls, against Windows (or Wine),
// where they are the system's, and here, where they are our platform
// layer's: a row that fails only here is a fault of the layer. Our ANSI
// code page is UTF-8; the rows that rely on that run here only.
#include <comsupport/WideChars.h>

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

// One conversion of a pair: `narrow` to `wide` or the other way round.
struct Row {
  const char* name;
  bool toWide = false;
  UINT codePage = CP_UTF8;
  DWORD flags = 0;
  std::string narrow{};
  std::u16string wide{};
  std::optional<int> length{};  // none: the input's size
  int buffer = 16;
  bool nullInput = false, nullOutput = false;
  int result = 0;
  DWORD error = ERROR_SUCCESS;  // when the result is 0
};

std::ostream& operator<<(std::ostream& os, const Row& row) { return os << row.name; }

class Conversion : public ::testing::TestWithParam<Row> {};

TEST_P(Conversion, AgreesWithWindows) {
  const Row& r = GetParam();
  const int length = r.length.value_or(static_cast<int>(r.toWide ? r.narrow.size() : r.wide.size()));
  std::string narrow(static_cast<std::size_t>(r.buffer) + 1, '#');
  std::u16string wide(static_cast<std::size_t>(r.buffer) + 1, u'#');
  auto convert = [&](int buffer) {
    const bool noOutput = buffer == 0 || r.nullOutput;
    ::SetLastError(ERROR_SUCCESS);
    if (r.toWide)
      return ::MultiByteToWideChar(r.codePage, r.flags, r.nullInput ? nullptr : r.narrow.c_str(), length,
                                   noOutput ? nullptr : comsupport::AsOleChars(&wide[0]), buffer);
    return ::WideCharToMultiByte(r.codePage, r.flags, r.nullInput ? nullptr : comsupport::AsOleChars(r.wide.c_str()),
                                 length, noOutput ? nullptr : &narrow[0], buffer, nullptr, nullptr);
  };
  const int result = convert(r.buffer);
  ASSERT_EQ(result, r.result);
  if (result == 0) {
    EXPECT_EQ(::GetLastError(), r.error);
    return;
  }
  const auto end = static_cast<std::size_t>(result);
  if (r.toWide) {
    EXPECT_EQ(wide.substr(0, end), r.wide);
    EXPECT_EQ(wide[end], u'#') << "wrote past the converted text";
  } else {
    EXPECT_EQ(narrow.substr(0, end), r.narrow);
    EXPECT_EQ(narrow[end], '#') << "wrote past the converted text";
  }
  EXPECT_EQ(convert(0), result) << "the size query disagrees";
}

const std::u16string kMixed = u"A\u00E9\u20AC\U0001F600";  // 1, 2, 3 and 4 UTF-8 bytes
const std::string kMixedUtf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
const std::u16string kTwo = u"\xFFFD\xFFFD", kThree = u"\xFFFD\xFFFD\xFFFD";

INSTANTIATE_TEST_SUITE_P(
    Rows, Conversion,
    ::testing::Values(
        Row{.name = "NarrowAllWidths", .narrow = kMixedUtf8, .wide = kMixed, .result = 10},
        Row{.name = "NarrowTerminator",
            .codePage = CP_ACP,
            .narrow = std::string("ab\0", 3),
            .wide = u"ab",
            .length = -1,
            .result = 3},
        Row{.name = "NarrowThreadAnsi", .codePage = CP_THREAD_ACP, .narrow = "abc", .wide = u"abc", .result = 3},
        Row{.name = "NarrowLoneSurrogates",
            .narrow = "x\xEF\xBF\xBDy\xEF\xBF\xBD",
            .wide = u"x\xD800y\xDC00",
            .result = 8},
        Row{.name = "NarrowStrict",
            .flags = WC_ERR_INVALID_CHARS,
            .wide = u"x\xD800",
            .error = ERROR_NO_UNICODE_TRANSLATION},
        Row{.name = "NarrowBufferTooSmall", .wide = kMixed, .buffer = 4, .error = ERROR_INSUFFICIENT_BUFFER},
        Row{.name = "NarrowEmpty", .wide = u"", .error = ERROR_INVALID_PARAMETER},
        Row{.name = "NarrowNullInput", .wide = u"ab", .nullInput = true, .error = ERROR_INVALID_PARAMETER},
        Row{.name = "NarrowUnknownCodePage", .codePage = 12345, .wide = u"ab", .error = ERROR_INVALID_PARAMETER},
        Row{.name = "WideAllWidths", .toWide = true, .narrow = kMixedUtf8, .wide = kMixed, .result = 5},
        Row{.name = "WideTerminator",
            .toWide = true,
            .narrow = "\xC3\xA9",
            .wide = std::u16string(u"\xE9\0", 2),
            .length = -1,
            .result = 2},
        Row{.name = "WideThreadAnsi",
            .toWide = true,
            .codePage = CP_THREAD_ACP,
            .narrow = "abc",
            .wide = u"abc",
            .result = 3},
        // Each ill-formed sequence is one U+FFFD; a continuation byte out of
        // its lead's range is taken with the lead. A cut sequence ends it.
        Row{.name = "WideIllFormed",
            .toWide = true,
            .narrow = "\xC3(\xC0\x80\xE0\x80\x80\xED\xA0\x80\xF4\x90\x80\x80\xE0\x80x\xF5\x80\xFF"
                      "a\xE2\x82",
            .wide = u"\xFFFD(" + kTwo + kTwo + kTwo + kThree + u"\xFFFDx" + kThree + u"a\xFFFD",
            .buffer = 32,
            .result = 18},
        Row{.name = "WideLastCodePoints",
            .toWide = true,
            .narrow = "\xF4\x8F\xBF\xBF\xED\x9F\xBF",
            .wide = u"\xDBFF\xDFFF\xD7FF",
            .result = 3},
        Row{.name = "WideStrict",
            .toWide = true,
            .flags = MB_ERR_INVALID_CHARS,
            .narrow = "a\xFF",
            .error = ERROR_NO_UNICODE_TRANSLATION},
        Row{.name = "WidePairNeedsTwoUnits",
            .toWide = true,
            .narrow = "\xF0\x9F\x98\x80",
            .buffer = 1,
            .error = ERROR_INSUFFICIENT_BUFFER},
        Row{.name = "WideEmpty", .toWide = true, .narrow = "", .error = ERROR_INVALID_PARAMETER},
        Row{.name = "WideNullInput",
            .toWide = true,
            .narrow = "ab",
            .nullInput = true,
            .error = ERROR_INVALID_PARAMETER}
#ifndef _WIN32
        ,
        Row{.name = "NarrowUnknownFlag", .flags = 1, .wide = u"a", .error = ERROR_INVALID_FLAGS},
        Row{.name = "NarrowNullOutput",
            .wide = u"a",
            .buffer = 4,
            .nullOutput = true,
            .error = ERROR_INVALID_PARAMETER},
        Row{.name = "WideUnknownFlag", .toWide = true, .flags = 1, .narrow = "a", .error = ERROR_INVALID_FLAGS},
        Row{.name = "WideNullOutput",
            .toWide = true,
            .narrow = "a",
            .buffer = 4,
            .nullOutput = true,
            .error = ERROR_INVALID_PARAMETER}
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
