#include "ObjectsFixture.h"

#include <moravane/ThreadedState.h>

#include <cstdio>

namespace moravane_test {

#if defined(_WIN32)
namespace {

// {6A0C51E2-3B7D-4F0A-9C41-2E8D5B7F1A93}: the test server's class, known to
// this process only.
const CLSID kTestServerClass = {0x6a0c51e2, 0x3b7d, 0x4f0a, {0x9c, 0x41, 0x2e, 0x8d, 0x5b, 0x7f, 0x1a, 0x93}};

// Hands out a fresh test server per activation, as a server process would.
// Static: lives for the process, so it is registered once and never revoked.
class TestServerFactory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *object = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    comsupport::CComPtr<testserver::ITestControl> control;
    const HRESULT hr = testserver::CreateInProcessTestServer(&control);
    if (FAILED(hr)) return hr;
    return control->QueryInterface(iid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

HRESULT RegisterTestServerClass() {
  static TestServerFactory factory;
  DWORD cookie = 0;
  return ::CoRegisterClassObject(kTestServerClass, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
}

}  // namespace

// On Windows the test server is a class registered with the system's COM in
// this process and activated through it; the test thread joins the
// multithreaded apartment, as the communication thread does, so the library
// holds direct pointers.
comsupport::CComPtr<testserver::ITestControl> ObtainTestServer() {
  static const HRESULT apartment = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  static const HRESULT registration = RegisterTestServerClass();
  if (FAILED(apartment) || FAILED(registration)) return nullptr;
  comsupport::CComPtr<testserver::ITestControl> control;
  if (FAILED(::CoCreateInstance(kTestServerClass, nullptr, CLSCTX_INPROC_SERVER, testserver::IID_ITestControl,
                                reinterpret_cast<void**>(&control.p)))) {
    return nullptr;
  }
  return control;
}
#else
comsupport::CComPtr<testserver::ITestControl> ObtainTestServer() {
  comsupport::CComPtr<testserver::ITestControl> control;
  if (FAILED(testserver::CreateInProcessTestServer(&control))) return nullptr;
  return control;
}
#endif

void ObjectsTest::SetUp() {
  moravane::ThreadedState::SetFreeThreaded(false);
  auto control = ObtainTestServer();
  ASSERT_TRUE(control);
  m_server = std::make_unique<TestServerClient>(control);
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
