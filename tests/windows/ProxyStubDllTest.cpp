// The contract's proxy/stub DLL (orra_linkserver_ps.dll, built by widl from
// the contract's IDL) as the system's COM uses it: its DllRegisterServer
// writes every interface's ProxyStubClsid32 the way an installer's regsvr32
// does, and an object of the contract's C++ interfaces, living in one
// apartment, is called from another through the generated proxies and
// stubs: every kind of parameter arrives and comes back, and a failure
// brings its code and its text.
#include <contract/LinkServer.h>
#include <contract/LinkServerRows.h>

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

using namespace moravane;

namespace {

constexpr wchar_t kDllName[] = L"orra_linkserver_ps.dll";
// What the test objects answer; a code of their own for a refused request.
constexpr LONG kVersion = 0x00020007;
constexpr ULONGLONG kMinimumMemory = 0x123456789ABCDEF0ull;
constexpr HRESULT kRefused = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x0201);

// A BSTR out-parameter that frees what came back.
struct OutText {
  BSTR value = nullptr;
  OutText() = default;
  OutText(const OutText&) = delete;
  OutText& operator=(const OutText&) = delete;
  ~OutText() { ::SysFreeString(value); }
  BSTR* operator&() { return &value; }
  std::wstring Str() const { return value ? std::wstring(value, ::SysStringLen(value)) : std::wstring(L"(null)"); }
};

BSTR NewText(const std::wstring& text) { return ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())); }
HRESULT Fail(BSTR* errorText, const std::wstring& text) {
  *errorText = NewText(text);
  return kRefused;
}

// Reference counting for the test objects, thread-safe: calls arrive on the
// RPC run-time's threads.
template <class... Interfaces>
class TestObject : public Interfaces... {
 public:
  TestObject() = default;
  TestObject(const TestObject&) = delete;
  TestObject& operator=(const TestObject&) = delete;
  virtual ~TestObject() = default;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --m_references;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    *object = nullptr;
    const bool found = (Offer<Interfaces>(iid, object) || ...);
    if (!found && IsEqualIID(iid, IID_IUnknown)) *object = Identity();
    if (*object == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  IUnknown* Identity() { return static_cast<std::tuple_element_t<0, std::tuple<Interfaces...>>*>(this); }

 private:
  template <class I>
  bool Offer(REFIID iid, void** object) {
    if (!IsEqualIID(iid, comsupport::InterfaceTraits<I>::Id())) return false;
    *object = static_cast<I*>(this);
    return true;
  }
  std::atomic<ULONG> m_references{1};
};

// What the server made of a request: a project that is its own source and
// item, answering with the values that the request carried.
struct ProjectState {
  std::wstring path;
  GUID id{};
  LONG width = 0, height = 0, aspectNumerator = 0, aspectDenominator = 0, durationValue = 0, durationScale = 0;
  double frameRate = 0;
};

class TestProject final : public TestObject<IProject2, ISource2, IItem2> {
 public:
  explicit TestProject(ProjectState state) : m_state(std::move(state)) {}
  // IProject2 and IItem2
  HRESULT STDMETHODCALLTYPE GetName(BSTR* name, BSTR*) override { return (*name = NewText(L"project")), S_OK; }
  HRESULT STDMETHODCALLTYPE GetPath(BSTR* path, BSTR*) override { return (*path = NewText(m_state.path)), S_OK; }
  HRESULT STDMETHODCALLTYPE GetSource(GUID*, IUnknown**, BSTR* errorText) override {
    return Fail(errorText, L"unused");
  }
  HRESULT STDMETHODCALLTYPE GetRootItem(IUnknown**, BSTR* errorText) override { return Fail(errorText, L"unused"); }
  HRESULT STDMETHODCALLTYPE GetID(GUID* id, BSTR*) override { return (*id = m_state.id), S_OK; }
  HRESULT STDMETHODCALLTYPE GetParentItem(IUnknown**, BSTR* errorText) override { return Fail(errorText, L"unused"); }
  HRESULT STDMETHODCALLTYPE GetType(LONG* type, BSTR*) override { return (*type = 3), S_OK; }
  // ISource2
  HRESULT STDMETHODCALLTYPE GetDuration(LONG* value, LONG* scale, BSTR*) override {
    *value = m_state.durationValue;
    *scale = m_state.durationScale;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPixelAspectRatio(LONG* numerator, LONG* denominator, BSTR*) override {
    *numerator = m_state.aspectNumerator;
    *denominator = m_state.aspectDenominator;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetFrameSize(LONG* width, LONG* height, BSTR*) override {
    *width = m_state.width;
    *height = m_state.height;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetFrameRate(double* rate, BSTR*) override { return (*rate = m_state.frameRate), S_OK; }
  HRESULT STDMETHODCALLTYPE GetBitDepth(LONG*, BSTR* errorText) override { return Fail(errorText, L"unused"); }
  HRESULT STDMETHODCALLTYPE GetTimeStamp(LONG*, BSTR* errorText) override { return Fail(errorText, L"unused"); }
  HRESULT STDMETHODCALLTYPE IsNewerThan(LONG stamp, LONG* newer, BSTR*) override {
    *newer = stamp < m_state.width ? 1 : 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE HasAudio(LONG*, BSTR* errorText) override { return Fail(errorText, L"unused"); }
  HRESULT STDMETHODCALLTYPE HasVideo(LONG*, BSTR* errorText) override { return Fail(errorText, L"unused"); }
  HRESULT STDMETHODCALLTYPE GetRenderer(IUnknown**, BSTR* errorText) override { return Fail(errorText, L"unused"); }

 private:
  const ProjectState m_state;
};

class TestServer final : public TestObject<IServer2> {
 public:
  HRESULT STDMETHODCALLTYPE GetVersion(LONG* version, BSTR*) override { return Seen(), (*version = kVersion), S_OK; }
  HRESULT STDMETHODCALLTYPE GetMinimumMemoryRequirements(ULONGLONG* bytes, BSTR*) override {
    return (*bytes = kMinimumMemory), S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetIdleTimeMemoryUsage(ULONGLONG bytes, BSTR*) override { return (m_memory = bytes), S_OK; }
  HRESULT STDMETHODCALLTYPE SetTemporaryMemoryUsage(ULONGLONG, BSTR* errorText) override {
    return Fail(errorText, L"unused");
  }
  HRESULT STDMETHODCALLTYPE GetCurrentMemoryUsage(ULONGLONG* bytes, BSTR*) override {
    return (*bytes = m_memory), S_OK;
  }
  HRESULT STDMETHODCALLTYPE PurgeMemory(BSTR* errorText) override { return Fail(errorText, L"nothing to purge"); }
  HRESULT STDMETHODCALLTYPE CacheFinalFrame(LONG, BSTR*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetProjectExtension(BSTR* extension, BSTR*) override {
    return (*extension = NewText(L".orraproj")), S_OK;
  }
  HRESULT STDMETHODCALLTYPE OpenProject(BSTR path, IUnknown** project, BSTR* errorText) override {
    if (::SysStringLen(path) == 0) return Fail(errorText, L"no project at ''");
    ProjectState state;
    state.path.assign(path, ::SysStringLen(path));
    *project = Keep(new TestProject(state));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OpenProjectShowSource(BSTR path, GUID* sourceId, IUnknown** project, IUnknown** source,
                                                  BSTR*) override {
    ProjectState state;
    state.path.assign(path, ::SysStringLen(path));
    state.id = *sourceId;
    *project = Keep(new TestProject(state));
    *source = *project;
    (*source)->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CloseProject(IUnknown* project, BSTR* errorText) override {
    // A proxy handed back to the apartment of its object arrives as the
    // object itself; anything else is not one of ours.
    for (IUnknown* known : m_projects)
      if (known == project) return S_OK;
    return Fail(errorText, L"not a project of this server");
  }
  HRESULT STDMETHODCALLTYPE CreateSource(BSTR path, LONG width, LONG height, LONG aspectNumerator,
                                         LONG aspectDenominator, LONG durationValue, LONG durationScale,
                                         double frameRate, IUnknown** project, IUnknown** source, BSTR*) override {
    ProjectState state{std::wstring(path, ::SysStringLen(path)),
                       GUID{},
                       width,
                       height,
                       aspectNumerator,
                       aspectDenominator,
                       durationValue,
                       durationScale,
                       frameRate};
    *project = nullptr;
    *source = Keep(new TestProject(state));
    return S_OK;
  }

  DWORD LastCallThread() const { return m_thread; }

 private:
  ~TestServer() override {
    for (IUnknown* project : m_projects) project->Release();
  }
  void Seen() { m_thread = ::GetCurrentThreadId(); }
  // One reference stays with the server, so that CloseProject can tell its
  // own projects by address; the other goes to the caller.
  IUnknown* Keep(TestProject* project) {
    IUnknown* identity = project->Identity();
    identity->AddRef();
    m_projects.push_back(identity);
    return identity;
  }

  std::atomic<ULONGLONG> m_memory{0};
  std::atomic<DWORD> m_thread{0};
  std::vector<IUnknown*> m_projects;  // calls on one proxy come one at a time
};

using DllEntry = HRESULT(STDAPICALLTYPE*)();

// The proxy/stub DLL, loaded from beside this program as regsvr32 loads it.
HMODULE ProxyStubDll() {
  static const HMODULE dll = ::LoadLibraryW(kDllName);
  return dll;
}

HRESULT CallEntry(const char* name) {
  const FARPROC entry = ::GetProcAddress(ProxyStubDll(), name);
  if (entry == nullptr) return HRESULT_FROM_WIN32(::GetLastError());
  return reinterpret_cast<DllEntry>(reinterpret_cast<void*>(entry))();
}

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return text;
}

// The default value of HKEY_CLASSES_ROOT\<key>, or "(absent)".
std::wstring ClassesValue(const std::wstring& key, const wchar_t* name = nullptr) {
  wchar_t value[MAX_PATH * 2] = {};
  DWORD size = sizeof(value);
  const LSTATUS status = ::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size);
  return status == ERROR_SUCCESS ? std::wstring(value) : std::wstring(L"(absent)");
}

bool SameGuidText(const std::wstring& text, const GUID& expected) {
  GUID parsed{};
  return SUCCEEDED(::CLSIDFromString(text.c_str(), &parsed)) && IsEqualGUID(parsed, expected);
}

struct InterfaceEntry {
  const char* name;
  const IID* iid;
  int methods;
};

template <class... Rows>
std::vector<InterfaceEntry> EveryInterface(std::tuple<Rows...>*) {
  // The names in the order of MORAVANE_LINK_SERVER_INTERFACES, as are the rows.
#define MORAVANE_NAME(Interface) #Interface,
  const char* names[] = {MORAVANE_LINK_SERVER_INTERFACES(MORAVANE_NAME)};
#undef MORAVANE_NAME
  std::vector<InterfaceEntry> entries;
  int index = 0;
  ((entries.push_back(
       {names[index++], &comsupport::InterfaceTraits<typename Rows::Interface>::Id(), 3 + Rows::kMethodCount})),
   ...);
  return entries;
}

TEST(ProxyStubDll, RegistersEveryInterfaceOfTheContract) {
  ASSERT_NE(ProxyStubDll(), nullptr) << "cannot load " << kDllName;
  const std::vector<InterfaceEntry> interfaces = EveryInterface(static_cast<LinkServerRows*>(nullptr));
  ASSERT_EQ(interfaces.size(), 9u);
  // The factory's class: IServer2's identifier, for every interface.
  const std::wstring factoryKey = L"CLSID\\" + GuidText(IID_IServer2) + L"\\InProcServer32";

  ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  ASSERT_EQ(CallEntry("DllUnregisterServer"), S_OK);
  for (const InterfaceEntry& entry : interfaces)
    EXPECT_EQ(ClassesValue(L"Interface\\" + GuidText(*entry.iid)), L"(absent)") << entry.name;
  EXPECT_EQ(ClassesValue(factoryKey), L"(absent)");

  ASSERT_EQ(CallEntry("DllRegisterServer"), S_OK);
  for (const InterfaceEntry& entry : interfaces) {
    SCOPED_TRACE(entry.name);
    const std::wstring key = L"Interface\\" + GuidText(*entry.iid);
    EXPECT_EQ(ClassesValue(key), std::wstring(entry.name, entry.name + std::strlen(entry.name)));
    EXPECT_TRUE(SameGuidText(ClassesValue(key + L"\\ProxyStubClsid32"), IID_IServer2))
        << ClassesValue(key + L"\\ProxyStubClsid32");
    // The generated proxy's size against the contract's rows.
    EXPECT_EQ(ClassesValue(key + L"\\NumMethods"), std::to_wstring(entry.methods));
    CLSID found{};
    EXPECT_EQ(::CoGetPSClsid(*entry.iid, &found), S_OK);
    EXPECT_TRUE(IsEqualGUID(found, IID_IServer2));
  }
  wchar_t path[MAX_PATH] = {};
  ASSERT_NE(::GetModuleFileNameW(ProxyStubDll(), path, MAX_PATH), 0u);
  EXPECT_EQ(ClassesValue(factoryKey), path);
  EXPECT_EQ(ClassesValue(factoryKey, L"ThreadingModel"), L"Both");
  EXPECT_EQ(CallEntry("DllCanUnloadNow"), S_OK) << "no proxy or stub of it is alive";
  ::CoUninitialize();
}

// Runs `client` on this thread, a single-threaded apartment, against a
// TestServer that lives in the multithreaded apartment of another thread,
// so that every call crosses apartments through the proxies and stubs.
void AcrossApartments(const std::function<void(IServer2*, TestServer*)>& client) {
  ASSERT_NE(ProxyStubDll(), nullptr) << "cannot load " << kDllName;
  ASSERT_EQ(CallEntry("DllRegisterServer"), S_OK);
  ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  HANDLE marshalled = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  IStream* stream = nullptr;
  TestServer* object = nullptr;
  HRESULT marshalResult = E_UNEXPECTED;
  std::thread server([&] {
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    object = new TestServer;
    marshalResult = ::CoMarshalInterThreadInterfaceInStream(IID_IServer2, static_cast<IServer2*>(object), &stream);
    ::SetEvent(marshalled);
    ::WaitForSingleObject(done, INFINITE);
    object->Release();
    ::CoUninitialize();
  });
  ::WaitForSingleObject(marshalled, INFINITE);
  IServer2* proxy = nullptr;
  EXPECT_EQ(marshalResult, S_OK);
  if (SUCCEEDED(marshalResult)) {
    EXPECT_EQ(::CoGetInterfaceAndReleaseStream(stream, IID_IServer2, reinterpret_cast<void**>(&proxy)), S_OK);
  }
  if (proxy != nullptr) {
    EXPECT_NE(static_cast<void*>(proxy), static_cast<void*>(object)) << "a proxy, not the object itself";
    client(proxy, object);
    proxy->Release();
  }
  ::SetEvent(done);
  server.join();
  ::CloseHandle(marshalled);
  ::CloseHandle(done);
  ::CoUninitialize();
}

template <class I>
I* As(IUnknown* object) {
  I* result = nullptr;
  if (object != nullptr)
    object->QueryInterface(comsupport::InterfaceTraits<I>::Id(), reinterpret_cast<void**>(&result));
  return result;
}

// Releases the objects that a case got back.
struct Held {
  std::vector<IUnknown*> objects;
  ~Held() {
    for (IUnknown* object : objects)
      if (object != nullptr) object->Release();
  }
  template <class T>
  T* operator()(T* object) {
    if (object != nullptr) objects.push_back(object);
    return object;
  }
};

TEST(ProxyStubDll, CarriesEveryParameterKindAcrossApartments) {
  // A path with a character beyond Latin-1 and an embedded NUL: a BSTR
  // carries its length, not a terminator.
  const std::wstring path(L"C:\\projects\\K\u00f6ln \u6771\0tail.orraproj", 34);
  const GUID sourceId = {0x01234567, 0x89AB, 0xCDEF, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};

  struct Case {
    const char* name;
    std::function<void(IServer2*, TestServer*)> run;
  };
  const Case cases[] = {
      {"LONG out, on a thread of the object's apartment",
       [](IServer2* server, TestServer* object) {
         LONG version = 0;
         OutText error;
         EXPECT_EQ(server->GetVersion(&version, &error), S_OK);
         EXPECT_EQ(version, kVersion);
         EXPECT_EQ(error.value, nullptr);
         EXPECT_NE(object->LastCallThread(), ::GetCurrentThreadId());
       }},
      {"ULONGLONG out, all 64 bits",
       [](IServer2* server, TestServer*) {
         ULONGLONG bytes = 0;
         OutText error;
         EXPECT_EQ(server->GetMinimumMemoryRequirements(&bytes, &error), S_OK);
         EXPECT_EQ(bytes, kMinimumMemory);
       }},
      {"ULONGLONG in, then out",
       [](IServer2* server, TestServer*) {
         ULONGLONG bytes = 0;
         OutText set, get;
         EXPECT_EQ(server->SetIdleTimeMemoryUsage(0xFEDCBA9876543210ull, &set), S_OK);
         EXPECT_EQ(server->GetCurrentMemoryUsage(&bytes, &get), S_OK);
         EXPECT_EQ(bytes, 0xFEDCBA9876543210ull);
       }},
      {"BSTR out",
       [](IServer2* server, TestServer*) {
         OutText extension, error;
         EXPECT_EQ(server->GetProjectExtension(&extension, &error), S_OK);
         EXPECT_EQ(extension.Str(), L".orraproj");
       }},
      {"BSTR in, object out, BSTR back through the object's own proxy",
       [&path](IServer2* server, TestServer*) {
         Held held;
         IUnknown* project = nullptr;
         OutText error, back, backError;
         BSTR in = NewText(path);
         EXPECT_EQ(server->OpenProject(in, &project, &error), S_OK);
         ::SysFreeString(in);
         held(project);
         IProject2* asProject = held(As<IProject2>(project));
         ASSERT_NE(asProject, nullptr);
         EXPECT_EQ(asProject->GetPath(&back, &backError), S_OK);
         EXPECT_EQ(back.Str(), path);
       }},
      {"GUID in, two objects out, GUID out",
       [&path, &sourceId](IServer2* server, TestServer*) {
         Held held;
         IUnknown *project = nullptr, *source = nullptr;
         OutText error, idError;
         BSTR in = NewText(path);
         EXPECT_EQ(server->OpenProjectShowSource(in, const_cast<GUID*>(&sourceId), &project, &source, &error), S_OK);
         ::SysFreeString(in);
         held(project);
         held(source);
         IItem2* item = held(As<IItem2>(source));
         ASSERT_NE(item, nullptr);
         GUID id{};
         EXPECT_EQ(item->GetID(&id, &idError), S_OK);
         EXPECT_TRUE(IsEqualGUID(id, sourceId));
       }},
      {"LONG and double in, null object and object out, LONGs and double out",
       [](IServer2* server, TestServer*) {
         Held held;
         IUnknown *project = reinterpret_cast<IUnknown*>(1), *source = nullptr;
         OutText error, e1, e2, e3, e4, e5;
         BSTR in = NewText(L"generated");
         EXPECT_EQ(server->CreateSource(in, 1920, -1080, 2147483647, -2147483647 - 1, 1001, 30000, 29.97002997,
                                        &project, &source, &error),
                   S_OK);
         ::SysFreeString(in);
         EXPECT_EQ(project, nullptr);
         held(source);
         ISource2* asSource = held(As<ISource2>(source));
         ASSERT_NE(asSource, nullptr);
         LONG a = 0, b = 0;
         EXPECT_EQ(asSource->GetFrameSize(&a, &b, &e1), S_OK);
         EXPECT_EQ(std::make_pair(a, b), std::make_pair(LONG{1920}, LONG{-1080}));
         EXPECT_EQ(asSource->GetPixelAspectRatio(&a, &b, &e2), S_OK);
         EXPECT_EQ(std::make_pair(a, b), std::make_pair(LONG{2147483647}, LONG{-2147483647 - 1}));
         EXPECT_EQ(asSource->GetDuration(&a, &b, &e3), S_OK);
         EXPECT_EQ(std::make_pair(a, b), std::make_pair(LONG{1001}, LONG{30000}));
         double rate = 0;
         EXPECT_EQ(asSource->GetFrameRate(&rate, &e4), S_OK);
         EXPECT_EQ(rate, 29.97002997);
         EXPECT_EQ(asSource->IsNewerThan(1919, &a, &e5), S_OK);
         EXPECT_EQ(a, 1);
       }},
      {"IUnknown in: the server's own object comes home as itself",
       [&path](IServer2* server, TestServer*) {
         Held held;
         IUnknown* project = nullptr;
         OutText error, closeError;
         BSTR in = NewText(path);
         EXPECT_EQ(server->OpenProject(in, &project, &error), S_OK);
         ::SysFreeString(in);
         held(project);
         EXPECT_EQ(server->CloseProject(project, &closeError), S_OK) << closeError.Str();
       }},
      {"IUnknown in: a caller's object arrives as a proxy, refused with its text",
       [](IServer2* server, TestServer*) {
         Held held;
         IStream* local = nullptr;
         ASSERT_EQ(::CreateStreamOnHGlobal(nullptr, TRUE, &local), S_OK);
         held(local);
         OutText error;
         EXPECT_EQ(server->CloseProject(local, &error), kRefused);
         EXPECT_EQ(error.Str(), L"not a project of this server");
       }},
      {"failure: the code, the text, a null object",
       [](IServer2* server, TestServer*) {
         IUnknown* project = reinterpret_cast<IUnknown*>(1);
         OutText error;
         BSTR empty = NewText(L"");
         EXPECT_EQ(server->OpenProject(empty, &project, &error), kRefused);
         ::SysFreeString(empty);
         EXPECT_EQ(project, nullptr);
         EXPECT_EQ(error.Str(), L"no project at ''");
       }},
      {"failure with no out-value but the text",
       [](IServer2* server, TestServer*) {
         OutText error;
         EXPECT_EQ(server->PurgeMemory(&error), kRefused);
         EXPECT_EQ(error.Str(), L"nothing to purge");
       }},
  };
  AcrossApartments([&](IServer2* server, TestServer* object) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      c.run(server, object);
    }
  });
}

}  // namespace
