#include "ObjectsFixture.h"

#include "marshalling/CommunicationThread.h"

#include <moravane/ThreadedState.h>

#include <cstdio>

namespace moravane_test {

void ObjectsTest::SetUp() {
  moravane::ThreadedState::SetFreeThreaded(false);
  auto control = ObtainTestServer();
  ASSERT_TRUE(control);
  m_server = std::make_unique<TestServerClient>(control);
  if (ServerInOtherProcess()) m_server->ObserveThroughProxies();
  m_commThread = static_cast<LONG>(moravane::CommunicationThread::Instance()->GetThreadId());
  if (testprobes::kCountsBstrs) m_counts.Watch("live BSTRs (leaked or freed twice)", testprobes::LiveBstrCount);
  m_counts.Start();
}

void ObjectsTest::TearDown() {
  Settle();
  for (LONG id : m_objects) EXPECT_EQ(server().RefCount(id), 1) << "references of #" << id << " unbalanced";
  if (!moravane::ThreadedState::GetFreeThreaded()) {
    for (const auto& event : server().RefEvents()) {
      if (event.kind != testserver::kQueryInterface) continue;
      EXPECT_EQ(event.thread, m_commThread) << "QueryInterface " << event.detail << " on #" << event.id;
    }
  }
  moravane::ThreadedState::SetFreeThreaded(false);
  m_server.reset();
  m_counts.Check();
}

// The next marshalled call is taken only once the previous one is gone.
void ObjectsTest::Settle() { moravane::Server().UnLink(); }

LONG ObjectsTest::Create(LONG mask) {
  m_objects.push_back(server().Create(mask));
  return m_objects.back();
}

Handles ObjectsTest::LinkAll(LONG id) {
  Handles h;
  h.server = Link<moravane::Server>(id);
  h.project = Link<moravane::Project>(id);
  h.item = Link<moravane::Item>(id);
  h.container = moravane::Container(h.item);
  h.source = Link<moravane::Source>(id);
  h.renderer = Link<moravane::Renderer>(id);
  h.video = Link<moravane::VideoRenderOptions>(id);
  h.audio = Link<moravane::AudioRenderOptions>(id);
  h.extras = moravane::OrraExtras(h.server);
  return h;
}

std::string Hex(LONG code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

}  // namespace moravane_test
