// The fixture of the link-maker tests. The test server's class object is
// registered under the link server's class identifier in this process, so
// the library's activation reaches a scripted object. Registering publishes
// the class to the user's other processes too: every test suite gets a
// runtime and configuration directory of its own, so that no other test
// process on the machine activates ours or we theirs. Every test ends by
// proving the objects are back at their starting reference count and no
// BSTR leaked.
#pragma once

#include "support/ExpectLinkError.h"
#include "support/PrivateUserFolders.h"
#include "testserver/ClassFactory.h"
#include "testserver/TestServerClient.h"

#include <moravane/LinkError.h>
#include <moravane/Types.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace moravane_test {

using testserver::TestServerClient;
using testsupport::ExpectLinkError;

constexpr LONG kServerOnly = testserver::InterfaceBit(testserver::kServerIndex);
constexpr LONG kServerAndExtras = kServerOnly | testserver::InterfaceBit(testserver::kExtrasIndex);
constexpr LONG kProjectOnly = testserver::InterfaceBit(testserver::kProjectIndex);

// IServer2::GetVersion, and the announcement and withdrawal of IOrraExtras2.
constexpr LONG kGetVersionSlot = 3;
constexpr LONG kAnnounceSlot = 4;
constexpr LONG kWithdrawSlot = 5;

class LinkTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;

  // An object of the test server whose reference count is checked at the
  // end of the test.
  LONG Create(LONG mask);
  // Makes activations of the link server hand out object `id`.
  void Register(LONG id);
  void Revoke();

  // Waits until the communication thread has dropped the call it ran last.
  void Settle();

  // How often slot `slot` of `index` was called, on any object.
  int CountCalls(testserver::InterfaceIndex index, LONG slot);

  TestServerClient& server() { return *m_server; }
  testserver::ClassFactory& factory() { return *m_factory; }
  LONG CommThread() const { return m_commThread; }
  static LONG ThisThread();

 private:
  static std::unique_ptr<testsupport::PrivateUserFolders> s_userFolders;
  std::unique_ptr<TestServerClient> m_server;
  comsupport::CComPtr<testserver::ClassFactory> m_factory;
  std::unique_ptr<testserver::ScopedClassRegistration> m_registration;
  std::vector<LONG> m_objects;
  std::int64_t m_liveBstrs = 0;
  LONG m_commThread = 0;
};

std::string Hex(LONG code);

}  // namespace moravane_test
