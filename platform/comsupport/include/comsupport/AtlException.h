// The COM support library's own failure, raised where ATL raises its
// CAtlException: above all when a BSTR argument cannot be allocated
// (E_OUTOFMEMORY, 0x8007000E). It is deliberately not a LinkError.
#pragma once

#include <windows.h>

#include <exception>

namespace comsupport {

class CAtlException : public std::exception {
 public:
  explicit CAtlException(HRESULT hr) noexcept : m_hr(hr) {}
  HRESULT GetResult() const noexcept { return m_hr; }
  operator HRESULT() const noexcept { return m_hr; }
  const char* what() const noexcept override { return "COM support failure"; }

 private:
  HRESULT m_hr;
};

[[noreturn]] inline void AtlThrow(HRESULT hr) { throw CAtlException(hr); }

}  // namespace comsupport
