#include "marshalling/Executor.h"

#include <kelvex/SmallBlockAllocator.h>

namespace moravane {
namespace detail {

Executor::~Executor() = default;

namespace {

// A deferred call is written by its caller and read by the communication
// thread: a whole number of cache lines (the allocator aligns such blocks)
// lets it cross in as few line transfers as it can.
constexpr std::size_t kLine = 64;
std::size_t WholeLines(std::size_t size) { return (size + kLine - 1) / kLine * kLine; }

}  // namespace

void* Executor::operator new(std::size_t size) {
  return kelvex::utility::SmallBlockAllocator::Allocate(WholeLines(size));
}

void Executor::operator delete(void* block, std::size_t size) noexcept {
  kelvex::utility::SmallBlockAllocator::Free(block, WholeLines(size));
}

}  // namespace detail
}  // namespace moravane
