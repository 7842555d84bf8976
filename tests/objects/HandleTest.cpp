// The handle's own life: the thread on which each step takes or drops its
// reference, the converting constructors, free-threaded mode, calls from
// many threads and a communication thread that takes no more calls.
#include "ObjectsFixture.h"
#include "marshalling/IdleLock.h"

#include <moravane/ThreadedState.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <thread>

namespace moravane_test {
namespace {

using namespace moravane;
using testserver::kItemIndex;
using testserver::kSourceIndex;
using Base = BaseObject<ISource2, Source>;

class HandleTest : public ObjectsTest {
 protected:
  // The reference events of one object, as "AddRef@calling" or
  // "QueryInterface ISource2 yes@comm".
  std::vector<std::string> Events(LONG id) {
    static const char* const kKinds[] = {"AddRef", "Release", "QueryInterface "};
    std::vector<std::string> events;
    for (const auto& e : server().RefEvents()) {
      const char* where = e.thread == CommThread() ? "@comm" : e.thread == ThisThread() ? "@calling" : "@other";
      const std::string detail = e.kind == testserver::kQueryInterface ? e.detail : "";
      if (e.id == id) events.push_back(kKinds[e.kind] + detail + where);
    }
    return events;
  }
  // Once the communication thread takes no more calls, the stop signal passes
  // out of everything that dispatches a query or a release, and a linked
  // handle's destructor drops its reference on the calling thread instead. A
  // stopped thread stays stopped, hence a process of its own.
  [[noreturn]] void StopAndExit() {
    const LONG id = Create(InterfaceBit(kSourceIndex) | InterfaceBit(kItemIndex));
    std::string failures;
    {
      const comsupport::CComPtr<IUnknown> unknown = server().Object(id);
      Source linked = Link<Source>(id);
      detail::IdleLock::Current()->StopAllExecution();
      const std::pair<const char*, std::function<void()>> dispatching[] = {
          {"constructor from a pointer", [&] { Base handle(unknown.p); }},
          {"constructor from a handle", [&] { Base handle(linked); }},
          {"converting constructor", [&] { Item item(linked); }},
          {"UnLink", [&] { Source(linked).UnLink(); }},
      };
      for (const auto& [what, action] : dispatching) {
        try {
          action();
          failures += std::string(what) + ": no stop signal; ";
        } catch (int signal) {
          if (signal != detail::kStopSignal) failures += std::string(what) + ": another int; ";
        }
      }
      server().ClearRecords();
    }
    if (Events(id) != std::vector<std::string>{"Release@calling", "Release@calling"}) failures += "not released here; ";
    if (server().RefCount(id) != 1) failures += "reference count " + std::to_string(server().RefCount(id));
    std::fprintf(stderr, "%s\n", failures.c_str());
    std::exit(failures.empty() ? 0 : 1);
  }
};

// Every release but the counted assignment's runs on the communication
// thread; copies and the counted assignment stay on the calling thread. A
// link (queries checked by the fixture) is traced by its last event only.
TEST_F(HandleTest, EachStepTakesOrDropsItsReferenceOnItsThread) {
  const LONG first = Create(InterfaceBit(kSourceIndex));
  const LONG second = Create(InterfaceBit(kSourceIndex));
  const comsupport::CComPtr<IUnknown> unknown = server().Object(first);
  using Step = std::function<void(std::optional<Source> & a, std::optional<Source> & b)>;
  const struct {
    const char* what;
    bool lastOnly;
    std::vector<std::string> first, second;
    Step step;
  } steps[] = {
      {"link from a pointer, destroy", true, {"Release@comm"}, {}, [&](auto&, auto&) { (void)Base(unknown.p); }},
      {"link from a handle, destroy", true, {"Release@comm"}, {}, [](auto& a, auto&) { (void)Base(*a); }},
      {"copy-and-swap assignment", true, {"Release@comm"}, {}, [](auto& a, auto& b) { static_cast<Base&>(*a) = *b; }},
      {"copy, destroy", false, {"AddRef@calling", "Release@comm"}, {}, [](auto& a, auto&) { Source copy(*a); }},
      {"a = b", false, {"Release@calling"}, {"AddRef@calling"}, [](auto& a, auto& b) { *a = *b, *a = *b, *a = *a; }},
      {"unlink twice", false, {"Release@comm"}, {}, [](auto& a, auto&) { a->UnLink(), a->UnLink(); }},
      {"destroy", false, {"Release@comm"}, {}, [](auto& a, auto&) { a.reset(); }},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.what);
    std::optional<Source> a(Link<Source>(first)), b(Link<Source>(second));
    server().ClearRecords();
    s.step(a, b);
    Settle();
    auto events = Events(first);
    if (s.lastOnly && !events.empty()) events.erase(events.begin(), events.end() - 1);
    EXPECT_EQ(events, s.first);
    if (!s.lastOnly) {
      EXPECT_EQ(Events(second), s.second);
    }
  }
}

// The same object seen through another interface, or an unlinked handle when
// it has none; never an exception.
TEST_F(HandleTest, ConvertingConstructorsQueryTheSameObject) {
  const LONG sourceItem = Create(InterfaceBit(kSourceIndex) | InterfaceBit(kItemIndex));
  const LONG extrasServer = Create(InterfaceBit(testserver::kServerIndex) | InterfaceBit(testserver::kExtrasIndex));
  EXPECT_FALSE(Base(nullptr).IsLinked());
  Source source = Link<Source>(sourceItem);
  Item fromSource(source);
  EXPECT_EQ(IdOf(fromSource), sourceItem);
  EXPECT_EQ(IdOf(Source(fromSource)), sourceItem);
  Item plain = Link<Item>(Create(InterfaceBit(kItemIndex)));
  Container notAContainer(plain);
  EXPECT_FALSE(Source(plain).IsLinked());
  EXPECT_FALSE(notAContainer.IsLinked());
  EXPECT_FALSE(Item(notAContainer).IsLinked());
  EXPECT_EQ(ExpectLinkError([&] { notAContainer.GetFirstItem(); }).GetError(), kNoRemoteObject);
  Server empty, bare = Link<Server>(Create(InterfaceBit(testserver::kServerIndex))),
                withExtras = Link<Server>(extrasServer);
  EXPECT_FALSE(OrraExtras(bare).IsLinked());
  EXPECT_FALSE(OrraExtras(empty).IsLinked());
  EXPECT_EQ(IdOf(OrraExtras(withExtras)), extrasServer);
}

TEST_F(HandleTest, FreeThreadedCallsAndQueriesRunOnTheCallingThread) {
  const LONG id = Create(kAllInterfaces);
  ThreadedState::SetFreeThreaded(true);
  {
    Item item = Link<Item>(id);
    Container container(item);
    Link<Server>(id).PurgeMemory();
  }
  for (const auto& event : server().RefEvents()) EXPECT_EQ(event.thread, ThisThread()) << event.detail;
  for (const auto& call : server().Calls()) EXPECT_EQ(call.thread, ThisThread());
  ThreadedState::SetFreeThreaded(false);
  server().ClearRecords();  // checked above, under the free-threaded rule
}

TEST_F(HandleTest, CallsFromManyThreadsRunOnTheCommunicationThread) {
  const LONG id = Create(kAllInterfaces);
  Source shared = Link<Source>(id);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&shared] {
      Source mine(shared);
      for (int i = 0; i < 20; ++i) mine.GetBitDepth();
      Item item(mine);
    });
  }
  for (std::thread& thread : threads) thread.join();
  const auto calls = server().Calls();
  EXPECT_EQ(calls.size(), 80u);
  for (const auto& call : calls) EXPECT_EQ(call.thread, CommThread());
}

using HandleDeathTest = HandleTest;

TEST_F(HandleDeathTest, StopSignalPassesAndTheDestructorReleasesHere) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(StopAndExit(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace moravane_test
