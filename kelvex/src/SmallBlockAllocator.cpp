#include <kelvex/SmallBlockAllocator.h>
#include <kelvex/Threads.h>

#include <mutex>
#include <new>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KELVEX_PLAIN_ALLOCATION 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KELVEX_PLAIN_ALLOCATION 1
#endif
#endif

namespace kelvex {
namespace utility {

#if defined(KELVEX_PLAIN_ALLOCATION)

void* SmallBlockAllocator::Allocate(std::size_t size) { return ::operator new(size); }
void SmallBlockAllocator::Free(void* block, std::size_t) noexcept { ::operator delete(block); }

#else

namespace {

constexpr std::size_t kGranule = 16;
constexpr std::size_t kLine = 64;
constexpr std::size_t kClasses = SmallBlockAllocator::kMaxBlock / kGranule;
constexpr std::size_t kThreadCacheLimit = 64;  // blocks per class kept by one thread
constexpr std::size_t kBatch = 32;             // blocks moved between a thread and the shared pool

struct FreeBlock {
  FreeBlock* next;
};

std::size_t ClassOf(std::size_t size) { return (size + kGranule - 1) / kGranule - 1; }
std::size_t BlockSize(std::size_t sizeClass) { return (sizeClass + 1) * kGranule; }

// Blocks that threads gave back beyond their own limit, and the chunks that
// all blocks were cut from (kept so the blocks stay reachable for leak
// checkers; the pool lives as long as the process).
struct SharedPool {
  std::mutex mutex;
  FreeBlock* lists[kClasses] = {};
  std::vector<void*> chunks;

  FreeBlock* TakeBatch(std::size_t sizeClass, std::size_t& count) {
    std::lock_guard<std::mutex> lock(mutex);
    FreeBlock* head = lists[sizeClass];
    FreeBlock* tail = head;
    count = 0;
    if (head == nullptr) {
      const std::size_t blockSize = BlockSize(sizeClass);
      // Chunks start on a cache line, so that blocks whose size is a
      // multiple of a line (a deferred call rounds itself up to one) never
      // straddle two: a thread that takes such a block over from another
      // pays one line transfer, not two. Chunks are never given back.
      auto* chunk = static_cast<unsigned char*>(::operator new (blockSize* kBatch, std::align_val_t{kLine}));
      chunks.push_back(chunk);
      for (std::size_t i = 0; i < kBatch; ++i) {
        auto* block = reinterpret_cast<FreeBlock*>(chunk + i * blockSize);
        block->next = (i + 1 < kBatch) ? reinterpret_cast<FreeBlock*>(chunk + (i + 1) * blockSize) : nullptr;
      }
      count = kBatch;
      return reinterpret_cast<FreeBlock*>(chunk);
    }
    for (count = 1; count < kBatch && tail->next != nullptr; ++count) tail = tail->next;
    lists[sizeClass] = tail->next;
    tail->next = nullptr;
    return head;
  }

  void GiveBack(std::size_t sizeClass, FreeBlock* head, FreeBlock* tail) {
    std::lock_guard<std::mutex> lock(mutex);
    tail->next = lists[sizeClass];
    lists[sizeClass] = head;
  }
};

SharedPool& Shared() {
  static SharedPool* pool = new SharedPool;  // never destroyed: threads may free blocks during exit
  return *pool;
}

// Set once the thread's cache has been handed back at thread exit. Other
// thread-local destructors that run later may still allocate and free; they
// go to the shared pool one block at a time. (Trivially destructible, so it
// stays readable until the thread is gone.)
thread_local bool t_cacheGone = false;

struct ThreadCache {
  FreeBlock* lists[kClasses] = {};
  std::size_t counts[kClasses] = {};

  ~ThreadCache() {
    for (std::size_t c = 0; c < kClasses; ++c) {
      if (lists[c] == nullptr) continue;
      FreeBlock* tail = lists[c];
      while (tail->next != nullptr) tail = tail->next;
      Shared().GiveBack(c, lists[c], tail);
      lists[c] = nullptr;
      counts[c] = 0;
    }
    t_cacheGone = true;
  }
};

#if defined(_WIN32)

// MinGW's GCC 12 may run a thread_local object's destructor after the
// thread's emulated TLS block has been freed, so the cache would give back
// lists read from reused memory. On Windows the cache lives on the heap and
// is found through fiber-local storage, whose callback gets its address at
// thread exit. Null when no slot could be had: blocks then come straight
// from operator new.
void WINAPI ReleaseThreadCache(void* cache) { delete static_cast<ThreadCache*>(cache); }

ThreadCache* LocalCache() {
  static const DWORD slot = ::FlsAlloc(&ReleaseThreadCache);
  if (slot == FLS_OUT_OF_INDEXES || t_cacheGone) return nullptr;
  auto* cache = static_cast<ThreadCache*>(::FlsGetValue(slot));
  if (cache == nullptr) {
    cache = new ThreadCache;
    ::FlsSetValue(slot, cache);
  }
  return cache;
}

#else

thread_local ThreadCache t_cache;

ThreadCache* LocalCache() { return t_cacheGone ? nullptr : &t_cache; }

#endif

// One block for a thread whose cache is gone: take a batch, keep its first
// block, give the rest back.
void* AllocateShared(std::size_t sizeClass) {
  std::size_t count = 0;
  FreeBlock* head = Shared().TakeBatch(sizeClass, count);
  if (FreeBlock* rest = head->next) {
    FreeBlock* tail = rest;
    while (tail->next != nullptr) tail = tail->next;
    Shared().GiveBack(sizeClass, rest, tail);
  }
  return head;
}

}  // namespace

void* SmallBlockAllocator::Allocate(std::size_t size) {
  if (size == 0) size = 1;
  if (size > kMaxBlock) return ::operator new(size);
  const std::size_t c = ClassOf(size);
  // No cache (the thread's is gone, or none could be had): the shared pool
  // serves one block at a time.
  ThreadCache* local = LocalCache();
  if (local == nullptr) return AllocateShared(c);
  ThreadCache& cache = *local;
  if (cache.lists[c] == nullptr) cache.lists[c] = Shared().TakeBatch(c, cache.counts[c]);
  FreeBlock* block = cache.lists[c];
  cache.lists[c] = block->next;
  --cache.counts[c];
  // Blocks freed by another thread (a deferred call, freed by the
  // communication thread) come back with their lines in that thread's
  // cache. Fetch the next one now, while the caller has other work, so
  // that the next allocation does not wait for the transfer.
  if (cache.lists[c] != nullptr) threads::PrefetchLineForWriting(cache.lists[c]);
  return block;
}

void SmallBlockAllocator::Free(void* pointer, std::size_t size) noexcept {
  if (pointer == nullptr) return;
  if (size == 0) size = 1;
  if (size > kMaxBlock) {
    ::operator delete(pointer);
    return;
  }
  const std::size_t c = ClassOf(size);
  auto* block = static_cast<FreeBlock*>(pointer);
  ThreadCache* local = LocalCache();
  if (local == nullptr) {
    Shared().GiveBack(c, block, block);
    return;
  }
  ThreadCache& cache = *local;
  block->next = cache.lists[c];
  cache.lists[c] = block;
  if (++cache.counts[c] > kThreadCacheLimit) {
    // Hand a batch to the shared pool: the thread that frees (the
    // communication thread) is not the one that allocates (a host thread).
    FreeBlock* head = cache.lists[c];
    FreeBlock* tail = head;
    for (std::size_t i = 1; i < kBatch; ++i) tail = tail->next;
    cache.lists[c] = tail->next;
    cache.counts[c] -= kBatch;
    Shared().GiveBack(c, head, tail);
  }
}

#endif

}  // namespace utility
}  // namespace kelvex
