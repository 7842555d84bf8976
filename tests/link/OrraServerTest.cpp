// OrraServer against the test server's class object: activation outcomes,
// who holds which reference after copies, assignments and unlinking, and
// the thread on which activation and the first query run.
#include "LinkFixture.h"

#include <moravane/Link.h>
#include <moravane/Server.h>

namespace moravane_test {
namespace {

using moravane::OrraServer;
using moravane::Server;

class OrraServerTest : public LinkTest {};

// The object's count while the test server alone holds it.
constexpr LONG kBase = 1;

struct ActivationFailureCase {
  const char* name;
  bool registered;
  HRESULT refusal;
  bool linkedBefore;
  HRESULT expected;
};

TEST_F(OrraServerTest, FailedActivationThrowsItsCodeWithoutTextAndLeavesUnlinked) {
  const ActivationFailureCase cases[] = {
      {"nothing registered", false, S_OK, false, REGDB_E_CLASSNOTREG},
      {"class object refuses", true, CLASS_E_CLASSNOTAVAILABLE, false, CLASS_E_CLASSNOTAVAILABLE},
      {"refused on relinking", true, E_OUTOFMEMORY, true, E_OUTOFMEMORY},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const LONG id = Create(kServerOnly);
    if (c.registered) Register(id);
    OrraServer link;
    if (c.linkedBefore) {
      link.CreateLink();
      ASSERT_TRUE(link.IsLinked());
    }
    if (c.registered) factory().Refuse(c.refusal);
    const auto error = ExpectLinkError([&] { link.CreateLink(); });
    EXPECT_EQ(Hex(error.GetError()), Hex(c.expected));
    EXPECT_TRUE(error.GetErrorString().empty());
    EXPECT_FALSE(link.IsLinked());
    Settle();
    // A relink that failed has still let go of the earlier object.
    EXPECT_EQ(server().RefCount(id), kBase);
    Revoke();
  }
}

TEST_F(OrraServerTest, ObjectWithoutServerInterfaceIsNoInterfaceAndStaysLinkedUntilUnLink) {
  const LONG id = Create(kProjectOnly);
  Register(id);
  OrraServer link;
  Server handed;
  const auto error = ExpectLinkError([&] { handed = link.CreateLink(); });
  EXPECT_EQ(Hex(error.GetError()), Hex(E_NOINTERFACE));
  EXPECT_TRUE(error.GetErrorString().empty());
  EXPECT_FALSE(handed.IsLinked());
  EXPECT_TRUE(link.IsLinked());
  Settle();
  EXPECT_EQ(server().RefCount(id), kBase + 1) << "the activation reference is kept";

  link.UnLink();
  EXPECT_FALSE(link.IsLinked());
  Settle();
  EXPECT_EQ(server().RefCount(id), kBase);
  const auto eventsBefore = server().RefEvents().size();
  link.UnLink();
  Settle();
  EXPECT_FALSE(link.IsLinked());
  EXPECT_EQ(server().RefEvents().size(), eventsBefore) << "a second UnLink touched the object";
}

TEST_F(OrraServerTest, ActivationAndFirstQueryRunOnTheCommunicationThread) {
  const LONG id = Create(kServerOnly);
  Register(id);
  server().OutLong(id, testserver::kServerIndex, kGetVersionSlot, 0, 7);
  OrraServer link;
  server().ClearRecords();
  Server handed = link.CreateLink();
  ASSERT_TRUE(handed.IsLinked());
  EXPECT_EQ(handed.GetVersion(), 7);

  ASSERT_EQ(factory().ActivationThreads().size(), 1u);
  EXPECT_EQ(factory().ActivationThreads()[0], CommThread());
  EXPECT_NE(CommThread(), ThisThread());
  bool queried = false;
  for (const auto& event : server().RefEvents()) {
    if (event.kind != testserver::kQueryInterface) continue;
    EXPECT_EQ(event.thread, CommThread()) << event.detail;
    if (event.detail == "IServer2 yes") queried = true;
  }
  EXPECT_TRUE(queried);
  Settle();
  EXPECT_EQ(server().RefCount(id), kBase + 2) << "one for the factory, one for the Server";
}

TEST_F(OrraServerTest, HandedOutServerOutlivesItsFactory) {
  const LONG id = Create(kServerOnly);
  Register(id);
  server().OutLong(id, testserver::kServerIndex, kGetVersionSlot, 0, 7);
  Server unlinkedFrom;
  Server destroyedWith;
  {
    OrraServer link;
    unlinkedFrom = link.CreateLink();
    link.UnLink();
    EXPECT_FALSE(link.IsLinked());
    destroyedWith = link.CreateLink();
  }
  Settle();
  EXPECT_EQ(server().RefCount(id), kBase + 2);
  for (Server* handle : {&unlinkedFrom, &destroyedWith}) {
    EXPECT_TRUE(handle->IsLinked());
    EXPECT_EQ(handle->GetVersion(), 7);
  }
}

TEST_F(OrraServerTest, CreateLinkTwiceHoldsOneActivationReference) {
  const LONG id = Create(kServerOnly);
  Register(id);
  OrraServer link;
  link.CreateLink();
  link.CreateLink();
  Settle();
  EXPECT_EQ(factory().ActivationThreads().size(), 2u);
  EXPECT_EQ(server().RefCount(id), kBase + 1);
}

TEST_F(OrraServerTest, CopiesShareTheObjectWithOneCountEach) {
  const LONG id = Create(kServerOnly);
  Register(id);
  OrraServer original;
  original.CreateLink();
  Settle();
  const LONG linkedCount = server().RefCount(id);
  ASSERT_EQ(linkedCount, kBase + 1);

  OrraServer copy(original);
  EXPECT_TRUE(copy.IsLinked());
  EXPECT_EQ(server().RefCount(id), linkedCount + 1);
  OrraServer assigned;
  assigned = original;
  EXPECT_TRUE(assigned.IsLinked());
  Settle();
  EXPECT_EQ(server().RefCount(id), linkedCount + 2);

  original.UnLink();
  Settle();
  EXPECT_TRUE(copy.IsLinked());
  EXPECT_TRUE(assigned.IsLinked());
  EXPECT_EQ(server().RefCount(id), linkedCount + 1);
  copy.UnLink();
  assigned.UnLink();
  Settle();
  EXPECT_EQ(server().RefCount(id), kBase);
}

TEST_F(OrraServerTest, AssignmentReleasesWhatTheTargetHeld) {
  const LONG first = Create(kServerOnly);
  const LONG second = Create(kServerOnly);
  Register(first);
  OrraServer target;
  target.CreateLink();
  Register(second);
  OrraServer other;
  other.CreateLink();
  Settle();
  ASSERT_EQ(server().RefCount(first), kBase + 1);

  // Self-assignment keeps the object and its count.
  auto& alias = target;
  target = alias;
  Settle();
  EXPECT_TRUE(target.IsLinked());
  EXPECT_EQ(server().RefCount(first), kBase + 1);

  target = other;
  Settle();
  EXPECT_EQ(server().RefCount(first), kBase) << "the target's old object was not released";
  EXPECT_EQ(server().RefCount(second), kBase + 2);

  // The old reference goes where every release goes: the communication thread.
  server().ClearRecords();
  target = OrraServer();
  Settle();
  EXPECT_FALSE(target.IsLinked());
  EXPECT_EQ(server().RefCount(second), kBase + 1);
  const auto events = server().RefEvents();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().kind, testserver::kRelease);
  EXPECT_EQ(events.back().thread, CommThread());
}

}  // namespace
}  // namespace moravane_test
