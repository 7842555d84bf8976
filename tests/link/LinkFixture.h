// The link-maker tests: the test server's class object is registered under
// the link server's class identifier in this process, so the library's
// activation reaches a scripted object. Registering publishes the class to
// the user's other processes too, hence user folders of the suite's own.
#pragma once

#include "objects/ObjectsFixture.h"
#include "support/PrivateUserFolders.h"
#include "testserver/ClassFactory.h"

#include <contract/LinkServer.h>

#include <memory>

namespace moravane_test {

using testserver::kExtrasIndex;
using testserver::kServerIndex;
constexpr LONG kServerOnly = InterfaceBit(kServerIndex);
constexpr LONG kServerAndExtras = kServerOnly | InterfaceBit(kExtrasIndex);
constexpr LONG kProjectOnly = InterfaceBit(testserver::kProjectIndex);
// IServer2::GetVersion, and the announcement and withdrawal of IOrraExtras2.
constexpr LONG kGetVersionSlot = 3, kAnnounceSlot = 4, kWithdrawSlot = 5;

class LinkTest : public ObjectsTest {
 protected:
  static void SetUpTestSuite() {
    s_folders = std::make_unique<testsupport::PrivateUserFolders>();
    ASSERT_TRUE(s_folders->Ready());
  }
  static void TearDownTestSuite() { s_folders.reset(); }
  void TearDown() override {
    Revoke();
    ObjectsTest::TearDown();
  }
  // Makes activations of the link server hand out object `id`.
  void Register(LONG id) {
    Revoke();
    m_factory = testserver::ClassFactory::Create(comsupport::CComPtr<testserver::ITestControl>(server().Control()), id);
    m_registration = std::make_unique<testserver::ScopedClassRegistration>(moravane::CLSID_OrraLinkServer, m_factory.p);
    ASSERT_EQ(m_registration->Result(), S_OK);
  }
  void Revoke() {
    m_registration.reset();
    m_factory.Release();
  }
  // How often slot `slot` of `index` was called, on any object.
  int CountCalls(InterfaceIndex index, LONG slot) {
    int count = 0;
    for (const auto& call : server().Calls()) count += call.interfaceIndex == index && call.slot == slot;
    return count;
  }
  testserver::ClassFactory& factory() { return *m_factory; }

 private:
  static inline std::unique_ptr<testsupport::PrivateUserFolders> s_folders;
  comsupport::CComPtr<testserver::ClassFactory> m_factory;
  std::unique_ptr<testserver::ScopedClassRegistration> m_registration;
};

}  // namespace moravane_test
