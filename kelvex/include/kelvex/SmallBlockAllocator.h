// A small-block allocator: blocks up to kMaxBlock bytes come from per-thread
// free lists of fixed size classes, larger ones from operator new. A block
// may be freed on another thread than the one that allocated it (a deferred
// call is made on a host thread and deleted on the communication thread):
// per-thread lists are bounded and overflow into a shared list.
//
// Under AddressSanitizer and ThreadSanitizer every block goes straight to
// operator new, so that the sanitizers see each allocation.
#pragma once

#include <cstddef>
#include <new>

namespace kelvex {
namespace utility {

class SmallBlockAllocator {
 public:
  static constexpr std::size_t kMaxBlock = 256;

  static void* Allocate(std::size_t size);
  static void Free(void* block, std::size_t size) noexcept;

  // A standard allocator over the small-block allocator.
  template <class T>
  class STLAllocator {
   public:
    using value_type = T;

    STLAllocator() noexcept = default;
    template <class U>
    STLAllocator(const STLAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
      if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
      return static_cast<T*>(SmallBlockAllocator::Allocate(count * sizeof(T)));
    }
    void deallocate(T* block, std::size_t count) noexcept { SmallBlockAllocator::Free(block, count * sizeof(T)); }

    template <class U>
    bool operator==(const STLAllocator<U>&) const noexcept {
      return true;
    }
    template <class U>
    bool operator!=(const STLAllocator<U>&) const noexcept {
      return false;
    }
  };
};

}  // namespace utility
}  // namespace kelvex
