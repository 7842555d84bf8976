#include <kelvex/Config.h>
#include <kelvex/Debug.h>
#include <kelvex/SmallBlockAllocator.h>
#include <kelvex/Threads.h>

#include <chrono>
#include <string_view>

#if defined(_WIN32)
#include <windows.h>
#else
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#if defined(__x86_64__) || defined(__i386__) || defined(_M_IX86) || defined(_M_X64)
#include <immintrin.h>
#define KELVEX_CPU_RELAX() _mm_pause()
#else
#define KELVEX_CPU_RELAX() std::atomic_signal_fence(std::memory_order_seq_cst)
#endif

namespace kelvex {
namespace threads {

namespace {

// Long enough to cover the gap between two back-to-back calls and a short
// call on the other side; short against the 15-20 us of a kernel wake-up.
constexpr std::uint32_t kDefaultSpinNanoseconds = 20000;

unsigned UsableCpuCount() {
#if defined(_WIN32)
  DWORD_PTR processMask = 0, systemMask = 0;
  if (!::GetProcessAffinityMask(::GetCurrentProcess(), &processMask, &systemMask)) return 1;
  unsigned count = 0;
  for (; processMask != 0; processMask &= processMask - 1) ++count;
  return count;
#else
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return static_cast<unsigned>(CPU_COUNT(&set));
#endif
}

std::atomic<std::uint32_t>& SpinSetting() {
  static std::atomic<std::uint32_t> setting{UsableCpuCount() > 1 ? kDefaultSpinNanoseconds : 0};
  return setting;
}

// True when `peerCpu`, the CPU the peer was last seen on, is this thread's
// own: the peer can then make progress only while this thread is off the
// CPU, and spinning for it would burn the very time it needs.
bool SharesCpuWith(int peerCpu) { return peerCpu >= 0 && peerCpu == CurrentCpu(); }

// True when this thread's last completed barrier cycle had to wake a peer
// from the kernel. Read and cleared by the thread's next barrier wait.
thread_local bool t_wokeSleeper = false;

enum class Spin {
  kNone,   // check once, then sleep
  kPause,  // busy-wait with the CPU's pause hint
  kYield,  // give the CPU away between checks: a peer this thread has just
           // woken is often queued on this very CPU and runs meanwhile
};

// Spins until `done()` or the spin budget is used up; true when done.
template <class Done>
bool SpinUntil(Done done, Spin spin = Spin::kPause) {
  const std::uint32_t budget = spin == Spin::kNone ? 0 : SpinNanoseconds();
  if (budget == 0) return done();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(budget);
  for (;;) {
    if (spin == Spin::kYield) {
      if (done()) return true;
      std::this_thread::yield();
    } else {
      for (int i = 0; i < 32; ++i) {
        if (done()) return true;
        KELVEX_CPU_RELAX();
      }
    }
    if (std::chrono::steady_clock::now() >= deadline) return done();
  }
}

// Sleeps while `word` holds `value`; may return spuriously, so callers
// loop. Windows' address wait is the counterpart of the futex. (The C++20
// atomic wait of GCC 12's library is not used there: where no futex exists
// it can miss a notify and leave a waiter asleep for good.)
void WaitWhileEqual(std::atomic<std::uint32_t>& word, std::uint32_t value) {
#if defined(_WIN32)
  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t), "the wait reads the word in place");
  ::WaitOnAddress(reinterpret_cast<volatile void*>(&word), &value, sizeof value, INFINITE);
#else
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, value, nullptr, nullptr, 0);
#endif
}

void WakeAll(std::atomic<std::uint32_t>& word) {
#if defined(_WIN32)
  ::WakeByAddressAll(reinterpret_cast<void*>(&word));
#else
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
#endif
}

}  // namespace

// Cheap enough for every wait: the kernel keeps the number in memory that
// the thread reads directly.
int CurrentCpu() {
#if defined(_WIN32)
  return static_cast<int>(::GetCurrentProcessorNumber());
#else
  return ::sched_getcpu();
#endif
}

#if defined(_WIN32)
// The thread's CPUs before it was first kept on one; 0 while it roams.
thread_local DWORD_PTR t_roamingMask = 0;

bool KeepCurrentThreadOn(int cpu) {
  if (cpu < 0 || cpu >= static_cast<int>(sizeof(DWORD_PTR) * 8)) return false;
  const DWORD_PTR previous = ::SetThreadAffinityMask(::GetCurrentThread(), DWORD_PTR(1) << cpu);
  if (previous == 0) return false;
  if (t_roamingMask == 0) t_roamingMask = previous;
  return true;
}

void LetCurrentThreadGo() {
  if (t_roamingMask == 0) return;
  ::SetThreadAffinityMask(::GetCurrentThread(), t_roamingMask);
  t_roamingMask = 0;
}
#else
thread_local bool t_kept = false;
thread_local cpu_set_t t_roamingSet;

bool KeepCurrentThreadOn(int cpu) {
  if (cpu < 0 || cpu >= CPU_SETSIZE) return false;
  cpu_set_t before;
  if (!t_kept && ::pthread_getaffinity_np(::pthread_self(), sizeof before, &before) != 0) return false;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (::pthread_setaffinity_np(::pthread_self(), sizeof set, &set) != 0) return false;
  if (!t_kept) t_roamingSet = before, t_kept = true;
  return true;
}

void LetCurrentThreadGo() {
  if (!t_kept) return;
  ::pthread_setaffinity_np(::pthread_self(), sizeof t_roamingSet, &t_roamingSet);
  t_kept = false;
}
#endif

unsigned long GetCurrentThreadID() {
#if defined(_WIN32)
  return ::GetCurrentThreadId();
#else
  static thread_local unsigned long id = static_cast<unsigned long>(::syscall(SYS_gettid));
  return id;
#endif
}

std::uint32_t SpinNanoseconds() { return SpinSetting().load(std::memory_order_relaxed); }

void SetSpinNanoseconds(std::uint32_t nanoseconds) { SpinSetting().store(nanoseconds, std::memory_order_relaxed); }

// --- Thread ----------------------------------------------------------------

Thread::Thread(const std::string& name, const boost::function0<void>& body) : m_name(name) {
  m_thread = std::thread([body, name]() {
#if !defined(_WIN32)
    // The kernel keeps at most 15 characters of a thread's name.
    ::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str());
#endif
    body();
  });
}

Thread::~Thread() { Join(); }

void Thread::Join() {
  if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

// --- Barrier ---------------------------------------------------------------

Barrier::Barrier(const std::string& name, unsigned count) : m_name(name), m_count(count == 0 ? 1 : count) {}

bool Barrier::Wait() {
  // A participant reads the generation before it arrives; it cannot arrive
  // for the next cycle before it has seen this one complete, so the value
  // read is the current cycle's.
  const std::uint32_t generation = m_generation.load(std::memory_order_acquire);
  const bool wokeSleeper = t_wokeSleeper;
  t_wokeSleeper = false;
  if (m_arrived.fetch_add(1, std::memory_order_acq_rel) + 1 == m_count) {
    m_arrived.store(0, std::memory_order_relaxed);
    m_releaserCpu.store(CurrentCpu(), std::memory_order_relaxed);
    m_generation.store(generation + 1, std::memory_order_seq_cst);
    // Sleepers announce themselves before their last look at the generation
    // (both seq_cst), so either they see the new generation or we see them.
    if (m_sleepers.load(std::memory_order_seq_cst) != 0) {
      WakeAll(m_generation);
      t_wokeSleeper = true;
    }
    return true;
  }
  auto released = [&] { return m_generation.load(std::memory_order_acquire) != generation; };
  // Who releases this barrier now released it last time too (the two
  // threads keep their roles), so its CPU then is where it runs now, as a
  // rule. On this thread's own CPU: watch, but yield between looks, so that
  // the peer runs. Right after waking a sleeper at a reply barrier: sleep
  // at once, since the woken peer is usually put on the waker's CPU and
  // must run before it can answer. Otherwise spin: the peer has a CPU.
  Spin spin = Spin::kPause;
  if (SharesCpuWith(m_releaserCpu.load(std::memory_order_relaxed))) {
    spin = Spin::kYield;
  } else if (wokeSleeper && m_reply) {
    spin = Spin::kNone;
  }
  if (SpinUntil(released, spin)) return false;
  m_sleepers.fetch_add(1, std::memory_order_seq_cst);
  while (m_generation.load(std::memory_order_seq_cst) == generation) WaitWhileEqual(m_generation, generation);
  m_sleepers.fetch_sub(1, std::memory_order_relaxed);
  return false;
}

// --- Locks -----------------------------------------------------------------

void LockBriefSpin(RecursiveMutex& mutex) {
  boost::recursive_mutex& inner = mutex.GetMutex();
  std::atomic<std::uint32_t>& holds = mutex.HoldCount();
  // The first try also takes a mutex this thread holds already. After that,
  // try again only once the hint says free: the hint is read without
  // writing, so the holder keeps its cache line until it lets go.
  if (!inner.try_lock()) {
    // A holder on this very CPU lets go only once it runs again: yield to
    // it between looks instead of spinning it off the CPU.
    const Spin spin = SharesCpuWith(mutex.HolderCpu().load(std::memory_order_relaxed)) ? Spin::kYield : Spin::kPause;
    if (!SpinUntil([&] { return holds.load(std::memory_order_relaxed) == 0 && inner.try_lock(); }, spin)) inner.lock();
  }
  mutex.HolderCpu().store(CurrentCpu(), std::memory_order_relaxed);
}

ScopedLock<RecursiveMutex, boost::recursive_mutex>::Name::Name(std::string_view text)
    : m_data(text.size() <= kInline ? m_inline : new char[text.size()]), m_size(text.size()) {
  text.copy(m_data, m_size);
}

ScopedLock<RecursiveMutex, boost::recursive_mutex>::Name::~Name() {
  if (m_data != m_inline) delete[] m_data;
}

void* ScopedLock<RecursiveMutex, boost::recursive_mutex>::Lock::operator new(std::size_t size) {
  return utility::SmallBlockAllocator::Allocate(size);
}

void ScopedLock<RecursiveMutex, boost::recursive_mutex>::Lock::operator delete(void* block, std::size_t size) {
  utility::SmallBlockAllocator::Free(block, size);
}

ScopedLock<RecursiveMutex, boost::recursive_mutex>::ScopedLock(const std::string& name, RecursiveMutex& mutex,
                                                               bool lockNow)
    : m_name(name) {
  try {
    debug::TraceScope trace("KVXThreads", 15, {m_name.View(), " - ", "ScopedLock", " - ", "Default Constructor"},
                            false);
    m_lock = new Lock{&mutex.GetMutex(), false, &mutex.HoldCount()};
    if (lockNow) {
      LockBriefSpin(mutex);
      // Only a holder writes the hint, so a plain increment is enough (no
      // locked instruction: this path is taken three times a call).
      m_lock->holds->store(m_lock->holds->load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
      m_lock->locked = true;
    }
  } catch (const boost::thread_resource_error&) {
    delete m_lock;
    m_lock = nullptr;
    config::ThrowError(1, "$$$/kvx/threads/Error/NotEnoughThreadResources=Not enough thread resources.", 106, 20, true);
    throw;
  } catch (const boost::lock_error&) {
    delete m_lock;
    m_lock = nullptr;
    config::ThrowError(1, "$$$/kvx/threads/Error/FailedToAcquireThreadLock=Failure to acquire thread lock.", 106, 21,
                       true);
    throw;
  }
}

ScopedLock<RecursiveMutex, boost::recursive_mutex>::~ScopedLock() {
  if (m_lock != nullptr) {
    if (m_lock->locked) {
      // The hint drops first: a waiter that reads it free tries the mutex
      // a moment before it is free, and at worst tries again.
      m_lock->holds->store(m_lock->holds->load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
      m_lock->mutex->unlock();
    }
    m_lock->locked = false;
    delete m_lock;
  }
}

}  // namespace threads
}  // namespace kelvex
