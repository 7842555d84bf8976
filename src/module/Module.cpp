// Static set-up of the library and, on Windows, its entry point. Nothing of
// the library's own runs at load but the opening of the self-link mutex and
// the recording of the module handle; at unload nothing is torn down: the
// communication thread is left alone and the mutex handle stays open until
// the process ends (other processes may still wait on the mutex, and the
// system closes the handle at exit).
#include "module/Module.h"

#include <comsupport/WideChars.h>

#include <atomic>

namespace moravane {
namespace module {

namespace {

// No security attributes, not initially owned, no namespace prefix: the
// mutex lives in the caller's local namespace, shared by every process
// there that loads the library.
// (The UTF-16 literal is a wchar_t string on Windows, hence the cast.)
HANDLE OpenSelfLinkMutex() {
  return ::CreateMutexW(nullptr, FALSE, comsupport::AsOleChars(u"Moravane SelfLink Mutex"));
}

// Initialised during the library's static initialisation, before any host
// code can construct a self link.
std::atomic<HANDLE> g_selfLinkMutex{OpenSelfLinkMutex()};

}  // namespace

HANDLE SelfLinkMutex() { return g_selfLinkMutex.load(std::memory_order_acquire); }

HANDLE ExchangeSelfLinkMutex(HANDLE mutex) noexcept { return g_selfLinkMutex.exchange(mutex); }

}  // namespace module
}  // namespace moravane

#ifdef _WIN32
// moravane.dll's handle, as its entry point was given it. Atomic although
// written once: a thread that a host created before the DLL was loaded may
// read it without any other ordering with the loader.
static std::atomic<HMODULE> g_libraryModule{nullptr};

// It runs under the loader lock, where almost nothing is safe (no thread
// creation or joins, no COM, no loading of other DLLs), so it only records
// the module handle. Everything else starts on first use and is never torn
// down at detach: at process exit the communication thread has already been
// ended by the system, and waiting for it there would hang.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_libraryModule.store(instance, std::memory_order_release);
  }
  return TRUE;
}
#endif  // _WIN32
