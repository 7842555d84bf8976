// Calls through the generated proxies into a real server process: every
// parameter kind with exact values, queries, object references in both
// directions, reference and BSTR counts back to baseline on both sides,
// and many client threads at once.
#include "RpcTestSupport.h"

#include <platformdebug.h>

#include <atomic>
#include <climits>
#include <functional>
#include <thread>

using namespace moravane;

namespace rpctest {
namespace {

std::string Narrow(const std::u16string& text) {
  std::string result;
  for (char16_t c : text) {
    if (c < 0x80) {
      result.push_back(static_cast<char>(c));
    } else {
      char escaped[12];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
      result += escaped;
    }
  }
  return result;
}

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(hr));
  return text;
}

class RemoteCall : public ServerFixture {
 public:
  void TearDown() override {
    if (control != nullptr) {
      // Everything the test made on the server is gone again, and the
      // server freed every BSTR that passed through its stubs.
      EXPECT_EQ(baselineObjects, ServerObjects());
      EXPECT_EQ(baselineServerBstrs, ServerBstrs());
    }
    ServerFixture::TearDown();
    EXPECT_EQ(0, rpc::debug::LiveProxyObjects());
  }

  IProject2* Open(const char16_t* path) {
    BSTR text = SysAllocString(path);
    OutText errorText;
    IUnknown* opened = nullptr;
    EXPECT_EQ(S_OK, server->OpenProject(text, &opened, &errorText));
    SysFreeString(text);
    IProject2* project = nullptr;
    if (opened != nullptr) opened->QueryInterface(IID_IProject2, reinterpret_cast<void**>(&project));
    ReleaseAndNull(opened);
    return project;
  }

  template <class I>
  I* Query(IUnknown* object, REFIID iid) {
    I* typed = nullptr;
    EXPECT_EQ(S_OK, object->QueryInterface(iid, reinterpret_cast<void**>(&typed)));
    return typed;
  }
};

// One call per row; `run` gives the HRESULT and the out-values as text.
struct RoundTrip {
  const char* name;
  std::function<HRESULT(RemoteCall&, IServer2*, std::string&)> run;
  HRESULT expected;
  std::string values;
};

const GUID kCompB = {102, 0x1234, 0x5678, {0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 102}};

TEST_F(RemoteCall, EveryParameterKindArrivesExactly) {
  const RoundTrip cases[] = {
      {"LONG out",
       [](RemoteCall&, IServer2* s, std::string& v) {
         LONG version = 0;
         OutText e;
         HRESULT hr = s->GetVersion(&version, &e);
         v = std::to_string(version) + Narrow(e.Text());
         return hr;
       },
       S_OK, "7<null>"},
      {"ULONGLONG out, all 64 bits",
       [](RemoteCall&, IServer2* s, std::string& v) {
         ULONGLONG bytes = 0;
         OutText e;
         HRESULT hr = s->GetMinimumMemoryRequirements(&bytes, &e);
         v = std::to_string(bytes);
         return hr;
       },
       S_OK, std::to_string(0xFEDCBA9876543210ull)},
      {"ULONGLONG in",
       [](RemoteCall&, IServer2* s, std::string& v) {
         OutText e;
         s->SetIdleTimeMemoryUsage(0x8000000000000001ull, &e);
         ULONGLONG bytes = 0;
         HRESULT hr = s->GetCurrentMemoryUsage(&bytes, &e);
         v = std::to_string(bytes);
         return hr;
       },
       S_OK, std::to_string(0x8000000000000001ull)},
      {"failure with a non-ASCII error text",
       [](RemoteCall&, IServer2* s, std::string& v) {
         OutText e;
         HRESULT hr = s->SetTemporaryMemoryUsage(0, &e);
         v = Narrow(e.Text());
         return hr;
       },
       E_INVALIDARG, "temporary budget must not be zero \\u2713"},
      {"success with an error text",
       [](RemoteCall&, IServer2* s, std::string& v) {
         OutText e;
         HRESULT hr = s->PurgeMemory(&e);
         v = Narrow(e.Text());
         return hr;
       },
       S_OK, "purged, with a remark"},
      {"S_FALSE passes unchanged",
       [](RemoteCall&, IServer2* s, std::string& v) {
         OutText e;
         HRESULT hr = s->CacheFinalFrame(1, &e);
         v = Narrow(e.Text());
         return hr;
       },
       S_FALSE, "<null>"},
      {"BSTR out",
       [](RemoteCall&, IServer2* s, std::string& v) {
         OutText extension, e;
         HRESULT hr = s->GetProjectExtension(&extension, &e);
         v = Narrow(extension.Text());
         return hr;
       },
       S_OK, ".orraproj"},
      {"null BSTR in",
       [](RemoteCall&, IServer2* s, std::string& v) {
         OutText e;
         IUnknown* project = nullptr;
         HRESULT hr = s->OpenProject(nullptr, &project, &e);
         v = Narrow(e.Text()) + (project == nullptr ? " null" : " object");
         ReleaseAndNull(project);
         return hr;
       },
       E_INVALIDARG, "no path null"},
      {"BSTR in with an embedded NUL and non-ASCII, back out",
       [](RemoteCall& t, IServer2*, std::string& v) {
         const char16_t raw[] = {u'/', u'p', 0, u'\u00e9', 0xD83D, 0xDE00, u'x'};
         BSTR path = SysAllocStringLen(raw, 7);
         IUnknown* opened = nullptr;
         OutText e, back;
         t.server->OpenProject(path, &opened, &e);
         SysFreeString(path);
         IProject2* project = nullptr;
         opened->QueryInterface(IID_IProject2, reinterpret_cast<void**>(&project));
         HRESULT hr = project->GetPath(&back, &e);
         v = std::to_string(SysStringLen(back.value)) + " " + Narrow(back.Text().substr(3));
         ReleaseAndNull(project);
         ReleaseAndNull(opened);
         return hr;
       },
       S_OK, "7 \\u00E9\\uD83D\\uDE00x"},
      {"GUID in, LONG and double out",
       [](RemoteCall& t, IServer2*, std::string& v) {
         IProject2* project = t.Open(u"/a/b.orraproj");
         GUID id = kCompB;
         IUnknown* found = nullptr;
         OutText e;
         HRESULT hr = project->GetSource(&id, &found, &e);
         ISource2* source = nullptr;
         if (found != nullptr) found->QueryInterface(IID_ISource2, reinterpret_cast<void**>(&source));
         double rate = 0;
         LONG width = 0, height = 0;
         source->GetFrameRate(&rate, &e);
         source->GetFrameSize(&width, &height, &e);
         v = std::to_string(rate == 30000.0 / 1001.0) + " " + std::to_string(width) + " " + std::to_string(height);
         ReleaseAndNull(source);
         ReleaseAndNull(found);
         ReleaseAndNull(project);
         return hr;
       },
       S_OK, "1 1920 -1080"},
      {"null GUID in",
       [](RemoteCall& t, IServer2*, std::string& v) {
         IProject2* project = t.Open(u"/a/b.orraproj");
         IUnknown* found = nullptr;
         OutText e;
         HRESULT hr = project->GetSource(nullptr, &found, &e);
         v = Narrow(e.Text());
         ReleaseAndNull(project);
         return hr;
       },
       E_POINTER, "no source id"},
      {"GUID out",
       [](RemoteCall& t, IServer2*, std::string& v) {
         IProject2* project = t.Open(u"/a/b.orraproj");
         IUnknown* rootObject = nullptr;
         OutText e;
         project->GetRootItem(&rootObject, &e);
         IItem2* root = nullptr;
         rootObject->QueryInterface(IID_IItem2, reinterpret_cast<void**>(&root));
         GUID id{};
         HRESULT hr = root->GetID(&id, &e);
         const GUID expected = {100, 0x1234, 0x5678, {0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 100}};
         v = id == expected ? "root id" : rpc::GuidToString(id);
         ReleaseAndNull(root);
         ReleaseAndNull(rootObject);
         ReleaseAndNull(project);
         return hr;
       },
       S_OK, "root id"},
      {"LONG in at the extremes",
       [](RemoteCall& t, IServer2*, std::string& v) {
         IProject2* project = t.Open(u"/a/b.orraproj");
         GUID id = kCompB;
         IUnknown* found = nullptr;
         OutText e;
         project->GetSource(&id, &found, &e);
         ISource2* source = nullptr;
         found->QueryInterface(IID_ISource2, reinterpret_cast<void**>(&source));
         LONG low = -1, high = -1;
         HRESULT hr = source->IsNewerThan(INT_MIN, &low, &e);
         source->IsNewerThan(0x7FFFFFF0, &high, &e);
         v = std::to_string(low) + std::to_string(high);
         ReleaseAndNull(source);
         ReleaseAndNull(found);
         ReleaseAndNull(project);
         return hr;
       },
       S_OK, "10"},
      {"eight values in, two objects out",
       [](RemoteCall&, IServer2* s, std::string& v) {
         BSTR path = SysAllocString(u"/new/source");
         IUnknown *project = nullptr, *source = nullptr;
         OutText e, name;
         HRESULT hr = s->CreateSource(path, 3840, -2160, 16, 15, INT_MAX, INT_MIN, 29.97, &project, &source, &e);
         SysFreeString(path);
         IProject2* typed = nullptr;
         project->QueryInterface(IID_IProject2, reinterpret_cast<void**>(&typed));
         typed->GetName(&name, &e);
         v = Narrow(name.Text()) + (source != nullptr ? " +source" : "");
         ReleaseAndNull(typed);
         ReleaseAndNull(project);
         ReleaseAndNull(source);
         return hr;
       },
       S_OK, "3840 -2160 16 15 2147483647 -2147483648 29.969999999999999 11 +source"},
      {"four LONGs in, four out",
       [](RemoteCall& t, IServer2*, std::string& v) {
         IProject2* project = t.Open(u"/a/b.orraproj");
         GUID id = kCompB;
         IUnknown *found = nullptr, *rendererObject = nullptr, *optionsObject = nullptr;
         OutText e;
         project->GetSource(&id, &found, &e);
         ISource2* source = nullptr;
         found->QueryInterface(IID_ISource2, reinterpret_cast<void**>(&source));
         source->GetRenderer(&rendererObject, &e);
         IRenderer2* renderer = nullptr;
         rendererObject->QueryInterface(IID_IRenderer2, reinterpret_cast<void**>(&renderer));
         renderer->CreateVideoRenderOptions(&optionsObject, &e);
         IVideoRenderOptions2* options = nullptr;
         optionsObject->QueryInterface(IID_IVideoRenderOptions2, reinterpret_cast<void**>(&options));
         options->SetRegionOfInterest(-1, 2, INT_MAX, INT_MIN, &e);
         LONG l = 0, tp = 0, r = 0, b = 0;
         HRESULT hr = options->GetRegionOfInterest(&l, &tp, &r, &b, &e);
         v = std::to_string(l) + " " + std::to_string(tp) + " " + std::to_string(r) + " " + std::to_string(b);
         for (IUnknown* p : {static_cast<IUnknown*>(options), optionsObject, static_cast<IUnknown*>(renderer),
                             rendererObject, static_cast<IUnknown*>(source), found, static_cast<IUnknown*>(project)}) {
           p->Release();
         }
         return hr;
       },
       S_OK, "-1 2 2147483647 -2147483648"},
  };
  const std::int64_t clientBstrs = platformdebug::LiveBstrCount();
  for (const RoundTrip& row : cases) {
    SCOPED_TRACE(row.name);
    std::string values;
    const HRESULT hr = row.run(*this, server, values);
    EXPECT_EQ(Hex(row.expected), Hex(hr));
    EXPECT_EQ(row.values, values);
    EXPECT_EQ(clientBstrs, platformdebug::LiveBstrCount());
  }
}

TEST_F(RemoteCall, QueryInterfacePassesTheServersAnswerThrough) {
  IOrraExtras2* extras = nullptr;
  EXPECT_EQ(S_OK, server->QueryInterface(IID_IOrraExtras2, reinterpret_cast<void**>(&extras)));
  ISource2* source = nullptr;
  EXPECT_EQ(E_NOINTERFACE, server->QueryInterface(IID_ISource2, reinterpret_cast<void**>(&source)));
  EXPECT_EQ(nullptr, source);
  const IID unknownToThisProcess = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
  void* nothing = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, server->QueryInterface(unknownToThisProcess, &nothing));
  EXPECT_EQ(nullptr, nothing);

  // One identity whatever interface it is reached through.
  IUnknown *viaServer = nullptr, *viaExtras = nullptr;
  server->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaServer));
  extras->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaExtras));
  EXPECT_EQ(viaServer, viaExtras);

  // The interface proxy answers calls of its own interface.
  OutText e;
  BSTR path = SysAllocString(u"ab");
  EXPECT_EQ(S_OK, extras->SendFile(path, &e));
  SysFreeString(path);
  ReleaseAndNull(viaServer);
  ReleaseAndNull(viaExtras);
  ReleaseAndNull(extras);
}

TEST_F(RemoteCall, ObjectsSentBackReachTheServerAsItsOwn) {
  IProject2* project = Open(u"/walk.orraproj");
  OutText e;
  LONG own = 0;
  EXPECT_EQ(S_OK, control->IsOwnObject(project, &own, &e));
  EXPECT_EQ(1, own);
  EXPECT_EQ(S_OK, server->CloseProject(project, &e)) << Narrow(e.Text());

  // Walk the root folder, handing each item back to get the next one.
  IUnknown* rootObject = nullptr;
  ASSERT_EQ(S_OK, project->GetRootItem(&rootObject, &e));
  IContainer2* root = Query<IContainer2>(rootObject, IID_IContainer2);
  std::vector<std::string> names;
  IUnknown* current = nullptr;
  ASSERT_EQ(S_OK, root->GetFirstItem(&current, &e));
  while (current != nullptr) {
    IItem2* item = Query<IItem2>(current, IID_IItem2);
    OutText name;
    item->GetName(&name, &e);
    names.push_back(Narrow(name.Text()));
    ReleaseAndNull(item);
    IUnknown* next = nullptr;
    ASSERT_EQ(S_OK, root->GetNextItem(current, &next, &e)) << Narrow(e.Text());
    current->Release();
    current = next;
  }
  EXPECT_EQ((std::vector<std::string>{"Clip A", "Comp B", "Folder C"}), names);

  // A leaf item is no container; a folder is.
  IUnknown* first = nullptr;
  root->GetFirstItem(&first, &e);
  IContainer2* notContainer = nullptr;
  EXPECT_EQ(E_NOINTERFACE, first->QueryInterface(IID_IContainer2, reinterpret_cast<void**>(&notContainer)));

  // A typed interface pointer goes back as the server's own object too.
  GUID id = kCompB;
  IUnknown *sourceObject = nullptr, *rendererObject = nullptr, *optionsObject = nullptr;
  ASSERT_EQ(S_OK, project->GetSource(&id, &sourceObject, &e));
  ISource2* source = Query<ISource2>(sourceObject, IID_ISource2);
  ASSERT_EQ(S_OK, source->GetRenderer(&rendererObject, &e));
  IRenderer2* renderer = Query<IRenderer2>(rendererObject, IID_IRenderer2);
  ASSERT_EQ(S_OK, renderer->CreateVideoRenderOptions(&optionsObject, &e));
  IVideoRenderOptions2* options = Query<IVideoRenderOptions2>(optionsObject, IID_IVideoRenderOptions2);
  options->SetRowBytes(7680, &e);
  BSTR section = SysAllocString(u"frame");
  EXPECT_EQ(S_OK, renderer->StartVideoRender(options, section, 0x123456789ull, &e)) << Narrow(e.Text());
  SysFreeString(section);
  ULONGLONG value = 0;
  EXPECT_EQ(S_OK, renderer->RenderVideo(-2, 25, &value, &e));
  const ULONGLONG expected = (0x123456789ull << 16) ^ (static_cast<ULONGLONG>(0xFFFFFFFEu) << 8) ^ 25u ^ 7680u ^ 5u;
  EXPECT_EQ(expected, value);

  // A local object is not something the server could use: refused here.
  struct Local : IUnknown {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
  } local;
  EXPECT_EQ(E_INVALIDARG, server->CloseProject(&local, &e));

  for (IUnknown* p : {static_cast<IUnknown*>(options), optionsObject, static_cast<IUnknown*>(renderer), rendererObject,
                      static_cast<IUnknown*>(source), sourceObject, first, static_cast<IUnknown*>(root), rootObject,
                      static_cast<IUnknown*>(project)}) {
    p->Release();
  }
}

TEST_F(RemoteCall, OneRemoteReleaseWhenTheLastLocalReferenceGoes) {
  IProject2* project = Open(u"/counted.orraproj");
  ASSERT_NE(nullptr, project);
  EXPECT_EQ(baselineObjects + 1, ServerObjects());
  for (int i = 0; i < 5; ++i) project->AddRef();
  for (int i = 0; i < 5; ++i) project->Release();
  IUnknown* again = nullptr;
  project->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&again));
  project->Release();
  EXPECT_EQ(baselineObjects + 1, ServerObjects());
  EXPECT_EQ(2, rpc::debug::LiveProxyObjects());  // the server and the project
  again->Release();
  EXPECT_EQ(baselineObjects, ServerObjects());
  EXPECT_EQ(1, rpc::debug::LiveProxyObjects());

  // Each object sent is released when its own proxy goes.
  OutText e;
  IProject2* twice = Open(u"/twice");
  IUnknown *rootA = nullptr, *rootB = nullptr;
  twice->GetRootItem(&rootA, &e);
  twice->GetRootItem(&rootB, &e);
  EXPECT_NE(rootA, rootB);  // two server objects: the items are made on demand
  ReleaseAndNull(rootA);
  ReleaseAndNull(rootB);
  ReleaseAndNull(twice);
  EXPECT_EQ(baselineObjects, ServerObjects());
}

// What a reference hook is told, as "AddRef", "Release" or "QueryInterface
// <interface> <result>", each with the identity of the object whose proxy
// was called.
struct ReferenceRecorder {
  ReferenceRecorder() {
    Seen().clear();
    platformdebug::SetProxyReferenceHook(&Record);
  }
  ~ReferenceRecorder() { platformdebug::SetProxyReferenceHook(nullptr); }
  static std::vector<std::pair<IUnknown*, std::string>>& Seen() {
    static std::vector<std::pair<IUnknown*, std::string>> seen;
    return seen;
  }
  static void Record(IUnknown* identity, platformdebug::ProxyReferenceKind kind, const IID* iid, HRESULT result) {
    using Kind = platformdebug::ProxyReferenceKind;
    std::string text = kind == Kind::kAddRef ? "AddRef" : kind == Kind::kRelease ? "Release" : "QueryInterface ";
    if (kind == Kind::kQueryInterface) {
      text += iid == nullptr                       ? "? "
              : IsEqualIID(*iid, IID_IOrraExtras2) ? "IOrraExtras2 "
              : IsEqualIID(*iid, IID_ISource2)     ? "ISource2 "
                                                   : "other ";
      text += Hex(result);
    }
    Seen().emplace_back(identity, text);
  }
};

TEST_F(RemoteCall, AReferenceHookSeesWhatCallersDoOnProxiesAndNothingOfTheLinksOwn) {
  IUnknown* identity = nullptr;
  ASSERT_EQ(S_OK, server->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
  const long held = platformdebug::ProxyLocalReferences(identity);
  EXPECT_EQ(3, held);  // `server`, `control` (the same object) and `identity`
  const ReferenceRecorder recorder;

  // The link queries and releases while it activates an object and makes
  // proxies for objects it receives; none of that is a caller's.
  IServer2* second = nullptr;
  ASSERT_EQ(S_OK, Activate(&second));
  IUnknown* opened = nullptr;
  OutText e;
  BSTR path = SysAllocString(u"/hooked");
  EXPECT_EQ(S_OK, second->OpenProject(path, &opened, &e));
  SysFreeString(path);
  ASSERT_NE(nullptr, opened);
  EXPECT_TRUE(ReferenceRecorder::Seen().empty());

  // Through any interface proxy, named by the object's identity.
  server->AddRef();
  EXPECT_EQ(held + 1, platformdebug::ProxyLocalReferences(identity));
  IOrraExtras2* extras = Query<IOrraExtras2>(server, IID_IOrraExtras2);
  ISource2* source = nullptr;
  EXPECT_EQ(E_NOINTERFACE, server->QueryInterface(IID_ISource2, reinterpret_cast<void**>(&source)));
  extras->Release();
  server->Release();
  EXPECT_EQ(held, platformdebug::ProxyLocalReferences(identity));
  const std::vector<std::pair<IUnknown*, std::string>> expected = {
      {identity, "AddRef"},
      {identity, "QueryInterface IOrraExtras2 " + Hex(S_OK)},
      {identity, "QueryInterface ISource2 " + Hex(E_NOINTERFACE)},
      {identity, "Release"},
      {identity, "Release"}};
  EXPECT_EQ(expected, ReferenceRecorder::Seen());

  // The last Release is told while the proxy lives; after it the identity
  // names no proxy, which is safe to ask about.
  ReferenceRecorder::Seen().clear();
  EXPECT_EQ(1, platformdebug::ProxyLocalReferences(opened));
  opened->Release();
  EXPECT_EQ((std::vector<std::pair<IUnknown*, std::string>>{{opened, "Release"}}), ReferenceRecorder::Seen());
  EXPECT_EQ(-1, platformdebug::ProxyLocalReferences(opened));
  ReleaseAndNull(second);
  ReleaseAndNull(identity);
}

TEST_F(RemoteCall, TheServerSeesTheCallingClientThread) {
  auto callerSeen = [this] {
    LONG thread = 0;
    OutText e;
    EXPECT_EQ(S_OK, control->GetCallerThread(&thread, &e));
    return static_cast<DWORD>(thread);
  };
  EXPECT_EQ(GetCurrentThreadId(), callerSeen());
  DWORD other = 0, seen = 0;
  std::thread([&] {
    other = GetCurrentThreadId();
    seen = callerSeen();
  }).join();
  EXPECT_EQ(other, seen);
  EXPECT_NE(GetCurrentThreadId(), other);
}

TEST_F(RemoteCall, ManyClientThreadsAreAllAnsweredCorrectly) {
  IProject2* project = Open(u"/threads");
  GUID id = kCompB;
  IUnknown* sourceObject = nullptr;
  OutText e;
  ASSERT_EQ(S_OK, project->GetSource(&id, &sourceObject, &e));
  ISource2* source = Query<ISource2>(sourceObject, IID_ISource2);
  constexpr int kThreads = 8;
  constexpr int kCalls = 10000;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const DWORD self = GetCurrentThreadId();
      for (int i = 0; i < kCalls; ++i) {
        BSTR errorText = nullptr;
        if (i % 1000 == 0) {
          LONG thread = 0;
          if (control->GetCallerThread(&thread, &errorText) != S_OK || static_cast<DWORD>(thread) != self) ++wrong;
          continue;
        }
        const LONG stamp = (i % 2 == 0) ? t * kCalls + i : 0x7FFFFFF0 + (t % 8);
        LONG newer = -1;
        const HRESULT hr = source->IsNewerThan(stamp, &newer, &errorText);
        if (hr != S_OK || newer != (stamp < 0x7FFFFFF0 ? 1 : 0) || errorText != nullptr) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, wrong.load());
  ReleaseAndNull(source);
  ReleaseAndNull(sourceObject);
  ReleaseAndNull(project);
}

}  // namespace
}  // namespace rpctest
