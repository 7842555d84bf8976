// The platform functions the library calls, checked with one set of
// expectations on every platform: on Windows (or Wine) they are the system's,
// elsewhere our platform layer's. Windows is the reference; a case that fails
// only off Windows is a fault of the platform layer.
#include <comsupport/WideChars.h>

#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
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

// --- BSTR ------------------------------------------------------------------------

UINT PrefixOf(BSTR value) {
  UINT prefix;
  std::memcpy(&prefix, reinterpret_cast<const unsigned char*>(value) - sizeof(UINT), sizeof prefix);
  return prefix;
}

struct BstrCase {
  const char* name;
  BSTR (*allocate)();
  UINT expectedLength;        // SysStringLen
  UINT expectedByteLength;    // SysStringByteLen, also the length prefix
  std::string expectedBytes;  // the payload; empty: not compared (uninitialised)
};

std::ostream& operator<<(std::ostream& os, const BstrCase& c) { return os << c.name; }

class BstrTest : public ::testing::TestWithParam<BstrCase> {};

TEST_P(BstrTest, LayoutAndLengthsAgreeWithWindows) {
  const BstrCase& c = GetParam();
  comsupport::UniqueBstr value(c.allocate());
  ASSERT_TRUE(value);
  EXPECT_EQ(::SysStringLen(value.Get()), c.expectedLength);
  EXPECT_EQ(::SysStringByteLen(value.Get()), c.expectedByteLength);
  EXPECT_EQ(PrefixOf(value.Get()), c.expectedByteLength) << "the length prefix stands before the characters";
  const auto* bytes = reinterpret_cast<const char*>(value.Get());
  if (!c.expectedBytes.empty()) {
    EXPECT_EQ(std::string(bytes, c.expectedByteLength), c.expectedBytes);
  }
  // A NUL follows the payload, so that a BSTR also passes as a C string.
  EXPECT_EQ(bytes[c.expectedByteLength], '\0');
}

INSTANTIATE_TEST_SUITE_P(
    Allocation, BstrTest,
    ::testing::Values(
        BstrCase{"FromString", [] { return ::SysAllocString(comsupport::AsOleChars(u"abc")); }, 3, 6,
                 std::string("a\0b\0c\0", 6)},
        BstrCase{"EmbeddedNulKept", [] { return ::SysAllocStringLen(comsupport::AsOleChars(u"a\0b"), 3); }, 3, 6,
                 std::string("a\0\0\0b\0", 6)},
        BstrCase{"EmptyIsNotNull", [] { return ::SysAllocStringLen(comsupport::AsOleChars(u""), 0); }, 0, 0, ""},
        BstrCase{"LengthWithoutSource", [] { return ::SysAllocStringLen(nullptr, 4); }, 4, 8, ""},
        BstrCase{"OddByteLength", [] { return ::SysAllocStringByteLen("abc", 3); }, 1, 3, "abc"},
        BstrCase{"ByteLengthWithoutSource", [] { return ::SysAllocStringByteLen(nullptr, 5); }, 2, 5, ""},
        BstrCase{"EmptyByteLengthWithoutSource", [] { return ::SysAllocStringByteLen(nullptr, 0); }, 0, 0, ""}),
    [](const ::testing::TestParamInfo<BstrCase>& info) { return std::string(info.param.name); });

TEST(BstrNull, NullIsEmptyAndFreeingItIsHarmless) {
  EXPECT_EQ(::SysAllocString(nullptr), nullptr);
  EXPECT_EQ(::SysStringLen(nullptr), 0u);
  EXPECT_EQ(::SysStringByteLen(nullptr), 0u);
  ::SysFreeString(nullptr);
}

TEST(BstrView, ViewAndAllocationRoundTripEmbeddedNuls) {
  const std::u16string text(u"pa\0th\U0001F600", 7);
  comsupport::UniqueBstr value = comsupport::AllocateBstr(text);
  EXPECT_EQ(comsupport::BstrView(value.Get()), text);
  EXPECT_TRUE(comsupport::BstrView(nullptr).empty());
}

// --- CoInitializeEx ------------------------------------------------------------

enum class Step { Init, Uninit };

struct ComStep {
  Step step;
  DWORD coInit;
  HRESULT expected;  // ignored for Uninit
};

struct ComCase {
  const char* name;
  std::vector<ComStep> steps;
};

std::ostream& operator<<(std::ostream& os, const ComCase& c) { return os << c.name; }

class CoInitializeExTest : public ::testing::TestWithParam<ComCase> {};

TEST_P(CoInitializeExTest, CountsPerThreadAsWindowsDoes) {
  // A fresh thread: the count is per thread, and the test thread's own state
  // (gtest may have touched COM) must not leak in.
  std::vector<HRESULT> results;
  std::thread([&] {
    for (const ComStep& s : GetParam().steps) {
      if (s.step == Step::Init) {
        results.push_back(::CoInitializeEx(nullptr, s.coInit));
      } else {
        ::CoUninitialize();
      }
    }
  }).join();
  std::size_t next = 0;
  for (const ComStep& s : GetParam().steps) {
    if (s.step != Step::Init) continue;
    EXPECT_EQ(results[next], s.expected) << "CoInitializeEx call " << next;
    ++next;
  }
}

constexpr DWORD kMta = COINIT_MULTITHREADED;
constexpr DWORD kSta = COINIT_APARTMENTTHREADED;

INSTANTIATE_TEST_SUITE_P(
    Apartments, CoInitializeExTest,
    ::testing::Values(
        ComCase{"RepeatedMtaCounts",
                {{Step::Init, kMta, S_OK},
                 {Step::Init, kMta, S_FALSE},
                 {Step::Init, kMta | COINIT_DISABLE_OLE1DDE, S_FALSE},
                 {Step::Uninit, 0, S_OK},
                 {Step::Uninit, 0, S_OK},
                 {Step::Uninit, 0, S_OK}}},
        ComCase{"OtherModelRefusedWithoutCounting",
                {{Step::Init, kMta, S_OK},
                 {Step::Init, kSta, RPC_E_CHANGED_MODE},
                 {Step::Uninit, 0, S_OK},
                 // One success, one CoUninitialize: the thread is free again.
                 {Step::Init, kSta, S_OK},
                 {Step::Uninit, 0, S_OK}}},
        ComCase{"StaThenMtaRefused",
                {{Step::Init, kSta, S_OK}, {Step::Init, kMta, RPC_E_CHANGED_MODE}, {Step::Uninit, 0, S_OK}}},
        // 0x10 is no COINIT flag.
        ComCase{"UnknownFlagIgnored", {{Step::Init, kMta | 0x10, S_OK}, {Step::Uninit, 0, S_OK}}},
        ComCase{"ExtraUninitializeIsHarmless",
                {{Step::Uninit, 0, S_OK}, {Step::Init, kMta, S_OK}, {Step::Uninit, 0, S_OK}, {Step::Uninit, 0, S_OK}}}),
    [](const ::testing::TestParamInfo<ComCase>& info) { return std::string(info.param.name); });

TEST(CoInitializeExArguments, ReservedArgumentIsIgnored) {
  int reserved = 0;
  HRESULT first = E_FAIL, second = E_FAIL;
  std::thread([&] {
    first = ::CoInitializeEx(&reserved, COINIT_MULTITHREADED);
    second = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ::CoUninitialize();
    ::CoUninitialize();
  }).join();
  EXPECT_EQ(first, S_OK);
  EXPECT_EQ(second, S_FALSE) << "the first call counted";
}

}  // namespace
