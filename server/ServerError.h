// The one failure type inside the reference link server. Every method of
// every COM object runs its body under GuardCall, which turns a ServerError
// (or anything else that escapes) into a failing HRESULT and an error text,
// so no exception ever crosses the COM boundary.
#pragma once

#include <objbase.h>
#include <oleauto.h>

#include <new>
#include <stdexcept>
#include <string>

namespace linkserver {

class ServerError : public std::runtime_error {
 public:
  ServerError(HRESULT code, const std::string& message) : std::runtime_error(message), m_code(code) {}
  HRESULT Code() const noexcept { return m_code; }

 private:
  HRESULT m_code;
};

[[noreturn]] inline void Fail(HRESULT code, const std::string& message) { throw ServerError(code, message); }
[[noreturn]] inline void FailArgument(const std::string& message) { throw ServerError(E_INVALIDARG, message); }
// A call that is valid in itself but not in the object's present state
// (render without start, second start, a closed project).
[[noreturn]] inline void FailState(const std::string& message) { throw ServerError(E_UNEXPECTED, message); }

// Checks an out-parameter before the call does any work, so that a null
// address fails cleanly instead of crashing after side effects.
template <class T>
T& OutParam(T* address, const char* name) {
  if (address == nullptr) Fail(E_POINTER, std::string("the out-parameter '") + name + "' is null");
  return *address;
}

// Allocates the error text for the caller (who frees it). Never throws: if
// the text cannot be allocated the caller still gets the failing code.
HRESULT ReportFailure(BSTR* errorText, HRESULT code, const std::string& utf8Message) noexcept;

// The catch-all at every COM method. `body` does the work and writes the
// out-parameters only when it has succeeded. The error text stays null on
// success, as the contract requires.
template <class Body>
HRESULT GuardCall(BSTR* errorText, Body&& body) noexcept {
  try {
    body();
    return S_OK;
  } catch (const ServerError& error) {
    return ReportFailure(errorText, error.Code(), error.what());
  } catch (const std::bad_alloc&) {
    return ReportFailure(errorText, E_OUTOFMEMORY, "the link server ran out of memory");
  } catch (const std::exception& error) {
    return ReportFailure(errorText, E_FAIL, std::string("internal error of the link server: ") + error.what());
  } catch (...) {
    return ReportFailure(errorText, E_UNEXPECTED, "internal error of the link server");
  }
}

// Text conversions at the boundary: BSTRs are UTF-16, everything inside the
// server (paths, names, messages) is UTF-8. A null BSTR is an empty string;
// a BSTR is read up to its first NUL.
std::string FromBstr(BSTR text);
std::u16string ToUtf16(const std::string& utf8);
// An owned BSTR for an out-parameter; throws bad_alloc when it cannot be had.
BSTR NewBstr(const std::string& utf8);

}  // namespace linkserver
