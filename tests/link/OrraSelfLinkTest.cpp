// OrraSelfLink against the test server: the version check, the announcement
// and withdrawal, the outcome of every failure, the process-wide switch to
// free-threaded mode and the self-link mutex, which another process must be
// able to take at once after every construction. The tests put a mutex of
// their own in the place of the user's self-link mutex (the module's handle
// on that one is checked across processes with the kernel objects), so that
// no other process of the user holding it disturbs them, nor they it.
#include "LinkFixture.h"
#include "support/ChildProcess.h"

#include "module/Module.h"

#include <moravane/Link.h>
#include <moravane/ThreadedState.h>

#include <unistd.h>

#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>

namespace moravane_test {
namespace {

using moravane::OrraSelfLink;
using testserver::kExtrasIndex;
using testserver::kServerIndex;

const std::string kMutexName = "moravane-selflink-test-" + std::to_string(::getpid());

// Exit code of the probe process: 0 took the mutex, 1 found it held.
int ProbeMutex() {
  try {
    return ChildProcess({SELFLINK_MUTEX_PROBE, kMutexName}).Wait();
  } catch (const std::runtime_error&) {
    return -1;
  }
}

class OrraSelfLinkTest : public LinkTest {
 protected:
  static void SetUpTestSuite() {
    LinkTest::SetUpTestSuite();
    const std::u16string name(kMutexName.begin(), kMutexName.end());
    s_userMutex = moravane::module::ExchangeSelfLinkMutex(::CreateMutexW(nullptr, FALSE, name.c_str()));
  }
  static void TearDownTestSuite() {
    ::CloseHandle(moravane::module::ExchangeSelfLinkMutex(s_userMutex));
    LinkTest::TearDownTestSuite();
  }

  // A version-7 server with extras, registered for activation.
  LONG CreateServer(LONG mask = kServerAndExtras) {
    const LONG id = Create(mask);
    Register(id);
    server().OutLong(id, kServerIndex, kGetVersionSlot, 0, 7);
    return id;
  }

  // Every remote call and query of the test so far ran on this thread.
  void ExpectAllOnThisThread() {
    for (const auto& call : server().Calls()) {
      EXPECT_EQ(call.thread, ThisThread()) << "slot " << call.slot << " of interface " << call.interfaceIndex;
    }
    for (const auto& event : server().RefEvents()) {
      if (event.kind == testserver::kQueryInterface) {
        EXPECT_EQ(event.thread, ThisThread()) << event.detail;
      }
    }
    if (m_factoryRegistered) {
      for (LONG thread : factory().ActivationThreads()) EXPECT_EQ(thread, ThisThread());
    }
  }

  bool m_factoryRegistered = true;
  static HANDLE s_userMutex;
};

HANDLE OrraSelfLinkTest::s_userMutex = nullptr;

TEST_F(OrraSelfLinkTest, ProbeSeesTheMutexHeldAndFree) {
  const HANDLE mutex = moravane::module::SelfLinkMutex();
  ASSERT_NE(mutex, nullptr);
  ASSERT_EQ(::WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(ProbeMutex(), 1);
  ::ReleaseMutex(mutex);
  EXPECT_EQ(ProbeMutex(), 0);
}

TEST_F(OrraSelfLinkTest, AnnouncesOnceOnTheCallingThreadAndWithdrawsOnceOnDestruction) {
  const LONG id = CreateServer();
  {
    OrraSelfLink link;
    EXPECT_TRUE(moravane::ThreadedState::GetFreeThreaded());
    EXPECT_EQ(ProbeMutex(), 0) << "the mutex is held beyond the construction";
    EXPECT_EQ(&link.GetMoraVane(), &link.GetMoraVane());
    ASSERT_TRUE(link.GetMoraVane().IsLinked());
    EXPECT_EQ(link.GetMoraVane().GetVersion(), 7);
    EXPECT_EQ(CountCalls(kExtrasIndex, kAnnounceSlot), 1);
    EXPECT_EQ(CountCalls(kExtrasIndex, kWithdrawSlot), 0);
    EXPECT_EQ(server().RefCount(id), 3) << "the test server, the activation and the Server";
  }
  EXPECT_EQ(CountCalls(kExtrasIndex, kAnnounceSlot), 1);
  EXPECT_EQ(CountCalls(kExtrasIndex, kWithdrawSlot), 1);
  EXPECT_EQ(server().RefCount(id), 1);
  EXPECT_NE(ThisThread(), CommThread());
  ExpectAllOnThisThread();
}

// No mutex to wait for, or one that a dead owner left: the construction
// fails with E_FAIL before anything is activated, and an abandoned mutex is
// given back, not kept.
TEST_F(OrraSelfLinkTest, MutexNotCleanlyTakenFailsBeforeActivating) {
  CreateServer();
  const HANDLE mutex = moravane::module::SelfLinkMutex();
  struct Case {
    const char* name;
    HANDLE waitedFor;
  } cases[] = {{"no mutex", nullptr}, {"abandoned", mutex}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.waitedFor != nullptr) {
      std::thread([&] { ASSERT_EQ(::WaitForSingleObject(c.waitedFor, 0), WAIT_OBJECT_0); }).join();
    }
    moravane::module::ExchangeSelfLinkMutex(c.waitedFor);
    const auto error = ExpectLinkError([] { OrraSelfLink link; });
    moravane::module::ExchangeSelfLinkMutex(mutex);
    EXPECT_EQ(Hex(error.GetError()), Hex(E_FAIL));
    EXPECT_TRUE(error.GetErrorString().empty());
    EXPECT_TRUE(moravane::ThreadedState::GetFreeThreaded());
    EXPECT_TRUE(factory().ActivationThreads().empty()) << "activated without holding the mutex";
    EXPECT_EQ(ProbeMutex(), 0) << "the mutex stayed held";
  }
}

TEST_F(OrraSelfLinkTest, FailedWithdrawalDoesNotThrow) {
  const LONG id = CreateServer();
  server().Result(id, kExtrasIndex, kWithdrawSlot, E_ACCESSDENIED, testserver::kErrorText, u"gone");
  EXPECT_NO_THROW({ OrraSelfLink link; });
  EXPECT_EQ(CountCalls(kExtrasIndex, kWithdrawSlot), 1);
}

struct FailureCase {
  const char* name;
  // Scripts the registered server's answers (registered cases only).
  std::function<void(TestServerClient&, LONG id)> script;
  LONG mask;
  bool registered;
  HRESULT expectedCode;
  const char16_t* expectedText;
  bool announced;
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class OrraSelfLinkFailureTest : public OrraSelfLinkTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(OrraSelfLinkFailureTest, ThrowsItsErrorFreesTheMutexAndUnlinks) {
  const FailureCase& c = GetParam();
  LONG id = 0;
  if (c.registered) {
    id = CreateServer(c.mask);
    if (c.script) c.script(server(), id);
  } else {
    m_factoryRegistered = false;
  }
  const auto error = ExpectLinkError([] { OrraSelfLink link; });
  EXPECT_EQ(Hex(error.GetError()), Hex(c.expectedCode));
  EXPECT_TRUE(error.GetErrorString() == moravane::WideString(c.expectedText));
  EXPECT_TRUE(moravane::ThreadedState::GetFreeThreaded());
  EXPECT_EQ(ProbeMutex(), 0) << "the mutex stayed held after the failure";
  EXPECT_EQ(CountCalls(kExtrasIndex, kAnnounceSlot), c.announced ? 1 : 0);
  EXPECT_EQ(CountCalls(kExtrasIndex, kWithdrawSlot), 0);
  if (id != 0) {
    EXPECT_EQ(server().RefCount(id), 1);
  }
  if (c.registered) ExpectAllOnThisThread();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OrraSelfLinkFailureTest,
    ::testing::Values(
        FailureCase{"NothingRegistered", nullptr, 0, false, REGDB_E_CLASSNOTREG, u"", false},
        FailureCase{"NoServerInterface", nullptr, kProjectOnly, true, E_NOINTERFACE, u"", false},
        FailureCase{"VersionSix",
                    [](TestServerClient& server, LONG id) { server.OutLong(id, kServerIndex, kGetVersionSlot, 0, 6); },
                    kServerAndExtras, true, E_FAIL, u"", false},
        FailureCase{"VersionFails",
                    [](TestServerClient& server, LONG id) {
                      server.Result(id, kServerIndex, kGetVersionSlot, E_UNEXPECTED, testserver::kErrorText,
                                    u"version unknown");
                    },
                    kServerAndExtras, true, E_UNEXPECTED, u"version unknown", false},
        FailureCase{
            "AnnouncementFails",
            [](TestServerClient& server, LONG id) { server.Result(id, kExtrasIndex, kAnnounceSlot, E_ACCESSDENIED); },
            kServerAndExtras, true, E_ACCESSDENIED, u"", true},
        FailureCase{"AnnouncementAnswersText",
                    [](TestServerClient& server, LONG id) {
                      server.Result(id, kExtrasIndex, kAnnounceSlot, S_OK, testserver::kErrorText, u"busy");
                    },
                    kServerAndExtras, true, S_OK, u"busy", true},
        FailureCase{"NoExtras", nullptr, kServerOnly, true, E_NOINTERFACE, u"", false}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace moravane_test
