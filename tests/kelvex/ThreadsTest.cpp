#include <kelvex/Threads.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <random>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using kelvex::threads::Barrier;
using kelvex::threads::RecursiveMutex;
using Lock = kelvex::threads::ScopedLock<RecursiveMutex, boost::recursive_mutex>;

struct SpinOverride {
  std::uint32_t saved = kelvex::threads::SpinNanoseconds();
  explicit SpinOverride(std::uint32_t nanoseconds) { kelvex::threads::SetSpinNanoseconds(nanoseconds); }
  ~SpinOverride() { kelvex::threads::SetSpinNanoseconds(saved); }
};

bool FreeForOthers(RecursiveMutex& mutex) {
  bool locked = false;
  std::thread([&] {
    locked = mutex.GetMutex().try_lock();
    if (locked) mutex.GetMutex().unlock();
  }).join();
  return locked;
}

// First in its suite: a sleeper that is never woken fails here within
// seconds (the waiter is left behind) instead of hanging the later cases.
TEST(Barrier, ALateSecondThreadWakesASleeper) {
  SpinOverride noSpin(0);
  auto barrier = std::make_shared<Barrier>("Late", 2);
  auto passed = std::make_shared<std::atomic<bool>>(false);
  std::thread([barrier, passed] {
    barrier->Wait();
    *passed = true;
  }).detach();
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(passed->load()) << "left the barrier alone";
  barrier->Wait();
  for (int i = 0; i < 1000 && !passed->load(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(passed->load()) << "the sleeper was never woken";
}

// Each thread checks that all threads of a cycle arrived before any leaves;
// random pauses take both the spinning and the sleeping path. (The data a
// reply barrier carries back is checked by every marshalled call.)
TEST(Barrier, NobodyLeavesEarlyAndOneThreadCompletesEachCycle) {
  constexpr std::uint32_t kDefault = 0xFFFFFFFFu;
  const struct {
    unsigned threads;
    std::uint32_t spin;
    bool reply;
  } cases[] = {{2, kDefault, false}, {2, 0, false}, {2, 500, true}, {3, kDefault, false}, {3, 0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.threads << " threads, spin " << c.spin << ", reply " << c.reply);
    SpinOverride spin(c.spin == kDefault ? kelvex::threads::SpinNanoseconds() : c.spin);
    constexpr unsigned kCycles = 10000;
    Barrier barrier("TestBarrier", c.threads);
    barrier.SetReplyBarrier(c.reply);
    std::atomic<unsigned> arrivals{0}, early{0}, completions{0};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < c.threads; ++t) {
      threads.emplace_back([&, t] {
        std::minstd_rand random(t + 1);
        for (unsigned cycle = 0; cycle < kCycles; ++cycle) {
          const unsigned pause = random() % 512;
          if (pause < 2) std::this_thread::sleep_for(std::chrono::microseconds(50 + pause * 100));
          if (pause < 40) std::this_thread::yield();
          arrivals.fetch_add(1);
          if (barrier.Wait()) completions.fetch_add(1);
          if (arrivals.load() < (cycle + 1) * c.threads) early.fetch_add(1);
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(early.load(), 0u);
    EXPECT_EQ(completions.load(), kCycles);
  }
}

TEST(ScopedLock, HoldsARecursiveMutexForItsScopeAndThroughAnException) {
  RecursiveMutex mutex("Test Mutex");
  try {
    Lock outer("Outer", mutex, true);
    { Lock inner("Inner", mutex, true); }
    EXPECT_FALSE(FreeForOthers(mutex)) << "the inner lock released the outer one";
    throw 1;
  } catch (int) {
  }
  EXPECT_TRUE(FreeForOthers(mutex));
}

TEST(ScopedLock, AdmitsOneHolderAtATime) {
  // Direct holders lock GetMutex() itself, unseen by the lock's hold hint.
  for (const auto& [spinNanoseconds, directHolders] : {std::pair{20000u, false}, {0u, false}, {20000u, true}}) {
    SpinOverride spin(spinNanoseconds);
    RecursiveMutex mutex("Contended");
    constexpr int kThreads = 4, kRounds = 20000;
    long counter = 0;  // guarded by the lock alone
    std::atomic<int> holders{0}, overlaps{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, direct = directHolders && t % 2 == 1] {
        for (int i = 0; i < kRounds; ++i) {
          std::optional<Lock> lock;
          std::optional<std::lock_guard<boost::recursive_mutex>> directLock;
          if (direct)
            directLock.emplace(mutex.GetMutex());
          else
            lock.emplace("Contended Lock", mutex, true);
          if (holders.fetch_add(1) != 0) ++overlaps;
          ++counter;
          holders.fetch_sub(1);
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(counter, long{kThreads} * kRounds);
    EXPECT_EQ(overlaps.load(), 0) << "spin " << spinNanoseconds << ", direct holders " << directHolders;
  }
}

TEST(Thread, RunsItsBodyOnANewThreadWithItsOwnId) {
  const unsigned long mine = kelvex::threads::GetCurrentThreadID();
  unsigned long theirs = 0;
  {
    kelvex::threads::Thread thread("TestThread", [&] { theirs = kelvex::threads::GetCurrentThreadID(); });
  }
  EXPECT_NE(theirs, 0u);
  EXPECT_NE(theirs, mine);
  EXPECT_EQ(kelvex::threads::GetCurrentThreadID(), mine);
}

}  // namespace
