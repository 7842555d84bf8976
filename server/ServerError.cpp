#include "ServerError.h"

#include "ProjectModel.h"

#include <comsupport/WideChars.h>
#include <kelvex/Strings.h>

#include <string_view>

namespace linkserver {

std::u16string ToUtf16(const std::string& utf8) {
  const kelvex::utility::UTF16String wide = kelvex::utility::AsciiToUTF16(utf8);
  return std::u16string(wide.begin(), wide.end());
}

std::string FromBstr(BSTR text) {
  if (text == nullptr) return std::string();
  // A BSTR may hold a NUL; like the library, the server reads up to it.
  const std::u16string_view whole = comsupport::BstrView(text);
  const std::u16string_view used = whole.substr(0, whole.find(u'\0'));
  kelvex::utility::UTF16String wide(used.begin(), used.end());
  return kelvex::utility::UTF16ToUTF8(wide);
}

BSTR NewBstr(const std::string& utf8) {
  const std::u16string wide = ToUtf16(utf8);
  BSTR result = SysAllocStringLen(comsupport::AsOleChars(wide.data()), static_cast<UINT>(wide.size()));
  if (result == nullptr) throw std::bad_alloc();
  return result;
}

namespace {

// The link carries no longer text: a text that quotes a long word of a file
// loses its middle, so that what failed (its start) and why (its end) both
// reach the host. Surrogate pairs are not split.
std::u16string FitForHost(std::u16string text) {
  if (text.size() <= kMaxErrorTextChars) return text;
  const std::u16string_view marker = u" [...] ";
  const auto low = [](char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; };
  std::size_t head = (kMaxErrorTextChars - marker.size()) / 2;
  std::size_t tail = text.size() - (kMaxErrorTextChars - marker.size() - head);
  if (low(text[head])) --head;
  if (low(text[tail])) ++tail;
  return text.substr(0, head).append(marker).append(text, tail);
}

}  // namespace

HRESULT ReportFailure(BSTR* errorText, HRESULT code, const std::string& utf8Message) noexcept {
  // A failure must stay a failure even if the thrown code claims success.
  if (SUCCEEDED(code)) code = E_FAIL;
  if (errorText == nullptr) return code;
  try {
    const std::u16string wide = FitForHost(ToUtf16(utf8Message));
    *errorText = SysAllocString(comsupport::AsOleChars(wide.c_str()));
  } catch (...) {
    *errorText = nullptr;
  }
  return code;
}

}  // namespace linkserver
