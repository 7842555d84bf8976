// Threads and synchronisation of the support library.
//
// Barrier and ScopedLock sit on the path of every marshalled call, so their
// waits first spin for a few microseconds and only then sleep in the kernel:
// a thread that really sleeps costs 15-20 us to wake, a spinning one a few
// hundred nanoseconds. A spin pays only while the awaited thread runs on
// another CPU, so it is skipped when the process may run on one CPU only,
// replaced by yielding when the awaited thread was last seen on the
// waiter's own CPU (as happens when a third, busy thread crowds the two
// onto one CPU), and skipped by a reply barrier right after the waiting
// thread had to wake a sleeper (see Barrier::SetReplyBarrier).
#pragma once

#include <kelvex/SmallBlockAllocator.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

#include <boost/function.hpp>
#include <boost/thread/recursive_mutex.hpp>

namespace kelvex {
namespace threads {

// The calling thread's id, as the operating system numbers threads.
unsigned long GetCurrentThreadID();

// How long a waiter spins before it sleeps; 0 when the process may use a
// single CPU. Read once per process (tests and benchmarks may override it).
std::uint32_t SpinNanoseconds();
void SetSpinNanoseconds(std::uint32_t nanoseconds);

// The CPU the calling thread runs on now, -1 where the system cannot say.
// Only a hint: the thread may move the next moment.
int CurrentCpu();

// Keeps the calling thread on `cpu` from now on, until it is called again or
// the thread is let go; false where the system refuses (a CPU outside the
// process's set).
bool KeepCurrentThreadOn(int cpu);
// Gives the calling thread back the CPUs it had before it was first kept
// on one; nothing when it never was.
void LetCurrentThreadGo();

// A named thread that starts running `body` in its constructor (it may start
// before the constructor returns). The destructor joins it.
class Thread {
 public:
  Thread(const std::string& name, const boost::function0<void>& body);
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  const std::string& GetName() const { return m_name; }
  void Join();

 private:
  std::string m_name;
  std::thread m_thread;
};

// A reusable barrier for `count` threads: Wait() blocks until `count`
// threads have called it, releases them together, and the barrier is then
// ready for the next cycle. Returns true for the thread that completed the
// cycle.
class Barrier {
 public:
  Barrier(const std::string& name, unsigned count);
  Barrier(const Barrier&) = delete;
  Barrier& operator=(const Barrier&) = delete;

  bool Wait();
  const std::string& GetName() const { return m_name; }

  // Marks the barrier as one at which a thread waits for the answer of a
  // peer that it has itself just woken (a caller waiting for the call it
  // handed over). When the waiting thread's last completed cycle, on any
  // barrier, had to wake a peer from the kernel, Wait() sleeps at once: the
  // peer needs microseconds to run again, usually on this very CPU, and a
  // spin would only keep it off.
  void SetReplyBarrier(bool reply) { m_reply = reply; }

  // The CPU of the thread that completed the last cycle, -1 before the
  // first or where the system cannot say.
  int ReleaserCpu() const { return m_releaserCpu.load(std::memory_order_relaxed); }

 private:
  std::string m_name;
  const std::uint32_t m_count;
  bool m_reply = false;
  // The arrival counter and the generation word (the futex) live on
  // separate cache lines from the name so that waiters spin on one line.
  alignas(64) std::atomic<std::uint32_t> m_arrived{0};
  std::atomic<std::uint32_t> m_generation{0};
  std::atomic<std::uint32_t> m_sleepers{0};
  // The CPU of the thread that completed the last cycle, -1 before the
  // first: where a waiter expects the thread that will release it to be.
  std::atomic<int> m_releaserCpu{-1};
};

// A named recursive mutex; GetMutex() gives the boost mutex underneath,
// which ScopedLock locks.
//
// Each mutex owns its cache lines, with the mutex word and the hold hint
// together on the first: mutexes declared side by side (those of the idle
// lock) are taken by different threads, and a line shared between them
// would travel between CPUs with every lock of either.
class alignas(64) RecursiveMutex {
 public:
  explicit RecursiveMutex(const std::string& name) : m_name(name) {}
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  boost::recursive_mutex& GetMutex() { return m_mutex; }
  const std::string& GetName() const { return m_name; }

  // How many ScopedLocks hold the mutex now: a hint that lets a waiter spin
  // on a plain read instead of a try-lock, whose every attempt would take
  // the mutex's cache line away from the holder about to release it. Locks
  // taken on GetMutex() directly do not count; a waiter then simply tries.
  std::atomic<std::uint32_t>& HoldCount() { return m_holds; }
  // The CPU the last holder took the mutex on (-1 before the first): a
  // waiter whose holder shares its CPU yields to it instead of spinning.
  std::atomic<int>& HolderCpu() { return m_holderCpu; }

 private:
  boost::recursive_mutex m_mutex;
  std::atomic<std::uint32_t> m_holds{0};
  std::atomic<int> m_holderCpu{-1};
  std::string m_name;
};

// Locks `mutex`, first trying for a short while without sleeping (see the
// file comment), then blocking.
void LockBriefSpin(RecursiveMutex& mutex);

// Asks the CPU to fetch the cache line holding `address` for writing, so
// that a thread about to take over data another CPU wrote last does not
// pay one line transfer after the other. Only a hint: it never faults.
// (Not named PrefetchForWrite: the Windows headers define that as a macro.)
inline void PrefetchLineForWriting(const void* address) {
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
  // PREFETCHW; CPUs without it execute it as a no-op. The address goes in
  // a register, not as a memory operand, so that no compiler takes it for
  // an access to the object.
  __asm__ __volatile__("prefetchw (%0)" : : "r"(address));
#else
  (void)address;
#endif
}

template <class MutexT, class BoostMutexT>
class ScopedLock;

// A named lock that holds a RecursiveMutex for its lifetime. Lock failures
// become the support library's localised errors.
//
// Three of these are taken and dropped on the path of every marshalled call,
// so each costs little: the copy of the name lives inside the lock (names
// on the call path are short; a longer one goes to the heap), and the lock
// object comes from the calling thread's small-block free lists.
template <>
class ScopedLock<RecursiveMutex, boost::recursive_mutex> {
 public:
  ScopedLock(const std::string& name, RecursiveMutex& mutex, bool lockNow);
  virtual ~ScopedLock();
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

  std::string_view GetName() const { return m_name.View(); }
  bool IsLocked() const { return m_lock != nullptr && m_lock->locked; }

 private:
  class Name {
   public:
    explicit Name(std::string_view text);
    ~Name();
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;
    std::string_view View() const { return {m_data, m_size}; }

   private:
    static constexpr std::size_t kInline = 40;
    char m_inline[kInline];
    char* m_data;
    std::size_t m_size;
  };

  struct Lock {
    boost::recursive_mutex* mutex;
    bool locked;
    std::atomic<std::uint32_t>* holds;  // the mutex's hold count hint
    static void* operator new(std::size_t size);
    static void operator delete(void* block, std::size_t size);
  };

  Name m_name;
  Lock* m_lock = nullptr;
};

}  // namespace threads
}  // namespace kelvex
