// A GUID value with the Windows layout, convertible from and to _GUID and to
// and from its registry string form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace kelvex {
namespace utility {

class Guid {
 public:
  Guid() noexcept : m_guid() {}
  Guid(const _GUID& guid) noexcept : m_guid(guid) {}
  // Parses the string form; braces are optional, hex digits of either case.
  // Throws std::invalid_argument for anything else.
  explicit Guid(std::string_view text);

  static std::optional<Guid> Parse(std::string_view text);

  const _GUID& GetGUID() const noexcept { return m_guid; }
  operator const _GUID&() const noexcept { return m_guid; }
  bool IsNull() const noexcept;
  std::string ToString() const;

  friend bool operator==(const Guid& a, const Guid& b) noexcept { return IsEqualGUID(a.m_guid, b.m_guid); }
  friend bool operator!=(const Guid& a, const Guid& b) noexcept { return !(a == b); }
  friend bool operator<(const Guid& a, const Guid& b) noexcept;

 private:
  _GUID m_guid;
};

}  // namespace utility
}  // namespace kelvex
