// objects_remote_tests: the test server lives in a process of its own
// (testserver_host) and every object the tests and the library touch is a
// proxy of the out-of-process link. Each ObtainTestServer() ends the last
// host and starts a fresh one, which publishes into this run's own user
// folders; a host whose test process dies sees its standard input end and
// leaves by itself.
#include "ObjectsFixture.h"
#include "support/ChildProcess.h"
#include "support/PrivateUserFolders.h"

#include <rpc/LinkServerProxyStub.h>

#include <chrono>
#include <memory>

namespace moravane_test {

comsupport::CComPtr<testserver::ITestControl> ObtainTestServer() {
  static testsupport::PrivateUserFolders folders;
  static std::unique_ptr<ChildProcess> host;
  if (host) host->Stop(std::chrono::seconds(5));
  host.reset();
  if (!folders.Ready() || !moravane::RegisterLinkServerProxyStubs() || !testserver::RegisterTestControlProxyStub()) {
    return nullptr;
  }
  host = StartChild({TESTSERVER_HOST_PATH}, "ready");
  comsupport::CComPtr<testserver::ITestControl> control;
  if (!host || FAILED(CoCreateInstance(testserver::CLSID_TestServerHost, nullptr, CLSCTX_LOCAL_SERVER,
                                       testserver::IID_ITestControl, reinterpret_cast<void**>(&control)))) {
    return nullptr;
  }
  return control;
}

bool ServerInOtherProcess() { return true; }

}  // namespace moravane_test
