// Interruption: SIGINT and SIGTERM end a command cleanly between frames and
// buffers; on Windows the console's Ctrl+C (as SIGINT) and Ctrl+Break,
// close, log-off and shut-down (as SIGTERM) do.
#include "Cli.h"

#include <atomic>
#include <cerrno>
#include <csignal>

#ifdef _WIN32
#include <windows.h>
#endif

namespace cli {

namespace {

// --- interruption ------------------------------------------------------------

// Set by SIGINT/SIGTERM; the loops look at it between frames and buffers and
// unwind, so that every output is removed or completed and the renders end.
// The handler may run on any of the program's threads (the library's
// communication thread, the encoders), so the flag is a lock-free atomic,
// not a volatile sig_atomic_t, which is safe only on the thread it
// interrupted.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may only touch lock-free atomics");

#ifdef _WIN32

// Runs on a thread the system starts for the event. Ctrl+C and Ctrl+Break
// only raise the flag. After a close, log-off or shut-down event the system
// ends the process as soon as the handler returns, so the handler waits
// instead: the process ends when the main thread has unwound and returned
// (which ends this thread with it), or when the system's grace period runs
// out.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  const bool interrupt = event == CTRL_C_EVENT;
  g_signal.store(interrupt ? SIGINT : SIGTERM, std::memory_order_relaxed);
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) ::Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void CatchSignals() {
  // A reader that goes away is a write error (exit 4) here too: Windows
  // has no SIGPIPE, a write to a closed pipe fails.
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

#else

extern "C" void OnSignal(int signal) {
  const int saved = errno;  // the interrupted code may be about to read it
  g_signal.store(signal, std::memory_order_relaxed);
  errno = saved;
}

}  // namespace

void CatchSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A reader that goes away is a write error (exit 4), not a silent death
  // with the renders still open.
  std::signal(SIGPIPE, SIG_IGN);
}

#endif

void CheckInterrupted() {
  if (const int signal = g_signal.load(std::memory_order_relaxed); signal != 0) throw Interrupted{signal};
}

}  // namespace cli
