// Test hooks of the platform layer (not part of the Windows SDK). Tests use
// them to prove that every BSTR, kernel handle and view is released exactly
// once and to reach the failure paths of the library.
#pragma once

#include <cstdint>
#include <string>

#include <objbase.h>
#include <windows.h>

namespace platformdebug {

// Number of BSTRs allocated and not yet freed, process-wide.
std::int64_t LiveBstrCount();

// Makes the next `count` BSTR allocations fail (return null) on any thread.
void FailNextBstrAllocations(int count);

// Kernel objects: handles open in this process (sections and mutexes) and
// views mapped and not yet unmapped.
std::int64_t LiveKernelHandleCount();
std::int64_t LiveMappedViewCount();

// Makes the next `count` calls of CreateFileMappingW / MapViewOfFile fail
// (null, ERROR_NOT_ENOUGH_MEMORY) on any thread.
void FailNextFileMappingCreations(int count);
void FailNextMapViews(int count);

// Named kernel objects live in <root>/moravane-<euid>. Tests point the root
// elsewhere to check the directory's verification; "" restores the default.
void SetKernelNamespaceRoot(const std::string& root);
// The verified directory of the current root, "" when it is refused.
std::string KernelNamespaceDirectory();

// The file name under which the object `name` is kept, and back. False for a
// name that has no file name (empty, too long) or a file name of no object.
bool EncodeKernelObjectName(const char16_t* name, std::string* fileName);
bool DecodeKernelObjectName(const std::string& fileName, std::u16string* name);

// Unlinks the objects of the namespace whose holders have all died.
// Returns how many were reclaimed.
int ReclaimAbandonedKernelObjects();

// The thread that made the call being served: inside a call that came from
// another process, the id of the client's calling thread carried with it;
// everywhere else GetCurrentThreadId().
DWORD CallerThreadId();

// --- References on objects of the out-of-process link ----------------------

enum class ProxyReferenceKind { kAddRef, kRelease, kQueryInterface };

// Called on the calling thread for every AddRef, Release and QueryInterface
// made through a proxy's vtable by code outside the link itself (the link's
// own queries and releases while it receives objects are not reported).
// `identity` is the IUnknown of the proxy's object whichever interface proxy
// was called; the proxy is alive while the hook runs, since the caller still
// holds the reference it called with (a Release is reported before it takes
// effect). `iid` is the interface asked for by a QueryInterface and
// `result` its answer; for AddRef and Release `iid` is null and `result`
// S_OK. The hook may call through the link, but must not take or drop
// references on proxies itself.
using ProxyReferenceHook = void (*)(IUnknown* identity, ProxyReferenceKind kind, const IID* iid, HRESULT result);
// Installs the hook (null removes it) for every thread of the process.
void SetProxyReferenceHook(ProxyReferenceHook hook);

// The local reference count of the live proxy whose identity is `identity`,
// or -1 when no live proxy of this process has that identity. Safe for any
// pointer value: nothing is dereferenced that is not known to be alive.
long ProxyLocalReferences(IUnknown* identity);

// In a server process: how many references the link holds on the object
// whose IUnknown is `identity` on behalf of all its clients (its identity and
// each interface that a client used), 0 when no client holds it.
long StubReferences(IUnknown* identity);

}  // namespace platformdebug
