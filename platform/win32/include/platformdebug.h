// Test hooks of the platform layer (not part of the Windows SDK). Tests use
// them to prove that every BSTR is freed exactly once and to reach the
// out-of-memory paths of the library.
#pragma once

#include <windows.h>

#include <cstdint>

namespace platformdebug {

// Number of BSTRs allocated and not yet freed, process-wide.
std::int64_t LiveBstrCount();

// Makes the next `count` BSTR allocations fail (return null) on any thread.
void FailNextBstrAllocations(int count);

// The thread on whose behalf the current code runs: the calling thread
// itself, unless a layer that carries calls between threads or processes
// says otherwise for the length of a call it delivers.
DWORD CallerThreadId();

}  // namespace platformdebug
