// Interruption: SIGINT and SIGTERM end a command cleanly between frames and
// buffers; on Windows the console's Ctrl+C (as SIGINT) and Ctrl+Break,
// close, log-off and shut-down (as SIGTERM) do. A remote call has no
// time-out, and one that waits on a stopped server would hold the command
// for as long as the server is stopped: so a watcher ends the process
// itself when the main thread has not unwound within kGrace, removing the
// partial outputs first. The server sees the host gone and releases its
// objects when it runs again.
#include "Cli.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace cli {

namespace {

// --- interruption ------------------------------------------------------------

// Set by the watcher once SIGINT or SIGTERM came; the loops look at it
// between frames and buffers and unwind, so that every output is removed or
// completed and the renders end.
std::atomic<int> g_signal{0};

// How long the main thread has to unwind by itself: a frame or a buffer
// takes milliseconds, so only a call that waits on the server takes longer.
constexpr std::chrono::milliseconds kGrace{500};

// After kGrace, what unwinding would have done: partial outputs removed,
// the message, the exit code of the signal.
[[noreturn]] void LeaveAfterGrace() {
  std::this_thread::sleep_for(kGrace);
  RemovePartialOutputs();
  static const char kText[] = "moravane-cli: interrupted; partial output removed\n";
  const ssize_t ignored = ::write(2, kText, sizeof kText - 1);
  (void)ignored;
  ::_exit(128 + g_signal.load(std::memory_order_relaxed));
}

#ifdef _WIN32

// Runs on a thread the system starts for the event, which is the watcher:
// it raises the flag and does not return (after a close, log-off or
// shut-down event the system would end the process as soon as it did), so
// the process ends when the main thread has unwound and returned, or after
// kGrace.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  const bool interrupt = event == CTRL_C_EVENT;
  g_signal.store(interrupt ? SIGINT : SIGTERM, std::memory_order_relaxed);
  LeaveAfterGrace();
}

}  // namespace

void CatchSignals() {
  // Windows has no SIGPIPE: a write to a closed pipe fails with EPIPE,
  // which ends the run quietly as elsewhere.
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

#else

}  // namespace

void CatchSignals() {
  // SIGINT and SIGTERM are blocked in every thread (those made from here on
  // inherit the mask) and taken by the watcher alone, synchronously: no
  // handler interrupts the program anywhere, and a signal is seen at once
  // whatever the other threads are waiting for.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  // Detached: it outlives main's return only while the process exits.
  std::thread([stop] {
    int signal = 0;
    while (::sigwait(&stop, &signal) != 0) {
    }
    g_signal.store(signal, std::memory_order_relaxed);
    LeaveAfterGrace();
  }).detach();
  // A reader that goes away fails the write (EPIPE), so that the renders
  // are ended before the quiet exit that a filter's death by SIGPIPE gives.
  std::signal(SIGPIPE, SIG_IGN);
}

#endif

int InterruptingSignal() { return g_signal.load(std::memory_order_relaxed); }

void CheckInterrupted() {
  if (const int signal = g_signal.load(std::memory_order_relaxed); signal != 0) throw Interrupted{signal};
}

}  // namespace cli
