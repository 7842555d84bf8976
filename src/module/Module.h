// The module's process-wide objects that live from load to exit.
#pragma once

#include <windows.h>

namespace moravane {
namespace module {

// The mutex "Moravane SelfLink Mutex" that serialises the making of self
// links across the threads and processes of the user. Created or opened
// when the library is loaded and never closed; null if that failed, and
// every wait on it then fails.
HANDLE SelfLinkMutex();

// Tests only: SelfLinkMutex() answers `mutex` from now on; returns what it
// answered before. The mutex is shared by every process of the user, so a
// test that abandons it, or holds it while probing from another process,
// uses one of its own instead. Not while a self link is being made.
HANDLE ExchangeSelfLinkMutex(HANDLE mutex) noexcept;

}  // namespace module
}  // namespace moravane
