// What the server's process does alike on every system (main.cpp here,
// WindowsMain.cpp as a Windows local server): read its command line, make a
// new server for each activation, publish its class.
#pragma once

#include "LinkServer.h"
#include "Sections.h"

#include <comsupport/ClassFactory.h>

#include <objbase.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

namespace linkserver::host {

enum class Command { kServe, kRegister, kUnregister, kUsage };

struct CommandLine {
  Command command = Command::kServe;
  bool embedding = false;  // started by activation
  std::string problem;     // for kUsage
};

// "-Embedding", "--register", "--unregister"; `own(argument, i)` takes an
// option of one system only (advancing `i` past a value it reads) and
// returns "" when it took the argument, else what is wrong with it
// ("unknown argument" for one it does not know).
template <class Own>
CommandLine ReadCommandLine(int argc, char** argv, Own&& own) {
  CommandLine line;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--register") return {Command::kRegister, false, {}};
    if (argument == "--unregister") return {Command::kUnregister, false, {}};
    if (argument == "-Embedding" || argument == "/Embedding") {
      line.embedding = true;
      continue;
    }
    std::string problem = own(argument, i);
    if (!problem.empty()) return {Command::kUsage, false, std::move(problem)};
  }
  return line;
}

inline int Usage(const std::string& problem, const char* synopsis) {
  std::fprintf(stderr, "orra_linkserver_host: %s\nusage: orra_linkserver_host %s\n", problem.c_str(), synopsis);
  return 2;
}

// Every activation makes a new server over the host's sections; `made`
// learns that one was, so that a server started for an activation knows
// its first client came.
struct MakeServer {
  std::shared_ptr<SectionProvider> sections;
  std::atomic<bool>* made;
  HRESULT operator()(REFIID iid, void** object) const {
    const auto server = CreateLinkServer(sections);
    if (server) made->store(true);
    return comsupport::HandOut(server, iid, object);
  }
};
using ServerClass = comsupport::StaticClassFactory<MakeServer>;

// Publishes the server's class to the user's other processes; false, with
// the reason on stderr, when it cannot be.
inline bool Publish(ServerClass& factory, DWORD& cookie) {
  cookie = 0;
  const HRESULT hr =
      CoRegisterClassObject(moravane::CLSID_OrraLinkServer, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
  if (SUCCEEDED(hr)) return true;
  cookie = 0;
  std::fprintf(stderr, "orra_linkserver_host: cannot publish the link server (0x%08X)\n", static_cast<unsigned>(hr));
  return false;
}

}  // namespace linkserver::host
