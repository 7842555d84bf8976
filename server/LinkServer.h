// The reference link server as a library of COM objects. CreateLinkServer
// makes the root object (IServer2, IOrraExtras2); every other object is
// reached from it through the nine interfaces of contract/LinkServer.h.
//
// Every method may be called from any thread; each object guards its own
// state. No exception leaves a method: failures come back as a failing
// HRESULT and an error text that the caller frees.
#pragma once

#include "FrameCache.h"
#include "Sections.h"

#include <comsupport/ComPtr.h>
#include <contract/LinkServer.h>

#include <cstdint>
#include <memory>

namespace linkserver {

inline constexpr LONG kServerVersion = 7;

// A new server, null when it cannot be made. `sections` maps the host's
// sections for every render of this server: real kernel sections unless the
// caller lends memory of its own (tests, in-process benchmarks).
comsupport::CComPtr<moravane::IServer2> CreateLinkServer(
    std::shared_ptr<SectionProvider> sections = std::make_shared<KernelSections>());

// The server's class object, for registration under the link server's class
// identifier. Each activation makes a new server over `sections`.
comsupport::CComPtr<IClassFactory> CreateLinkServerFactory(
    std::shared_ptr<SectionProvider> sections = std::make_shared<KernelSections>());

// Number of the server's COM objects alive in this process (all servers).
std::int64_t LiveObjectCount();

// What a server process does as each of the server's COM objects is made
// and goes: a local server on Windows holds the process for every object
// (CoAddRefServerProcess, CoReleaseServerProcess). Set once, before the
// first object is made; without it objects hold nothing.
struct ObjectHold {
  void (*acquire)() = nullptr;
  void (*release)() = nullptr;
};
void SetObjectHold(ObjectHold hold);

// What a host in the same process (and the tests) may inspect beyond the
// interfaces. Obtained from the server object; null for other objects.
struct ServerInspection {
  FrameCache* cache = nullptr;
  int selfLinks = 0;
  int openProjects = 0;
};
ServerInspection InspectServer(IUnknown* server);

}  // namespace linkserver
