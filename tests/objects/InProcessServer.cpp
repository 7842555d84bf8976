// objects_tests: the test server lives in the test's own process and the
// library calls its objects directly.
#include "ObjectsFixture.h"
#include "testserver/ClassFactory.h"

namespace moravane_test {

#if defined(_WIN32)
// On Windows the test server is a class of this process only, registered
// with the system's COM and activated through it; the test thread joins the
// multithreaded apartment, as the communication thread does, so the library
// holds direct pointers.
// {6A0C51E2-3B7D-4F0A-9C41-2E8D5B7F1A93}
static const CLSID kTestServerClass = {0x6a0c51e2, 0x3b7d, 0x4f0a, {0x9c, 0x41, 0x2e, 0x8d, 0x5b, 0x7f, 0x1a, 0x93}};

comsupport::CComPtr<testserver::ITestControl> ObtainTestServer() {
  // Registered once for the life of the process, never revoked.
  static testserver::FreshServerFactory factory(testserver::FreshServer{&testserver::CreateInProcessTestServer});
  static const HRESULT apartment = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  static DWORD cookie = 0;
  static const HRESULT registration =
      ::CoRegisterClassObject(kTestServerClass, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
  comsupport::CComPtr<testserver::ITestControl> control;
  if (FAILED(apartment) || FAILED(registration) ||
      FAILED(::CoCreateInstance(kTestServerClass, nullptr, CLSCTX_INPROC_SERVER, testserver::IID_ITestControl,
                                reinterpret_cast<void**>(&control.p)))) {
    return nullptr;
  }
  return control;
}
#else
comsupport::CComPtr<testserver::ITestControl> ObtainTestServer() {
  comsupport::CComPtr<testserver::ITestControl> control;
  if (FAILED(testserver::CreateInProcessTestServer(&control))) return nullptr;
  return control;
}
#endif

bool ServerInOtherProcess() { return false; }

}  // namespace moravane_test
