#include "testserver/ClassFactory.h"

#include "testserver/PlatformProbes.h"

namespace testserver {

comsupport::CComPtr<ClassFactory> ClassFactory::Create(comsupport::CComPtr<ITestControl> control, LONG objectId) {
  return comsupport::CComPtr<ClassFactory>::Adopt(new ClassFactory(std::move(control), objectId));
}

ClassFactory::ClassFactory(comsupport::CComPtr<ITestControl> control, LONG objectId)
    : m_control(std::move(control)), m_objectId(objectId) {}

HRESULT STDMETHODCALLTYPE ClassFactory::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  *object = static_cast<IClassFactory*>(this);
  return S_OK;
}

ULONG STDMETHODCALLTYPE ClassFactory::AddRef() { return ++m_refs; }

ULONG STDMETHODCALLTYPE ClassFactory::Release() {
  const ULONG left = --m_refs;
  if (left == 0) delete this;
  return left;
}

HRESULT STDMETHODCALLTYPE ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  HRESULT refusal;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_activationThreads.push_back(static_cast<LONG>(testprobes::CallerThreadId()));
    refusal = m_refusal;
  }
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  if (FAILED(refusal)) return refusal;
  comsupport::CComPtr<IUnknown> identity;
  const HRESULT hr = m_control->GetObject(m_objectId, &identity);
  if (FAILED(hr)) return hr;
  return identity->QueryInterface(riid, object);
}

HRESULT STDMETHODCALLTYPE ClassFactory::LockServer(BOOL) { return S_OK; }

void ClassFactory::Refuse(HRESULT hr) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_refusal = hr;
}

std::vector<LONG> ClassFactory::ActivationThreads() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_activationThreads;
}

ScopedClassRegistration::ScopedClassRegistration(REFCLSID clsid, IUnknown* classObject)
    : m_result(::CoRegisterClassObject(clsid, classObject, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &m_cookie)) {}

ScopedClassRegistration::~ScopedClassRegistration() {
  if (SUCCEEDED(m_result)) ::CoRevokeClassObject(m_cookie);
}

}  // namespace testserver
