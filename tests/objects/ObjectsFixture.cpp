#include "ObjectsFixture.h"

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
  m_liveBstrs = testprobes::LiveBstrCount();
}

void ObjectsTest::TearDown() {
  Settle();
  for (LONG id : m_objects) {
    EXPECT_EQ(server().RefCount(id), 1) << "object #" << id << " left with a reference too many or too few";
  }
  if (!moravane::ThreadedState::GetFreeThreaded()) {
    for (const auto& event : server().RefEvents()) {
      if (event.kind != testserver::kQueryInterface) continue;
      EXPECT_EQ(event.thread, m_commThread) << "QueryInterface " << event.detail << " on #" << event.id;
    }
  }
  moravane::ThreadedState::SetFreeThreaded(false);
  m_server.reset();
  EXPECT_EQ(testprobes::LiveBstrCount(), m_liveBstrs) << "BSTRs leaked or freed twice";
}

void ObjectsTest::Settle() {
  // The next marshalled call is taken only once the previous one is gone.
  moravane::Server().UnLink();
}

LONG ObjectsTest::Create(LONG mask) {
  const LONG id = server().Create(mask);
  m_objects.push_back(id);
  return id;
}

Handles ObjectsTest::LinkAll(LONG id) {
  Handles handles;
  handles.server = Link<moravane::Server>(id);
  handles.project = Link<moravane::Project>(id);
  handles.item = Link<moravane::Item>(id);
  handles.container = moravane::Container(handles.item);
  handles.source = Link<moravane::Source>(id);
  handles.renderer = Link<moravane::Renderer>(id);
  handles.video = Link<moravane::VideoRenderOptions>(id);
  handles.audio = Link<moravane::AudioRenderOptions>(id);
  handles.extras = moravane::OrraExtras(handles.server);
  return handles;
}

LONG ObjectsTest::ThisThread() const { return static_cast<LONG>(testprobes::CallerThreadId()); }

std::string Utf8(const moravane::WideString& text) { return kelvex::utility::UTF16ToUTF8(text); }

std::string Hex(LONG code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

}  // namespace moravane_test
