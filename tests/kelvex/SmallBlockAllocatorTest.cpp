#include <kelvex/SmallBlockAllocator.h>

#include <gtest/gtest.h>

#include <cstring>
#include <atomic>
#include <thread>
#include <vector>

namespace {

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
