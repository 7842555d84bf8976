// objects_remote_tests: the test server lives in a process of its own
// (testserver_host) and every object the tests and the library touch is a
// proxy of the out-of-process link.
//
// Each ObtainTestServer() starts a fresh host, so no state crosses from one
// test to the next, and ends the previous one. The endpoint and registration
// directories are this test run's own (a temporary XDG_RUNTIME_DIR and
// XDG_CONFIG_HOME), so neither a real server of the user nor another test
// run on the machine can answer the activation. The host is reaped when the
// next one starts and when this process exits normally; if this process dies
// instead, the host sees its standard input end and leaves by itself.
#include "ObjectsFixture.h"
#include "support/ChildProcess.h"
#include "support/PrivateUserFolders.h"

#include <contract/LinkServerProxyStub.h>

#include <rpc/Rpc.h>

#include <chrono>
#include <memory>
#include <string>

#include <unistd.h>

namespace moravane_test {
namespace {

class Host {
 public:
  Host() = default;
  ~Host() { Stop(); }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Starts a host and waits (10 s at most) until it has published.
  bool Start() {
    Stop();
    if (!m_folders.Ready()) return false;
    m_child = StartChild({TESTSERVER_HOST_PATH}, "ready");
    return m_child != nullptr;
  }

  // Asks the host to leave and reaps it; one that does not leave within
  // 5 s is killed.
  void Stop() {
    if (m_child) m_child->Stop(std::chrono::seconds(5));
    m_child.reset();
  }

 private:
  testsupport::PrivateUserFolders m_folders;
  std::unique_ptr<ChildProcess> m_child;
};

Host& TheHost() {
  static Host host;
  return host;
}

}  // namespace

comsupport::CComPtr<testserver::ITestControl> ObtainTestServer() {
  if (!moravane::RegisterLinkServerProxyStubs() || !testserver::RegisterTestControlProxyStub()) return nullptr;
  if (!TheHost().Start()) return nullptr;
  comsupport::CComPtr<testserver::ITestControl> control;
  if (FAILED(CoCreateInstance(testserver::CLSID_TestServerHost, nullptr, CLSCTX_LOCAL_SERVER,
                              testserver::IID_ITestControl, reinterpret_cast<void**>(&control)))) {
    return nullptr;
  }
  return control;
}

bool ServerInOtherProcess() { return true; }

}  // namespace moravane_test
