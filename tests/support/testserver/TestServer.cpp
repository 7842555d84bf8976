// The in-process test server: one TestObject per id, implementing the
// link-server interfaces of its mask through one facet per interface. The
// facets share the object's reference count and identity, so the same slot
// number of two interfaces (IProject2::GetName and IItem2::GetName) is told
// apart by the facet that was called.
#include "testserver/TestControl.h"

#include <contract/LinkServer.h>

#include <comsupport/Bstr.h>
#include <comsupport/WideChars.h>
#include <kelvex/Guid.h>
#include <kelvex/Strings.h>
#include "testserver/PlatformProbes.h"

#include <atomic>
#include <charconv>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace testserver {

const IID IID_ITestControl = {0x6C0F1E22, 0x3B7A, 0x4D5E, {0x9A, 0x41, 0x5E, 0x2D, 0x71, 0xC3, 0x08, 0x9B}};

namespace {

using namespace moravane;

const char* const kInterfaceNames[kInterfaceCount] = {"IServer2",
                                                      "IProject2",
                                                      "IItem2",
                                                      "IContainer2",
                                                      "ISource2",
                                                      "IRenderer2",
                                                      "IVideoRenderOptions2",
                                                      "IAudioRenderOptions2",
                                                      "IOrraExtras2"};
const IID* const kInterfaceIds[kInterfaceCount] = {&IID_IServer2,
                                                   &IID_IProject2,
                                                   &IID_IItem2,
                                                   &IID_IContainer2,
                                                   &IID_ISource2,
                                                   &IID_IRenderer2,
                                                   &IID_IVideoRenderOptions2,
                                                   &IID_IAudioRenderOptions2,
                                                   &IID_IOrraExtras2};

BSTR CopyBstr(const std::u16string& text) {
  return ::SysAllocStringLen(comsupport::AsOleChars(text.data()), static_cast<UINT>(text.size()));
}

std::u16string FromBstr(BSTR value) { return std::u16string(comsupport::BstrView(value)); }

std::string Utf8(const std::u16string& text) {
  return kelvex::utility::UTF16ToUTF8(kelvex::utility::UTF16String(text.begin(), text.end()));
}

std::string FormatDouble(double value) {
  char buffer[64];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  return std::string(buffer, end);
}

std::string FormatGuid(const GUID& guid) { return kelvex::utility::Guid(guid).ToString(); }

struct ObjectAnswer {
  LONG objectId = 0;
};
using OutValue = std::variant<LONG, ULONGLONG, double, std::optional<std::u16string>, GUID, ObjectAnswer>;

struct Script {
  HRESULT hr = S_OK;
  ErrorKind errorKind = kNoErrorText;
  std::u16string errorText;
  std::map<LONG, OutValue> outs;
};

struct CallRecord {
  LONG id;
  LONG interfaceIndex;
  LONG slot;
  LONG thread;
  std::string arguments;
};

struct RefEvent {
  LONG id;
  RefEventKind kind;
  LONG thread;
  std::string detail;
};

class TestObject;

// What every object shares: the registry of objects and the records. The
// control holds it, and so does every object, so an object that a faulty
// library keeps alive still records after the control is gone.
struct ServerState {
  std::mutex mutex;
  std::vector<TestObject*> objects;  // index id - 1; one reference each while registered
  std::vector<CallRecord> calls;
  std::vector<RefEvent> events;
  std::map<std::tuple<LONG, LONG, LONG>, Script> scripts;
  // Served to another process: a client's query for IUnknown is answered
  // by its proxy and never arrives here, so every such query comes from
  // the link itself (taking the identity of an object it sends or
  // receives) and is not recorded as the client's.
  bool hosted = false;

  // Names the object behind any of its interface pointers, without a call.
  std::string Describe(IUnknown* pointer);
  TestObject* Find(LONG id);
};

// One parameter of a slot as the server received it.
struct Param {
  enum Kind {
    kLong,
    kULongLong,
    kDouble,
    kBstr,
    kGuidIn,
    kInterface,
    kOutLong,
    kOutULongLong,
    kOutDouble,
    kOutBstr,
    kOutGuid,
    kOutObject
  } kind;
  const char* typeName = "";
  LONG longValue = 0;
  ULONGLONG ulonglongValue = 0;
  double doubleValue = 0;
  BSTR bstr = nullptr;
  GUID* guid = nullptr;
  IUnknown* unknown = nullptr;
  void* out = nullptr;
};

Param In(LONG value) { return Param{Param::kLong, "LONG", value}; }
Param In(ULONGLONG value) { return Param{Param::kULongLong, "ULONGLONG", 0, value}; }
Param In(double value) { return Param{Param::kDouble, "double", 0, 0, value}; }
Param In(BSTR value) { return Param{Param::kBstr, "BSTR", 0, 0, 0, value}; }
Param InGuid(GUID* value) { return Param{Param::kGuidIn, "GUID*", 0, 0, 0, nullptr, value}; }
Param InInterface(const char* typeName, IUnknown* value) {
  return Param{Param::kInterface, typeName, 0, 0, 0, nullptr, nullptr, value};
}
Param Out(LONG* value) { return Param{Param::kOutLong, "LONG*", 0, 0, 0, nullptr, nullptr, nullptr, value}; }
Param Out(ULONGLONG* value) {
  return Param{Param::kOutULongLong, "ULONGLONG*", 0, 0, 0, nullptr, nullptr, nullptr, value};
}
Param Out(double* value) { return Param{Param::kOutDouble, "double*", 0, 0, 0, nullptr, nullptr, nullptr, value}; }
Param Out(BSTR* value) { return Param{Param::kOutBstr, "BSTR*", 0, 0, 0, nullptr, nullptr, nullptr, value}; }
Param OutGuid(GUID* value) { return Param{Param::kOutGuid, "GUID*", 0, 0, 0, nullptr, nullptr, nullptr, value}; }
Param Out(IUnknown** value) {
  return Param{Param::kOutObject, "IUnknown**", 0, 0, 0, nullptr, nullptr, nullptr, value};
}

class TestObject final : public IUnknown {
 public:
  TestObject(std::shared_ptr<ServerState> state, LONG id, LONG mask);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  LONG Id() const { return m_id; }
  LONG RefCount() const { return m_refs.load(); }
  bool Owns(IUnknown* pointer) const;

  // Records the call, writes the scripted out-values and error text, and
  // returns the scripted HRESULT.
  HRESULT Answer(InterfaceIndex index, LONG slot, std::initializer_list<Param> params, BSTR* errorText);

 private:
  ~TestObject() = default;
  void Record(RefEventKind kind, std::string detail);

#define TESTSERVER_DELEGATE_UNKNOWN                                               \
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override { \
    return owner->QueryInterface(riid, object);                                   \
  }                                                                               \
  ULONG STDMETHODCALLTYPE AddRef() override { return owner->AddRef(); }           \
  ULONG STDMETHODCALLTYPE Release() override { return owner->Release(); }         \
  TestObject* owner = nullptr;

  struct ServerFacet : IServer2 {
    TESTSERVER_DELEGATE_UNKNOWN
    HRESULT STDMETHODCALLTYPE GetVersion(LONG* v, BSTR* e) override {
      return owner->Answer(kServerIndex, 3, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetMinimumMemoryRequirements(ULONGLONG* v, BSTR* e) override {
      return owner->Answer(kServerIndex, 4, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE SetIdleTimeMemoryUsage(ULONGLONG v, BSTR* e) override {
      return owner->Answer(kServerIndex, 5, {In(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE SetTemporaryMemoryUsage(ULONGLONG v, BSTR* e) override {
      return owner->Answer(kServerIndex, 6, {In(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetCurrentMemoryUsage(ULONGLONG* v, BSTR* e) override {
      return owner->Answer(kServerIndex, 7, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE PurgeMemory(BSTR* e) override { return owner->Answer(kServerIndex, 8, {}, e); }
    HRESULT STDMETHODCALLTYPE CacheFinalFrame(LONG v, BSTR* e) override {
      return owner->Answer(kServerIndex, 9, {In(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetProjectExtension(BSTR* v, BSTR* e) override {
      return owner->Answer(kServerIndex, 10, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE OpenProject(BSTR path, IUnknown** project, BSTR* e) override {
      return owner->Answer(kServerIndex, 11, {In(path), Out(project)}, e);
    }
    HRESULT STDMETHODCALLTYPE OpenProjectShowSource(BSTR path, GUID* id, IUnknown** project, IUnknown** source,
                                                    BSTR* e) override {
      return owner->Answer(kServerIndex, 12, {In(path), InGuid(id), Out(project), Out(source)}, e);
    }
    HRESULT STDMETHODCALLTYPE CloseProject(IUnknown* project, BSTR* e) override {
      return owner->Answer(kServerIndex, 13, {InInterface("IUnknown*", project)}, e);
    }
    HRESULT STDMETHODCALLTYPE CreateSource(BSTR path, LONG w, LONG h, LONG an, LONG ad, LONG dv, LONG ds, double rate,
                                           IUnknown** project, IUnknown** source, BSTR* e) override {
      return owner->Answer(
          kServerIndex, 14,
          {In(path), In(w), In(h), In(an), In(ad), In(dv), In(ds), In(rate), Out(project), Out(source)}, e);
    }
  } m_server;

  struct ProjectFacet : IProject2 {
    TESTSERVER_DELEGATE_UNKNOWN
    HRESULT STDMETHODCALLTYPE GetName(BSTR* v, BSTR* e) override {
      return owner->Answer(kProjectIndex, 3, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetPath(BSTR* v, BSTR* e) override {
      return owner->Answer(kProjectIndex, 4, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetSource(GUID* id, IUnknown** source, BSTR* e) override {
      return owner->Answer(kProjectIndex, 5, {InGuid(id), Out(source)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetRootItem(IUnknown** item, BSTR* e) override {
      return owner->Answer(kProjectIndex, 6, {Out(item)}, e);
    }
  } m_project;

  struct ItemFacet : IItem2 {
    TESTSERVER_DELEGATE_UNKNOWN
    HRESULT STDMETHODCALLTYPE GetName(BSTR* v, BSTR* e) override { return owner->Answer(kItemIndex, 3, {Out(v)}, e); }
    HRESULT STDMETHODCALLTYPE GetID(GUID* v, BSTR* e) override { return owner->Answer(kItemIndex, 4, {OutGuid(v)}, e); }
    HRESULT STDMETHODCALLTYPE GetParentItem(IUnknown** v, BSTR* e) override {
      return owner->Answer(kItemIndex, 5, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetType(LONG* v, BSTR* e) override { return owner->Answer(kItemIndex, 6, {Out(v)}, e); }
  } m_item;

  struct ContainerFacet : IContainer2 {
    TESTSERVER_DELEGATE_UNKNOWN
    HRESULT STDMETHODCALLTYPE GetFirstItem(IUnknown** v, BSTR* e) override {
      return owner->Answer(kContainerIndex, 3, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetNextItem(IUnknown* current, IUnknown** v, BSTR* e) override {
      return owner->Answer(kContainerIndex, 4, {InInterface("IUnknown*", current), Out(v)}, e);
    }
  } m_container;

  struct SourceFacet : ISource2 {
    TESTSERVER_DELEGATE_UNKNOWN
    HRESULT STDMETHODCALLTYPE GetDuration(LONG* a, LONG* b, BSTR* e) override {
      return owner->Answer(kSourceIndex, 3, {Out(a), Out(b)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetPixelAspectRatio(LONG* a, LONG* b, BSTR* e) override {
      return owner->Answer(kSourceIndex, 4, {Out(a), Out(b)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetFrameSize(LONG* a, LONG* b, BSTR* e) override {
      return owner->Answer(kSourceIndex, 5, {Out(a), Out(b)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetFrameRate(double* v, BSTR* e) override {
      return owner->Answer(kSourceIndex, 6, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetBitDepth(LONG* v, BSTR* e) override {
      return owner->Answer(kSourceIndex, 7, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetTimeStamp(LONG* v, BSTR* e) override {
      return owner->Answer(kSourceIndex, 8, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE IsNewerThan(LONG stamp, LONG* v, BSTR* e) override {
      return owner->Answer(kSourceIndex, 9, {In(stamp), Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE HasAudio(LONG* v, BSTR* e) override {
      return owner->Answer(kSourceIndex, 10, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE HasVideo(LONG* v, BSTR* e) override {
      return owner->Answer(kSourceIndex, 11, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetRenderer(IUnknown** v, BSTR* e) override {
      return owner->Answer(kSourceIndex, 12, {Out(v)}, e);
    }
  } m_source;

  struct RendererFacet : IRenderer2 {
    TESTSERVER_DELEGATE_UNKNOWN
    HRESULT STDMETHODCALLTYPE CreateVideoRenderOptions(IUnknown** v, BSTR* e) override {
      return owner->Answer(kRendererIndex, 3, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE CreateAudioRenderOptions(IUnknown** v, BSTR* e) override {
      return owner->Answer(kRendererIndex, 4, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE StartVideoRender(IVideoRenderOptions2* options, BSTR name, ULONGLONG size,
                                               BSTR* e) override {
      return owner->Answer(kRendererIndex, 5, {InInterface("IVideoRenderOptions2*", options), In(name), In(size)}, e);
    }
    HRESULT STDMETHODCALLTYPE RenderVideo(LONG a, LONG b, ULONGLONG* v, BSTR* e) override {
      return owner->Answer(kRendererIndex, 6, {In(a), In(b), Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE EndVideoRender(BSTR* e) override { return owner->Answer(kRendererIndex, 7, {}, e); }
    HRESULT STDMETHODCALLTYPE StartAudioRender(LONG a, LONG b, LONG parameter, IAudioRenderOptions2* options, BSTR name,
                                               ULONGLONG size, BSTR* e) override {
      return owner->Answer(
          kRendererIndex, 8,
          {In(a), In(b), In(parameter), InInterface("IAudioRenderOptions2*", options), In(name), In(size)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetNextAudioBuffer(ULONGLONG* v, BSTR* e) override {
      return owner->Answer(kRendererIndex, 9, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE EndAudioRender(BSTR* e) override { return owner->Answer(kRendererIndex, 10, {}, e); }
  } m_renderer;

  struct VideoOptionsFacet : IVideoRenderOptions2 {
    TESTSERVER_DELEGATE_UNKNOWN
    HRESULT STDMETHODCALLTYPE SetLowQuality(LONG v, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 3, {In(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetLowQuality(LONG* v, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 4, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE SetPreMultiply(LONG v, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 5, {In(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetPreMultiply(LONG* v, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 6, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE SetFieldOrder(LONG v, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 7, {In(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetFieldOrder(LONG* v, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 8, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE SetRegionOfInterest(LONG l, LONG t, LONG r, LONG b, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 9, {In(l), In(t), In(r), In(b)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetRegionOfInterest(LONG* l, LONG* t, LONG* r, LONG* b, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 10, {Out(l), Out(t), Out(r), Out(b)}, e);
    }
    HRESULT STDMETHODCALLTYPE SetBitDepth(LONG v, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 11, {In(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetBitDepth(LONG* v, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 12, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE SetChannelOrder(LONG v, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 13, {In(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetChannelOrder(LONG* v, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 14, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE SetTimeStep(LONG a, LONG b, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 15, {In(a), In(b)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetTimeStep(LONG* a, LONG* b, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 16, {Out(a), Out(b)}, e);
    }
    HRESULT STDMETHODCALLTYPE SetBounds(LONG a, LONG b, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 17, {In(a), In(b)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetBounds(LONG* a, LONG* b, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 18, {Out(a), Out(b)}, e);
    }
    HRESULT STDMETHODCALLTYPE SetRowBytes(LONG v, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 19, {In(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetRowBytes(LONG* v, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 20, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE SetDownsampleFactor(LONG a, LONG b, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 21, {In(a), In(b)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetDownsampleFactor(LONG* a, LONG* b, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 22, {Out(a), Out(b)}, e);
    }
    HRESULT STDMETHODCALLTYPE SetRenderGuideLayers(LONG v, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 23, {In(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetRenderGuideLayers(LONG* v, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 24, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetMaxMemoryRequiredForFrame(ULONGLONG* v, BSTR* e) override {
      return owner->Answer(kVideoOptionsIndex, 25, {Out(v)}, e);
    }
  } m_videoOptions;

  struct AudioOptionsFacet : IAudioRenderOptions2 {
    TESTSERVER_DELEGATE_UNKNOWN
    HRESULT STDMETHODCALLTYPE SetSampleRate(double v, BSTR* e) override {
      return owner->Answer(kAudioOptionsIndex, 3, {In(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetSampleRate(double* v, BSTR* e) override {
      return owner->Answer(kAudioOptionsIndex, 4, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE SetNumChannels(LONG v, BSTR* e) override {
      return owner->Answer(kAudioOptionsIndex, 5, {In(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetNumChannels(LONG* v, BSTR* e) override {
      return owner->Answer(kAudioOptionsIndex, 6, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE SetEncoding(LONG v, BSTR* e) override {
      return owner->Answer(kAudioOptionsIndex, 7, {In(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetEncoding(LONG* v, BSTR* e) override {
      return owner->Answer(kAudioOptionsIndex, 8, {Out(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE SetBytesPerSample(LONG v, BSTR* e) override {
      return owner->Answer(kAudioOptionsIndex, 9, {In(v)}, e);
    }
    HRESULT STDMETHODCALLTYPE GetBytesPerSample(LONG* v, BSTR* e) override {
      return owner->Answer(kAudioOptionsIndex, 10, {Out(v)}, e);
    }
  } m_audioOptions;

  struct ExtrasFacet : IOrraExtras2 {
    TESTSERVER_DELEGATE_UNKNOWN
    HRESULT STDMETHODCALLTYPE SendFile(BSTR path, BSTR* e) override {
      return owner->Answer(kExtrasIndex, 3, {In(path)}, e);
    }
    HRESULT STDMETHODCALLTYPE AnnounceSelfLink(BSTR* e) override { return owner->Answer(kExtrasIndex, 4, {}, e); }
    HRESULT STDMETHODCALLTYPE WithdrawSelfLink(BSTR* e) override { return owner->Answer(kExtrasIndex, 5, {}, e); }
  } m_extras;
#undef TESTSERVER_DELEGATE_UNKNOWN

  IUnknown* Facet(LONG index) const;

  std::shared_ptr<ServerState> m_state;
  const LONG m_id;
  const LONG m_mask;
  std::atomic<LONG> m_refs{1};
};

TestObject::TestObject(std::shared_ptr<ServerState> state, LONG id, LONG mask)
    : m_state(std::move(state)), m_id(id), m_mask(mask) {
  m_server.owner = m_project.owner = m_item.owner = m_container.owner = m_source.owner = m_renderer.owner =
      m_videoOptions.owner = m_audioOptions.owner = m_extras.owner = this;
}

IUnknown* TestObject::Facet(LONG index) const {
  IUnknown* const facets[kInterfaceCount] = {const_cast<ServerFacet*>(&m_server),
                                             const_cast<ProjectFacet*>(&m_project),
                                             const_cast<ItemFacet*>(&m_item),
                                             const_cast<ContainerFacet*>(&m_container),
                                             const_cast<SourceFacet*>(&m_source),
                                             const_cast<RendererFacet*>(&m_renderer),
                                             const_cast<VideoOptionsFacet*>(&m_videoOptions),
                                             const_cast<AudioOptionsFacet*>(&m_audioOptions),
                                             const_cast<ExtrasFacet*>(&m_extras)};
  return facets[index];
}

bool TestObject::Owns(IUnknown* pointer) const {
  if (pointer == static_cast<const IUnknown*>(this)) return true;
  for (LONG index = 0; index < kInterfaceCount; ++index) {
    if (Facet(index) == pointer) return true;
  }
  return false;
}

void TestObject::Record(RefEventKind kind, std::string detail) {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  m_state->events.push_back(RefEvent{m_id, kind, static_cast<LONG>(testprobes::CallerThreadId()), std::move(detail)});
}

HRESULT STDMETHODCALLTYPE TestObject::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (riid == IID_IUnknown) *object = static_cast<IUnknown*>(this);
  for (LONG index = 0; index < kInterfaceCount; ++index) {
    if (riid == *kInterfaceIds[index] && (m_mask & (LONG{1} << index)) != 0) *object = Facet(index);
  }
  if (riid != IID_IUnknown || !m_state->hosted) Record(kQueryInterface, QueryDetail(riid, *object != nullptr));
  if (*object == nullptr) return E_NOINTERFACE;
  ++m_refs;
  return S_OK;
}

ULONG STDMETHODCALLTYPE TestObject::AddRef() {
  Record(kAddRef, "");
  return static_cast<ULONG>(++m_refs);
}

ULONG STDMETHODCALLTYPE TestObject::Release() {
  Record(kRelease, "");
  const LONG left = --m_refs;
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

std::string ServerState::Describe(IUnknown* pointer) {
  if (pointer == nullptr) return "null";
  for (TestObject* object : objects) {
    if (object != nullptr && object->Owns(pointer)) return "#" + std::to_string(object->Id());
  }
  return "?";
}

TestObject* ServerState::Find(LONG id) {
  if (id < 1 || id > static_cast<LONG>(objects.size())) return nullptr;
  return objects[static_cast<std::size_t>(id - 1)];
}

std::string DescribeIn(ServerState& state, const Param& param) {
  std::string text = std::string(param.typeName) + ":";
  switch (param.kind) {
    case Param::kLong:
      return text + std::to_string(param.longValue);
    case Param::kULongLong:
      return text + std::to_string(param.ulonglongValue);
    case Param::kDouble:
      return text + FormatDouble(param.doubleValue);
    case Param::kBstr:
      if (param.bstr == nullptr) return text + "null";
      return text + "\"" + Utf8(FromBstr(param.bstr)) + "\"(len " + std::to_string(::SysStringLen(param.bstr)) + ")";
    case Param::kGuidIn:
      return text + (param.guid == nullptr ? "null" : FormatGuid(*param.guid));
    case Param::kInterface:
      return text + state.Describe(param.unknown);
    default:
      break;
  }
  // Out-parameters: what the caller had put there before the call.
  text = "out " + text;
  if (param.out == nullptr) return text + "nullptr";
  switch (param.kind) {
    case Param::kOutLong:
      return text + std::to_string(*static_cast<LONG*>(param.out));
    case Param::kOutULongLong:
      return text + std::to_string(*static_cast<ULONGLONG*>(param.out));
    case Param::kOutDouble:
      return text + FormatDouble(*static_cast<double*>(param.out));
    case Param::kOutBstr:
      return text + (*static_cast<BSTR*>(param.out) == nullptr ? "null" : "set");
    case Param::kOutGuid:
      return text + FormatGuid(*static_cast<GUID*>(param.out));
    case Param::kOutObject:
      return text + (*static_cast<IUnknown**>(param.out) == nullptr ? "null" : "set");
    default:
      return text;
  }
}

HRESULT TestObject::Answer(InterfaceIndex index, LONG slot, std::initializer_list<Param> params, BSTR* errorText) {
  Script script;
  std::vector<IUnknown*> objectsToReturn;
  {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    std::string arguments;
    for (const Param& param : params) arguments += DescribeIn(*m_state, param) + " ";
    arguments += std::string("out BSTR*:") + (errorText == nullptr    ? "nullptr"
                                              : *errorText == nullptr ? "null"
                                                                      : "set");
    m_state->calls.push_back(CallRecord{m_id, index, slot, static_cast<LONG>(testprobes::CallerThreadId()), arguments});
    const auto found = m_state->scripts.find({m_id, index, slot});
    if (found != m_state->scripts.end()) script = found->second;
  }
  LONG position = 0;
  for (const Param& param : params) {
    if (param.kind < Param::kOutLong) continue;
    const auto value = script.outs.find(position++);
    if (value == script.outs.end() || param.out == nullptr) continue;
    switch (param.kind) {
      case Param::kOutLong:
        *static_cast<LONG*>(param.out) = std::get<LONG>(value->second);
        break;
      case Param::kOutULongLong:
        *static_cast<ULONGLONG*>(param.out) = std::get<ULONGLONG>(value->second);
        break;
      case Param::kOutDouble:
        *static_cast<double*>(param.out) = std::get<double>(value->second);
        break;
      case Param::kOutBstr: {
        const auto& text = std::get<std::optional<std::u16string>>(value->second);
        *static_cast<BSTR*>(param.out) = text ? CopyBstr(*text) : nullptr;
        break;
      }
      case Param::kOutGuid:
        *static_cast<GUID*>(param.out) = std::get<GUID>(value->second);
        break;
      case Param::kOutObject: {
        TestObject* object = nullptr;
        {
          std::lock_guard<std::mutex> lock(m_state->mutex);
          object = m_state->Find(std::get<ObjectAnswer>(value->second).objectId);
        }
        // The caller receives one reference of its own.
        if (object != nullptr) object->AddRef();
        *static_cast<IUnknown**>(param.out) = object;
        break;
      }
      default:
        break;
    }
  }
  if (errorText != nullptr && script.errorKind != kNoErrorText) {
    *errorText = CopyBstr(script.errorKind == kErrorText ? script.errorText : std::u16string());
  }
  return script.hr;
}

class TestControl final : public ITestControl {
 public:
  explicit TestControl(bool hosted) : m_state(std::make_shared<ServerState>()) { m_state->hosted = hosted; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (riid != IID_IUnknown && riid != IID_ITestControl) return E_NOINTERFACE;
    *object = static_cast<ITestControl*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_refs); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = --m_refs;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  HRESULT STDMETHODCALLTYPE CreateObject(LONG interfaceMask, LONG* id) override {
    if (id == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    *id = static_cast<LONG>(m_state->objects.size()) + 1;
    m_state->objects.push_back(new TestObject(m_state, *id, interfaceMask));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetObject(LONG id, IUnknown** object) override {
    if (object == nullptr) return E_POINTER;
    TestObject* found = nullptr;
    {
      std::lock_guard<std::mutex> lock(m_state->mutex);
      found = m_state->Find(id);
    }
    *object = found;
    if (found == nullptr) return E_INVALIDARG;
    found->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IdentifyObject(IUnknown* pointer, LONG* id) override {
    if (id == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    *id = pointer == nullptr ? 0 : -1;
    for (TestObject* object : m_state->objects) {
      if (object != nullptr && pointer != nullptr && object->Owns(pointer)) *id = object->Id();
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ScriptResult(LONG id, LONG interfaceIndex, LONG slot, LONG hr, LONG errorKind,
                                         BSTR errorText) override {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    Script& script = m_state->scripts[{id, interfaceIndex, slot}];
    script.hr = hr;
    script.errorKind = static_cast<ErrorKind>(errorKind);
    script.errorText = FromBstr(errorText);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ScriptOutLong(LONG id, LONG i, LONG slot, LONG position, LONG value) override {
    return ScriptOut(id, i, slot, position, value);
  }
  HRESULT STDMETHODCALLTYPE ScriptOutULongLong(LONG id, LONG i, LONG slot, LONG position, ULONGLONG value) override {
    return ScriptOut(id, i, slot, position, value);
  }
  HRESULT STDMETHODCALLTYPE ScriptOutDouble(LONG id, LONG i, LONG slot, LONG position, double value) override {
    return ScriptOut(id, i, slot, position, value);
  }
  HRESULT STDMETHODCALLTYPE ScriptOutString(LONG id, LONG i, LONG slot, LONG position, LONG isNull,
                                            BSTR value) override {
    return ScriptOut(id, i, slot, position,
                     isNull != 0 ? std::optional<std::u16string>() : std::optional<std::u16string>(FromBstr(value)));
  }
  HRESULT STDMETHODCALLTYPE ScriptOutGuid(LONG id, LONG i, LONG slot, LONG position, GUID* value) override {
    if (value == nullptr) return E_POINTER;
    return ScriptOut(id, i, slot, position, *value);
  }
  HRESULT STDMETHODCALLTYPE ScriptOutObject(LONG id, LONG i, LONG slot, LONG position, LONG objectId) override {
    return ScriptOut(id, i, slot, position, ObjectAnswer{objectId});
  }

  HRESULT STDMETHODCALLTYPE GetCallCount(LONG* count) override {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    *count = static_cast<LONG>(m_state->calls.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetCall(LONG index, LONG* id, LONG* interfaceIndex, LONG* slot, LONG* thread,
                                    BSTR* arguments) override {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (index < 0 || index >= static_cast<LONG>(m_state->calls.size())) return E_INVALIDARG;
    const CallRecord& call = m_state->calls[static_cast<std::size_t>(index)];
    *id = call.id;
    *interfaceIndex = call.interfaceIndex;
    *slot = call.slot;
    *thread = call.thread;
    *arguments = CopyUtf8(call.arguments);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetRefCount(LONG id, LONG* count) override {
    TestObject* object = nullptr;
    {
      std::lock_guard<std::mutex> lock(m_state->mutex);
      object = m_state->Find(id);
      if (object == nullptr) return E_INVALIDARG;
      *count = object->RefCount();
    }
    // Served to another process, the link's own references on the object
    // are left out: the client counts what its proxies hold itself. Asked
    // without the state's lock, since the link calls the objects (which
    // take it) under its own. The object stays registered, and so alive,
    // as long as this control is.
    if (m_state->hosted) *count -= testprobes::StubReferences(object);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetRefEventCount(LONG* count) override {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    *count = static_cast<LONG>(m_state->events.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetRefEvent(LONG index, LONG* id, LONG* kind, LONG* thread, BSTR* detail) override {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (index < 0 || index >= static_cast<LONG>(m_state->events.size())) return E_INVALIDARG;
    const RefEvent& event = m_state->events[static_cast<std::size_t>(index)];
    *id = event.id;
    *kind = event.kind;
    *thread = event.thread;
    *detail = CopyUtf8(event.detail);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ClearRecords() override {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->calls.clear();
    m_state->events.clear();
    return S_OK;
  }

 private:
  ~TestControl() {
    // Drop the server's own reference on every object; an object that the
    // library still holds lives on until the library lets it go.
    std::vector<TestObject*> objects;
    {
      std::lock_guard<std::mutex> lock(m_state->mutex);
      objects.swap(m_state->objects);
    }
    for (TestObject* object : objects) object->Release();
  }

  static BSTR CopyUtf8(const std::string& text) {
    const auto wide = kelvex::utility::AsciiToUTF16(text);
    return ::SysAllocStringLen(comsupport::AsOleChars(wide.data()), static_cast<UINT>(wide.size()));
  }

  HRESULT ScriptOut(LONG id, LONG interfaceIndex, LONG slot, LONG position, OutValue value) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->scripts[{id, interfaceIndex, slot}].outs[position] = std::move(value);
    return S_OK;
  }

  std::shared_ptr<ServerState> m_state;
  std::atomic<LONG> m_refs{1};
};

}  // namespace

std::string QueryDetail(REFIID iid, bool given) {
  std::string asked = iid == IID_IUnknown ? "IUnknown" : "other";
  for (LONG index = 0; index < kInterfaceCount; ++index) {
    if (iid == *kInterfaceIds[index]) asked = kInterfaceNames[index];
  }
  return asked + (given ? " yes" : " no");
}

HRESULT CreateInProcessTestServer(ITestControl** control) {
  if (control == nullptr) return E_POINTER;
  *control = new TestControl(false);
  return S_OK;
}

HRESULT CreateHostedTestServer(ITestControl** control) {
  if (control == nullptr) return E_POINTER;
  *control = new TestControl(true);
  return S_OK;
}

}  // namespace testserver
