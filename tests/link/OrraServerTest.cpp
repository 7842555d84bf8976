// OrraServer against the test server's class object: activation outcomes,
// the references that links, copies and assignments hold, and the thread on
// which activation and the queries run.
#include "LinkFixture.h"

#include <moravane/Link.h>

namespace moravane_test {
namespace {

using moravane::OrraServer;
using moravane::Server;
using OrraServerTest = LinkTest;

// A failed activation throws its code without text and leaves the link
// unlinked (a relink lets go of the earlier object first); an object without
// the server interface is E_NOINTERFACE, and its reference stays until UnLink.
TEST_F(OrraServerTest, FailedActivationThrowsItsCode) {
  const struct {
    const char* name;
    LONG mask;
    bool registered;
    HRESULT refusal;
    bool linkedBefore;
    HRESULT expected;
    bool staysLinked;
  } cases[] = {
      {"nothing registered", kServerOnly, false, S_OK, false, REGDB_E_CLASSNOTREG, false},
      {"class object refuses", kServerOnly, true, CLASS_E_CLASSNOTAVAILABLE, false, CLASS_E_CLASSNOTAVAILABLE, false},
      {"refused on relinking", kServerOnly, true, E_OUTOFMEMORY, true, E_OUTOFMEMORY, false},
      {"no server interface", kProjectOnly, true, S_OK, false, E_NOINTERFACE, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const LONG id = Create(c.mask);
    if (c.registered) Register(id);
    OrraServer link;
    if (c.linkedBefore) link.CreateLink();
    if (c.refusal != S_OK) factory().Refuse(c.refusal);
    Server handed;
    const auto error = ExpectLinkError([&] { handed = link.CreateLink(); });
    EXPECT_EQ(Hex(error.GetError()), Hex(c.expected));
    EXPECT_TRUE(error.GetErrorString().empty());
    EXPECT_FALSE(handed.IsLinked());
    EXPECT_EQ(link.IsLinked(), c.staysLinked);
    Settle();
    EXPECT_EQ(server().RefCount(id), c.staysLinked ? 2 : 1);
    link.UnLink();
    Settle();
    EXPECT_EQ(server().RefCount(id), 1);
    Revoke();
  }
}

// The count of each server object as links, copies and assignments come and
// go: each linked OrraServer and each Server holds one reference. The
// fixture checks that every query ran on the communication thread.
TEST_F(OrraServerTest, EveryLinkHoldsOneReference) {
  const LONG first = Create(kServerOnly);
  const LONG second = Create(kServerOnly);
  Register(first);
  OrraServer a;
  a.CreateLink();
  a.CreateLink();  // linking again lets go of the previous link
  OrraServer copy(a), assigned;
  assigned = a;
  auto& alias = a;
  a = alias;
  Settle();
  EXPECT_EQ(server().RefCount(first), 4);

  Register(second);
  server().OutLong(second, kServerIndex, kGetVersionSlot, 0, 7);
  OrraServer other;
  Server handed = other.CreateLink();
  EXPECT_EQ(factory().ActivationThreads(), std::vector<LONG>{CommThread()}) << "activation and queries run there";
  assigned = other;
  a.UnLink();
  a.UnLink();
  other.UnLink();
  Settle();
  EXPECT_FALSE(a.IsLinked());
  EXPECT_EQ(server().RefCount(first), 2);
  EXPECT_EQ(server().RefCount(second), 3);
  EXPECT_EQ(handed.GetVersion(), 7) << "the handed-out server outlives its link";

  server().ClearRecords();
  assigned = OrraServer();
  Settle();
  EXPECT_EQ(server().RefCount(second), 2);
  const auto events = server().RefEvents();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().kind, testserver::kRelease);
  EXPECT_EQ(events.back().thread, CommThread()) << "the old reference goes where every release goes";
}

}  // namespace
}  // namespace moravane_test
