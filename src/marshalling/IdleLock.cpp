#include "marshalling/IdleLock.h"

#include "marshalling/CommunicationThread.h"

#include <string>

namespace moravane {
namespace detail {

namespace {

using Lock = kelvex::threads::ScopedLock<kelvex::threads::RecursiveMutex, boost::recursive_mutex>;

// Built once: a lock name made from a literal on every call would cost an
// allocation per call. Never destroyed: a host's global handle is unlinked
// by the exit handlers after this library's function-local statics would
// be, and its last call still takes these locks.
const std::string& ExecutingLockName() {
  static const std::string* name = new std::string("MoraVane Executing Lock");
  return *name;
}
const std::string& ExecuteLockName() {
  static const std::string* name = new std::string("MoraVane Execute Lock");
  return *name;
}

std::atomic<IdleLock*> g_installed{nullptr};

}  // namespace

IdleLock::IdleLock()
    : executingMutex("MoraVane Executing Mutex"),
      executedMutex("MoraVane Executed Mutex"),
      startStopMutex("MoraVane StartStop Mutex"),
      executedBarrier("Moravane Executed Barrier", 2) {
  // A caller that had to wake the sleeping communication thread waits here
  // for it without spinning (see Barrier::SetReplyBarrier).
  executedBarrier.SetReplyBarrier(true);
}

IdleLock::~IdleLock() {
  delete pending;
  pending = nullptr;
}

void IdleLock::Install(IdleLock* lock) {
  IdleLock* none = nullptr;
  g_installed.compare_exchange_strong(none, lock, std::memory_order_acq_rel);
}

void IdleLock::ForgetAfterFork() { g_installed.store(nullptr, std::memory_order_relaxed); }

IdleLock* IdleLock::Current() {
  IdleLock* lock = g_installed.load(std::memory_order_acquire);
  if (lock == nullptr) throw kStopSignal;
  return lock;
}

void IdleLock::Submit(Executor* executor) {
  // The pending slot and the execute mutex were last written by the
  // communication thread: fetch both lines at once rather than one after
  // the other inside the hand-over.
  kelvex::threads::PrefetchLineForWriting(&pending);
  kelvex::threads::PrefetchLineForWriting(&executedMutex.GetMutex());
  Lock executing(ExecutingLockName(), executingMutex, true);
  if (accepting.load(std::memory_order_relaxed) == 0) throw kStopSignal;
  {
    Lock execute(ExecuteLockName(), executedMutex, true);
    pending = executor;
    try {
      CommunicationThread::Wake();
    } catch (...) {
      // The thread never saw the call: give it back to the caller.
      pending = nullptr;
      throw;
    }
  }
  // The thread takes the execute lock once we have dropped it, runs the
  // call and meets us here; everything it wrote is visible after the meeting.
  executedBarrier.Wait();
}

std::chrono::steady_clock::duration IdleLock::RunPending() {
  // The same two lines, now written by the caller, on their way back.
  kelvex::threads::PrefetchLineForWriting(&pending);
  kelvex::threads::PrefetchLineForWriting(&executedMutex.GetMutex());
  Lock execute(ExecuteLockName(), executedMutex, true);
  Executor* executor = pending;
  if (executor == nullptr) return {};
  pending = nullptr;
  const auto start = std::chrono::steady_clock::now();
  try {
    executor->Execute();
  } catch (...) {
    // Release the caller first (it sees result 0 and no text), then free
    // the call, then let the exception leave the serving loop.
    executedBarrier.Wait();
    delete executor;
    throw;
  }
  const auto ran = std::chrono::steady_clock::now() - start;
  executedBarrier.Wait();
  delete executor;
  return ran;
}

void IdleLock::StopAllExecution() {
  Lock stop("MoraVane Stop All Execution Lock", startStopMutex, true);
  accepting.store(0, std::memory_order_relaxed);
}

namespace idlelockclient {

MoraVaneIdleLock::MoraVaneIdleLock() = default;
MoraVaneIdleLock::~MoraVaneIdleLock() = default;

}  // namespace idlelockclient
}  // namespace detail
}  // namespace moravane
