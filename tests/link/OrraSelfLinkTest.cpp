// OrraSelfLink against the test server: the version check, the announcement
// and withdrawal, the outcome of every failure, the process-wide switch to
// free-threaded mode and the self-link mutex, which another process must be
// able to take at once after every construction. A mutex of the suite's own
// stands in for the user's self-link mutex (the module's handle on that one
// is checked across processes with the kernel objects).
#include "LinkFixture.h"
#include "support/ChildProcess.h"

#include "module/Module.h"

#include <moravane/Link.h>
#include <moravane/ThreadedState.h>

#include <unistd.h>

#include <string>
#include <thread>

namespace moravane_test {
namespace {

using moravane::OrraSelfLink;

const std::string kMutexName = "moravane-selflink-test-" + std::to_string(::getpid());

// Exit code of the probe process: 0 took the mutex, 1 found it held.
int ProbeMutex() { return ChildProcess({SELFLINK_MUTEX_PROBE, kMutexName}).Wait(); }

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
  // A version-7 server, registered for activation.
  LONG CreateServer(LONG mask = kServerAndExtras) {
    const LONG id = Create(mask);
    Register(id);
    server().OutLong(id, kServerIndex, kGetVersionSlot, 0, 7);
    return id;
  }
  // Every call, query and activation so far ran on this thread.
  void ExpectAllOnThisThread() {
    for (const auto& call : server().Calls()) EXPECT_EQ(call.thread, ThisThread()) << "slot " << call.slot;
    for (const auto& event : server().RefEvents()) {
      EXPECT_TRUE(event.kind != testserver::kQueryInterface || event.thread == ThisThread()) << event.detail;
    }
    for (LONG thread : factory().ActivationThreads()) EXPECT_EQ(thread, ThisThread());
  }
  static inline HANDLE s_userMutex = nullptr;
};

TEST_F(OrraSelfLinkTest, ProbeSeesTheMutexHeldAndFree) {
  const HANDLE mutex = moravane::module::SelfLinkMutex();
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
    EXPECT_EQ(link.GetMoraVane().GetVersion(), 7);
    EXPECT_EQ(CountCalls(kExtrasIndex, kAnnounceSlot), 1);
    EXPECT_EQ(CountCalls(kExtrasIndex, kWithdrawSlot), 0);
    EXPECT_EQ(server().RefCount(id), 3) << "the test server, the activation and the Server";
  }
  EXPECT_EQ(CountCalls(kExtrasIndex, kAnnounceSlot), 1);
  EXPECT_EQ(CountCalls(kExtrasIndex, kWithdrawSlot), 1);
  EXPECT_NE(ThisThread(), CommThread());
  ExpectAllOnThisThread();
  // A withdrawal that fails is not thrown out of the destructor.
  server().Result(id, kExtrasIndex, kWithdrawSlot, E_ACCESSDENIED, testserver::kErrorText, u"gone");
  EXPECT_NO_THROW({ OrraSelfLink link; });
  EXPECT_EQ(CountCalls(kExtrasIndex, kWithdrawSlot), 2);
}

// No mutex to wait for, or one that a dead owner left: E_FAIL before
// anything is activated, and an abandoned mutex is given back, not kept.
TEST_F(OrraSelfLinkTest, MutexNotCleanlyTakenFailsBeforeActivating) {
  CreateServer();
  const HANDLE mutex = moravane::module::SelfLinkMutex();
  for (const HANDLE waitedFor : {HANDLE{nullptr}, mutex}) {
    if (waitedFor != nullptr)
      std::thread([&] { ASSERT_EQ(::WaitForSingleObject(waitedFor, 0), WAIT_OBJECT_0); }).join();
    moravane::module::ExchangeSelfLinkMutex(waitedFor);
    const auto error = ExpectLinkError([] { OrraSelfLink link; });
    moravane::module::ExchangeSelfLinkMutex(mutex);
    EXPECT_EQ(Hex(error.GetError()), Hex(E_FAIL));
    EXPECT_TRUE(error.GetErrorString().empty());
    EXPECT_TRUE(factory().ActivationThreads().empty()) << "activated without holding the mutex";
    EXPECT_EQ(ProbeMutex(), 0) << "the mutex stayed held";
  }
}

// Each failure throws its code and text (the server's own when `slot` is
// scripted to fail with them), frees the mutex and leaves nothing to withdraw.
TEST_F(OrraSelfLinkTest, FailureThrowsItsErrorFreesTheMutexAndUnlinks) {
  const struct {
    const char* name;
    LONG mask;  // 0: nothing registered
    LONG version;
    InterfaceIndex index;
    LONG slot;  // 0: no scripted failure
    HRESULT code;
    const char16_t* text;
  } cases[] = {
      {"nothing registered", 0, 7, kServerIndex, 0, REGDB_E_CLASSNOTREG, u""},
      {"no server interface", kProjectOnly, 7, kServerIndex, 0, E_NOINTERFACE, u""},
      {"no extras", kServerOnly, 7, kServerIndex, 0, E_NOINTERFACE, u""},
      {"version six", kServerAndExtras, 6, kServerIndex, 0, E_FAIL, u""},
      {"version fails", kServerAndExtras, 7, kServerIndex, kGetVersionSlot, E_UNEXPECTED, u"unknown"},
      {"announcement fails", kServerAndExtras, 7, kExtrasIndex, kAnnounceSlot, E_ACCESSDENIED, u""},
      {"announcement answers text", kServerAndExtras, 7, kExtrasIndex, kAnnounceSlot, S_OK, u"busy"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Revoke();
    if (c.mask != 0) {
      const LONG id = CreateServer(c.mask);
      server().OutLong(id, kServerIndex, kGetVersionSlot, 0, c.version);
      if (c.slot != 0) server().Result(id, c.index, c.slot, c.code, testserver::kErrorText, c.text);
    }
    server().ClearRecords();
    const auto error = ExpectLinkError([] { OrraSelfLink link; });
    EXPECT_EQ(Hex(error.GetError()), Hex(c.code));
    EXPECT_TRUE(error.GetErrorString() == moravane::WideString(c.text));
    EXPECT_TRUE(moravane::ThreadedState::GetFreeThreaded());
    EXPECT_EQ(ProbeMutex(), 0) << "the mutex stayed held after the failure";
    EXPECT_EQ(CountCalls(kExtrasIndex, kAnnounceSlot), c.slot == kAnnounceSlot ? 1 : 0);
    EXPECT_EQ(CountCalls(kExtrasIndex, kWithdrawSlot), 0);
    if (c.mask != 0) ExpectAllOnThisThread();
  }
}

}  // namespace
}  // namespace moravane_test
