#pragma once

#include <rpc/ProxyStub.h>

namespace rpc {

// True when `vtable` is the vtable of one of this process's proxies.
bool IsProxyVtable(const void* vtable);

}  // namespace rpc
