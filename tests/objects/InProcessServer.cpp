// objects_tests: the test server lives in the test's own process and the
// library calls its objects directly.
#include "ObjectsFixture.h"

namespace moravane_test {

comsupport::CComPtr<testserver::ITestControl> ObtainTestServer() {
  comsupport::CComPtr<testserver::ITestControl> control;
  if (FAILED(testserver::CreateInProcessTestServer(&control))) return nullptr;
  return control;
}

bool ServerInOtherProcess() { return false; }

}  // namespace moravane_test
