#include "support/LiveBstrCheck.h"

#include <kelvex/Threads.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using kelvex::threads::Barrier;
using kelvex::threads::RecursiveMutex;
using Lock = kelvex::threads::ScopedLock<RecursiveMutex, boost::recursive_mutex>;

class SpinOverride {
 public:
  explicit SpinOverride(std::uint32_t nanoseconds) : m_saved(kelvex::threads::SpinNanoseconds()) {
    kelvex::threads::SetSpinNanoseconds(nanoseconds);
  }
  ~SpinOverride() { kelvex::threads::SetSpinNanoseconds(m_saved); }

 private:
  std::uint32_t m_saved;
};

// Tries the mutex from another thread: true when it was free.
bool FreeForOthers(RecursiveMutex& mutex) {
  bool locked = false;
  std::thread other([&] {
    locked = mutex.GetMutex().try_lock();
    if (locked) mutex.GetMutex().unlock();
  });
  other.join();
  return locked;
}

// --- Barrier ---------------------------------------------------------------------

struct BarrierCase {
  const char* name;
  unsigned threads;
  std::uint32_t spinNanoseconds;  // kDefaultSpin: the process default
  bool reply;
};
constexpr std::uint32_t kDefaultSpin = 0xFFFFFFFFu;

class BarrierCycles : public ::testing::TestWithParam<BarrierCase> {};

// Every cycle each thread records its arrival and then checks that all
// threads of the cycle have arrived before any of them leaves; random short
// pauses make both the spinning and the sleeping path (and the moment
// between them) happen.
TEST_P(BarrierCycles, NobodyLeavesEarlyAndNobodyIsLeftAsleep) {
  const BarrierCase& c = GetParam();
  SpinOverride spin(c.spinNanoseconds == kDefaultSpin ? kelvex::threads::SpinNanoseconds() : c.spinNanoseconds);
  constexpr unsigned kCycles = 20000;
  Barrier barrier("TestBarrier", c.threads);
  barrier.SetReplyBarrier(c.reply);
  std::atomic<unsigned> arrivals{0};
  std::atomic<unsigned> early{0};
  std::atomic<unsigned> completions{0};
  auto body = [&](unsigned seed) {
    std::minstd_rand random(seed);
    for (unsigned cycle = 0; cycle < kCycles; ++cycle) {
      const unsigned pause = random() % 512;
      if (pause < 2)
        std::this_thread::sleep_for(std::chrono::microseconds(50 + pause * 100));
      else if (pause < 40)
        std::this_thread::yield();
      arrivals.fetch_add(1);
      if (barrier.Wait()) completions.fetch_add(1);
      if (arrivals.load() < (cycle + 1) * c.threads) early.fetch_add(1);
    }
  };
  auto run = std::async(std::launch::async, [&] {
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < c.threads; ++t) threads.emplace_back(body, t + 1);
    for (std::thread& thread : threads) thread.join();
  });
  ASSERT_EQ(run.wait_for(120s), std::future_status::ready) << "a thread was never woken";
  EXPECT_EQ(early.load(), 0u);
  EXPECT_EQ(completions.load(), kCycles) << "exactly one thread completes each cycle";
}

INSTANTIATE_TEST_SUITE_P(Cases, BarrierCycles,
                         ::testing::Values(BarrierCase{"TwoThreads", 2, kDefaultSpin, false},
                                           BarrierCase{"TwoThreadsNoSpin", 2, 0, false},
                                           BarrierCase{"TwoThreadsShortSpin", 2, 500, false},
                                           BarrierCase{"TwoThreadsReply", 2, kDefaultSpin, true},
                                           BarrierCase{"ThreeThreads", 3, kDefaultSpin, false},
                                           BarrierCase{"ThreeThreadsNoSpin", 3, 0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The hand-over of a marshalled call in miniature: two barriers, one thread
// wakes the other at the first and waits for its answer at the second,
// which is a reply barrier; the answer must be visible after the meeting.
TEST(Barrier, RequestAndReplyCarryDataBothWays) {
  Barrier request("Request", 2), reply("Reply", 2);
  reply.SetReplyBarrier(true);
  long slot = 0;
  constexpr long kCalls = 20000;
  std::thread server([&] {
    for (long i = 0; i < kCalls; ++i) {
      request.Wait();
      slot = slot * 2 + 1;
      reply.Wait();
    }
  });
  std::minstd_rand random(7);
  for (long i = 0; i < kCalls; ++i) {
    if (random() % 256 == 0) std::this_thread::sleep_for(100us);  // lets the server fall asleep
    slot = i;
    request.Wait();
    reply.Wait();
    ASSERT_EQ(slot, i * 2 + 1) << "call " << i;
  }
  server.join();
}

TEST(Barrier, ALateSecondThreadWakesASleeper) {
  SpinOverride noSpin(0);
  Barrier barrier("Late", 2);
  std::atomic<bool> passed{false};
  std::thread waiter([&] {
    barrier.Wait();
    passed = true;
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(passed.load()) << "left the barrier alone";
  barrier.Wait();
  waiter.join();
  EXPECT_TRUE(passed.load());
}

// --- ScopedLock ------------------------------------------------------------------

TEST(ScopedLock, HoldsTheMutexForItsScope) {
  RecursiveMutex mutex("Test Mutex");
  {
    Lock lock("Test Lock", mutex, true);
    EXPECT_TRUE(lock.IsLocked());
    EXPECT_FALSE(FreeForOthers(mutex));
  }
  EXPECT_TRUE(FreeForOthers(mutex));
}

TEST(ScopedLock, IsRecursiveOnOneThread) {
  RecursiveMutex mutex("Test Mutex");
  {
    Lock outer("Outer", mutex, true);
    {
      Lock inner("Inner", mutex, true);
      EXPECT_TRUE(inner.IsLocked());
    }
    EXPECT_FALSE(FreeForOthers(mutex)) << "the inner lock released the outer one";
  }
  EXPECT_TRUE(FreeForOthers(mutex));
}

TEST(ScopedLock, ReleasesWhenLeftByAnException) {
  RecursiveMutex mutex("Test Mutex");
  try {
    Lock lock("Throwing", mutex, true);
    throw 1;
  } catch (int) {
  }
  EXPECT_TRUE(FreeForOthers(mutex));
}

TEST(ScopedLock, WithoutLockNowLeavesTheMutexAlone) {
  RecursiveMutex mutex("Test Mutex");
  Lock lock("Deferred", mutex, false);
  EXPECT_FALSE(lock.IsLocked());
  EXPECT_TRUE(FreeForOthers(mutex));
}

TEST(ScopedLock, KeepsItsOwnCopyOfTheName) {
  RecursiveMutex mutex("MoraVane Executed Mutex");
  // Short names are kept inside the lock, long ones on the heap.
  for (const std::string& original :
       {std::string(), std::string("MoraVane Execute Lock"), std::string(300, 'n') + "!"}) {
    std::string name = original;
    Lock lock(name, mutex, true);
    name.assign(name.size(), 'x');
    EXPECT_EQ(lock.GetName(), original);
  }
  EXPECT_EQ(mutex.GetName(), "MoraVane Executed Mutex");
}

struct ContentionCase {
  const char* name;
  std::uint32_t spinNanoseconds;
  bool directHolders;  // half the threads lock GetMutex() itself, unseen by the hold hint
};

class ScopedLockContention : public ::testing::TestWithParam<ContentionCase> {};

TEST_P(ScopedLockContention, AdmitsOneHolderAtATime) {
  SpinOverride spin(GetParam().spinNanoseconds);
  RecursiveMutex mutex("Contended");
  constexpr int kThreads = 4, kRounds = 20000;
  long counter = 0;  // guarded by the lock alone
  std::atomic<int> holders{0}, maxHolders{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    const bool direct = GetParam().directHolders && t % 2 == 1;
    threads.emplace_back([&, direct] {
      for (int i = 0; i < kRounds; ++i) {
        std::optional<Lock> lock;
        std::optional<std::lock_guard<boost::recursive_mutex>> directLock;
        if (direct)
          directLock.emplace(mutex.GetMutex());
        else
          lock.emplace("Contended Lock", mutex, true);
        const int now = holders.fetch_add(1) + 1;
        int seen = maxHolders.load();
        while (now > seen && !maxHolders.compare_exchange_weak(seen, now)) {
        }
        ++counter;
        holders.fetch_sub(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, long{kThreads} * kRounds);
  EXPECT_EQ(maxHolders.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, ScopedLockContention,
                         ::testing::Values(ContentionCase{"Spinning", 20000, false},
                                           ContentionCase{"Blocking", 0, false},
                                           ContentionCase{"SpinningBesideDirectHolders", 20000, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Thread and ids --------------------------------------------------------------

TEST(Thread, RunsItsBodyOnANewThreadWithItsOwnId) {
  const unsigned long mine = kelvex::threads::GetCurrentThreadID();
  unsigned long theirs = 0, theirsAgain = 0;
  {
    kelvex::threads::Thread thread("TestThread", [&] {
      theirs = kelvex::threads::GetCurrentThreadID();
      theirsAgain = kelvex::threads::GetCurrentThreadID();
    });
    EXPECT_EQ(thread.GetName(), "TestThread");
  }  // joined here
  EXPECT_NE(theirs, 0u);
  EXPECT_NE(theirs, mine);
  EXPECT_EQ(theirs, theirsAgain);
  EXPECT_EQ(kelvex::threads::GetCurrentThreadID(), mine);
}

TEST(SpinNanoseconds, CanBeChangedAndRestored) {
  const std::uint32_t saved = kelvex::threads::SpinNanoseconds();
  kelvex::threads::SetSpinNanoseconds(1234);
  EXPECT_EQ(kelvex::threads::SpinNanoseconds(), 1234u);
  kelvex::threads::SetSpinNanoseconds(saved);
  EXPECT_EQ(kelvex::threads::SpinNanoseconds(), saved);
}

}  // namespace
