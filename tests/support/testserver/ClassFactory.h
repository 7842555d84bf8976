// A class object for the test server, so that code which activates the link
// server by its class identifier can be pointed at a scripted object. Every
// activation hands out a new reference on one object of the test server, or
// fails with a code the test chose; the thread of each activation is kept.
#pragma once

#include "testserver/PlatformProbes.h"
#include "testserver/TestControl.h"

#include <comsupport/ClassFactory.h>
#include <comsupport/ComPtr.h>

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

namespace testserver {

class ClassFactory final : public IClassFactory {
 public:
  // With one reference for the caller; activations hand out `objectId`.
  static comsupport::CComPtr<ClassFactory> Create(comsupport::CComPtr<ITestControl> control, LONG objectId) {
    return comsupport::CComPtr<ClassFactory>::Adopt(new ClassFactory(std::move(control), objectId));
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    const bool known = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory);
    *object = known ? static_cast<IClassFactory*>(this) : nullptr;
    if (known) AddRef();
    return known ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    std::unique_lock<std::mutex> guard(m_lock);
    m_activationThreads.push_back(static_cast<LONG>(testprobes::CallerThreadId()));
    const HRESULT refusal = m_refusal;
    guard.unlock();
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if (FAILED(refusal)) return refusal;
    comsupport::CComPtr<IUnknown> identity;
    const HRESULT hr = m_control->GetObject(m_objectId, &identity);
    return FAILED(hr) ? hr : identity->QueryInterface(riid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

  // A failing code makes every later activation fail with it; S_OK undoes it.
  void Refuse(HRESULT hr) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_refusal = hr;
  }
  // The caller's thread of each activation so far, in order.
  std::vector<LONG> ActivationThreads() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_activationThreads;
  }

 private:
  ClassFactory(comsupport::CComPtr<ITestControl> control, LONG objectId)
      : m_control(std::move(control)), m_objectId(objectId) {}
  ~ClassFactory() = default;

  std::atomic<ULONG> m_refs{1};
  comsupport::CComPtr<ITestControl> m_control;
  const LONG m_objectId;
  mutable std::mutex m_lock;
  HRESULT m_refusal = S_OK;
  std::vector<LONG> m_activationThreads;
};

// Hands out a fresh test server per activation, as a server process would:
// `create` makes it. The class object for it is a
// comsupport::StaticClassFactory<FreshServer>.
struct FreshServer {
  HRESULT (*create)(ITestControl** control);
  HRESULT operator()(REFIID iid, void** object) const {
    comsupport::CComPtr<ITestControl> control;
    const HRESULT hr = create(&control);
    if (FAILED(hr)) return hr;
    return control->QueryInterface(iid, object);
  }
};
using FreshServerFactory = comsupport::StaticClassFactory<FreshServer>;

// Registers a class object for local-server activation, multiple use, and
// revokes it when destroyed. Registering for local-server activation also
// publishes the class to the other processes of the user.
class ScopedClassRegistration {
 public:
  ScopedClassRegistration(REFCLSID clsid, IUnknown* classObject)
      : m_result(::CoRegisterClassObject(clsid, classObject, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &m_cookie)) {}
  ~ScopedClassRegistration() {
    if (SUCCEEDED(m_result)) ::CoRevokeClassObject(m_cookie);
  }
  ScopedClassRegistration(const ScopedClassRegistration&) = delete;
  ScopedClassRegistration& operator=(const ScopedClassRegistration&) = delete;

  HRESULT Result() const { return m_result; }

 private:
  DWORD m_cookie = 0;
  HRESULT m_result;
};

}  // namespace testserver
