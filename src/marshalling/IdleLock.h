// The hand-over point between host threads and the communication thread.
// There is no queue: a caller puts its deferred call into the one pending
// slot, wakes the thread at the idle barrier and waits at the executed
// barrier until the thread has run the call. Callers are admitted one at a
// time by the executing mutex.
#pragma once

#include <chrono>

#include "marshalling/Executor.h"

#include <kelvex/Threads.h>

#include <atomic>

namespace moravane {
namespace detail {

// The stop signal: thrown as an `int` when no idle lock is installed or the
// installed one no longer accepts calls. The runners do not catch it.
constexpr int kStopSignal = -1;

class IdleLock {
 public:
  virtual ~IdleLock() = 0;

  // Makes `lock` the installed idle lock unless one is installed already.
  static void Install(IdleLock* lock);
  // In a forked child: forgets the parent's lock (left as it is, perhaps
  // held by a thread the child does not have), so that the child's own
  // communication thread installs a new one.
  static void ForgetAfterFork();
  // The installed idle lock; throws the stop signal when there is none.
  static IdleLock* Current();

  // Caller side: hands `executor` to the communication thread and returns
  // once it has run. Throws only before the hand-over (stop signal, failed
  // wake-up), leaving the executor to the caller; once the thread has been
  // woken for it, the thread owns and deletes it.
  void Submit(Executor* executor);
  // Thread side, right after the idle meeting: runs the pending call, if any.
  // Returns how long the call itself ran (the hand-over's waits excluded),
  // zero when nothing was pending.
  std::chrono::steady_clock::duration RunPending();
  // Stops accepting calls.
  void StopAllExecution();

 protected:
  IdleLock();

 private:
  // Written under the start/stop mutex, read under the executing mutex: the
  // two never exclude each other, hence atomic. Goes from 1 to 0 only.
  std::atomic<long> accepting{1};
  kelvex::threads::RecursiveMutex executingMutex;
  kelvex::threads::RecursiveMutex executedMutex;
  kelvex::threads::RecursiveMutex startStopMutex;
  kelvex::threads::Barrier executedBarrier;
  Executor* pending = nullptr;  // guarded by executedMutex
};

namespace idlelockclient {

class MoraVaneIdleLock : public IdleLock {
 public:
  MoraVaneIdleLock();
  ~MoraVaneIdleLock() override;
};

}  // namespace idlelockclient
}  // namespace detail
}  // namespace moravane
