// BSTRs with the Windows layout: [UINT byte length][characters][NUL].
// The prefix lets SysStringByteLen answer in O(1) and lets a BSTR carry
// embedded NULs; the NUL after the characters lets it pass as a C string.
#include <oleauto.h>
#include <platformdebug.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

std::atomic<std::int64_t> g_liveBstrs{0};
std::atomic<int> g_failingAllocations{0};

bool ShouldFailAllocation() {
  int pending = g_failingAllocations.load(std::memory_order_relaxed);
  while (pending > 0) {
    if (g_failingAllocations.compare_exchange_weak(pending, pending - 1, std::memory_order_relaxed)) return true;
  }
  return false;
}

// Allocates a BSTR of `byteLength` bytes of payload; the payload is copied
// from `source` when given, zeroed otherwise. Two NUL bytes always follow it.
BSTR AllocateBytes(const void* source, UINT byteLength) {
  constexpr std::size_t kPrefix = sizeof(UINT);
  constexpr std::size_t kTerminator = sizeof(OLECHAR);
  if (byteLength > std::numeric_limits<UINT>::max() - kPrefix - kTerminator - 1) return nullptr;
  if (ShouldFailAllocation()) return nullptr;
  // Round up so that the characters stay 2-byte aligned whatever the length.
  std::size_t total = kPrefix + byteLength + kTerminator + (byteLength & 1u);
  auto* block = static_cast<unsigned char*>(std::malloc(total));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &byteLength, kPrefix);
  unsigned char* payload = block + kPrefix;
  if (source != nullptr) {
    std::memcpy(payload, source, byteLength);
  } else {
    std::memset(payload, 0, byteLength);
  }
  std::memset(payload + byteLength, 0, kTerminator + (byteLength & 1u));
  g_liveBstrs.fetch_add(1, std::memory_order_relaxed);
  return reinterpret_cast<BSTR>(payload);
}

unsigned char* BlockOf(BSTR value) { return reinterpret_cast<unsigned char*>(value) - sizeof(UINT); }

}  // namespace

extern "C" {

BSTR WINAPI SysAllocString(const OLECHAR* source) {
  if (source == nullptr) return nullptr;
  std::size_t length = 0;
  while (source[length] != 0) ++length;
  return SysAllocStringLen(source, static_cast<UINT>(length));
}

BSTR WINAPI SysAllocStringLen(const OLECHAR* source, UINT length) {
  if (length > std::numeric_limits<UINT>::max() / sizeof(OLECHAR)) return nullptr;
  return AllocateBytes(source, static_cast<UINT>(length * sizeof(OLECHAR)));
}

BSTR WINAPI SysAllocStringByteLen(LPCSTR source, UINT byteLength) { return AllocateBytes(source, byteLength); }

UINT WINAPI SysStringByteLen(BSTR value) {
  if (value == nullptr) return 0;
  UINT bytes;
  std::memcpy(&bytes, BlockOf(value), sizeof bytes);
  return bytes;
}

UINT WINAPI SysStringLen(BSTR value) { return SysStringByteLen(value) / sizeof(OLECHAR); }

void WINAPI SysFreeString(BSTR value) {
  if (value == nullptr) return;
  g_liveBstrs.fetch_sub(1, std::memory_order_relaxed);
  std::free(BlockOf(value));
}

}  // extern "C"

namespace platformdebug {

std::int64_t LiveBstrCount() { return g_liveBstrs.load(std::memory_order_relaxed); }

void FailNextBstrAllocations(int count) { g_failingAllocations.store(count, std::memory_order_relaxed); }

}  // namespace platformdebug
