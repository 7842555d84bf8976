#pragma once

#include <rpc/ProxyStub.h>

namespace moravane {

// Registers the proxies and stubs of the link server's interfaces with the
// out-of-process engine. Runs once; true when every table matched the
// interface declarations. Loading the library already calls it.
bool RegisterLinkServerProxyStubs();

// The tables, for tests.
const rpc::InterfaceInfo* const* LinkServerInterfaces(int& count);

}  // namespace moravane
