// The handle of the module that holds the library: moravane.dll on Windows,
// recorded by DllMain when the DLL is attached to the process. Null where
// there is no DLL entry point (a static link, or a system without DllMain).
#pragma once

#include <windows.h>

namespace moravane {
namespace module {

HMODULE LibraryModule() noexcept;

// Called by DllMain on process attach only: the loader serialises DllMain,
// and the value never changes afterwards, so readers need no lock.
void RecordLibraryModule(HMODULE module) noexcept;

}  // namespace module
}  // namespace moravane
