// What the tests observe of the platform beyond the SDK: the calling thread
// and the BSTR bookkeeping. Off Windows the platform layer counts BSTRs and
// can fail their allocation on demand; Windows' OLE Automation offers
// neither (it caches freed strings), so there the checks that need them are
// skipped rather than faked.
#pragma once

#include <windows.h>

#include <cstdint>

#if !defined(_WIN32)
#include <platformdebug.h>
#endif

namespace testprobes {

#if defined(_WIN32)
constexpr bool kCountsBstrs = false;
// In-process calls only: the server runs on the caller's thread.
inline DWORD CallerThreadId() { return ::GetCurrentThreadId(); }
inline std::int64_t LiveBstrCount() { return 0; }
inline void FailNextBstrAllocations(int) {}
#else
constexpr bool kCountsBstrs = true;
inline DWORD CallerThreadId() { return platformdebug::CallerThreadId(); }
inline std::int64_t LiveBstrCount() { return platformdebug::LiveBstrCount(); }
inline void FailNextBstrAllocations(int count) { platformdebug::FailNextBstrAllocations(count); }
#endif

}  // namespace testprobes
