// The handle's own life: linking by query, copying, both assignments,
// unlinking and destruction, and the thread on which each of them takes or
// drops its reference.
#include "ObjectsFixture.h"
#include "marshalling/IdleLock.h"

#include <moravane/ThreadedState.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

namespace moravane_test {
namespace {

using namespace moravane;
using testserver::InterfaceBit;
using testserver::kAddRef;
using testserver::kQueryInterface;
using testserver::kRelease;
using testserver::RecordedRefEvent;

// The reference events of one object, as "AddRef@calling", "Release@comm"
// or "QueryInterface IItem2 yes@comm".
class HandleTest : public ObjectsTest {
 protected:
  std::vector<std::string> Events(LONG id) {
    std::vector<std::string> events;
    for (const RecordedRefEvent& e : server().RefEvents()) {
      if (e.id != id) continue;
      std::string text = e.kind == kAddRef ? "AddRef" : e.kind == kRelease ? "Release" : "QueryInterface " + e.detail;
      text += e.thread == CommThread() ? "@comm" : e.thread == ThisThread() ? "@calling" : "@other";
      events.push_back(text);
    }
    return events;
  }
  // Net references that the events took, and where the last one was dropped.
  LONG Net(LONG id) {
    LONG net = 0;
    for (const RecordedRefEvent& e : server().RefEvents()) {
      if (e.id != id) continue;
      if (e.kind == kRelease) --net;
      if (e.kind == kAddRef || (e.kind == kQueryInterface && e.detail.ends_with("yes"))) ++net;
    }
    return net;
  }
  std::string LastRelease(LONG id) {
    std::string last = "none";
    for (const std::string& e : Events(id)) {
      if (e.starts_with("Release")) last = e;
    }
    return last;
  }
};

TEST_F(HandleTest, DefaultHandleIsUnlinkedAndTouchesNothing) {
  Server server;
  EXPECT_FALSE(server.IsLinked());
  EXPECT_FALSE(server.GetUnknown());
  server.UnLink();
  EXPECT_FALSE(server.IsLinked());
}

TEST_F(HandleTest, LinkQueriesAndUnlinkReleasesOnTheCommunicationThread) {
  const LONG id = Create(InterfaceBit(testserver::kServerIndex));
  comsupport::CComPtr<IUnknown> unknown = server().Object(id);
  server().ClearRecords();
  {
    BaseObject<IServer2, Server> handle(unknown.p);
    EXPECT_TRUE(handle.IsLinked());
    EXPECT_EQ(server().RefCount(id), 3);  // the server's, `unknown`'s, the handle's
    for (const std::string& e : Events(id)) EXPECT_TRUE(e.ends_with("@comm")) << e;
    server().ClearRecords();
    handle.UnLink();
    EXPECT_FALSE(handle.IsLinked());
    EXPECT_EQ(Events(id), std::vector<std::string>{"Release@comm"});
    server().ClearRecords();
    handle.UnLink();  // a second time changes nothing
    EXPECT_TRUE(Events(id).empty());
  }
  EXPECT_TRUE(Events(id).empty()) << "an unlinked handle's destructor released something";
}

TEST_F(HandleTest, LinkingNeverRaises) {
  const LONG project = Create(InterfaceBit(testserver::kProjectIndex));
  // Held for the length of the test: a pointer is only valid while someone
  // holds a reference on it (a proxy dies with its last one).
  const comsupport::CComPtr<IUnknown> withoutServer = server().Object(project);
  const struct {
    const char* what;
    IUnknown* pointer;
  } cases[] = {{"null", nullptr}, {"object without the interface", withoutServer.p}};
  for (const auto& c : cases) {
    BaseObject<IServer2, Server> handle(c.pointer);
    EXPECT_FALSE(handle.IsLinked()) << c.what;
  }
}

TEST_F(HandleTest, DestroyingALinkedHandleReleasesOnTheCommunicationThread) {
  const LONG id = Create(InterfaceBit(testserver::kSourceIndex));
  {
    Source source = Link<Source>(id);
    server().ClearRecords();
  }
  EXPECT_EQ(Events(id), std::vector<std::string>{"Release@comm"});
}

TEST_F(HandleTest, CopiesAddTheirReferenceOnTheCallingThread) {
  const LONG id = Create(InterfaceBit(testserver::kProjectIndex));
  Project original = Link<Project>(id);
  server().ClearRecords();
  Project copy(original);
  EXPECT_EQ(Events(id), std::vector<std::string>{"AddRef@calling"});
  comsupport::CComPtr<IUnknown> unknown = original.GetUnknown();
  EXPECT_EQ(Events(id), (std::vector<std::string>{"AddRef@calling", "AddRef@calling"}));
  unknown.Release();

  // The copy outlives the original's unlinking.
  original.UnLink();
  EXPECT_TRUE(copy.IsLinked());
  EXPECT_EQ(IdOf(copy), id);
}

TEST_F(HandleTest, CountedAssignmentWorksOnTheCallingThread) {
  const LONG first = Create(InterfaceBit(testserver::kItemIndex));
  const LONG second = Create(InterfaceBit(testserver::kItemIndex));
  Item a = Link<Item>(first);
  Item b = Link<Item>(second);
  server().ClearRecords();
  a = b;
  EXPECT_EQ(Events(first), std::vector<std::string>{"Release@calling"});
  EXPECT_EQ(Events(second), std::vector<std::string>{"AddRef@calling"});
  server().ClearRecords();
  a = b;  // the same pointer: nothing to do
  a = a;
  EXPECT_TRUE(server().RefEvents().empty());
  EXPECT_EQ(IdOf(a), second);
}

TEST_F(HandleTest, CopyAndSwapReleasesTheOldObjectOnTheCommunicationThread) {
  const LONG first = Create(InterfaceBit(testserver::kRendererIndex));
  const LONG second = Create(InterfaceBit(testserver::kRendererIndex));
  Renderer a = Link<Renderer>(first);
  Renderer b = Link<Renderer>(second);
  server().ClearRecords();
  Renderer& result = static_cast<BaseObject<IRenderer2, Renderer>&>(a) = b;
  EXPECT_EQ(&result, &a);
  EXPECT_EQ(IdOf(a), second);
  EXPECT_EQ(server().RefCount(first), 1);
  EXPECT_EQ(LastRelease(first), "Release@comm");
  EXPECT_EQ(Net(second), 1);

  // With itself: linked to the same object, count unchanged.
  const LONG before = server().RefCount(second);
  static_cast<BaseObject<IRenderer2, Renderer>&>(a) = a;
  EXPECT_EQ(IdOf(a), second);
  EXPECT_EQ(server().RefCount(second), before);
}

TEST_F(HandleTest, ConstructionFromAnotherHandleQueriesOnTheCommunicationThread) {
  const LONG id = Create(InterfaceBit(testserver::kServerIndex));
  Server original = Link<Server>(id);
  server().ClearRecords();
  BaseObject<IServer2, Server> second(original);
  EXPECT_TRUE(second.IsLinked());
  Settle();
  EXPECT_EQ(Net(id), 1);
  const auto events = Events(id);
  EXPECT_NE(std::find(events.begin(), events.end(), "QueryInterface IServer2 yes@comm"), events.end());
}

// Converting constructors: the same server object seen through another
// interface, or an unlinked handle when it has none; never an exception.
TEST_F(HandleTest, ConvertingConstructorsQueryTheSameObject) {
  const LONG sourceItem = Create(InterfaceBit(testserver::kSourceIndex) | InterfaceBit(testserver::kItemIndex));
  const LONG plainItem = Create(InterfaceBit(testserver::kItemIndex));
  const LONG bareServer = Create(InterfaceBit(testserver::kServerIndex));
  const LONG extrasServer = Create(InterfaceBit(testserver::kServerIndex) | InterfaceBit(testserver::kExtrasIndex));

  Source source = Link<Source>(sourceItem);
  Item fromSource(source);
  EXPECT_EQ(IdOf(fromSource), sourceItem);
  Source back(fromSource);
  EXPECT_EQ(IdOf(back), sourceItem);

  Item plain = Link<Item>(plainItem);
  Source notASource(plain);
  Container notAContainer(plain);
  EXPECT_FALSE(notASource.IsLinked());
  EXPECT_FALSE(notAContainer.IsLinked());
  Item fromEmptyContainer(notAContainer);
  EXPECT_FALSE(fromEmptyContainer.IsLinked());
  EXPECT_EQ(ExpectLinkError([&] { notAContainer.GetFirstItem(); }).GetError(), kNoRemoteObject);

  Server bare = Link<Server>(bareServer);
  Server withExtras = Link<Server>(extrasServer);
  Server empty;
  EXPECT_FALSE(OrraExtras(bare).IsLinked());
  EXPECT_FALSE(OrraExtras(empty).IsLinked());
  OrraExtras extras(withExtras);
  EXPECT_EQ(IdOf(extras), extrasServer);
}

TEST_F(HandleTest, FreeThreadedCallsAndQueriesRunOnTheCallingThread) {
  const LONG id = Create(kAllInterfaces);
  ThreadedState::SetFreeThreaded(true);
  {
    Server handle = Link<Server>(id);
    Item item = Link<Item>(id);
    Container container(item);
    handle.PurgeMemory();
  }
  for (const auto& event : server().RefEvents()) {
    EXPECT_EQ(event.thread, ThisThread()) << "event " << event.kind << " " << event.detail << " on #" << event.id
                                          << (event.thread == CommThread() ? " on the communication thread" : "");
  }
  for (const auto& call : server().Calls()) EXPECT_EQ(call.thread, ThisThread());
  ThreadedState::SetFreeThreaded(false);
  server().ClearRecords();  // checked above, under the free-threaded rule
}

// Calls from several host threads are all made on the one communication
// thread, and their references balance.
TEST_F(HandleTest, CallsFromManyThreadsRunOnTheCommunicationThread) {
  const LONG id = Create(kAllInterfaces);
  Source shared = Link<Source>(id);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&shared] {
      Source mine(shared);  // one handle per thread
      for (int i = 0; i < 20; ++i) mine.GetBitDepth();
      Item item(mine);
    });
  }
  for (std::thread& thread : threads) thread.join();
  const auto calls = server().Calls();
  EXPECT_EQ(calls.size(), 80u);
  for (const auto& call : calls) EXPECT_EQ(call.thread, CommThread());
}

// Once the communication thread takes no more calls, the stop signal passes
// out of everything that dispatches a query or a release, and a linked
// handle's destructor drops its reference on the calling thread instead.
// A stopped thread stays stopped, hence a process of its own, which exits
// with 0 when all of it held.
class HandleDeathTest : public HandleTest {
 protected:
  [[noreturn]] void StopAndExit() {
    const LONG id = Create(InterfaceBit(testserver::kSourceIndex) | InterfaceBit(testserver::kItemIndex));
    std::string failures;
    {
      const comsupport::CComPtr<IUnknown> unknown = server().Object(id);
      Source linked = Link<Source>(id);
      moravane::detail::IdleLock::Current()->StopAllExecution();
      const struct {
        const char* what;
        std::function<void()> action;
      } dispatching[] = {
          {"constructor from a pointer", [&] { BaseObject<ISource2, Source> handle(unknown.p); }},
          {"constructor from a handle", [&] { BaseObject<ISource2, Source> handle(linked); }},
          {"converting constructor", [&] { Item item(linked); }},
          {"UnLink",
           [&] {
             Source copy(linked);
             copy.UnLink();
           }},
      };
      for (const auto& d : dispatching) {
        try {
          d.action();
          failures += std::string(d.what) + ": no stop signal; ";
        } catch (int signal) {
          if (signal != moravane::detail::kStopSignal) failures += std::string(d.what) + ": another int; ";
        }
      }
      server().ClearRecords();
    }
    // `linked`, then `unknown`, each dropped on this thread.
    const std::vector<std::string> expected = {"Release@calling", "Release@calling"};
    if (Events(id) != expected) failures += "references not dropped once each on this thread; ";
    if (server().RefCount(id) != 1) failures += "reference count " + std::to_string(server().RefCount(id)) + "; ";
    std::fprintf(stderr, "%s\n", failures.c_str());
    std::exit(failures.empty() ? 0 : 1);
  }
};

TEST_F(HandleDeathTest, StopSignalPassesAndTheDestructorReleasesHere) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(StopAndExit(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace moravane_test
