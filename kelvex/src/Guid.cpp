#include <kelvex/Guid.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace kelvex {
namespace utility {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<Guid> Guid::Parse(std::string_view text) {
  if (text.size() == 38) {
    if (text.front() != '{' || text.back() != '}') return std::nullopt;
    text = text.substr(1, 36);
  }
  if (text.size() != 36) return std::nullopt;
  // 8-4-4-4-12 hex digits; the bytes in the order they are written.
  unsigned char bytes[16];
  std::size_t byte = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    const int high = HexValue(text[i]), low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes[byte++] = static_cast<unsigned char>(high * 16 + low);
    i += 2;
  }
  _GUID guid;
  guid.Data1 =
      (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) | bytes[3];
  guid.Data2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
  guid.Data3 = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
  std::memcpy(guid.Data4, bytes + 8, 8);
  return Guid(guid);
}

Guid::Guid(std::string_view text) {
  std::optional<Guid> parsed = Parse(text);
  if (!parsed) throw std::invalid_argument("not a GUID: " + std::string(text));
  m_guid = parsed->m_guid;
}

bool Guid::IsNull() const noexcept { return *this == Guid(); }

std::string Guid::ToString() const {
  char text[39];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(m_guid.Data1), m_guid.Data2, m_guid.Data3, m_guid.Data4[0], m_guid.Data4[1],
                m_guid.Data4[2], m_guid.Data4[3], m_guid.Data4[4], m_guid.Data4[5], m_guid.Data4[6], m_guid.Data4[7]);
  return text;
}

bool operator<(const Guid& a, const Guid& b) noexcept { return std::memcmp(&a.m_guid, &b.m_guid, sizeof(_GUID)) < 0; }

}  // namespace utility
}  // namespace kelvex
