// One owner template for every resource kind the library holds: a value and
// a traits class that knows its empty value and how to release it. BSTRs,
// kernel handles, mapped views and mutex ownership are one-line aliases of
// it, so no raw SysFreeString/CloseHandle is scattered through the code.
#pragma once

#include <cassert>
#include <utility>

namespace comsupport {

// Traits: `using Type = ...; static Type Empty(); static void Release(Type);`
template <class Traits>
class UniqueResource {
 public:
  using Type = typename Traits::Type;

  UniqueResource() noexcept : m_value(Traits::Empty()) {}
  // Taking ownership is explicit: the owner frees the value exactly once.
  explicit UniqueResource(Type value) noexcept : m_value(value) {}
  UniqueResource(UniqueResource&& other) noexcept : m_value(other.Detach()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) Reset(other.Detach());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  ~UniqueResource() { Reset(); }

  Type Get() const noexcept { return m_value; }
  bool IsEmpty() const noexcept { return m_value == Traits::Empty(); }
  explicit operator bool() const noexcept { return !IsEmpty(); }

  // Releases the held value (if any) and takes `value`.
  void Reset(Type value = Traits::Empty()) noexcept {
    Type old = m_value;
    m_value = value;
    if (old != Traits::Empty()) Traits::Release(old);
  }

  // Gives the value up without releasing it.
  Type Detach() noexcept {
    Type value = m_value;
    m_value = Traits::Empty();
    return value;
  }

  // Address for an out-parameter. The owner must be empty, so a value can
  // never be overwritten (and leaked) through it.
  Type* Put() noexcept {
    assert(IsEmpty());
    return &m_value;
  }

 private:
  Type m_value;
};

}  // namespace comsupport
