#include <platformdebug.h>

namespace platformdebug {

DWORD CallerThreadId() { return ::GetCurrentThreadId(); }

}  // namespace platformdebug
