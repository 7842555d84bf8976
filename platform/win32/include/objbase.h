// The COM subset of the Windows SDK (<objbase.h>, <unknwn.h>) that moravane
// uses, for systems that are not Windows. See windows.h for the conventions.
#pragma once

#include <windows.h>

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

 protected:
  // COM objects are destroyed by their own Release, never through an
  // IUnknown pointer; the destructor is protected and non-virtual so the
  // vtable keeps exactly the three COM slots.
  ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) = 0;

 protected:
  ~IClassFactory() = default;
};

extern "C" const IID IID_IUnknown;
extern "C" const IID IID_IClassFactory;

// CoInitializeEx
#define COINIT_MULTITHREADED 0x0u
#define COINIT_APARTMENTTHREADED 0x2u
#define COINIT_DISABLE_OLE1DDE 0x4u
#define COINIT_SPEED_OVER_MEMORY 0x8u

// Class contexts (CLSCTX)
#define CLSCTX_INPROC_SERVER 0x1u
#define CLSCTX_INPROC_HANDLER 0x2u
#define CLSCTX_LOCAL_SERVER 0x4u
#define CLSCTX_REMOTE_SERVER 0x10u
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

// Class registration (REGCLS)
#define REGCLS_SINGLEUSE 0u
#define REGCLS_MULTIPLEUSE 1u
#define REGCLS_MULTI_SEPARATE 2u

extern "C" {
// The count is per thread, as on Windows: the first successful call of a
// thread answers S_OK, later ones S_FALSE, a call asking for another
// concurrency model RPC_E_CHANGED_MODE; each success needs one CoUninitialize.
HRESULT STDAPICALLTYPE CoInitializeEx(LPVOID reserved, DWORD coInit);
void STDAPICALLTYPE CoUninitialize(void);
HRESULT STDAPICALLTYPE CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsContext, REFIID riid, LPVOID* object);
HRESULT STDAPICALLTYPE CoRegisterClassObject(REFCLSID clsid, IUnknown* factory, DWORD clsContext, DWORD flags,
                                             DWORD* cookie);
HRESULT STDAPICALLTYPE CoRevokeClassObject(DWORD cookie);
}
