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

}  // namespace module
}  // namespace moravane
