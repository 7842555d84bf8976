// The fixture of the handle tests. Every test gets a fresh test server and
// ends by proving that the library left it as it found it: every object back
// at its starting reference count, every query made on the communication
// thread, every BSTR freed.
#pragma once

#include "support/CountGuard.h"
#include "support/ExpectLinkError.h"
#include "testserver/PlatformProbes.h"
#include "testserver/TestServerClient.h"

#include <moravane/Items.h>
#include <moravane/LinkError.h>
#include <moravane/OrraExtras.h>
#include <moravane/Project.h>
#include <moravane/RenderOptions.h>
#include <moravane/Renderer.h>
#include <moravane/Server.h>
#include <moravane/Source.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace moravane_test {

using testserver::InterfaceBit;
using testserver::InterfaceIndex;
using testserver::TestServerClient;
using testsupport::ExpectLinkError;

// How the tests reach the test server: in this process or through the
// proxies of the out-of-process link (a few observations adapt to that).
comsupport::CComPtr<testserver::ITestControl> ObtainTestServer();
bool ServerInOtherProcess();

constexpr LONG kAllInterfaces = (LONG{1} << testserver::kInterfaceCount) - 1;

// Exposes the protected constructor through which the library wraps the
// objects that the server hands out.
template <class X>
struct Wrapped : X {
  explicit Wrapped(comsupport::CComPtr<IUnknown> unknown) : X(unknown) {}
};

// One handle of every class on one server object (unlinked by default).
struct Handles {
  moravane::Server server;
  moravane::Project project;
  moravane::Item item;
  moravane::Container container;
  moravane::Source source;
  moravane::Renderer renderer;
  moravane::VideoRenderOptions video;
  moravane::AudioRenderOptions audio;
  moravane::OrraExtras extras;
};

class ObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A server object with the interfaces of `mask`, checked when the test ends.
  LONG Create(LONG mask);
  template <class X>
  X Link(LONG id) {
    return Wrapped<X>(server().Object(id));
  }
  Handles LinkAll(LONG id);
  template <class X>
  LONG IdOf(X handle) {
    return server().Identify(handle.GetUnknown().p);
  }
  // Waits until the communication thread has dropped its last call and the
  // references that call carried.
  void Settle();

  TestServerClient& server() { return *m_server; }
  LONG CommThread() const { return m_commThread; }
  static LONG ThisThread() { return static_cast<LONG>(testprobes::CallerThreadId()); }

 private:
  std::unique_ptr<TestServerClient> m_server;
  std::vector<LONG> m_objects;
  testsupport::CountGuard m_counts;
  LONG m_commThread = 0;
};

std::string Hex(LONG code);

}  // namespace moravane_test
