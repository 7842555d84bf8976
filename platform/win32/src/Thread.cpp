// Per-thread state of the platform layer: the last-error value and the
// thread and process ids.
#include <windows.h>

#include <sys/syscall.h>
#include <unistd.h>

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
thread_local DWORD t_threadId = 0;
}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) { return t_lastError; }

void WINAPI SetLastError(DWORD error) { t_lastError = error; }

DWORD WINAPI GetCurrentThreadId(void) {
  // The kernel's thread id is unique among live threads of the system, as a
  // Windows thread id is; it is cached because the syscall costs ~100 ns.
  if (t_threadId == 0) t_threadId = static_cast<DWORD>(::syscall(SYS_gettid));
  return t_threadId;
}

DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(::getpid()); }

}  // extern "C"
