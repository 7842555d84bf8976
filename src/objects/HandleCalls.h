// The shared pieces of every handle operation: the one call through which
// every public method runs its executor, with the string argument and string
// result rules, the remote call of an executor, and the object return rule
// by which an executor turns an object pointer of the server into a handle.
#pragma once

#include "marshalling/Dispatch.h"
#include "marshalling/ErrorChecks.h"
#include <contract/LinkServer.h>

#include <comsupport/AtlException.h>
#include <comsupport/Bstr.h>
#include <moravane/BaseObject.h>
#include <moravane/Types.h>

#include <boost/bind/bind.hpp>
#include <exception>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

// The special members that every handle class defines alike, out of line so
// that they are exported with the class: an unlinked handle, a copy sharing
// the other's server object, the destructor and the assignment.
#define MORAVANE_HANDLE_MEMBERS(Class, Interface)                                                \
  Class::Class() {}                                                                              \
  Class::Class(const Class& other) : Class##_Base(other), BaseObject<Interface, Class>(other) {} \
  Class::~Class() {}                                                                             \
  Class& Class::operator=(const Class& other) {                                                  \
    BaseObject<Interface, Class>::operator=(other);                                              \
    return *this;                                                                                \
  }
// A handle adopting the reference of an object that the server returned.
#define MORAVANE_HANDLE_ADOPTING(Class, Interface) \
  Class::Class(comsupport::CComPtr<IUnknown> unknown) : BaseObject<Interface, Class>(unknown.p) {}

namespace moravane {
namespace detail {

// A string argument: the characters up to the first NUL in a BSTR of
// exactly that length, owned by the public method for the length of the
// call (the bound call carries only the raw pointer) and freed when it ends,
// also when the call throws. An empty string gives an empty, non-null BSTR.
class BstrArgument {
 public:
  explicit BstrArgument(const WideString& text);
  // The narrow name of a shared-memory section, widened with the calling
  // thread's ANSI code page.
  explicit BstrArgument(const std::string& narrow);
  BSTR Get() const { return m_value.Get(); }

 private:
  comsupport::UniqueBstr m_value;
};

// The characters of `value` up to its first NUL; null gives "".
WideString ToWideString(BSTR value);

// The protected parts of the handles that executors of other classes need.
class HandleAccess {
 public:
  template <class X>
  static X Wrap(IUnknown* unknown) {
    return X(comsupport::CComPtr<IUnknown>(unknown));
  }
  template <class X>
  static auto InterfaceOf(X& handle) {
    return handle.GetInterface();
  }
};

// One remote call of an executor: an empty handle fails with
// kNoRemoteObject before anything is sent; otherwise the slot is called with
// the arguments and a null error text last, and the outcome is checked.
// `target` holds the executor's own reference for the length of the call.
template <class I, class... Params, class... Args>
void CallRemote(const comsupport::CComQIPtr<I>& target, HRESULT (STDMETHODCALLTYPE I::*slot)(Params...),
                Args&&... args) {
  if (!target) CheckServerResult(kNoRemoteObject, nullptr);
  BSTR errorText = nullptr;
  const HRESULT hr = (target.p->*slot)(std::forward<Args>(args)..., &errorText);
  CheckServerResult(hr, errorText);
}

// The object return rule. The executor receives the server's pointer into a
// CComPtr<IUnknown> that adopts its reference (null before the call), so the
// reference is released whenever the executor ends.
//
// Strict: a missing object or one without X's interface is E_NOINTERFACE.
// Lenient: a missing object leaves `result` as it was; a wrong one fails.
// Tested by the caller: only wraps; the public method checks the result
// after the call has come back.
enum class ReturnForm { kStrict, kLenient, kTestedByCaller };

// Wraps `returned` in a temporary X (linked by query, in place since an
// executor already runs where remote calls run) and assigns it to `result`.
template <class X>
void AssignReturned(IUnknown* returned, X* result) {
  X linked = HandleAccess::Wrap<X>(returned);
  *result = linked;
}

template <class X>
void RequireLinked(X& handle) {
  if (!handle.IsLinked()) throw LinkError(E_NOINTERFACE);
}

template <class X>
void TakeReturned(ReturnForm form, IUnknown* returned, X* result) {
  if (form == ReturnForm::kLenient && returned == nullptr) return;
  AssignReturned(returned, result);
  if (form != ReturnForm::kTestedByCaller) RequireLinked(*result);
}

// Two objects of one call (strict): both handles are assigned, in the order
// of the server's out-parameters, before either is tested.
template <class X, class Y>
void TakeReturnedPair(IUnknown* first, X* firstResult, IUnknown* second, Y* secondResult) {
  AssignReturned(first, firstResult);
  AssignReturned(second, secondResult);
  RequireLinked(*firstResult);
  RequireLinked(*secondResult);
}

// What a public method hands to the bound call for one argument: a string
// becomes a BSTR that the method owns for the length of the call (the bound
// call carries only the raw pointer); anything else goes as it is.
inline BstrArgument Lend(const WideString& text) { return BstrArgument(text); }
inline BstrArgument Lend(const std::string& narrow) { return BstrArgument(narrow); }
template <class T>
const T& Lend(const T& value) {
  return value;
}
inline BSTR Bound(const BstrArgument& argument) { return argument.Get(); }
template <class T>
const T& Bound(const T& value) {
  return value;
}

// What the public method checks on its own thread once the call is back.
enum class ResultCheck { kNone, kLinked };

template <class Object, class Class, class... Params, class... Lent>
void CallLent(Object* object, void (Class::*executor)(Params...), const Lent&... lent) {
  WideString errorText;
  DispatchCall(boost::bind(executor, object, Bound(lent)...), errorText);
}

// The result goes to the executor as its last parameter. A BSTR that the
// executor leaves is owned before the call result is checked, so it is freed
// on every path.
template <class R, ResultCheck check, class Object, class Class, class... Params, class... Lent>
auto CallLentFor(Object* object, void (Class::*executor)(Params...), const Lent&... lent) {
  if constexpr (std::is_same_v<R, BSTR>) {
    BSTR result = nullptr;
    WideString errorText;
    const LONG code = Execute(boost::bind(executor, object, Bound(lent)..., &result), errorText);
    const comsupport::UniqueBstr owned(result);
    CheckCallResult(code, errorText);
    return ToWideString(owned.Get());
  } else {
    R result{};
    WideString errorText;
    DispatchCall(boost::bind(executor, object, Bound(lent)..., &result), errorText);
    if constexpr (check == ResultCheck::kLinked) RequireLinked(result);
    return result;
  }
}

// Every public method of a handle class: its executor of the same name with
// `Executor`, bound with the method's arguments into a deferred call that
// runs where remote calls run (Execute), and checked on the caller's thread
// (CheckCallResult). An executor with one parameter more than the arguments
// given fills the method's result through it.
template <ResultCheck check = ResultCheck::kNone, class Object, class Class, class... Params, class... Args>
auto Call(Object* object, void (Class::*executor)(Params...), const Args&... args) {
  if constexpr (sizeof...(Params) == sizeof...(Args)) {
    static_assert(check == ResultCheck::kNone, "only a result can be checked");
    CallLent(object, executor, Lend(args)...);
  } else {
    static_assert(sizeof...(Params) == sizeof...(Args) + 1, "one executor parameter per argument, and the result");
    using Result = std::remove_pointer_t<std::tuple_element_t<sizeof...(Args), std::tuple<Params...>>>;
    return CallLentFor<Result, check>(object, executor, Lend(args)...);
  }
}

// A bool goes to the server as 1 or 0.
inline LONG ToFlag(bool value) { return value ? 1 : 0; }

// A flag comes back as a 32-bit value tested against 0: passed to CallRemote
// in place of the LONG* out-parameter, it stores the answer in `*result`
// when the call has succeeded. A failed call (CallRemote throws) leaves
// `*result` as it was: nothing is converted after a failure.
class FlagResult {
 public:
  explicit FlagResult(bool* result) : m_result(result), m_exceptions(std::uncaught_exceptions()) {}
  FlagResult(const FlagResult&) = delete;
  FlagResult& operator=(const FlagResult&) = delete;
  ~FlagResult() {
    if (std::uncaught_exceptions() == m_exceptions) *m_result = m_flag != 0;
  }
  operator LONG*() { return &m_flag; }

 private:
  bool* m_result;
  const int m_exceptions;
  LONG m_flag = 0;
};

}  // namespace detail
}  // namespace moravane
