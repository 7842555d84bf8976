// The fixture of the handle tests. Every test gets a fresh test server and
// ends by proving that the library left it as it found it: every object back
// at its starting reference count, every query made on the communication
// thread, every BSTR freed.
#pragma once

#include "support/ExpectLinkError.h"
#include "marshalling/CommunicationThread.h"
#include "testserver/TestServerClient.h"

#include <moravane/Items.h>
#include <moravane/LinkError.h>
#include <moravane/OrraExtras.h>
#include <moravane/Project.h>
#include <moravane/RenderOptions.h>
#include <moravane/Renderer.h>
#include <moravane/Server.h>
#include <moravane/Source.h>
#include "testserver/PlatformProbes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace moravane_test {

using testserver::InterfaceIndex;
using testserver::TestServerClient;
using testsupport::ExpectLinkError;

// The one place that decides how the tests reach the test server.
comsupport::CComPtr<testserver::ITestControl> ObtainTestServer();
// Whether that server is in another process, reached through proxies. A few
// observations cannot be made through a proxy; the tests that make them
// adapt through this alone.
bool ServerInOtherProcess();

constexpr LONG kAllInterfaces = (LONG{1} << testserver::kInterfaceCount) - 1;

// Exposes the protected constructor from an interface pointer, through which
// the library itself wraps the objects that the server hands out.
template <class X>
struct Wrapped : X {
  explicit Wrapped(comsupport::CComPtr<IUnknown> unknown) : X(unknown) {}
};

// One handle of every class, all on the same server object (or all
// unlinked when default-constructed).
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

  // A server object implementing the interfaces of `mask`; its reference
  // count is checked when the test ends.
  LONG Create(LONG mask);

  template <class X>
  X Link(LONG id) {
    return Wrapped<X>(server().Object(id));
  }
  Handles LinkAll(LONG id);

  // The id of the server object behind a handle (0 when unlinked).
  template <class X>
  LONG IdOf(X& handle) {
    return server().Identify(handle.GetUnknown().p);
  }

  // Waits until the communication thread has dropped the deferred call it
  // ran last (it does so after releasing the caller), together with any
  // reference the call carried.
  void Settle();

  TestServerClient& server() { return *m_server; }
  LONG CommThread() const { return m_commThread; }
  LONG ThisThread() const;

 private:
  std::unique_ptr<TestServerClient> m_server;
  std::vector<LONG> m_objects;
  std::int64_t m_liveBstrs = 0;
  LONG m_commThread = 0;
};

std::string Utf8(const moravane::WideString& text);
std::string Hex(LONG code);

}  // namespace moravane_test
