// The calling thread as a server sees it. A stub that serves a call from
// another process names the client's thread for the length of the call.
#include <rpc/Rpc.h>

#include "CallerThread.h"

namespace {
thread_local DWORD t_remoteCaller = 0;
}  // namespace

namespace rpc::debug {

DWORD CallerThreadId() { return t_remoteCaller != 0 ? t_remoteCaller : GetCurrentThreadId(); }

}  // namespace rpc::debug

namespace rpc {

CallerThreadScope::CallerThreadScope(DWORD clientThread) : m_previous(t_remoteCaller) { t_remoteCaller = clientThread; }

CallerThreadScope::~CallerThreadScope() { t_remoteCaller = m_previous; }

}  // namespace rpc
