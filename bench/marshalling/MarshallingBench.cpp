// The cost of one call through the dispatch, against the bare mechanisms it
// is built from. Every figure here is measured in the same run as its
// baseline, so the ratios hold whatever the machine's load:
//   - a direct virtual call, and the same call dispatched in place;
//   - a marshalled call back to back, against two threads handing a word
//     over through an atomic slot (bounded spin, then futex) and through a
//     mutex with a condition variable;
//   - a marshalled call after the communication thread has gone to sleep,
//     against a futex round trip in which both sides really sleep;
//   - a marshalled call with spinning disabled and with spinning forced on,
//     to compare with the default when both threads share one core (run
//     under taskset -c 0, where the default is not to spin).
#include "marshalling/Dispatch.h"

#include <kelvex/Threads.h>
#include <moravane/ThreadedState.h>

#include <benchmark/benchmark.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <boost/bind/bind.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// --- The call under test ------------------------------------------------------

class Target {
 public:
  virtual ~Target() = default;
  virtual void Answer(LONG* result) { *result = ++m_calls; }

  // A public method in the library's pattern.
  LONG Call() {
    LONG result = 0;
    moravane::WideString errorText;
    moravane::detail::DispatchCall(boost::bind(&Target::AnswerExecutor, this, &result), errorText);
    return result;
  }

 private:
  void AnswerExecutor(LONG* result) { Answer(result); }
  LONG m_calls = 0;
};

class SpinSetting {
 public:
  explicit SpinSetting(std::uint32_t nanoseconds) : m_saved(kelvex::threads::SpinNanoseconds()) {
    kelvex::threads::SetSpinNanoseconds(nanoseconds);
  }
  ~SpinSetting() { kelvex::threads::SetSpinNanoseconds(m_saved); }

 private:
  std::uint32_t m_saved;
};

void BM_DirectVirtualCall(benchmark::State& state) {
  Target target;
  Target* volatile opaque = &target;  // keeps the compiler from devirtualising
  for (auto _ : state) {
    LONG result = 0;
    opaque->Answer(&result);
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_DirectVirtualCall);

void BM_InPlaceDispatch(benchmark::State& state) {
  moravane::ThreadedState::SetFreeThreaded(true);
  Target target;
  for (auto _ : state) benchmark::DoNotOptimize(target.Call());
  moravane::ThreadedState::SetFreeThreaded(false);
}
BENCHMARK(BM_InPlaceDispatch);

// One named lock taken and dropped with nobody else near the mutex: three
// of these sit on the path of every marshalled call.
void BM_ScopedLockUncontended(benchmark::State& state) {
  kelvex::threads::RecursiveMutex mutex("MoraVane Bench Mutex");
  const std::string name("MoraVane Executing Lock");
  for (auto _ : state) {
    kelvex::threads::ScopedLock<kelvex::threads::RecursiveMutex, boost::recursive_mutex> lock(name, mutex, true);
    benchmark::DoNotOptimize(lock.IsLocked());
  }
}
BENCHMARK(BM_ScopedLockUncontended);

void MarshalledBackToBack(benchmark::State& state) {
  Target target;
  target.Call();  // the communication thread exists before timing starts
  for (auto _ : state) benchmark::DoNotOptimize(target.Call());
}

void BM_MarshalledBackToBack(benchmark::State& state) { MarshalledBackToBack(state); }
BENCHMARK(BM_MarshalledBackToBack);

void BM_MarshalledBackToBackNoSpin(benchmark::State& state) {
  SpinSetting noSpin(0);
  MarshalledBackToBack(state);
}
BENCHMARK(BM_MarshalledBackToBackNoSpin);

// Spinning forced on whatever the process's CPUs: on one core this is what
// the automatic choice avoids.
void BM_MarshalledBackToBackForcedSpin(benchmark::State& state) {
  SpinSetting spin(20000);
  MarshalledBackToBack(state);
}
BENCHMARK(BM_MarshalledBackToBackForcedSpin);

// The communication thread has slept for a millisecond before each call, so
// it is really asleep in the kernel; only the call itself is timed.
void BM_MarshalledAfterSleep(benchmark::State& state) {
  Target target;
  target.Call();
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto start = Clock::now();
    benchmark::DoNotOptimize(target.Call());
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
}
BENCHMARK(BM_MarshalledAfterSleep)->UseManualTime()->Iterations(500);

// --- Baselines: two threads, no library code ----------------------------------

long Futex(std::atomic<std::uint32_t>& word, int op, std::uint32_t value) {
  return ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), op, value, nullptr, nullptr, 0);
}

// The spin budget of the spinning baseline: the same order as the library's.
constexpr auto kSpin = std::chrono::microseconds(20);

// A request/reply slot: the client writes an odd sequence number, the
// server answers with the next even one. `sleepers` counts the threads
// inside futex wait, so that nobody wakes when nobody sleeps.
struct Slot {
  alignas(64) std::atomic<std::uint32_t> word{0};
  std::atomic<std::uint32_t> sleepers{0};

  void Publish(std::uint32_t value) {
    word.store(value, std::memory_order_seq_cst);
    if (sleepers.load(std::memory_order_seq_cst) != 0) Futex(word, FUTEX_WAKE_PRIVATE, INT32_MAX);
  }
  // Waits until the word differs from `old`; spins first when `spin`.
  std::uint32_t Await(std::uint32_t old, bool spin) {
    if (spin) {
      const auto deadline = Clock::now() + kSpin;
      do {
        for (int i = 0; i < 32; ++i) {
          const std::uint32_t now = word.load(std::memory_order_acquire);
          if (now != old) return now;
#if defined(__x86_64__) || defined(__i386__)
          __builtin_ia32_pause();
#endif
        }
      } while (Clock::now() < deadline);
    }
    sleepers.fetch_add(1, std::memory_order_seq_cst);
    std::uint32_t now;
    while ((now = word.load(std::memory_order_seq_cst)) == old) Futex(word, FUTEX_WAIT_PRIVATE, old);
    sleepers.fetch_sub(1, std::memory_order_relaxed);
    return now;
  }
};

constexpr std::uint32_t kQuit = 0xFFFFFFFFu;

// The server answers every odd value with value + 1 until it sees kQuit.
class SlotServer {
 public:
  explicit SlotServer(bool spin) : m_spin(spin), m_thread([this] { Serve(); }) {}
  ~SlotServer() {
    slot.Publish(kQuit);
    m_thread.join();
  }
  // One round trip; returns the reply.
  std::uint32_t RoundTrip() {
    const std::uint32_t request = m_next;
    m_next += 2;
    slot.Publish(request);
    return slot.Await(request, m_spin);
  }

  Slot slot;

 private:
  void Serve() {
    std::uint32_t seen = 0;
    for (;;) {
      seen = slot.Await(seen, m_spin);
      if (seen == kQuit) return;
      slot.Publish(seen + 1);
      ++seen;
    }
  }

  bool m_spin;
  std::uint32_t m_next = 1;
  std::thread m_thread;
};

void BM_BaselineSpinThenFutex(benchmark::State& state) {
  SlotServer server(true);
  for (auto _ : state) benchmark::DoNotOptimize(server.RoundTrip());
}
BENCHMARK(BM_BaselineSpinThenFutex);

void BM_BaselineFutexAfterSleep(benchmark::State& state) {
  SlotServer server(false);
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto start = Clock::now();
    benchmark::DoNotOptimize(server.RoundTrip());
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
}
BENCHMARK(BM_BaselineFutexAfterSleep)->UseManualTime()->Iterations(500);

void BM_BaselineFutexBackToBack(benchmark::State& state) {
  SlotServer server(false);
  for (auto _ : state) benchmark::DoNotOptimize(server.RoundTrip());
}
BENCHMARK(BM_BaselineFutexBackToBack);

void BM_BaselineMutexCondvar(benchmark::State& state) {
  std::mutex mutex;
  std::condition_variable changed;
  std::uint32_t word = 0;
  std::thread server([&] {
    std::unique_lock<std::mutex> lock(mutex);
    std::uint32_t seen = 0;
    for (;;) {
      changed.wait(lock, [&] { return word != seen; });
      if (word == kQuit) return;
      word = seen = word + 1;
      changed.notify_all();
    }
  });
  std::uint32_t next = 1;
  for (auto _ : state) {
    std::unique_lock<std::mutex> lock(mutex);
    word = next;
    changed.notify_all();
    changed.wait(lock, [&] { return word == next + 1; });
    next += 2;
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    word = kQuit;
  }
  changed.notify_all();
  server.join();
}
BENCHMARK(BM_BaselineMutexCondvar);

}  // namespace

BENCHMARK_MAIN();
