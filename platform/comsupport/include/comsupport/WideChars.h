// The one place where the library's UTF-16 text meets the platform's wide
// characters. The library keeps its text as char16_t (moravane::WideString,
// kelvex::utility::UTF16String); the SDK's OLECHAR, WCHAR and BSTR are built
// on wchar_t on Windows and on char16_t elsewhere. Both are 16-bit UTF-16
// code units with the same layout, so a pointer of one kind is read as the
// other without copying; every such reinterpretation goes through here.
#pragma once

#include <comsupport/AtlException.h>
#include <comsupport/Bstr.h>

#include <oleauto.h>

#include <string_view>
#include <type_traits>

namespace comsupport {

static_assert(sizeof(OLECHAR) == sizeof(char16_t) && alignof(OLECHAR) == alignof(char16_t),
              "OLECHAR must be a 16-bit UTF-16 code unit");

inline const OLECHAR* AsOleChars(const char16_t* text) noexcept { return reinterpret_cast<const OLECHAR*>(text); }
inline OLECHAR* AsOleChars(char16_t* text) noexcept { return reinterpret_cast<OLECHAR*>(text); }
inline const char16_t* AsUtf16(const OLECHAR* text) noexcept { return reinterpret_cast<const char16_t*>(text); }
inline char16_t* AsUtf16(OLECHAR* text) noexcept { return reinterpret_cast<char16_t*>(text); }

// The characters of a BSTR, embedded NULs included; a null BSTR is empty.
inline std::u16string_view BstrView(BSTR value) noexcept {
  if (value == nullptr) return {};
  return std::u16string_view(AsUtf16(value), ::SysStringLen(value));
}

// A new BSTR holding `text`, owned by the result. Throws CAtlException
// (E_OUTOFMEMORY) when the BSTR cannot be allocated.
inline UniqueBstr AllocateBstr(std::u16string_view text) {
  BSTR value = ::SysAllocStringLen(AsOleChars(text.data()), static_cast<UINT>(text.size()));
  if (value == nullptr) AtlThrow(E_OUTOFMEMORY);
  return UniqueBstr(value);
}

}  // namespace comsupport
