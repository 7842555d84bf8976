#include "LinkFixture.h"

#include "marshalling/CommunicationThread.h"
#include <contract/LinkServer.h>

#include <moravane/Server.h>
#include <moravane/ThreadedState.h>
#include <platformdebug.h>

#include <cstdio>
#include <cstdlib>

namespace moravane_test {

std::unique_ptr<testsupport::PrivateUserFolders> LinkTest::s_userFolders;

void LinkTest::SetUpTestSuite() {
  s_userFolders = std::make_unique<testsupport::PrivateUserFolders>();
  ASSERT_TRUE(s_userFolders->Ready());
}

void LinkTest::TearDownTestSuite() { s_userFolders.reset(); }

void LinkTest::SetUp() {
  moravane::ThreadedState::SetFreeThreaded(false);
  comsupport::CComPtr<testserver::ITestControl> control;
  ASSERT_EQ(testserver::CreateInProcessTestServer(&control), S_OK);
  m_server = std::make_unique<TestServerClient>(control);
  m_commThread = static_cast<LONG>(moravane::CommunicationThread::Instance()->GetThreadId());
  m_liveBstrs = platformdebug::LiveBstrCount();
}

void LinkTest::TearDown() {
  Settle();
  for (LONG id : m_objects) {
    EXPECT_EQ(server().RefCount(id), 1) << "object #" << id << " left with a reference too many or too few";
  }
  Revoke();
  moravane::ThreadedState::SetFreeThreaded(false);
  m_server.reset();
  EXPECT_EQ(platformdebug::LiveBstrCount(), m_liveBstrs) << "BSTRs leaked or freed twice";
}

LONG LinkTest::Create(LONG mask) {
  const LONG id = server().Create(mask);
  m_objects.push_back(id);
  return id;
}

void LinkTest::Register(LONG id) {
  Revoke();
  m_factory = testserver::ClassFactory::Create(comsupport::CComPtr<testserver::ITestControl>(server().Control()), id);
  m_registration = std::make_unique<testserver::ScopedClassRegistration>(moravane::CLSID_OrraLinkServer, m_factory.p);
  ASSERT_EQ(m_registration->Result(), S_OK);
}

void LinkTest::Revoke() {
  m_registration.reset();
  m_factory.Release();
}

void LinkTest::Settle() {
  if (!moravane::ThreadedState::GetFreeThreaded()) moravane::Server().UnLink();
}

int LinkTest::CountCalls(testserver::InterfaceIndex index, LONG slot) {
  int count = 0;
  for (const auto& call : server().Calls()) count += (call.interfaceIndex == index && call.slot == slot) ? 1 : 0;
  return count;
}

LONG LinkTest::ThisThread() { return static_cast<LONG>(platformdebug::CallerThreadId()); }

std::string Hex(LONG code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

}  // namespace moravane_test
