#include "marshalling/Executor.h"

#include <kelvex/SmallBlockAllocator.h>

namespace moravane {
namespace server {

Executor::~Executor() = default;

void* Executor::operator new(std::size_t size) { return kelvex::utility::SmallBlockAllocator::Allocate(size); }

void Executor::operator delete(void* block, std::size_t size) noexcept {
  kelvex::utility::SmallBlockAllocator::Free(block, size);
}

}  // namespace server
}  // namespace moravane
