#include "support/LiveBstrCheck.h"

#include <kelvex/SmallBlockAllocator.h>
#include <kelvex/Strings.h>

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

using kelvex::utility::SmallBlockAllocator;

struct Block {
  unsigned char* data;
  std::size_t size;
  unsigned char fill;
};

Block Make(std::size_t size, unsigned char fill) {
  auto* data = static_cast<unsigned char*>(SmallBlockAllocator::Allocate(size));
  std::memset(data, fill, size);
  return Block{data, size, fill};
}

bool Intact(const Block& block) {
  for (std::size_t i = 0; i < block.size; ++i) {
    if (block.data[i] != block.fill) return false;
  }
  return true;
}

const std::size_t kSizes[] = {1, 8, 16, 17, 24, 48, 100, 255, 256, 257, 1000};

// Deferred calls are made on host threads and freed on the communication
// thread: blocks cross threads in one direction all the time. Every block
// must arrive intact, and blocks handed out later must never overlap blocks
// still in use.
TEST(SmallBlockAllocator, BlocksFreedOnAnotherThreadAreReusedSafely) {
  constexpr int kRounds = 200, kPerRound = 150;
  std::vector<Block> handed;
  std::mutex mutex;
  std::vector<Block> kept;  // allocated by the producer and never handed over
  int damaged = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<Block> batch;
    for (int i = 0; i < kPerRound; ++i) {
      batch.push_back(Make(kSizes[(round + i) % std::size(kSizes)], static_cast<unsigned char>(round * 7 + i)));
    }
    if (round % 10 == 0) kept.push_back(Make(kSizes[round % std::size(kSizes)], 0xA5));
    std::thread consumer([&] {
      for (const Block& block : batch) {
        if (!Intact(block)) ++damaged;
        SmallBlockAllocator::Free(block.data, block.size);
      }
    });
    consumer.join();
  }
  EXPECT_EQ(damaged, 0);
  for (const Block& block : kept) {
    EXPECT_TRUE(Intact(block)) << "a block in use was handed out again";
    SmallBlockAllocator::Free(block.data, block.size);
  }
}

TEST(SmallBlockAllocator, LiveBlocksOfTwoThreadsNeverOverlap) {
  std::vector<Block> blocks[2];
  std::thread threads[2];
  for (int t = 0; t < 2; ++t) {
    threads[t] = std::thread([&, t] {
      for (int i = 0; i < 5000; ++i) {
        blocks[t].push_back(Make(kSizes[i % std::size(kSizes)], static_cast<unsigned char>(t * 100 + i % 97)));
        if (i % 3 == 0) {  // churn: free an older block of this thread
          Block old = blocks[t][blocks[t].size() / 2];
          blocks[t].erase(blocks[t].begin() + static_cast<long>(blocks[t].size() / 2));
          SmallBlockAllocator::Free(old.data, old.size);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<unsigned char*> starts;
  for (auto& list : blocks) {
    for (const Block& block : list) {
      EXPECT_TRUE(Intact(block));
      EXPECT_TRUE(starts.insert(block.data).second) << "one block handed out twice";
      SmallBlockAllocator::Free(block.data, block.size);
    }
  }
}

// Thread-local objects destroyed after the thread's cache (because they
// were constructed before it) may still allocate; such a block must not be
// one that the cache has already given back for other threads to use.
struct LateUser {
  static inline unsigned char* block = nullptr;
  ~LateUser() {
    block = static_cast<unsigned char*>(SmallBlockAllocator::Allocate(32));
    std::memset(block, 0x5A, 32);
  }
  void Touch() {}
};
thread_local LateUser t_lateUser;

TEST(SmallBlockAllocator, AllocationAfterTheThreadCacheIsGoneIsSafe) {
  std::thread thread([] {
    t_lateUser.Touch();  // constructed before the cache, destroyed after it
    std::vector<void*> blocks;
    for (int i = 0; i < 40; ++i) blocks.push_back(SmallBlockAllocator::Allocate(32));
    for (void* block : blocks) SmallBlockAllocator::Free(block, 32);
  });
  thread.join();
  ASSERT_NE(LateUser::block, nullptr);
  std::vector<void*> mine;
  for (int i = 0; i < 200; ++i) {
    mine.push_back(SmallBlockAllocator::Allocate(32));
    EXPECT_NE(mine.back(), LateUser::block) << "the late block was handed out again";
  }
  for (void* block : mine) SmallBlockAllocator::Free(block, 32);
  SmallBlockAllocator::Free(LateUser::block, 32);
}

TEST(SmallBlockAllocator, WideStringsCrossThreads) {
  kelvex::utility::UTF16String text;
  std::thread maker([&] { text = kelvex::utility::AsciiToUTF16(std::string(300, 'q')); });
  maker.join();
  EXPECT_EQ(text.size(), 300u);
  std::thread freer([&] { text = kelvex::utility::UTF16String(); });
  freer.join();
  EXPECT_TRUE(text.empty());
}

}  // namespace
