// Test hooks of the platform layer (not part of the Windows SDK). Tests use
// them to prove that every BSTR is freed exactly once and to reach the
// out-of-memory paths of the library.
#pragma once

#include <cstdint>

#include <windows.h>

namespace platformdebug {

// Number of BSTRs allocated and not yet freed, process-wide.
std::int64_t LiveBstrCount();

// Makes the next `count` BSTR allocations fail (return null) on any thread.
void FailNextBstrAllocations(int count);

// The thread that made the call being served: inside a call that came from
// another process, the id of the client's calling thread carried with it;
// everywhere else GetCurrentThreadId().
DWORD CallerThreadId();

}  // namespace platformdebug
