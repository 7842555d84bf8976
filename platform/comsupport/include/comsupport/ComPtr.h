// Counted COM interface pointers, the library's stand-in for ATL's CComPtr
// and CComQIPtr on every platform.
//
// Ownership rules:
//   - A CComPtr owns exactly one reference while it is not null.
//   - Constructing or assigning from a raw pointer adds a reference; taking
//     over a reference that somebody handed out is explicit (Attach or
//     CComPtr::Adopt), never implicit.
//   - operator& gives the address for an out-parameter and requires the
//     pointer to be null, so a held reference can never leak through it.
#pragma once

#include <cassert>
#include <cstddef>
#include <memory>
#include <utility>

#include <objbase.h>

namespace comsupport {

// The interface identifier that CComQIPtr<T> queries for. Specialised next
// to each interface declaration.
template <class T>
struct InterfaceTraits;

template <>
struct InterfaceTraits<IUnknown> {
  static const IID& Id() { return IID_IUnknown; }
};

template <class T>
class CComPtr {
 public:
  CComPtr() noexcept = default;
  CComPtr(std::nullptr_t) noexcept {}
  CComPtr(T* p) noexcept : p(p) {
    if (p != nullptr) p->AddRef();
  }
  CComPtr(const CComPtr& other) noexcept : CComPtr(other.p) {}
  CComPtr(CComPtr&& other) noexcept : p(other.p) { other.p = nullptr; }
  ~CComPtr() { Release(); }

  // Takes over a reference that the caller already owns (no AddRef).
  static CComPtr Adopt(T* raw) noexcept {
    CComPtr result;
    result.p = raw;
    return result;
  }
  // An owner is never adopted or attached: through its conversion to a raw
  // pointer it would be, and the reference would be dropped twice.
  template <class U>
  static CComPtr Adopt(const CComPtr<U>&) = delete;

  CComPtr& operator=(T* other) noexcept {
    if (other != p) CComPtr(other).Swap(*this);
    return *this;
  }
  CComPtr& operator=(const CComPtr& other) noexcept { return *this = other.p; }
  CComPtr& operator=(CComPtr&& other) noexcept {
    if (this != std::addressof(other)) CComPtr(std::move(other)).Swap(*this);
    return *this;
  }

  operator T*() const noexcept { return p; }
  T* operator->() const noexcept {
    assert(p != nullptr);
    return p;
  }
  T** operator&() noexcept {
    assert(p == nullptr);
    return &p;
  }
  bool operator!() const noexcept { return p == nullptr; }

  // Drops the held reference, if any.
  void Release() noexcept {
    T* old = p;
    if (old != nullptr) {
      p = nullptr;
      old->Release();
    }
  }
  // Takes over `raw`'s reference, dropping the held one.
  void Attach(T* raw) noexcept {
    T* old = p;
    p = raw;
    if (old != nullptr) old->Release();
  }
  template <class U>
  void Attach(const CComPtr<U>&) = delete;
  T* Detach() noexcept {
    T* raw = p;
    p = nullptr;
    return raw;
  }
  // Hands out a new reference through an out-parameter.
  HRESULT CopyTo(T** out) const noexcept {
    if (out == nullptr) return E_POINTER;
    *out = p;
    if (p != nullptr) p->AddRef();
    return S_OK;
  }
  template <class Q>
  HRESULT QueryInterface(Q** out) const noexcept {
    assert(out != nullptr && *out == nullptr);
    return p->QueryInterface(InterfaceTraits<Q>::Id(), reinterpret_cast<void**>(out));
  }
  void Swap(CComPtr& other) noexcept { std::swap(p, other.p); }

  T* p = nullptr;
};

// A CComPtr that, given any interface pointer, queries it for T.
template <class T>
class CComQIPtr : public CComPtr<T> {
 public:
  CComQIPtr() noexcept = default;
  CComQIPtr(std::nullptr_t) noexcept {}
  CComQIPtr(T* p) noexcept : CComPtr<T>(p) {}
  CComQIPtr(const CComQIPtr& other) noexcept : CComPtr<T>(other.p) {}
  CComQIPtr(CComQIPtr&& other) noexcept : CComPtr<T>(std::move(other)) {}
  // Queries `unknown` for T; a failed query leaves the pointer null.
  explicit CComQIPtr(IUnknown* unknown) noexcept { Query(unknown); }

  CComQIPtr& operator=(T* other) noexcept {
    CComPtr<T>::operator=(other);
    return *this;
  }
  CComQIPtr& operator=(const CComQIPtr& other) noexcept {
    CComPtr<T>::operator=(other.p);
    return *this;
  }
  CComQIPtr& operator=(CComQIPtr&& other) noexcept {
    CComPtr<T>::operator=(std::move(other));
    return *this;
  }

 private:
  void Query(IUnknown* unknown) noexcept {
    if (unknown != nullptr) {
      unknown->QueryInterface(InterfaceTraits<T>::Id(), reinterpret_cast<void**>(&this->p));
    }
  }
};

// Every interface is an IUnknown: no query is needed, only a reference.
template <>
class CComQIPtr<IUnknown> : public CComPtr<IUnknown> {
 public:
  using CComPtr<IUnknown>::CComPtr;
  using CComPtr<IUnknown>::operator=;
};

}  // namespace comsupport
