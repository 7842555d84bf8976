#include "objects/HandleCalls.h"

#include <comsupport/WideChars.h>

#include <cwchar>

namespace moravane {
namespace detail {

namespace {

comsupport::UniqueBstr AllocateArgument(const OLECHAR* characters, std::size_t length) {
  comsupport::UniqueBstr value(::SysAllocStringLen(characters, static_cast<UINT>(length)));
  // Nothing has been sent yet; the failure is the platform's, not the link's.
  if (!value) comsupport::AtlThrow(E_OUTOFMEMORY);
  return value;
}

std::size_t LengthToNul(const OLECHAR* characters, std::size_t size) {
  std::size_t length = 0;
  while (length < size && characters[length] != 0) ++length;
  return length;
}

}  // namespace

BstrArgument::BstrArgument(const WideString& text)
    : m_value(AllocateArgument(comsupport::AsOleChars(text.data()),
                               LengthToNul(comsupport::AsOleChars(text.data()), text.size()))) {}

BstrArgument::BstrArgument(const std::string& narrow) {
  const std::size_t narrowLength = narrow.find('\0') == std::string::npos ? narrow.size() : narrow.find('\0');
  WideString wide;
  if (narrowLength > 0) {
    const int needed =
        ::MultiByteToWideChar(CP_THREAD_ACP, 0, narrow.data(), static_cast<int>(narrowLength), nullptr, 0);
    if (needed > 0) {
      wide.resize(static_cast<std::size_t>(needed));
      ::MultiByteToWideChar(CP_THREAD_ACP, 0, narrow.data(), static_cast<int>(narrowLength),
                            comsupport::AsOleChars(wide.data()), needed);
    }
  }
  m_value = AllocateArgument(comsupport::AsOleChars(wide.data()), wide.size());
}

WideString ToWideString(BSTR value) {
  if (value == nullptr) return WideString();
  return WideString(comsupport::AsUtf16(value), LengthToNul(value, ::SysStringLen(value)));
}

}  // namespace detail
}  // namespace moravane
