// The wide string of the support library: UTF-16 code units, allocated from
// the small-block allocator.
#pragma once

#include <kelvex/SmallBlockAllocator.h>

#include <string>

namespace kelvex {
namespace utility {

using UTF16String =
    std::basic_string<char16_t, std::char_traits<char16_t>, SmallBlockAllocator::STLAllocator<char16_t>>;

// Widens a narrow string: it is read as UTF-8 (7-bit ASCII is a subset),
// every ill-formed sequence becomes U+FFFD. Stops at the first NUL.
UTF16String AsciiToUTF16(const std::string& text);
// The other way, for messages and tests: UTF-16 to UTF-8, lone surrogates
// become U+FFFD.
std::string UTF16ToUTF8(const UTF16String& text);

}  // namespace utility
}  // namespace kelvex
