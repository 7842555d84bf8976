// The interfaces that this process can marshal, registered by the proxy/stub
// libraries linked into it. Lookups happen on every remote query and call,
// registrations once at start-up.
#include <rpc/ProxyStub.h>

#include "Internal.h"
#include "Transport.h"

#include <mutex>
#include <shared_mutex>
#include <vector>

namespace rpc {
namespace {

struct InterfaceRegistry {
  std::shared_mutex mutex;
  std::vector<const InterfaceInfo*> interfaces;
};

InterfaceRegistry& TheRegistry() {
  // Never destroyed: proxies held by a host's globals are released by exit
  // handlers that may run after this function's statics are gone.
  static InterfaceRegistry* registry = new InterfaceRegistry;
  return *registry;
}

}  // namespace

bool RegisterInterface(const InterfaceInfo& info) {
  for (int index = 0; index < info.methodCount; ++index) {
    if (info.abiSlots[index] != 3 + index) {
      LogError("table of %s: row %d is slot %td of the interface", info.name, 3 + index, info.abiSlots[index]);
      return false;
    }
  }
  InterfaceRegistry& registry = TheRegistry();
  std::unique_lock lock(registry.mutex);
  for (const InterfaceInfo*& known : registry.interfaces) {
    if (IsEqualIID(*known->iid, *info.iid)) {
      known = &info;
      return true;
    }
  }
  registry.interfaces.push_back(&info);
  return true;
}

const InterfaceInfo* FindInterface(REFIID iid) {
  InterfaceRegistry& registry = TheRegistry();
  std::shared_lock lock(registry.mutex);
  for (const InterfaceInfo* known : registry.interfaces) {
    if (IsEqualIID(*known->iid, iid)) return known;
  }
  return nullptr;
}

bool IsProxyVtable(const void* vtable) {
  InterfaceRegistry& registry = TheRegistry();
  std::shared_lock lock(registry.mutex);
  for (const InterfaceInfo* known : registry.interfaces) {
    if (known->proxyVtable == vtable) return true;
  }
  return false;
}

}  // namespace rpc
