#include <kelvex/Strings.h>

#include <windows.h>

namespace kelvex {
namespace utility {

UTF16String AsciiToUTF16(const std::string& text) {
  const std::string::size_type end = text.find('\0');
  const int length = static_cast<int>(end == std::string::npos ? text.size() : end);
  UTF16String result;
  if (length == 0) return result;
  // UTF-8 decoding replaces ill-formed input with U+FFFD and never fails.
  const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  result.resize(static_cast<std::size_t>(needed));
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, reinterpret_cast<WCHAR*>(&result[0]), needed);
  return result;
}

std::string UTF16ToUTF8(const UTF16String& text) {
  std::string result;
  if (text.empty()) return result;
  const auto* wide = reinterpret_cast<const WCHAR*>(text.data());
  const int length = static_cast<int>(text.size());
  const int needed = ::WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
  result.resize(static_cast<std::size_t>(needed));
  ::WideCharToMultiByte(CP_UTF8, 0, wide, length, &result[0], needed, nullptr, nullptr);
  return result;
}

}  // namespace utility
}  // namespace kelvex
