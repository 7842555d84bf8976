// A small link server for the tests of the out-of-process link: simple
// objects behind several of the link server's interfaces and the control
// interface, published as CLSID_TestLinkServer.
//
//   rpc_test_server                 publishes, prints "ready", runs until SIGTERM
//                                   or until its standard input ends (the test
//                                   that started it is gone)
//   rpc_test_server ... -Embedding  started by activation: also ends when the
//                                   last object is gone
//   rpc_test_server --hold N        a client: activates, opens N projects,
//                                   prints "holding" and waits to be killed
#include "TestControl.h"

#include <contract/LinkServer.h>
#include <contract/LinkServerProxyStub.h>

#include <comsupport/ClassFactory.h>
#include <platformdebug.h>
#include <rpc/Rpc.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

using namespace moravane;
using rpctest::ITestControl;

namespace {

std::atomic<LONG> g_liveObjects{0};
std::atomic<bool> g_created{false};

// Answered only by this server's own objects, never by a proxy: tells a
// test whether an interface pointer came back as the original object.
const IID IID_IOwnObject = {0x2F0D6B41, 0x77C8, 0x4A9E, {0x8E, 0x15, 0xC3, 0x0A, 0x5D, 0x92, 0x61, 0x7F}};

BSTR Text(const char16_t* text) { return SysAllocString(text); }

HRESULT Fail(BSTR* errorText, HRESULT hr, const char16_t* text) {
  *errorText = Text(text);
  return hr;
}

// Reference counting and the object census shared by every test object.
// Listed first among the bases of every test object, so an object's COM
// interfaces never start at its address: Find must always cast.
class Counted {
 public:
  Counted() {
    g_liveObjects.fetch_add(1);
    g_created = true;
  }
  virtual ~Counted() { g_liveObjects.fetch_sub(1); }
  ULONG AddRefImpl() { return m_refs.fetch_add(1) + 1; }
  ULONG ReleaseImpl() {
    const ULONG left = m_refs.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<ULONG> m_refs{1};
};

#define TEST_IUNKNOWN                                                            \
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }             \
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }           \
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override { \
    *object = Find(iid);                                                         \
    if (*object == nullptr) return E_NOINTERFACE;                                \
    AddRefImpl();                                                                \
    return S_OK;                                                                 \
  }

// --- Project tree ------------------------------------------------------------

enum NodeType : LONG { kFolder = 1, kClip = 2, kComposition = 3 };

struct Node {
  std::u16string name;
  GUID id;
  LONG type;
  int parent;
  std::vector<int> children;
};

GUID MakeGuid(std::uint32_t seed) {
  GUID id{seed, 0x1234, 0x5678, {0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, static_cast<BYTE>(seed)}};
  return id;
}

struct Tree {
  std::vector<Node> nodes;
  Tree() {
    nodes.push_back({u"Root", MakeGuid(100), kFolder, -1, {1, 2, 3}});
    nodes.push_back({u"Clip A", MakeGuid(101), kClip, 0, {}});
    nodes.push_back({u"Comp B", MakeGuid(102), kComposition, 0, {}});
    nodes.push_back({u"Folder C", MakeGuid(103), kFolder, 0, {4}});
    nodes.push_back({u"Comp D", MakeGuid(104), kComposition, 3, {}});
  }
  int Find(const GUID& id) const {
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (nodes[i].id == id) return static_cast<int>(i);
    }
    return -1;
  }
};

class Renderer;

// An item of the tree: a container when it is a folder, a source when it is
// a composition. Items are made on demand; the tree is shared.
class Item final : public Counted, public IItem2, public IContainer2, public ISource2 {
 public:
  Item(std::shared_ptr<const Tree> tree, int index) : m_tree(std::move(tree)), m_index(index) {}
  TEST_IUNKNOWN

  static Item* Own(IUnknown* object) {
    Item* item = nullptr;
    if (object == nullptr || FAILED(object->QueryInterface(IID_IItemImpl, reinterpret_cast<void**>(&item)))) {
      return nullptr;
    }
    item->Release();  // the caller's pointer keeps it alive for the call
    return item;
  }

  // IItem2
  HRESULT STDMETHODCALLTYPE GetName(BSTR* name, BSTR*) override {
    *name = Text(Self().name.c_str());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetID(GUID* id, BSTR*) override {
    *id = Self().id;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetParentItem(IUnknown** parent, BSTR*) override {
    if (Self().parent >= 0) *parent = static_cast<IItem2*>(new Item(m_tree, Self().parent));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetType(LONG* type, BSTR*) override {
    *type = Self().type;
    return S_OK;
  }
  // IContainer2
  HRESULT STDMETHODCALLTYPE GetFirstItem(IUnknown** first, BSTR*) override {
    if (!Self().children.empty()) *first = static_cast<IItem2*>(new Item(m_tree, Self().children.front()));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetNextItem(IUnknown* current, IUnknown** next, BSTR* errorText) override {
    Item* item = Own(current);
    if (item == nullptr) return Fail(errorText, E_INVALIDARG, u"not an item of this server");
    const std::vector<int>& siblings = Self().children;
    for (std::size_t i = 0; i + 1 < siblings.size(); ++i) {
      if (siblings[i] == item->m_index) *next = static_cast<IItem2*>(new Item(m_tree, siblings[i + 1]));
    }
    return S_OK;
  }
  // ISource2
  HRESULT STDMETHODCALLTYPE GetDuration(LONG* value, LONG* scale, BSTR*) override {
    *value = 1001 * (m_index + 1);
    *scale = 30000;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPixelAspectRatio(LONG* numerator, LONG* denominator, BSTR*) override {
    *numerator = 10;
    *denominator = 11;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetFrameSize(LONG* width, LONG* height, BSTR*) override {
    *width = 1920;
    *height = -1080;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetFrameRate(double* rate, BSTR*) override {
    *rate = 30000.0 / 1001.0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBitDepth(LONG* depth, BSTR*) override {
    *depth = 16;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTimeStamp(LONG* stamp, BSTR*) override {
    *stamp = 0x7FFFFFF0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsNewerThan(LONG stamp, LONG* newer, BSTR*) override {
    *newer = stamp < 0x7FFFFFF0 ? 1 : 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE HasAudio(LONG* hasAudio, BSTR*) override {
    *hasAudio = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE HasVideo(LONG* hasVideo, BSTR*) override {
    *hasVideo = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetRenderer(IUnknown** renderer, BSTR*) override;

  static const IID IID_IItemImpl;

 private:
  const Node& Self() const { return m_tree->nodes[m_index]; }
  void* Find(REFIID iid) {
    if (iid == IID_IUnknown || iid == IID_IItem2 || iid == IID_IOwnObject) return static_cast<IItem2*>(this);
    if (iid == IID_IItemImpl) return this;
    if (iid == IID_IContainer2 && Self().type == kFolder) return static_cast<IContainer2*>(this);
    if (iid == IID_ISource2 && Self().type == kComposition) return static_cast<ISource2*>(this);
    return nullptr;
  }

  std::shared_ptr<const Tree> m_tree;
  int m_index;
};
const IID Item::IID_IItemImpl = {0x5A11E2C4, 0x0D3B, 0x4B6A, {0x91, 0x7E, 0x2C, 0x40, 0xAB, 0x19, 0x6D, 0x03}};

class VideoOptions final : public Counted, public IVideoRenderOptions2 {
 public:
  TEST_IUNKNOWN
#define TEST_PAIR(Name, index)                                       \
  HRESULT STDMETHODCALLTYPE Set##Name(LONG value, BSTR*) override {  \
    m_values[index] = value;                                         \
    return S_OK;                                                     \
  }                                                                  \
  HRESULT STDMETHODCALLTYPE Get##Name(LONG* value, BSTR*) override { \
    *value = m_values[index];                                        \
    return S_OK;                                                     \
  }
#define TEST_PAIR2(Name, index)                                           \
  HRESULT STDMETHODCALLTYPE Set##Name(LONG a, LONG b, BSTR*) override {   \
    m_values[index] = a;                                                  \
    m_values[index + 1] = b;                                              \
    return S_OK;                                                          \
  }                                                                       \
  HRESULT STDMETHODCALLTYPE Get##Name(LONG* a, LONG* b, BSTR*) override { \
    *a = m_values[index];                                                 \
    *b = m_values[index + 1];                                             \
    return S_OK;                                                          \
  }
  TEST_PAIR(LowQuality, 0)
  TEST_PAIR(PreMultiply, 1)
  TEST_PAIR(FieldOrder, 2)
  TEST_PAIR(BitDepth, 3)
  TEST_PAIR(ChannelOrder, 4)
  TEST_PAIR(RowBytes, 5)
  TEST_PAIR(RenderGuideLayers, 6)
  TEST_PAIR2(TimeStep, 7)
  TEST_PAIR2(Bounds, 9)
  TEST_PAIR2(DownsampleFactor, 11)
#undef TEST_PAIR
#undef TEST_PAIR2
  HRESULT STDMETHODCALLTYPE SetRegionOfInterest(LONG left, LONG top, LONG right, LONG bottom, BSTR*) override {
    m_values[13] = left, m_values[14] = top, m_values[15] = right, m_values[16] = bottom;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetRegionOfInterest(LONG* left, LONG* top, LONG* right, LONG* bottom, BSTR*) override {
    *left = m_values[13], *top = m_values[14], *right = m_values[15], *bottom = m_values[16];
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetMaxMemoryRequiredForFrame(ULONGLONG* bytes, BSTR*) override {
    *bytes = static_cast<ULONGLONG>(m_values[5]) * static_cast<ULONGLONG>(m_values[10]);
    return S_OK;
  }

 private:
  void* Find(REFIID iid) {
    if (iid == IID_IUnknown || iid == IID_IVideoRenderOptions2 || iid == IID_IOwnObject) {
      return static_cast<IVideoRenderOptions2*>(this);
    }
    return nullptr;
  }
  LONG m_values[17] = {};
};

class Renderer final : public Counted, public IRenderer2 {
 public:
  TEST_IUNKNOWN
  HRESULT STDMETHODCALLTYPE CreateVideoRenderOptions(IUnknown** options, BSTR*) override {
    *options = new VideoOptions;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateAudioRenderOptions(IUnknown**, BSTR* errorText) override {
    return Fail(errorText, E_NOTIMPL, u"no audio here");
  }
  HRESULT STDMETHODCALLTYPE StartVideoRender(IVideoRenderOptions2* options, BSTR sectionName, ULONGLONG sectionSize,
                                             BSTR* errorText) override {
    IUnknown* own = nullptr;
    if (options == nullptr || FAILED(options->QueryInterface(IID_IOwnObject, reinterpret_cast<void**>(&own)))) {
      return Fail(errorText, E_INVALIDARG, u"options of another server");
    }
    own->Release();
    LONG rowBytes = 0;
    options->GetRowBytes(&rowBytes, nullptr);
    m_section = sectionName != nullptr ? std::u16string(sectionName, SysStringLen(sectionName)) : u"";
    m_size = sectionSize;
    m_rowBytes = rowBytes;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RenderVideo(LONG timeValue, LONG timeScale, ULONGLONG* value, BSTR* errorText) override {
    if (m_section.empty()) return Fail(errorText, E_UNEXPECTED, u"no render started");
    // Echoes what the render was started with, so that a test sees every
    // value that went in.
    *value = (m_size << 16) ^ (static_cast<ULONGLONG>(static_cast<std::uint32_t>(timeValue)) << 8) ^
             static_cast<std::uint32_t>(timeScale) ^ static_cast<ULONGLONG>(m_rowBytes) ^ m_section.size();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EndVideoRender(BSTR*) override {
    m_section.clear();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE StartAudioRender(LONG, LONG, LONG, IAudioRenderOptions2*, BSTR, ULONGLONG,
                                             BSTR* errorText) override {
    return Fail(errorText, E_NOTIMPL, u"no audio here");
  }
  HRESULT STDMETHODCALLTYPE GetNextAudioBuffer(ULONGLONG*, BSTR* errorText) override {
    return Fail(errorText, E_NOTIMPL, u"no audio here");
  }
  HRESULT STDMETHODCALLTYPE EndAudioRender(BSTR*) override { return S_OK; }

 private:
  void* Find(REFIID iid) {
    if (iid == IID_IUnknown || iid == IID_IRenderer2 || iid == IID_IOwnObject) return static_cast<IRenderer2*>(this);
    return nullptr;
  }
  std::u16string m_section;
  ULONGLONG m_size = 0;
  LONG m_rowBytes = 0;
};

HRESULT Item::GetRenderer(IUnknown** renderer, BSTR*) {
  *renderer = new Renderer;
  return S_OK;
}

class Project final : public Counted, public IProject2 {
 public:
  Project(std::u16string path) : m_path(std::move(path)), m_tree(std::make_shared<Tree>()) {}
  TEST_IUNKNOWN
  HRESULT STDMETHODCALLTYPE GetName(BSTR* name, BSTR*) override {
    const std::size_t slash = m_path.find_last_of(u'/');
    *name = Text(m_path.substr(slash == std::u16string::npos ? 0 : slash + 1).c_str());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPath(BSTR* path, BSTR*) override {
    *path = SysAllocStringLen(m_path.data(), static_cast<UINT>(m_path.size()));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSource(GUID* sourceId, IUnknown** source, BSTR* errorText) override {
    if (sourceId == nullptr) return Fail(errorText, E_POINTER, u"no source id");
    const int index = m_tree->Find(*sourceId);
    if (index < 0 || m_tree->nodes[index].type != kComposition) {
      return Fail(errorText, E_INVALIDARG, u"no such source");
    }
    *source = static_cast<ISource2*>(new Item(m_tree, index));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetRootItem(IUnknown** item, BSTR*) override {
    *item = static_cast<IItem2*>(new Item(m_tree, 0));
    return S_OK;
  }
  const std::shared_ptr<Tree>& GetTree() const { return m_tree; }
  static const IID IID_IProjectImpl;

 private:
  void* Find(REFIID iid) {
    if (iid == IID_IUnknown || iid == IID_IProject2 || iid == IID_IOwnObject) return static_cast<IProject2*>(this);
    if (iid == IID_IProjectImpl) return this;
    return nullptr;
  }
  std::u16string m_path;
  std::shared_ptr<Tree> m_tree;
};
const IID Project::IID_IProjectImpl = {0x7B2C0E93, 0x1F4D, 0x46A5, {0xA3, 0x6B, 0x90, 0x12, 0xCE, 0x7D, 0x48, 0x5E}};

class Server final : public Counted, public IServer2, public IOrraExtras2, public ITestControl {
 public:
  TEST_IUNKNOWN
  // IServer2
  HRESULT STDMETHODCALLTYPE GetVersion(LONG* version, BSTR*) override {
    *version = 7;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetMinimumMemoryRequirements(ULONGLONG* bytes, BSTR*) override {
    *bytes = 0xFEDCBA9876543210ull;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetIdleTimeMemoryUsage(ULONGLONG bytes, BSTR*) override {
    m_idle = bytes;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetTemporaryMemoryUsage(ULONGLONG bytes, BSTR* errorText) override {
    if (bytes == 0) return Fail(errorText, E_INVALIDARG, u"temporary budget must not be zero \u2713");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetCurrentMemoryUsage(ULONGLONG* bytes, BSTR*) override {
    *bytes = m_idle;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE PurgeMemory(BSTR* errorText) override {
    // Success with an error text: the text must travel all the same.
    *errorText = Text(u"purged, with a remark");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CacheFinalFrame(LONG, BSTR*) override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE GetProjectExtension(BSTR* extension, BSTR*) override {
    *extension = Text(u".orraproj");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OpenProject(BSTR path, IUnknown** project, BSTR* errorText) override {
    if (SysStringLen(path) == 0) return Fail(errorText, E_INVALIDARG, u"no path");
    *project = static_cast<IProject2*>(new Project(std::u16string(path, SysStringLen(path))));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OpenProjectShowSource(BSTR path, GUID* sourceId, IUnknown** project, IUnknown** source,
                                                  BSTR* errorText) override {
    HRESULT hr = OpenProject(path, project, errorText);
    if (FAILED(hr)) return hr;
    IProject2* opened = nullptr;
    (*project)->QueryInterface(IID_IProject2, reinterpret_cast<void**>(&opened));
    hr = opened->GetSource(sourceId, source, errorText);
    opened->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE CloseProject(IUnknown* project, BSTR* errorText) override {
    Project* own = nullptr;
    if (project == nullptr ||
        FAILED(project->QueryInterface(Project::IID_IProjectImpl, reinterpret_cast<void**>(&own)))) {
      return Fail(errorText, E_INVALIDARG, u"not a project of this server");
    }
    static_cast<IProject2*>(own)->Release();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateSource(BSTR path, LONG width, LONG height, LONG aspectNumerator,
                                         LONG aspectDenominator, LONG durationValue, LONG durationScale,
                                         double frameRate, IUnknown** project, IUnknown** source,
                                         BSTR* errorText) override {
    // The created "source" reports what it was created with through its
    // project's name, so that every argument is seen by the test.
    char text[256];
    std::snprintf(text, sizeof text, "%d %d %d %d %d %d %.17g %u", width, height, aspectNumerator, aspectDenominator,
                  durationValue, durationScale, frameRate, SysStringLen(path));
    std::u16string name;
    for (const char* c = text; *c != 0; ++c) name.push_back(static_cast<char16_t>(*c));
    auto* created = new Project(name);
    *project = static_cast<IProject2*>(created);
    return created->GetSource(&const_cast<GUID&>(created->GetTree()->nodes[2].id), source, errorText);
  }
  // IOrraExtras2
  HRESULT STDMETHODCALLTYPE SendFile(BSTR path, BSTR* errorText) override {
    if (path == nullptr) return Fail(errorText, E_POINTER, u"null path");
    return SysStringByteLen(path) % 2 == 0 ? S_OK : E_INVALIDARG;
  }
  HRESULT STDMETHODCALLTYPE AnnounceSelfLink(BSTR*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE WithdrawSelfLink(BSTR*) override { return S_OK; }
  // ITestControl
  HRESULT STDMETHODCALLTYPE GetLiveObjects(LONG* objects, BSTR*) override {
    *objects = g_liveObjects.load();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetExportedObjects(LONG* objects, BSTR*) override {
    *objects = static_cast<LONG>(rpc::debug::ExportedObjects());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetLiveBstrs(LONG* bstrs, BSTR*) override {
    *bstrs = static_cast<LONG>(platformdebug::LiveBstrCount());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetCallerThread(LONG* thread, BSTR*) override {
    *thread = static_cast<LONG>(platformdebug::CallerThreadId());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Sleep(LONG milliseconds, BSTR*) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetProcessId(LONG* process, BSTR*) override {
    *process = static_cast<LONG>(::getpid());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsOwnObject(IUnknown* object, LONG* own, BSTR*) override {
    IUnknown* found = nullptr;
    *own = object != nullptr && SUCCEEDED(object->QueryInterface(IID_IOwnObject, reinterpret_cast<void**>(&found)));
    if (found != nullptr) found->Release();
    return S_OK;
  }

 private:
  void* Find(REFIID iid) {
    if (iid == IID_IUnknown || iid == IID_IServer2 || iid == IID_IOwnObject) return static_cast<IServer2*>(this);
    if (iid == IID_IOrraExtras2) return static_cast<IOrraExtras2*>(this);
    if (iid == rpctest::IID_ITestControl) return static_cast<ITestControl*>(this);
    return nullptr;
  }
  ULONGLONG m_idle = 0;
};

int Hold(int count) {
  IServer2* server = nullptr;
  HRESULT hr = CoCreateInstance(rpctest::CLSID_TestLinkServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IServer2,
                                reinterpret_cast<void**>(&server));
  if (FAILED(hr)) return 2;
  std::vector<IUnknown*> projects(static_cast<std::size_t>(count));
  for (IUnknown*& project : projects) {
    BSTR path = SysAllocString(u"/held/project");
    BSTR errorText = nullptr;
    server->OpenProject(path, &project, &errorText);
    SysFreeString(path);
  }
  std::printf("holding\n");
  std::fflush(stdout);
  char c;
  while (::read(0, &c, 1) > 0) {
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  RegisterLinkServerProxyStubs();
  rpctest::RegisterTestControl();
  if (argc == 3 && std::strcmp(argv[1], "--hold") == 0) return Hold(std::atoi(argv[2]));
  bool embedding = false;
  for (int i = 1; i < argc; ++i) embedding = embedding || std::strcmp(argv[i], "-Embedding") == 0;

  // Signals are taken synchronously by the main thread; the engine's threads
  // inherit the mask.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  static comsupport::StaticClassFactory factory(
      [](REFIID iid, void** object) { return comsupport::HandOut(new Server, iid, object); });
  DWORD cookie = 0;
  const HRESULT hr =
      CoRegisterClassObject(rpctest::CLSID_TestLinkServer, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
  if (FAILED(hr)) {
    std::fprintf(stderr, "cannot publish: 0x%08X\n", static_cast<unsigned>(hr));
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  if (!embedding) {
    std::thread([] {
      char c;
      while (::read(0, &c, 1) > 0) {
      }
      ::kill(::getpid(), SIGTERM);
    }).detach();
  }
  const timespec tick{0, 50'000'000};
  for (;;) {
    if (sigtimedwait(&stop, nullptr, &tick) > 0) break;
    if (embedding && g_created && g_liveObjects.load() == 0) break;
  }
  CoRevokeClassObject(cookie);
  std::fflush(stdout);
  std::_Exit(0);
}
