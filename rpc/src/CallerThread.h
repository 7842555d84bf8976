#pragma once

#include <windows.h>

namespace rpc {

// Makes debug::CallerThreadId() answer `clientThread` on this thread
// until the scope ends.
class CallerThreadScope {
 public:
  explicit CallerThreadScope(DWORD clientThread);
  ~CallerThreadScope();
  CallerThreadScope(const CallerThreadScope&) = delete;
  CallerThreadScope& operator=(const CallerThreadScope&) = delete;

 private:
  DWORD m_previous;
};

}  // namespace rpc
