// Static set-up of the library. Nothing of the library's own runs at load
// but the opening of the self-link mutex; at unload nothing is torn down:
// the communication thread is left alone and the mutex handle stays open
// until the process ends (other processes may still wait on the mutex, and
// the system closes the handle at exit).
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
