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
#include <type_traits>
#include <typeinfo>
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

// The name of an interface pointer type in the recorded arguments.
template <class I>
const char* PointerName() {
  if constexpr (std::is_same_v<I, IVideoRenderOptions2>) return "IVideoRenderOptions2*";
  if constexpr (std::is_same_v<I, IAudioRenderOptions2>) return "IAudioRenderOptions2*";
  return "IUnknown*";
}

// Records a call on a facet of `object` and answers it (TestObject::Answer).
HRESULT AnswerCall(TestObject* object, InterfaceIndex index, LONG slot, const Param* params, std::size_t count);

// The direction of a parameter in a row of an interface's table.
struct In {};
struct Out {};

Param ParamOf(In, LONG value) { return Param{Param::kLong, "LONG", value}; }
Param ParamOf(In, ULONGLONG value) { return Param{Param::kULongLong, "ULONGLONG", 0, value}; }
Param ParamOf(In, double value) { return Param{Param::kDouble, "double", 0, 0, value}; }
Param ParamOf(In, BSTR value) { return Param{Param::kBstr, "BSTR", 0, 0, 0, value}; }
Param ParamOf(In, GUID* value) { return Param{Param::kGuidIn, "GUID*", 0, 0, 0, nullptr, value}; }
template <class I, class = std::enable_if_t<std::is_base_of_v<IUnknown, I>>>
Param ParamOf(In, I* value) {
  return Param{Param::kInterface, PointerName<I>(), 0, 0, 0, nullptr, nullptr, value};
}
Param OutParam(Param::Kind kind, const char* typeName, void* out) {
  return Param{kind, typeName, 0, 0, 0, nullptr, nullptr, nullptr, out};
}
Param ParamOf(Out, LONG* value) { return OutParam(Param::kOutLong, "LONG*", value); }
Param ParamOf(Out, ULONGLONG* value) { return OutParam(Param::kOutULongLong, "ULONGLONG*", value); }
Param ParamOf(Out, double* value) { return OutParam(Param::kOutDouble, "double*", value); }
Param ParamOf(Out, BSTR* value) { return OutParam(Param::kOutBstr, "BSTR*", value); }
Param ParamOf(Out, GUID* value) { return OutParam(Param::kOutGuid, "GUID*", value); }
Param ParamOf(Out, IUnknown** value) { return OutParam(Param::kOutObject, "IUnknown**", value); }

// What a client's pointer to one interface of a test object points at: a
// vtable made from that interface's table and the object. The facets share
// the object's reference count and identity; the same slot number of two
// interfaces (IProject2::GetName and IItem2::GetName) is told apart by the
// facet's vtable.
using Slot = void (*)();
struct Facet {
  const Slot* vtable;
  TestObject* owner;
};

HRESULT STDMETHODCALLTYPE FacetQueryInterface(Facet* self, REFIID riid, void** object);
ULONG STDMETHODCALLTYPE FacetAddRef(Facet* self);
ULONG STDMETHODCALLTYPE FacetRelease(Facet* self);

// One row: the slot, the member function, the direction of each parameter
// (the error text, last, included).
template <int SlotNumber, auto Member, class... Directions>
struct Row {};

// The function a row puts into the vtable: it takes the facet first, as a
// C client of the interface calls it, and hands every argument, described,
// to the object's Answer; the last one is the error text.
template <InterfaceIndex Index, int SlotNumber, class Member, class... Directions>
struct Thunk;
template <InterfaceIndex Index, int SlotNumber, class I, class... A, class... Directions>
struct Thunk<Index, SlotNumber, HRESULT (STDMETHODCALLTYPE I::*)(A...), Directions...> {
  static_assert(sizeof...(A) == sizeof...(Directions), "one direction per parameter");
  static HRESULT STDMETHODCALLTYPE Call(Facet* self, A... args) {
    const Param params[] = {ParamOf(Directions{}, args)...};
    return AnswerCall(self->owner, Index, SlotNumber, params, sizeof...(A));
  }
};
template <InterfaceIndex Index, class RowType>
struct ThunkOf;
template <InterfaceIndex Index, int SlotNumber, auto Member, class... Directions>
struct ThunkOf<Index, Row<SlotNumber, Member, Directions...>>
    : Thunk<Index, SlotNumber, decltype(Member), Directions...> {};

// The vtable of one interface's facets, made from its table. Offset-to-top
// and type information come first, as in a vtable the compiler emits, so
// that checks of the dynamic type (sanitizers) see an object of type I.
template <InterfaceIndex Index, class I, class... Rows>
struct FacetTable {
  static const Slot* Vtable() {
    struct Image {
      std::ptrdiff_t offsetToTop;
      const std::type_info* typeInfo;
      Slot slots[3 + sizeof...(Rows)];
    };
    static const Image image = {
        0,
        &typeid(I),
        {reinterpret_cast<Slot>(&FacetQueryInterface), reinterpret_cast<Slot>(&FacetAddRef),
         reinterpret_cast<Slot>(&FacetRelease), reinterpret_cast<Slot>(&ThunkOf<Index, Rows>::Call)...}};
    return image.slots;
  }
};

// The link server's nine interfaces, one table each, in the order of their
// index: the rows of the proxies' and stubs' tables.
using ServerFacets =
    FacetTable<kServerIndex, IServer2,  //
               Row<3, &IServer2::GetVersion, Out, Out>, Row<4, &IServer2::GetMinimumMemoryRequirements, Out, Out>,
               Row<5, &IServer2::SetIdleTimeMemoryUsage, In, Out>, Row<6, &IServer2::SetTemporaryMemoryUsage, In, Out>,
               Row<7, &IServer2::GetCurrentMemoryUsage, Out, Out>, Row<8, &IServer2::PurgeMemory, Out>,
               Row<9, &IServer2::CacheFinalFrame, In, Out>, Row<10, &IServer2::GetProjectExtension, Out, Out>,
               Row<11, &IServer2::OpenProject, In, Out, Out>,
               Row<12, &IServer2::OpenProjectShowSource, In, In, Out, Out, Out>,
               Row<13, &IServer2::CloseProject, In, Out>,
               Row<14, &IServer2::CreateSource, In, In, In, In, In, In, In, In, Out, Out, Out>>;
using ProjectFacets =
    FacetTable<kProjectIndex, IProject2,  //
               Row<3, &IProject2::GetName, Out, Out>, Row<4, &IProject2::GetPath, Out, Out>,
               Row<5, &IProject2::GetSource, In, Out, Out>, Row<6, &IProject2::GetRootItem, Out, Out>>;
using ItemFacets = FacetTable<kItemIndex, IItem2,  //
                              Row<3, &IItem2::GetName, Out, Out>, Row<4, &IItem2::GetID, Out, Out>,
                              Row<5, &IItem2::GetParentItem, Out, Out>, Row<6, &IItem2::GetType, Out, Out>>;
using ContainerFacets =
    FacetTable<kContainerIndex, IContainer2,  //
               Row<3, &IContainer2::GetFirstItem, Out, Out>, Row<4, &IContainer2::GetNextItem, In, Out, Out>>;
using SourceFacets =
    FacetTable<kSourceIndex, ISource2,  //
               Row<3, &ISource2::GetDuration, Out, Out, Out>, Row<4, &ISource2::GetPixelAspectRatio, Out, Out, Out>,
               Row<5, &ISource2::GetFrameSize, Out, Out, Out>, Row<6, &ISource2::GetFrameRate, Out, Out>,
               Row<7, &ISource2::GetBitDepth, Out, Out>, Row<8, &ISource2::GetTimeStamp, Out, Out>,
               Row<9, &ISource2::IsNewerThan, In, Out, Out>, Row<10, &ISource2::HasAudio, Out, Out>,
               Row<11, &ISource2::HasVideo, Out, Out>, Row<12, &ISource2::GetRenderer, Out, Out>>;
using RendererFacets = FacetTable<
    kRendererIndex, IRenderer2,  //
    Row<3, &IRenderer2::CreateVideoRenderOptions, Out, Out>, Row<4, &IRenderer2::CreateAudioRenderOptions, Out, Out>,
    Row<5, &IRenderer2::StartVideoRender, In, In, In, Out>, Row<6, &IRenderer2::RenderVideo, In, In, Out, Out>,
    Row<7, &IRenderer2::EndVideoRender, Out>, Row<8, &IRenderer2::StartAudioRender, In, In, In, In, In, In, Out>,
    Row<9, &IRenderer2::GetNextAudioBuffer, Out, Out>, Row<10, &IRenderer2::EndAudioRender, Out>>;
using VideoOptionsFacets = FacetTable<
    kVideoOptionsIndex, IVideoRenderOptions2,  //
    Row<3, &IVideoRenderOptions2::SetLowQuality, In, Out>, Row<4, &IVideoRenderOptions2::GetLowQuality, Out, Out>,
    Row<5, &IVideoRenderOptions2::SetPreMultiply, In, Out>, Row<6, &IVideoRenderOptions2::GetPreMultiply, Out, Out>,
    Row<7, &IVideoRenderOptions2::SetFieldOrder, In, Out>, Row<8, &IVideoRenderOptions2::GetFieldOrder, Out, Out>,
    Row<9, &IVideoRenderOptions2::SetRegionOfInterest, In, In, In, In, Out>,
    Row<10, &IVideoRenderOptions2::GetRegionOfInterest, Out, Out, Out, Out, Out>,
    Row<11, &IVideoRenderOptions2::SetBitDepth, In, Out>, Row<12, &IVideoRenderOptions2::GetBitDepth, Out, Out>,
    Row<13, &IVideoRenderOptions2::SetChannelOrder, In, Out>, Row<14, &IVideoRenderOptions2::GetChannelOrder, Out, Out>,
    Row<15, &IVideoRenderOptions2::SetTimeStep, In, In, Out>,
    Row<16, &IVideoRenderOptions2::GetTimeStep, Out, Out, Out>, Row<17, &IVideoRenderOptions2::SetBounds, In, In, Out>,
    Row<18, &IVideoRenderOptions2::GetBounds, Out, Out, Out>, Row<19, &IVideoRenderOptions2::SetRowBytes, In, Out>,
    Row<20, &IVideoRenderOptions2::GetRowBytes, Out, Out>,
    Row<21, &IVideoRenderOptions2::SetDownsampleFactor, In, In, Out>,
    Row<22, &IVideoRenderOptions2::GetDownsampleFactor, Out, Out, Out>,
    Row<23, &IVideoRenderOptions2::SetRenderGuideLayers, In, Out>,
    Row<24, &IVideoRenderOptions2::GetRenderGuideLayers, Out, Out>,
    Row<25, &IVideoRenderOptions2::GetMaxMemoryRequiredForFrame, Out, Out>>;
using AudioOptionsFacets = FacetTable<
    kAudioOptionsIndex, IAudioRenderOptions2,  //
    Row<3, &IAudioRenderOptions2::SetSampleRate, In, Out>, Row<4, &IAudioRenderOptions2::GetSampleRate, Out, Out>,
    Row<5, &IAudioRenderOptions2::SetNumChannels, In, Out>, Row<6, &IAudioRenderOptions2::GetNumChannels, Out, Out>,
    Row<7, &IAudioRenderOptions2::SetEncoding, In, Out>, Row<8, &IAudioRenderOptions2::GetEncoding, Out, Out>,
    Row<9, &IAudioRenderOptions2::SetBytesPerSample, In, Out>,
    Row<10, &IAudioRenderOptions2::GetBytesPerSample, Out, Out>>;
using ExtrasFacets = FacetTable<kExtrasIndex, IOrraExtras2,  //
                                Row<3, &IOrraExtras2::SendFile, In, Out>, Row<4, &IOrraExtras2::AnnounceSelfLink, Out>,
                                Row<5, &IOrraExtras2::WithdrawSelfLink, Out>>;

const Slot* FacetVtable(LONG index) {
  static const Slot* const vtables[kInterfaceCount] = {
      ServerFacets::Vtable(),       ProjectFacets::Vtable(),      ItemFacets::Vtable(),
      ContainerFacets::Vtable(),    SourceFacets::Vtable(),       RendererFacets::Vtable(),
      VideoOptionsFacets::Vtable(), AudioOptionsFacets::Vtable(), ExtrasFacets::Vtable()};
  return vtables[index];
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

  // Records the call, writes the scripted out-values and error text (the
  // last parameter), and returns the scripted HRESULT.
  HRESULT Answer(InterfaceIndex index, LONG slot, const Param* params, std::size_t count);

 private:
  ~TestObject() = default;
  void Record(RefEventKind kind, std::string detail);
  IUnknown* FacetOf(LONG index) const { return reinterpret_cast<IUnknown*>(const_cast<Facet*>(&m_facets[index])); }

  Facet m_facets[kInterfaceCount];
  std::shared_ptr<ServerState> m_state;
  const LONG m_id;
  const LONG m_mask;
  std::atomic<LONG> m_refs{1};
};

TestObject::TestObject(std::shared_ptr<ServerState> state, LONG id, LONG mask)
    : m_state(std::move(state)), m_id(id), m_mask(mask) {
  for (LONG index = 0; index < kInterfaceCount; ++index) m_facets[index] = Facet{FacetVtable(index), this};
}

HRESULT STDMETHODCALLTYPE FacetQueryInterface(Facet* self, REFIID riid, void** object) {
  return self->owner->QueryInterface(riid, object);
}
HRESULT AnswerCall(TestObject* object, InterfaceIndex index, LONG slot, const Param* params, std::size_t count) {
  return object->Answer(index, slot, params, count);
}
ULONG STDMETHODCALLTYPE FacetAddRef(Facet* self) { return self->owner->AddRef(); }
ULONG STDMETHODCALLTYPE FacetRelease(Facet* self) { return self->owner->Release(); }

bool TestObject::Owns(IUnknown* pointer) const {
  if (pointer == static_cast<const IUnknown*>(this)) return true;
  for (LONG index = 0; index < kInterfaceCount; ++index) {
    if (FacetOf(index) == pointer) return true;
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
    if (riid == *kInterfaceIds[index] && (m_mask & (LONG{1} << index)) != 0) *object = FacetOf(index);
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

HRESULT TestObject::Answer(InterfaceIndex index, LONG slot, const Param* all, std::size_t count) {
  const std::vector<Param> params(all, all + count - 1);
  BSTR* const errorText = static_cast<BSTR*>(all[count - 1].out);
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
