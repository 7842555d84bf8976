// The test server in a process of its own. It publishes CLSID_TestServerHost
// for the other processes of the user; every activation creates a fresh test
// server and hands out its control interface, through which the client
// reaches every other object of that server.
//
//   testserver_host              publishes, prints "ready" and runs until
//                                SIGTERM or SIGINT, or until its standard
//                                input ends: the client holds the other end,
//                                so its death, even by SIGKILL, ends the host
//   testserver_host -Embedding   started by an activation: runs until the
//                                last test server it made has gone
//   testserver_host --hold N     a client instead: activates the published
//                                host, holds N objects of it, prints
//                                "holding" and waits to be killed
//   testserver_host --hold N go  the same, after printing "waiting" and
//                                reading a line: clients started one after
//                                the other then activate at one moment
//
// When a client dies, the engine drops every reference that client's
// session held (the control and every exported object) before the host sees
// the end of its input; nothing the client took survives it.
#include <rpc/LinkServerProxyStub.h>
#include "testserver/ClassFactory.h"
#include "testserver/TestControl.h"

#include <comsupport/ComPtr.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <pthread.h>
#include <unistd.h>

namespace {

void WaitForEndOfInput() {
  for (char c; ::read(0, &c, 1) > 0;) continue;
}

std::atomic<bool> g_served{false};

HRESULT CreateServed(testserver::ITestControl** control) {
  const HRESULT hr = testserver::CreateHostedTestServer(control);
  g_served = true;  // after the server counts as alive
  return hr;
}

int Hold(int count, bool afterGo) {
  if (afterGo) {
    std::printf("waiting\n");
    std::fflush(stdout);
    for (char c = 0; c != '\n';) {
      if (::read(0, &c, 1) != 1) return 2;
    }
  }
  comsupport::CComPtr<testserver::ITestControl> control;
  if (FAILED(CoCreateInstance(testserver::CLSID_TestServerHost, nullptr, CLSCTX_LOCAL_SERVER,
                              testserver::IID_ITestControl, reinterpret_cast<void**>(&control)))) {
    return 2;
  }
  std::vector<comsupport::CComPtr<IUnknown>> held(static_cast<std::size_t>(count));
  for (auto& object : held) {
    LONG id = 0;
    control->CreateObject(testserver::InterfaceBit(testserver::kServerIndex), &id);
    control->GetObject(id, &object);
  }
  std::printf("holding\n");
  std::fflush(stdout);
  WaitForEndOfInput();
  std::_Exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  if (!moravane::RegisterLinkServerProxyStubs() || !testserver::RegisterTestControlProxyStub()) {
    std::fprintf(stderr, "testserver_host: a proxy/stub table does not match its interface\n");
    return 1;
  }
  if ((argc == 3 || (argc == 4 && std::strcmp(argv[3], "go") == 0)) && std::strcmp(argv[1], "--hold") == 0) {
    return Hold(std::atoi(argv[2]), argc == 4);
  }
  const bool embedding = argc > 1 && std::strcmp(argv[argc - 1], "-Embedding") == 0;
  // Signals are taken synchronously by the main thread; the engine's threads
  // inherit the mask and never see them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  static testserver::FreshServerFactory factory(testserver::FreshServer{&CreateServed});
  DWORD cookie = 0;
  const HRESULT hr = CoRegisterClassObject(testserver::CLSID_TestServerHost, &factory, CLSCTX_LOCAL_SERVER,
                                           REGCLS_MULTIPLEUSE, &cookie);
  if (FAILED(hr)) {
    std::fprintf(stderr, "testserver_host: cannot publish: 0x%08X\n", static_cast<unsigned>(hr));
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);

  if (!embedding) {
    std::thread([] {
      WaitForEndOfInput();
      ::kill(::getpid(), SIGTERM);
    }).detach();
  }
  const timespec tick{0, 50'000'000};
  for (;;) {
    if (sigtimedwait(&stop, nullptr, &tick) > 0) break;
    if (embedding && g_served && testserver::LiveTestServers() == 0) break;
  }
  CoRevokeClassObject(cookie);
  // Engine threads may still be serving a dying session: leave without
  // running destructors under them.
  std::fflush(stdout);
  std::_Exit(0);
}
