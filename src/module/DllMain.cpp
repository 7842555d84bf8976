// The entry point of moravane.dll. It runs under the loader lock, where
// almost nothing is safe (no thread creation or joins, no COM, no loading of
// other DLLs), so it only records the module handle. Everything else of the
// library starts on first use and is never torn down at detach: at process
// exit the communication thread has already been ended by the system, and
// waiting for it there would hang.
#ifdef _WIN32

#include "module/ModuleHandle.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) moravane::module::RecordLibraryModule(instance);
  return TRUE;
}

#endif  // _WIN32
