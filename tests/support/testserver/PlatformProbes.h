// What the tests observe of the platform beyond the SDK: the calling thread,
// the BSTR bookkeeping and the references taken through proxies of the
// out-of-process link. Off Windows the platform layer counts BSTRs and can
// fail their allocation on demand; Windows' OLE Automation offers neither
// (it caches freed strings), so there the checks that need them are skipped
// rather than faked. The Windows tests reach the test server in their own
// process only, so the proxy probes there observe nothing.
#pragma once

#include <windows.h>

#include <cstdint>

#if !defined(_WIN32)
#include <platformdebug.h>
#include <rpc/Rpc.h>
#endif

namespace testprobes {

#if defined(_WIN32)
constexpr bool kCountsBstrs = false;
// In-process calls only: the server runs on the caller's thread.
inline DWORD CallerThreadId() { return ::GetCurrentThreadId(); }
inline std::int64_t LiveBstrCount() { return 0; }
inline void FailNextBstrAllocations(int) {}

enum class ProxyReferenceKind { kAddRef, kRelease, kQueryInterface };
using ProxyReferenceHook = void (*)(IUnknown* identity, ProxyReferenceKind kind, const IID* iid, HRESULT result);
inline void SetProxyReferenceHook(ProxyReferenceHook) {}
inline long ProxyLocalReferences(IUnknown*) { return -1; }
inline long StubReferences(IUnknown*) { return 0; }
inline LONG ExportedObjects() { return 0; }
#else
constexpr bool kCountsBstrs = true;
inline DWORD CallerThreadId() { return rpc::debug::CallerThreadId(); }
inline std::int64_t LiveBstrCount() { return platformdebug::LiveBstrCount(); }
inline void FailNextBstrAllocations(int count) { platformdebug::FailNextBstrAllocations(count); }

using rpc::debug::ProxyReferenceHook;
using rpc::debug::ProxyReferenceKind;
inline void SetProxyReferenceHook(ProxyReferenceHook hook) { rpc::debug::SetProxyReferenceHook(hook); }
inline long ProxyLocalReferences(IUnknown* identity) { return rpc::debug::ProxyLocalReferences(identity); }
inline long StubReferences(IUnknown* identity) { return rpc::debug::StubReferences(identity); }
inline LONG ExportedObjects() { return static_cast<LONG>(rpc::debug::ExportedObjects()); }
#endif

}  // namespace testprobes
