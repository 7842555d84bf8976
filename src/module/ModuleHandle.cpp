#include "module/ModuleHandle.h"

#include <atomic>

namespace moravane {
namespace module {

namespace {
// Atomic although written once: a thread created by a host before the DLL
// was loaded may read it without any other synchronisation with the loader.
std::atomic<HMODULE> g_libraryModule{nullptr};
}  // namespace

HMODULE LibraryModule() noexcept { return g_libraryModule.load(std::memory_order_acquire); }

void RecordLibraryModule(HMODULE module) noexcept { g_libraryModule.store(module, std::memory_order_release); }

}  // namespace module
}  // namespace moravane
