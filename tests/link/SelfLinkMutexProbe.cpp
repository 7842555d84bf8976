// The other process of the self-link tests: tries the self-link mutex
// without waiting. Exit 0: taken (and given back), 1: held by someone else,
// 2: the wait failed.
#include "module/Module.h"

#include <windows.h>

int main() {
  const DWORD wait = ::WaitForSingleObject(moravane::module::SelfLinkMutex(), 0);
  if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
    ::ReleaseMutex(moravane::module::SelfLinkMutex());
    return 0;
  }
  return wait == WAIT_TIMEOUT ? 1 : 2;
}
