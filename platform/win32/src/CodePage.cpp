// WideCharToMultiByte and MultiByteToWideChar for the code pages the library
// names. Off Windows the ANSI code page (CP_ACP, CP_THREAD_ACP) is UTF-8, so
// every code page here converts between UTF-16 and UTF-8.
//
// Ill-formed input is replaced, not dropped: a lone surrogate becomes U+FFFD
// when encoding; when decoding, each ill-formed UTF-8 sequence becomes one
// U+FFFD, where a sequence is cut as Windows cuts it: a valid lead byte takes
// the following continuation bytes that fit it, and also the first one that
// is a continuation byte but out of the lead's range (an overlong form, an
// encoded surrogate, a value above U+10FFFF), which ends the sequence.
// With WC_ERR_INVALID_CHARS / MB_ERR_INVALID_CHARS the call fails instead
// with ERROR_NO_UNICODE_TRANSLATION.
#include <windows.h>

#include <cstdint>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsSupportedCodePage(UINT codePage) {
  return codePage == CP_ACP || codePage == CP_THREAD_ACP || codePage == CP_OEMCP || codePage == CP_UTF8;
}

int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

// Writes `value` as UTF-8 into out (when it has room) and returns its length.
int EncodeUtf8(char32_t value, unsigned char* out) {
  if (value < 0x80) {
    out[0] = static_cast<unsigned char>(value);
    return 1;
  }
  if (value < 0x800) {
    out[0] = static_cast<unsigned char>(0xC0 | (value >> 6));
    out[1] = static_cast<unsigned char>(0x80 | (value & 0x3F));
    return 2;
  }
  if (value < 0x10000) {
    out[0] = static_cast<unsigned char>(0xE0 | (value >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((value >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (value & 0x3F));
    return 3;
  }
  out[0] = static_cast<unsigned char>(0xF0 | (value >> 18));
  out[1] = static_cast<unsigned char>(0x80 | ((value >> 12) & 0x3F));
  out[2] = static_cast<unsigned char>(0x80 | ((value >> 6) & 0x3F));
  out[3] = static_cast<unsigned char>(0x80 | (value & 0x3F));
  return 4;
}

// Decodes one code point starting at in[0] (count bytes available). Returns
// the number of bytes consumed (at least 1) and sets `valid`.
int DecodeUtf8(const unsigned char* in, int count, char32_t& value, bool& valid) {
  const unsigned char lead = in[0];
  valid = true;
  if (lead < 0x80) {
    value = lead;
    return 1;
  }
  int needed;
  char32_t minimum;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1, minimum = 0x80, value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2, minimum = 0x800, value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no encoded surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3, minimum = 0x10000, value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    valid = false;
    value = kReplacement;
    return 1;
  }
  int used = 1;
  for (int i = 0; i < needed; ++i) {
    if (used >= count) break;
    const unsigned char next = in[used];
    if (next < 0x80 || next > 0xBF) break;
    if (i == 0 && (next < low || next > high)) {
      valid = false;
      value = kReplacement;
      return 2;
    }
    value = (value << 6) | (next & 0x3F);
    ++used;
  }
  if (used != needed + 1 || value < minimum) {
    valid = false;
    value = kReplacement;
  }
  return used;
}

}  // namespace

extern "C" {

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wideStr, int wideLen, LPSTR multiStr, int multiLen,
                               LPCSTR defaultChar, BOOL* usedDefaultChar) {
  if (!IsSupportedCodePage(codePage)) return Fail(ERROR_INVALID_PARAMETER);
  if ((flags & ~WC_ERR_INVALID_CHARS) != 0) return Fail(ERROR_INVALID_FLAGS);
  if (codePage == CP_UTF8 && (defaultChar != nullptr || usedDefaultChar != nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (wideStr == nullptr || wideLen == 0 || wideLen < -1 || multiLen < 0 || (multiStr == nullptr && multiLen != 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (usedDefaultChar != nullptr) *usedDefaultChar = FALSE;
  std::size_t length = static_cast<std::size_t>(wideLen);
  if (wideLen == -1) {
    length = 0;
    while (wideStr[length] != 0) ++length;
    ++length;  // the terminator is converted too
  }
  auto* out = reinterpret_cast<unsigned char*>(multiStr);
  int written = 0;
  for (std::size_t i = 0; i < length; ++i) {
    char32_t value = wideStr[i];
    if (value >= 0xD800 && value <= 0xDBFF && i + 1 < length && wideStr[i + 1] >= 0xDC00 && wideStr[i + 1] <= 0xDFFF) {
      value = 0x10000 + ((value - 0xD800) << 10) + (wideStr[i + 1] - 0xDC00);
      ++i;
    } else if (value >= 0xD800 && value <= 0xDFFF) {
      if (flags & WC_ERR_INVALID_CHARS) return Fail(ERROR_NO_UNICODE_TRANSLATION);
      value = kReplacement;
    }
    unsigned char encoded[4];
    const int size = EncodeUtf8(value, encoded);
    if (multiLen != 0) {
      if (written + size > multiLen) return Fail(ERROR_INSUFFICIENT_BUFFER);
      for (int k = 0; k < size; ++k) out[written + k] = encoded[k];
    }
    written += size;
  }
  return written;
}

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiStr, int multiLen, LPWSTR wideStr, int wideLen) {
  if (!IsSupportedCodePage(codePage)) return Fail(ERROR_INVALID_PARAMETER);
  if ((flags & ~MB_ERR_INVALID_CHARS) != 0) return Fail(ERROR_INVALID_FLAGS);
  if (multiStr == nullptr || multiLen == 0 || multiLen < -1 || wideLen < 0 || (wideStr == nullptr && wideLen != 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const auto* in = reinterpret_cast<const unsigned char*>(multiStr);
  int length = multiLen;
  if (multiLen == -1) {
    length = 0;
    while (in[length] != 0) ++length;
    ++length;
  }
  int written = 0;
  for (int i = 0; i < length;) {
    char32_t value;
    bool valid;
    i += DecodeUtf8(in + i, length - i, value, valid);
    if (!valid && (flags & MB_ERR_INVALID_CHARS)) return Fail(ERROR_NO_UNICODE_TRANSLATION);
    const int units = value >= 0x10000 ? 2 : 1;
    if (wideLen != 0) {
      if (written + units > wideLen) return Fail(ERROR_INSUFFICIENT_BUFFER);
      if (units == 2) {
        wideStr[written] = static_cast<WCHAR>(0xD800 + ((value - 0x10000) >> 10));
        wideStr[written + 1] = static_cast<WCHAR>(0xDC00 + ((value - 0x10000) & 0x3FF));
      } else {
        wideStr[written] = static_cast<WCHAR>(value);
      }
    }
    written += units;
  }
  return written;
}

}  // extern "C"
