#include "marshalling/CommunicationThread.h"

#include "marshalling/IdleLock.h"

#include <objbase.h>

#include <atomic>
#include <chrono>
#include <boost/bind/bind.hpp>
#include <mutex>
#include <new>

#ifndef _WIN32
#include <pthread.h>
#endif

namespace moravane {

namespace {

std::atomic<CommunicationThread*> g_instance{nullptr};
std::mutex g_creation;

// A child made by fork() has none of its parent's threads: the parent's
// communication thread, inherited as an object without a thread, would
// never answer. The child forgets it (and its idle lock) and starts its own
// on its first call; the remote objects it inherited fail there as a lost
// link does (the link engine refuses the parent's sessions in a child).
// The creation lock may have been held by a thread the child does not
// have: it starts afresh. No lock is taken around fork() (the link calls
// fork() itself to start servers), so no lock order is imposed.
#ifndef _WIN32
void ForgetInChild() {
  new (&g_creation) std::mutex;
  g_instance.store(nullptr, std::memory_order_relaxed);
  detail::IdleLock::ForgetAfterFork();
}

void InstallForkHandlers() {
  static std::once_flag once;
  std::call_once(once, [] { ::pthread_atfork(nullptr, nullptr, ForgetInChild); });
}
#else
void InstallForkHandlers() {}  // no fork() on Windows
#endif

}  // namespace

CommunicationThread::CommunicationThread()
    : stopRequested(false),
      startupBarrier("CommunicationStartupBarrier", 2),
      idleBarrier("CommunicationIdleBarrier", 2),
      thread(nullptr),
      threadId(0) {
  thread = new kelvex::threads::Thread("CommunicationThread", boost::bind(&CommunicationThread::Run, this));
}

CommunicationThread* CommunicationThread::Instance() {
  CommunicationThread* instance = g_instance.load(std::memory_order_acquire);
  if (instance != nullptr) return instance;
  InstallForkHandlers();
  // First use. The singleton is published only after the startup meeting,
  // so no caller can see it before its thread id and idle lock are set; a
  // second thread arriving meanwhile waits here for the first.
  std::lock_guard<std::mutex> creation(g_creation);
  instance = g_instance.load(std::memory_order_acquire);
  if (instance == nullptr) {
    instance = new CommunicationThread;
    instance->startupBarrier.Wait();
    g_instance.store(instance, std::memory_order_release);
  }
  return instance;
}

void CommunicationThread::Wake() { Instance()->idleBarrier.Wait(); }

void CommunicationThread::Run() {
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // served whatever it returns
  threadId = kelvex::threads::GetCurrentThreadID();
  detail::IdleLock::Install(new detail::idlelockclient::MoraVaneIdleLock);
  startupBarrier.Wait();
  while (!stopRequested) {
    try {
      Serve();
    } catch (...) {
      // An executor let an exception other than LinkError or `long` escape.
      // RunPending has already released its caller (who sees result 0) and
      // freed the call; the exception ends the serving loop, and the thread
      // starts a new one so that later callers are still served.
    }
  }
  detail::IdleLock::Current()->StopAllExecution();
  ::CoUninitialize();
}

void CommunicationThread::Serve() {
  // The flag is tested before the first wait and after each served call,
  // never while the thread waits.
  while (!stopRequested) {
    idleBarrier.Wait();
    Place(detail::IdleLock::Current()->RunPending());
  }
}

void CommunicationThread::Place(std::chrono::steady_clock::duration call) {
  // A remote call is a chain of three threads (the caller, this thread, the
  // server's), each waiting for the one before, on what may be two CPUs:
  // two of them take turns on one. Turns between two threads of one
  // process cost the least (no address space changes hands), and this
  // thread never needs to run while its caller does, so for such calls it
  // keeps to its callers' CPU and leaves the other to the server.
  //
  // Which calls are remote is read from how long they run: here a remote
  // round trip runs 0.8 µs and more (two cache-line crossings between
  // processes and the server's work), a call that stays in the process
  // (a server of the host's own) well under 0.5 µs, and only rarely longer.
  // Those are fastest with both threads awake on two CPUs. So the thread
  // moves only after four remote calls running whose caller was on another
  // CPU (a caller merely passing through another CPU moves nothing, nor
  // does a stray slow local call), and lets itself go again after sixteen
  // local calls running. A long call that stays in the process counts as
  // remote: its caller waits long enough that the turns cost nothing that
  // counts.
  constexpr auto kChained = std::chrono::nanoseconds(750);
  constexpr int kRemoteRunToKeep = 4;
  constexpr int kShortRunToLetGo = 16;
  if (kelvex::threads::SpinNanoseconds() == 0) return;  // one CPU: nowhere to go
  if (call < kChained) {
    followStreak = 0;
    if (kept && ++shortRun >= kShortRunToLetGo) {
      kelvex::threads::LetCurrentThreadGo();
      kept = false;
    }
    return;
  }
  shortRun = 0;
  const int caller = idleBarrier.ReleaserCpu();
  if (caller < 0 || caller == kelvex::threads::CurrentCpu()) {
    followStreak = 0;
    return;
  }
  followStreak = caller == followCpu ? followStreak + 1 : 1;
  followCpu = caller;
  if (followStreak >= kRemoteRunToKeep && kelvex::threads::KeepCurrentThreadOn(caller)) {
    kept = true;
    followStreak = 0;
  }
}

}  // namespace moravane
