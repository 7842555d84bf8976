// Proxies and stubs of the link server's nine interfaces, generated from the
// contract's rows. Linking this library into a process registers them with
// the engine, as a proxy/stub library registers its interfaces with the
// system; the client needs them to call the server and the server to serve
// the calls.
#include <rpc/LinkServerProxyStub.h>

#include <rpc/ProxyStub.h>

#include <contract/LinkServer.h>
#include <contract/LinkServerRows.h>

#include <tuple>
#include <utility>

using namespace moravane;

#define MORAVANE_RPC_INTERFACE_ID(Interface) RPC_INTERFACE_ID(Interface, IID_##Interface);
MORAVANE_LINK_SERVER_INTERFACES(MORAVANE_RPC_INTERFACE_ID)
#undef MORAVANE_RPC_INTERFACE_ID

namespace {

template <std::size_t... K>
const rpc::InterfaceInfo* const* AllInterfaces(std::index_sequence<K...>) {
  static const rpc::InterfaceInfo* const interfaces[] = {
      &rpc::TableOf<std::tuple_element_t<K, LinkServerRows>>::Info()...};
  return interfaces;
}

}  // namespace

namespace moravane {

const rpc::InterfaceInfo* const* LinkServerInterfaces(int& count) {
  constexpr std::size_t kCount = std::tuple_size_v<LinkServerRows>;
  count = static_cast<int>(kCount);
  return AllInterfaces(std::make_index_sequence<kCount>());
}

bool RegisterLinkServerProxyStubs() {
  static const bool registered = [] {
    int count = 0;
    const rpc::InterfaceInfo* const* interfaces = LinkServerInterfaces(count);
    bool all = true;
    for (int index = 0; index < count; ++index) all = rpc::RegisterInterface(*interfaces[index]) && all;
    return all;
  }();
  return registered;
}

}  // namespace moravane

namespace {
// Registered when the library is loaded, before any activation.
const bool g_registered = moravane::RegisterLinkServerProxyStubs();
}  // namespace
