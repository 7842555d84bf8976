// Threads, barriers, locks and the small-block allocator that threads hand
// blocks through.
#include <kelvex/SmallBlockAllocator.h>
#include <kelvex/Threads.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#if !defined(_WIN32)
#include <sched.h>
#endif

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
  // (threads, spin time, reply barrier)
  const std::tuple<unsigned, std::uint32_t, bool> cases[] = {
      {2, kDefault, false}, {2, 0, false}, {2, 500, true}, {3, 0, false}};
  for (const auto& [count, spinTime, reply] : cases) {
    SCOPED_TRACE(::testing::Message() << count << " threads, spin " << spinTime << ", reply " << reply);
    SpinOverride spin(spinTime == kDefault ? kelvex::threads::SpinNanoseconds() : spinTime);
    constexpr unsigned kCycles = 10000;
    Barrier barrier("TestBarrier", count);
    barrier.SetReplyBarrier(reply);
    std::atomic<unsigned> arrivals{0}, early{0}, completions{0};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < count; ++t) {
      threads.emplace_back([&, t, count = count] {
        std::minstd_rand random(t + 1);
        for (unsigned cycle = 0; cycle < kCycles; ++cycle) {
          const unsigned pause = random() % 512;
          if (pause < 2) std::this_thread::sleep_for(std::chrono::microseconds(50 + pause * 100));
          if (pause < 40) std::this_thread::yield();
          arrivals.fetch_add(1);
          if (barrier.Wait()) completions.fetch_add(1);
          if (arrivals.load() < (cycle + 1) * count) early.fetch_add(1);
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
    constexpr int kThreads = 4, kRounds = 3000;
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
          std::this_thread::yield();  // a second holder, if let in, comes in meanwhile
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

// The communication thread keeps to its callers' CPU and lets itself go
// again: the CPUs it roams over afterwards are exactly those it had before,
// however often it was moved in between.
TEST(Thread, KeptOnACpuRunsThereAndLetGoHasItsCpusBack) {
  std::thread([] {
#if !defined(_WIN32)
    cpu_set_t before;
    ASSERT_EQ(::sched_getaffinity(0, sizeof before, &before), 0);
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
      if (CPU_ISSET(cpu, &before)) cpus.push_back(cpu);
#else
    const std::vector<int> cpus{kelvex::threads::CurrentCpu()};
#endif
    for (const int cpu : {cpus.back(), cpus.front(), cpus.back()}) {
      ASSERT_TRUE(kelvex::threads::KeepCurrentThreadOn(cpu));
      EXPECT_EQ(kelvex::threads::CurrentCpu(), cpu);
    }
    EXPECT_FALSE(kelvex::threads::KeepCurrentThreadOn(-1));
    kelvex::threads::LetCurrentThreadGo();
#if !defined(_WIN32)
    cpu_set_t after;
    ASSERT_EQ(::sched_getaffinity(0, sizeof after, &after), 0);
    EXPECT_TRUE(CPU_EQUAL(&before, &after));
#endif
    kelvex::threads::LetCurrentThreadGo();  // a second time: nothing to give back
  }).join();
}

using kelvex::utility::SmallBlockAllocator;

struct Block {
  unsigned char* data;
  std::size_t size;
  unsigned char fill;
  bool Intact() const {
    for (std::size_t i = 0; i < size; ++i)
      if (data[i] != fill) return false;
    return true;
  }
};

Block Make(std::size_t size, unsigned char fill) {
  auto* data = static_cast<unsigned char*>(SmallBlockAllocator::Allocate(size));
  std::memset(data, fill, size);
  return Block{data, size, fill};
}

const std::size_t kSizes[] = {1, 16, 17, 48, 100, 255, 256, 257, 1000};

// Deferred calls are made on host threads and freed on the communication
// thread: blocks freed there while this thread allocates must come back
// without ever being handed out twice or while still in use.
TEST(SmallBlockAllocator, BlocksFreedOnAnotherThreadAreReusedSafely) {
  std::vector<Block> kept;  // allocated here and never handed over
  std::atomic<int> damaged{0};
  std::thread consumer;
  for (int round = 0; round < 200; ++round) {
    std::vector<Block> batch;
    for (int i = 0; i < 150; ++i)
      batch.push_back(Make(kSizes[(round + i) % std::size(kSizes)], static_cast<unsigned char>(round * 7 + i)));
    if (round % 10 == 0) kept.push_back(Make(kSizes[round % std::size(kSizes)], 0xA5));
    if (consumer.joinable()) consumer.join();
    consumer = std::thread([&damaged, batch = std::move(batch)] {
      for (const Block& block : batch) {
        if (!block.Intact()) ++damaged;
        SmallBlockAllocator::Free(block.data, block.size);
      }
    });
  }
  consumer.join();
  EXPECT_EQ(damaged.load(), 0);
  for (const Block& block : kept) {
    EXPECT_TRUE(block.Intact()) << "a block in use was handed out again";
    SmallBlockAllocator::Free(block.data, block.size);
  }
}

// A thread-local object constructed before the thread's cache is destroyed
// after it and may still allocate: its block must not be one that the cache
// already gave back for other threads.
struct LateUser {
  static inline unsigned char* block = nullptr;
  ~LateUser() {
    block = static_cast<unsigned char*>(SmallBlockAllocator::Allocate(32));
    std::memset(block, 0x5A, 32);
  }
};
thread_local LateUser t_lateUser;

TEST(SmallBlockAllocator, AllocationAfterTheThreadCacheIsGoneIsSafe) {
  std::thread([] {
    (void)&t_lateUser;
    std::vector<void*> blocks;
    for (int i = 0; i < 40; ++i) blocks.push_back(SmallBlockAllocator::Allocate(32));
    for (void* block : blocks) SmallBlockAllocator::Free(block, 32);
  }).join();
  ASSERT_NE(LateUser::block, nullptr);
  std::vector<void*> mine;
  for (int i = 0; i < 200; ++i) {
    mine.push_back(SmallBlockAllocator::Allocate(32));
    EXPECT_NE(mine.back(), LateUser::block) << "the late block was handed out again";
  }
  for (void* block : mine) SmallBlockAllocator::Free(block, 32);
  SmallBlockAllocator::Free(LateUser::block, 32);
}

}  // namespace
