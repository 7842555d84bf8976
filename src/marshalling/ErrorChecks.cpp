#include "marshalling/ErrorChecks.h"

#include <comsupport/AtlException.h>
#include <comsupport/Bstr.h>

#include <string>

namespace moravane {

namespace {

// UTF-16 -> the ANSI code page -> the library's wide string, as the COM
// string holder converts an error text. ASCII passes unchanged; what other
// characters become depends on the ANSI code page.
WideString ConvertErrorText(BSTR text) {
  const int size = ::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) comsupport::AtlThrow(HRESULT_FROM_WIN32(::GetLastError()));
  std::string narrow(static_cast<std::size_t>(size), '\0');
  if (::WideCharToMultiByte(CP_ACP, 0, text, -1, &narrow[0], size, nullptr, nullptr) != size) {
    comsupport::AtlThrow(HRESULT_FROM_WIN32(::GetLastError()));
  }
  narrow.resize(static_cast<std::size_t>(size - 1));  // the terminator was converted too
  return kelvex::utility::AsciiToUTF16(narrow);
}

}  // namespace

HRESULT CheckServerResult(HRESULT hr, BSTR text) {
  if (text == nullptr) {
    if (SUCCEEDED(hr)) return hr;
    throw LinkError(hr);
  }
  comsupport::UniqueBstr owned(text);
  // A text fails the call whatever hr says, an empty one included.
  throw LinkError(ConvertErrorText(owned.Get()), hr);
}

void CheckCallResult(LONG code, const WideString& text) {
  if (code == 0 && text.empty()) return;
  if (text.empty()) throw LinkError(code);
  throw LinkError(text, code);
}

}  // namespace moravane
