// The test server in a process of its own. It publishes CLSID_TestServerHost
// for the other processes of the user; every activation creates a fresh test
// server and hands out its control interface, through which the client
// reaches every other object of that server.
//
//   testserver_host    publishes, prints "ready" and runs until SIGTERM or
//                      SIGINT, or until its standard input ends: the client
//                      holds the other end, so its death, even by SIGKILL,
//                      ends the host.
//
// When a client dies, the engine drops every reference that client's
// session held (the control and every exported object) before the host sees
// the end of its input; nothing the client took survives it.
#include <contract/LinkServerProxyStub.h>
#include "testserver/ClassFactory.h"
#include "testserver/TestControl.h"

#include <comsupport/ComPtr.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <pthread.h>
#include <unistd.h>

int main() {
  if (!moravane::RegisterLinkServerProxyStubs() || !testserver::RegisterTestControlProxyStub()) {
    std::fprintf(stderr, "testserver_host: a proxy/stub table does not match its interface\n");
    return 1;
  }
  // Signals are taken synchronously by the main thread; the engine's threads
  // inherit the mask and never see them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  static testserver::FreshServerFactory factory(testserver::FreshServer{&testserver::CreateHostedTestServer});
  DWORD cookie = 0;
  const HRESULT hr = CoRegisterClassObject(testserver::CLSID_TestServerHost, &factory, CLSCTX_LOCAL_SERVER,
                                           REGCLS_MULTIPLEUSE, &cookie);
  if (FAILED(hr)) {
    std::fprintf(stderr, "testserver_host: cannot publish: 0x%08X\n", static_cast<unsigned>(hr));
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);

  std::thread([] {
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    ::kill(::getpid(), SIGTERM);
  }).detach();
  int signal = 0;
  while (sigwait(&stop, &signal) != 0) {
  }
  CoRevokeClassObject(cookie);
  // Engine threads may still be serving a dying session: leave without
  // running destructors under them.
  std::fflush(stdout);
  std::_Exit(0);
}
