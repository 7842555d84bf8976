// BSTRs as the library and the server pass them: the system's on Windows,
// our platform layer's here.
#include "support/LiveBstrCheck.h"

// The SDK's headers first: Windows' oleauto.h needs objbase.h before it.
#include <objbase.h>
#include <oleauto.h>

#include <comsupport/Bstr.h>
#include <comsupport/WideChars.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace {

// Checks the layout and frees `value`: the byte length before the
// characters, the bytes kept, and two NUL bytes after them.
void ExpectLayout(BSTR value, const void* bytes, UINT byteLength) {
  ASSERT_NE(value, nullptr);
  UINT prefix;
  std::memcpy(&prefix, reinterpret_cast<const unsigned char*>(value) - sizeof(UINT), sizeof prefix);
  EXPECT_EQ(prefix, byteLength);
  EXPECT_EQ(SysStringByteLen(value), byteLength);
  EXPECT_EQ(SysStringLen(value), byteLength / 2);
  const auto* payload = reinterpret_cast<const unsigned char*>(value);
  EXPECT_EQ(std::memcmp(payload, bytes, byteLength), 0);
  EXPECT_EQ(payload[byteLength], 0) << byteLength;
  EXPECT_EQ(payload[byteLength + 1], 0) << byteLength;
  SysFreeString(value);
}

TEST(Bstr, KeepsEveryByteBetweenItsLengthAndTwoNulBytes) {
  // Freed blocks full of ones are reused below: a missing NUL shows.
  for (std::size_t size = 1; size < 300; ++size) std::free(std::memset(std::malloc(size), 0xFF, size));
  for (const std::u16string& text : {std::u16string(), std::u16string(u"a\0b", 3), std::u16string(u"\xD83D\xDE00\xE9")})
    ExpectLayout(SysAllocStringLen(comsupport::AsOleChars(text.data()), static_cast<UINT>(text.size())), text.data(),
                 static_cast<UINT>(text.size() * 2));
  const std::string source(300, 'q');
  for (UINT length : {0u, 1u, 3u, 8u, 255u, 256u})
    ExpectLayout(SysAllocStringByteLen(source.data(), length), source.data(), length);
  const char zeros[8] = {};
  ExpectLayout(SysAllocStringLen(nullptr, 3), zeros, 6);
  ExpectLayout(SysAllocStringByteLen(nullptr, 5), zeros, 5);
  ExpectLayout(SysAllocString(comsupport::AsOleChars(u"ab\0cd")), u"ab", 4);
  const std::u16string text(u"pa\0th\U0001F600", 7);
  EXPECT_EQ(comsupport::BstrView(comsupport::AllocateBstr(text).Get()), text);
}

// Where the live count exists, LiveBstrCheck.h also proves that a refused
// length allocated nothing.
TEST(Bstr, NullIsAcceptedAndUnrepresentableLengthsAreRefused) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);
  EXPECT_TRUE(comsupport::BstrView(nullptr).empty());
  const UINT max = std::numeric_limits<UINT>::max();
  EXPECT_EQ(SysAllocStringLen(nullptr, max / 2 + 1), nullptr);
  EXPECT_EQ(SysAllocStringByteLen(nullptr, max), nullptr);
  EXPECT_EQ(SysAllocStringByteLen(nullptr, max - 3), nullptr);
}

}  // namespace
