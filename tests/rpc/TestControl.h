// The control interface of the test server: lets a test look into the
// server process (its live objects, BSTRs and exports, the calling thread it
// saw) and make a call take as long as it needs. It is marshalled by a table
// of its own, registered like the link server's.
#pragma once

#include <rpc/ProxyStub.h>

#include <objbase.h>
#include <oleauto.h>

namespace rpctest {

struct ITestControl : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetLiveObjects(LONG* objects, BSTR* errorText) = 0;             // 3
  virtual HRESULT STDMETHODCALLTYPE GetExportedObjects(LONG* objects, BSTR* errorText) = 0;         // 4
  virtual HRESULT STDMETHODCALLTYPE GetLiveBstrs(LONG* bstrs, BSTR* errorText) = 0;                 // 5
  virtual HRESULT STDMETHODCALLTYPE GetCallerThread(LONG* thread, BSTR* errorText) = 0;             // 6
  virtual HRESULT STDMETHODCALLTYPE Sleep(LONG milliseconds, BSTR* errorText) = 0;                  // 7
  virtual HRESULT STDMETHODCALLTYPE GetProcessId(LONG* process, BSTR* errorText) = 0;               // 8
  virtual HRESULT STDMETHODCALLTYPE IsOwnObject(IUnknown* object, LONG* own, BSTR* errorText) = 0;  // 9

 protected:
  ~ITestControl() = default;
};

inline const IID IID_ITestControl = {0x6E1A9C52, 0x3B07, 0x4D1F, {0x9C, 0x2E, 0x51, 0x7A, 0x0B, 0x64, 0xD3, 0x88}};
// The test server's class, distinct from the real link server's.
inline const CLSID CLSID_TestLinkServer = {
    0x0C5D7E19, 0x84A2, 0x4F63, {0xB1, 0x0D, 0x2A, 0x93, 0x6C, 0x47, 0xE5, 0x1B}};

// Registers the control interface's proxy and stub in this process.
bool RegisterTestControl();

}  // namespace rpctest
