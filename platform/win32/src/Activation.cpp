// Class registration and activation. A class object registered in this
// process serves CoCreateInstance directly; one registered for
// CLSCTX_LOCAL_SERVER is also published to the other processes of the user,
// and a class found nowhere here is activated in another process, both
// through the link engine when it is installed (platformactivation.h).
// The table holds one reference on each registered class object until it is
// revoked.
#include <objbase.h>

#include <platformactivation.h>

#include <atomic>
#include <map>
#include <mutex>

namespace {

struct Registration {
  CLSID clsid;
  IUnknown* classObject;  // owned: one reference, released on revocation
  DWORD context;
  DWORD flags;
  bool used;  // a REGCLS_SINGLEUSE class object serves one activation only
};

struct ClassTable {
  std::mutex lock;
  std::map<DWORD, Registration> byCookie;
  DWORD nextCookie = 1;
};

// Constant-initialised: the engine installs itself while the program's
// static objects are constructed, in whatever order.
std::atomic<const platformactivation::OutOfProcessClasses*> g_outOfProcess{nullptr};

ClassTable& Classes() {
  static ClassTable* table = new ClassTable;  // never destroyed, see KernelObjects.cpp
  return *table;
}

// Finds the class factory that serves `clsid` in `context` among the class
// objects registered in this process and returns it with a reference for the
// caller. `registeredHere` tells whether the class is registered in this
// process at all (a used single-use registration included): this process is
// then the class's server, and activation must not go looking for another.
HRESULT FindClassFactory(REFCLSID clsid, DWORD context, IClassFactory** factory, bool* registeredHere) {
  *factory = nullptr;
  *registeredHere = false;
  IUnknown* classObject = nullptr;
  {
    ClassTable& table = Classes();
    std::lock_guard<std::mutex> guard(table.lock);
    for (auto& [cookie, registration] : table.byCookie) {
      if (!IsEqualCLSID(registration.clsid, clsid) || (registration.context & context) == 0) continue;
      *registeredHere = true;
      if (registration.flags == REGCLS_SINGLEUSE && registration.used) continue;
      registration.used = true;
      classObject = registration.classObject;
      classObject->AddRef();
      break;
    }
  }
  if (classObject == nullptr) return REGDB_E_CLASSNOTREG;
  // Called outside the table's lock: the class object may activate or
  // register classes itself.
  const HRESULT hr = classObject->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(factory));
  classObject->Release();
  if (FAILED(hr)) *factory = nullptr;
  return hr;
}

}  // namespace

extern "C" {

HRESULT STDAPICALLTYPE CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsContext, REFIID riid,
                                        LPVOID* object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  IClassFactory* factory = nullptr;
  bool registeredHere = false;
  HRESULT hr = FindClassFactory(clsid, clsContext, &factory, &registeredHere);
  if (hr == REGDB_E_CLASSNOTREG && !registeredHere && (clsContext & CLSCTX_LOCAL_SERVER) != 0) {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    const auto* outOfProcess = g_outOfProcess.load(std::memory_order_acquire);
    if (outOfProcess == nullptr) return REGDB_E_CLASSNOTREG;
    return outOfProcess->activate(clsid, riid, object);
  }
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(outer, riid, object);
  factory->Release();
  if (FAILED(hr)) *object = nullptr;
  return hr;
}

HRESULT STDAPICALLTYPE CoRegisterClassObject(REFCLSID clsid, IUnknown* classObject, DWORD clsContext, DWORD flags,
                                             DWORD* cookie) {
  if (cookie == nullptr) return E_INVALIDARG;
  *cookie = 0;
  if (classObject == nullptr) return E_INVALIDARG;
  DWORD id;
  {
    ClassTable& table = Classes();
    std::lock_guard<std::mutex> guard(table.lock);
    id = table.nextCookie++;
    table.byCookie.emplace(id, Registration{clsid, classObject, clsContext, flags, false});
    classObject->AddRef();
  }
  const auto* outOfProcess = g_outOfProcess.load(std::memory_order_acquire);
  if ((clsContext & CLSCTX_LOCAL_SERVER) != 0 && outOfProcess != nullptr) {
    // Published outside the table's lock: publishing opens the endpoint.
    const HRESULT hr = outOfProcess->publish(id, clsid, classObject, flags);
    if (FAILED(hr)) {
      CoRevokeClassObject(id);
      return hr;
    }
  }
  *cookie = id;
  return S_OK;
}

HRESULT STDAPICALLTYPE CoRevokeClassObject(DWORD cookie) {
  IUnknown* classObject = nullptr;
  {
    ClassTable& table = Classes();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.byCookie.find(cookie);
    if (found == table.byCookie.end()) return E_INVALIDARG;
    classObject = found->second.classObject;
    table.byCookie.erase(found);
  }
  if (const auto* outOfProcess = g_outOfProcess.load(std::memory_order_acquire)) outOfProcess->withdraw(cookie);
  // Released outside the lock: the last release may run arbitrary code.
  classObject->Release();
  return S_OK;
}

}  // extern "C"

namespace platformactivation {

void InstallOutOfProcessClasses(const OutOfProcessClasses* classes) {
  g_outOfProcess.store(classes, std::memory_order_release);
}

}  // namespace platformactivation
