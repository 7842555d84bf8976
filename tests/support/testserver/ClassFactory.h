// A class object for the test server, so that code which activates the link
// server by its class identifier can be pointed at a scripted object. Every
// activation hands out a new reference on one object of the test server, or
// fails with a code the test chose; the thread of each activation is kept.
#pragma once

#include "testserver/TestControl.h"

#include <comsupport/ComPtr.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace testserver {

class ClassFactory final : public IClassFactory {
 public:
  // With one reference for the caller; activations hand out `objectId`.
  static comsupport::CComPtr<ClassFactory> Create(comsupport::CComPtr<ITestControl> control, LONG objectId);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

  // A failing code makes every later activation fail with it; S_OK undoes it.
  void Refuse(HRESULT hr);
  // The caller's thread of each activation so far, in order.
  std::vector<LONG> ActivationThreads() const;

 private:
  ClassFactory(comsupport::CComPtr<ITestControl> control, LONG objectId);
  ~ClassFactory() = default;

  std::atomic<ULONG> m_refs{1};
  comsupport::CComPtr<ITestControl> m_control;
  const LONG m_objectId;
  mutable std::mutex m_lock;
  HRESULT m_refusal = S_OK;
  std::vector<LONG> m_activationThreads;
};

// A class object that lives as long as the process and hands out a fresh test
// server per activation, as a server process would: `create` makes it. The
// class table's references are not counted.
class FreshServerFactory final : public IClassFactory {
 public:
  using Create = HRESULT (*)(ITestControl** control);
  explicit FreshServerFactory(Create create) : m_create(create) {}

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
    comsupport::CComPtr<ITestControl> control;
    const HRESULT hr = m_create(&control);
    if (FAILED(hr)) return hr;
    return control->QueryInterface(iid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  const Create m_create;
};

// Registers a class object for local-server activation, multiple use, and
// revokes it when destroyed. Registering for local-server activation also
// publishes the class to the other processes of the user.
class ScopedClassRegistration {
 public:
  ScopedClassRegistration(REFCLSID clsid, IUnknown* classObject);
  ~ScopedClassRegistration();
  ScopedClassRegistration(const ScopedClassRegistration&) = delete;
  ScopedClassRegistration& operator=(const ScopedClassRegistration&) = delete;

  HRESULT Result() const { return m_result; }

 private:
  DWORD m_cookie = 0;
  HRESULT m_result;
};

}  // namespace testserver
