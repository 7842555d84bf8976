// The library's one setting: free-threaded mode. Off when the library is
// loaded; while on, every remote call runs on the thread that makes it
// instead of on the library's communication thread.
#pragma once

#include <moravane/Export.h>

namespace moravane {
namespace ThreadedState {

MORAVANE_API bool GetFreeThreaded();
MORAVANE_API void SetFreeThreaded(bool freeThreaded);

}  // namespace ThreadedState
}  // namespace moravane
