// The class objects registered in this process, and the activation order of
// CoCreateInstance: a class registered here first; for CLSCTX_LOCAL_SERVER
// then one published by another process of the same user, or started from
// the class registration (rpc::ActivateRemote).
#include <objbase.h>
#include <rpc/Rpc.h>

#include <mutex>
#include <vector>

namespace {

struct Registration {
  DWORD cookie;
  CLSID clsid;
  IUnknown* factory;  // one reference while registered
  DWORD context;
};

struct ClassTable {
  std::mutex mutex;
  std::vector<Registration> registrations;
  DWORD nextCookie = 1;
};

ClassTable& TheTable() {
  static auto* table = new ClassTable;
  return *table;
}

// A reference on the factory registered for `clsid` in one of `context`.
IUnknown* FindLocal(REFCLSID clsid, DWORD context) {
  ClassTable& table = TheTable();
  std::lock_guard lock(table.mutex);
  for (const Registration& registration : table.registrations) {
    if (IsEqualCLSID(registration.clsid, clsid) && (registration.context & context) != 0) {
      registration.factory->AddRef();
      return registration.factory;
    }
  }
  return nullptr;
}

}  // namespace

extern "C" {

HRESULT STDAPICALLTYPE CoRegisterClassObject(REFCLSID clsid, IUnknown* factory, DWORD clsContext, DWORD flags,
                                             DWORD* cookie) {
  if (cookie == nullptr) return E_POINTER;
  *cookie = 0;
  if (factory == nullptr) return E_INVALIDARG;
  ClassTable& table = TheTable();
  Registration registration{0, clsid, factory, clsContext};
  {
    std::lock_guard lock(table.mutex);
    registration.cookie = table.nextCookie++;
    factory->AddRef();
    table.registrations.push_back(registration);
  }
  if ((clsContext & CLSCTX_LOCAL_SERVER) != 0) {
    const HRESULT hr = rpc::PublishClass(registration.cookie, clsid, factory, flags);
    if (FAILED(hr)) {
      CoRevokeClassObject(registration.cookie);
      return hr;
    }
  }
  *cookie = registration.cookie;
  return S_OK;
}

HRESULT STDAPICALLTYPE CoRevokeClassObject(DWORD cookie) {
  IUnknown* factory = nullptr;
  {
    ClassTable& table = TheTable();
    std::lock_guard lock(table.mutex);
    for (auto it = table.registrations.begin(); it != table.registrations.end(); ++it) {
      if (it->cookie == cookie) {
        factory = it->factory;
        table.registrations.erase(it);
        break;
      }
    }
  }
  if (factory == nullptr) return E_INVALIDARG;
  rpc::WithdrawClass(cookie);
  factory->Release();
  return S_OK;
}

HRESULT STDAPICALLTYPE CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsContext, REFIID riid,
                                        LPVOID* object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (IUnknown* factory = FindLocal(clsid, clsContext)) {
    IClassFactory* classFactory = nullptr;
    HRESULT hr = factory->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&classFactory));
    factory->Release();
    if (FAILED(hr)) return hr;
    hr = classFactory->CreateInstance(outer, riid, object);
    classFactory->Release();
    return hr;
  }
  if ((clsContext & CLSCTX_LOCAL_SERVER) != 0) {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return rpc::ActivateRemote(clsid, riid, object);
  }
  return REGDB_E_CLASSNOTREG;
}

}  // extern "C"
