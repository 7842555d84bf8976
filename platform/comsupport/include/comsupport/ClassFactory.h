// The class object that a server registers for the life of its process.
//
// It is a static object: the class table's references and the clients'
// are not counted, and it is destroyed when the program ends, after the
// registration has been revoked. Aggregation is not supported. Every
// activation asks `create` for the object: `create(iid, object)` returns the
// activation's HRESULT and, on success, one reference on `*object`.
#pragma once

#include <utility>

#include <objbase.h>

#include <comsupport/ComPtr.h>

namespace comsupport {

template <class Create>
class StaticClassFactory final : public IClassFactory {
 public:
  explicit StaticClassFactory(Create create) : m_create(std::move(create)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
    *object = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return m_create(iid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  Create m_create;
};

// Hands out `created` (a new object, or null when it could not be made) as
// `iid`; the creation's reference goes with the owner.
template <class T>
HRESULT HandOut(const CComPtr<T>& created, REFIID iid, void** object) {
  if (!created) return E_OUTOFMEMORY;
  return created->QueryInterface(iid, object);
}

}  // namespace comsupport
