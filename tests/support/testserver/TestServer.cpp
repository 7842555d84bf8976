// The test server: one TestObject per id, implementing the link-server
// interfaces of its mask through one facet per interface. A facet's vtable
// is generated from the contract's rows of its interface, like the
// proxies and stubs of the out-of-process link; the facets share the
// object's reference count and identity, and the same slot number of two
// interfaces (IProject2::GetName and IItem2::GetName) is told apart by the
// facet that was called.
#include "testserver/TestServerClient.h"

#include <contract/LinkServer.h>
#include <contract/LinkServerRows.h>

#include <comsupport/Bstr.h>
#include <comsupport/WideChars.h>
#include <kelvex/Guid.h>
#include <kelvex/Strings.h>
#include "testserver/PlatformProbes.h"

#include <atomic>
#include <charconv>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <typeinfo>
#include <variant>

namespace testserver {

const IID IID_ITestControl = {0x6C0F1E22, 0x3B7A, 0x4D5E, {0x9A, 0x41, 0x5E, 0x2D, 0x71, 0xC3, 0x08, 0x9B}};

namespace {

using namespace moravane;
using comsupport::In;
using comsupport::Out;

#define TESTSERVER_IID(Interface) &IID_##Interface,
#define TESTSERVER_NAME(Interface) #Interface,
const IID* const kInterfaceIds[] = {MORAVANE_LINK_SERVER_INTERFACES(TESTSERVER_IID)};
const char* const kInterfaceNames[] = {MORAVANE_LINK_SERVER_INTERFACES(TESTSERVER_NAME)};
#undef TESTSERVER_IID
#undef TESTSERVER_NAME
static_assert(sizeof kInterfaceIds / sizeof kInterfaceIds[0] == kInterfaceCount);
static_assert(std::tuple_size_v<LinkServerRows> == kInterfaceCount);

std::atomic<LONG> g_liveServers{0};

BSTR CopyBstr(const std::u16string& text) {
  return ::SysAllocStringLen(comsupport::AsOleChars(text.data()), static_cast<UINT>(text.size()));
}

std::u16string FromBstr(BSTR value) { return std::u16string(comsupport::BstrView(value)); }

std::string Utf8(BSTR text) {
  return kelvex::utility::UTF16ToUTF8(kelvex::utility::UTF16String(comsupport::BstrView(text)));
}

// The canonical text of a value, as the records give it.
std::string Text(LONG value) { return std::to_string(value); }
std::string Text(ULONGLONG value) { return std::to_string(value); }
std::string Text(const GUID& guid) { return kelvex::utility::Guid(guid).ToString(); }
std::string Text(BSTR value) { return value ? "set" : "null"; }
std::string Text(IUnknown* value) { return value ? "set" : "null"; }
std::string Text(double value) {
  char buffer[64];
  return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

struct ObjectAnswer {
  LONG objectId;
};
using OutValue = std::variant<LONG, ULONGLONG, double, std::optional<std::u16string>, GUID, ObjectAnswer>;

struct Script {
  HRESULT hr = S_OK;
  ErrorKind errorKind = kNoErrorText;
  std::u16string errorText;
  std::map<LONG, OutValue> outs;
};

class TestObject;

// What every object shares: the registry of objects and the records. The
// control holds it, and so does every object, so an object that a faulty
// library keeps alive still records after the control is gone.
struct ServerState {
  std::mutex mutex;
  std::vector<TestObject*> objects;  // index id - 1; one reference each while registered
  std::vector<RecordedCall> calls;
  std::vector<RecordedRefEvent> events;
  std::map<std::tuple<LONG, LONG, LONG>, Script> scripts;
  // Served to another process: a client's query for IUnknown is answered
  // by its proxy and never arrives here, so every such query comes from
  // the link itself (taking the identity of an object it sends or
  // receives) and is not recorded as the client's.
  bool hosted = false;

  // The id of the object behind any of its interface pointers, without a
  // call: 0 for null, -1 for no object of this server.
  LONG IdOf(IUnknown* pointer);
  std::string Describe(IUnknown* pointer) {
    const LONG id = IdOf(pointer);
    return id == 0 ? "null" : id < 0 ? "?" : "#" + std::to_string(id);
  }
  TestObject* Find(LONG id) {
    return id < 1 || id > static_cast<LONG>(objects.size()) ? nullptr : objects[static_cast<std::size_t>(id - 1)];
  }
};

// What a client's pointer to one interface of a test object points at: a
// vtable made from that interface's rows, and the object.
using Slot = void (*)();
struct Facet {
  const Slot* vtable;
  TestObject* owner;
};

class TestObject final : public IUnknown {
 public:
  TestObject(std::shared_ptr<ServerState> state, LONG id, LONG mask);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = riid == IID_IUnknown ? static_cast<IUnknown*>(this) : nullptr;
    for (LONG index = 0; index < kInterfaceCount; ++index) {
      if (riid == *kInterfaceIds[index] && (m_mask & (LONG{1} << index)) != 0) *object = FacetOf(index);
    }
    if (riid != IID_IUnknown || !m_state->hosted) Record(kQueryInterface, QueryDetail(riid, *object != nullptr));
    if (*object == nullptr) return E_NOINTERFACE;
    return ++m_refs, S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return Record(kAddRef, ""), static_cast<ULONG>(++m_refs); }
  ULONG STDMETHODCALLTYPE Release() override {
    Record(kRelease, "");
    const LONG left = --m_refs;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  LONG Id() const { return m_id; }
  LONG RefCount() const { return m_refs.load(); }
  bool Owns(IUnknown* pointer) const {
    bool owns = pointer == static_cast<const IUnknown*>(this);
    for (LONG index = 0; index < kInterfaceCount; ++index) owns = owns || FacetOf(index) == pointer;
    return owns;
  }
  ServerState& State() { return *m_state; }
  // Records a call and gives the script of its slot.
  Script Record(LONG index, LONG slot, std::string arguments) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    const LONG thread = static_cast<LONG>(testprobes::CallerThreadId());
    m_state->calls.push_back(RecordedCall{m_id, index, slot, thread, std::move(arguments)});
    const auto found = m_state->scripts.find({m_id, index, slot});
    return found != m_state->scripts.end() ? found->second : Script();
  }

 private:
  ~TestObject() = default;
  void Record(RefEventKind kind, std::string detail) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    const LONG thread = static_cast<LONG>(testprobes::CallerThreadId());
    m_state->events.push_back(RecordedRefEvent{m_id, kind, thread, std::move(detail)});
  }
  IUnknown* FacetOf(LONG index) const { return reinterpret_cast<IUnknown*>(const_cast<Facet*>(&m_facets[index])); }

  Facet m_facets[kInterfaceCount];
  std::shared_ptr<ServerState> m_state;
  const LONG m_id;
  const LONG m_mask;
  std::atomic<LONG> m_refs{1};
};

// Each parameter as the server received it; for out-parameters, what the
// caller had put there before the call.
std::string Describe(ServerState&, In, LONG value) { return "LONG:" + Text(value); }
std::string Describe(ServerState&, In, ULONGLONG value) { return "ULONGLONG:" + Text(value); }
std::string Describe(ServerState&, In, double value) { return "double:" + Text(value); }
std::string Describe(ServerState&, In, BSTR value) {
  if (value == nullptr) return "BSTR:null";
  return "BSTR:\"" + Utf8(value) + "\"(len " + Text(LONG(::SysStringLen(value))) + ")";
}
std::string Describe(ServerState&, In, GUID* value) { return "GUID*:" + (value ? Text(*value) : "null"); }
template <class I, class = std::enable_if_t<std::is_base_of_v<IUnknown, I>>>
std::string Describe(ServerState& state, In, I* value) {
  const char* type = std::is_same_v<I, IVideoRenderOptions2>   ? "IVideoRenderOptions2*:"
                     : std::is_same_v<I, IAudioRenderOptions2> ? "IAudioRenderOptions2*:"
                                                               : "IUnknown*:";
  return type + state.Describe(value);
}
template <class T>
std::string Describe(ServerState&, Out, T* out) {
  const char* type = std::is_same_v<T, LONG>        ? "out LONG*:"
                     : std::is_same_v<T, ULONGLONG> ? "out ULONGLONG*:"
                     : std::is_same_v<T, double>    ? "out double*:"
                     : std::is_same_v<T, GUID>      ? "out GUID*:"
                     : std::is_same_v<T, BSTR>      ? "out BSTR*:"
                                                    : "out IUnknown**:";
  return type + (out == nullptr ? std::string("nullptr") : Text(*out));
}

// Writes a scripted out-value.
template <class T>
void Fill(ServerState&, T* out, const OutValue& value) {
  *out = std::get<T>(value);
}
void Fill(ServerState&, BSTR* out, const OutValue& value) {
  const auto& text = std::get<std::optional<std::u16string>>(value);
  *out = text ? CopyBstr(*text) : nullptr;
}
void Fill(ServerState& state, IUnknown** out, const OutValue& value) {
  std::unique_lock<std::mutex> lock(state.mutex);
  TestObject* object = state.Find(std::get<ObjectAnswer>(value).objectId);
  lock.unlock();
  if (object != nullptr) object->AddRef();  // the caller's own reference
  *out = object;
}

template <class Direction, class T>
void Answer(ServerState& state, Direction, T arg, const Script& script, LONG& position, bool errorText) {
  if constexpr (std::is_same_v<Direction, Out>) {
    if constexpr (std::is_same_v<T, BSTR*>) {
      if (errorText && arg != nullptr && script.errorKind != kNoErrorText) {
        *arg = CopyBstr(script.errorKind == kErrorText ? script.errorText : std::u16string());
      }
      if (errorText) return;
    }
    const auto value = script.outs.find(position++);
    if (value != script.outs.end() && arg != nullptr) Fill(state, arg, value->second);
  }
}

// The function a row puts into a facet's vtable: it takes the facet first,
// as a C client of the interface calls it, records every argument and
// answers from the script; the last argument is the error text.
template <LONG Index, class RowT, class Args = typename RowT::Traits::Args,
          class Seq = std::make_index_sequence<std::tuple_size_v<Args>>>
struct Thunk;
template <LONG Index, class RowT, class... A, std::size_t... K>
struct Thunk<Index, RowT, std::tuple<A...>, std::index_sequence<K...>> {
  template <std::size_t N>
  using Direction = std::tuple_element_t<N, typename RowT::DirectionList>;
  static HRESULT STDMETHODCALLTYPE Call(Facet* self, A... args) {
    ServerState& state = self->owner->State();
    std::string text;
    {
      std::lock_guard<std::mutex> lock(state.mutex);
      ((text += (K == 0 ? "" : " ") + Describe(state, Direction<K>{}, args)), ...);
    }
    const Script script = self->owner->Record(Index, RowT::kSlot, std::move(text));
    LONG position = 0;
    (Answer(state, Direction<K>{}, args, script, position, K + 1 == sizeof...(A)), ...);
    return script.hr;
  }
};

HRESULT STDMETHODCALLTYPE FacetQueryInterface(Facet* self, REFIID riid, void** object) {
  return self->owner->QueryInterface(riid, object);
}
ULONG STDMETHODCALLTYPE FacetAddRef(Facet* self) { return self->owner->AddRef(); }
ULONG STDMETHODCALLTYPE FacetRelease(Facet* self) { return self->owner->Release(); }

// The vtable of one interface's facets. Offset-to-top and type information
// come first, as in a vtable the compiler emits, so that checks of the
// dynamic type (sanitizers) see an object of type I.
template <LONG Index, class List>
struct Facets;
template <LONG Index, class I, class... Rows>
struct Facets<Index, comsupport::InterfaceRows<I, Rows...>> {
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
         reinterpret_cast<Slot>(&FacetRelease), reinterpret_cast<Slot>(&Thunk<Index, Rows>::Call)...}};
    return image.slots;
  }
};

template <std::size_t... K>
const Slot* FacetVtable(LONG index, std::index_sequence<K...>) {
  static const Slot* const vtables[] = {Facets<K, std::tuple_element_t<K, LinkServerRows>>::Vtable()...};
  return vtables[index];
}

TestObject::TestObject(std::shared_ptr<ServerState> state, LONG id, LONG mask)
    : m_state(std::move(state)), m_id(id), m_mask(mask) {
  for (LONG index = 0; index < kInterfaceCount; ++index) {
    m_facets[index] = Facet{FacetVtable(index, std::make_index_sequence<kInterfaceCount>()), this};
  }
}

LONG ServerState::IdOf(IUnknown* pointer) {
  for (TestObject* object : objects) {
    if (object != nullptr && pointer != nullptr && object->Owns(pointer)) return object->Id();
  }
  return pointer == nullptr ? 0 : -1;
}

// Embedded NULs included.
BSTR CopyUtf8(const std::string& text) {
  const int size = static_cast<int>(text.size());
  const int length = size == 0 ? 0 : ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  BSTR copy = ::SysAllocStringLen(nullptr, static_cast<UINT>(length));
  if (copy != nullptr && length > 0) ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, copy, length);
  return copy;
}

class TestControl final : public ITestControl {
 public:
  explicit TestControl(bool hosted) : m_state(std::make_shared<ServerState>()) {
    m_state->hosted = hosted;
    ++g_liveServers;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = riid == IID_IUnknown || riid == IID_ITestControl ? static_cast<ITestControl*>(this) : nullptr;
    return *object ? (AddRef(), S_OK) : E_NOINTERFACE;
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
    std::unique_lock<std::mutex> lock(m_state->mutex);
    TestObject* found = m_state->Find(id);
    lock.unlock();
    *object = found;
    if (found == nullptr) return E_INVALIDARG;
    found->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IdentifyObject(IUnknown* pointer, LONG* id) override {
    if (id == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    *id = m_state->IdOf(pointer);
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
  HRESULT STDMETHODCALLTYPE ScriptOut(LONG id, LONG interfaceIndex, LONG slot, LONG position, LONG kind, LONG number,
                                      ULONGLONG wide, double real, BSTR text, GUID* guid) override {
    if (kind == kOutGuid && guid == nullptr) return E_POINTER;
    if (kind < kOutLong || kind > kOutObject) return E_INVALIDARG;
    using Str = std::optional<std::u16string>;
    const OutValue values[] = {
        number, wide, real, Str(FromBstr(text)), Str(), guid ? *guid : GUID{}, ObjectAnswer{number}};
    const OutValue& value = values[kind];
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->scripts[{id, interfaceIndex, slot}].outs[position] = value;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetRecords(LONG which, BSTR* records) override {
    if (records == nullptr) return E_POINTER;
    const auto fields = [](std::initializer_list<LONG> values, const std::string& text) {
      std::string record;
      for (LONG value : values) record += std::to_string(value) + '\x1f';
      return record + text + '\x1f' + '\x1e';
    };
    std::string text;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    for (const RecordedCall& c : which == 0 ? m_state->calls : std::vector<RecordedCall>())
      text += fields({c.id, c.interfaceIndex, c.slot, c.thread}, c.arguments);
    for (const RecordedRefEvent& e : which == 1 ? m_state->events : std::vector<RecordedRefEvent>())
      text += fields({e.id, e.kind, e.thread}, e.detail);
    *records = CopyUtf8(text);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetRefCount(LONG id, LONG* count) override {
    std::unique_lock<std::mutex> lock(m_state->mutex);
    TestObject* object = m_state->Find(id);
    if (object == nullptr) return E_INVALIDARG;
    *count = object->RefCount();
    lock.unlock();
    // Served to another process, the link's own references on the object
    // are left out: the client counts what its proxies hold itself. Asked
    // without the state's lock, since the link calls the objects (which
    // take it) under its own. The object stays registered, and so alive,
    // as long as this control is.
    if (m_state->hosted) *count -= testprobes::StubReferences(object);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ClearRecords() override {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->calls.clear();
    m_state->events.clear();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Probe(LONG which, LONG argument, LONG* value) override {
    if (value == nullptr) return E_POINTER;
    *value = 0;
    if (which == kExportedObjects) *value = testprobes::ExportedObjects();
    if (which == kLiveBstrs) *value = static_cast<LONG>(testprobes::LiveBstrCount());
    if (which == kProcessId) *value = static_cast<LONG>(::GetCurrentProcessId());
    if (which == kSleep) std::this_thread::sleep_for(std::chrono::milliseconds(argument));
    return which >= kExportedObjects && which <= kSleep ? S_OK : E_INVALIDARG;
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
    --g_liveServers;
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

HRESULT CreateInProcessTestServer(ITestControl** control) { return *control = new TestControl(false), S_OK; }
HRESULT CreateHostedTestServer(ITestControl** control) { return *control = new TestControl(true), S_OK; }

LONG LiveTestServers() { return g_liveServers.load(); }

}  // namespace testserver
