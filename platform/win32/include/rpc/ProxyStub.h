// Proxies and stubs generated from one table per interface.
//
// An interface is described once, as an IDL would: one row per method with
// its vtable slot, the member function, and the direction of each of its
// parameters. From that row the templates below derive both ends of the
// call: the proxy function that a client calls through a vtable built here,
// and the stub function that decodes the arguments in the server, calls the
// real object and encodes the out-values. Nothing is written per method.
//
//   using ServerTable = rpc::InterfaceTable<IServer2,
//       rpc::Row<3, &IServer2::GetVersion, rpc::Out, rpc::Out>,
//       rpc::Row<4, ...>>;
//   rpc::RegisterInterface(ServerTable::Info());
//
// Marshalling by parameter type and direction (anything else does not
// compile):
//   [in] LONG, ULONGLONG, double   copied by value
//   [out] LONG*, ULONGLONG*, double*, GUID*
//   [in] GUID*                     the 16 bytes it points at (null allowed)
//   [in] BSTR                      copied; the server's copy is freed after the call
//   [out] BSTR*                    allocated by the server object, freed by the
//                                  stub after sending, reallocated for the caller,
//                                  who owns it
//   [in] I* (any interface)        a proxy of the same server travels as its
//                                  object id and reaches the server as its own
//                                  original object; a null pointer stays null
//   [out] I**                      the server's object is exported and the caller
//                                  gets a proxy carrying one reference
//
// Proxies use the Itanium C++ ABI directly: a proxy object starts with a
// vtable pointer whose slots are plain functions taking the proxy as their
// first argument, which is how that ABI calls a virtual member function.
#pragma once

#include <comsupport/Bstr.h>
#include <comsupport/ComPtr.h>
#include <rpc/Wire.h>

#include <objbase.h>
#include <oleauto.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <utility>

namespace rpc {

// Parameter directions of a row.
struct In {};
struct Out {};

// The IID of an interface type, for interface pointers passed as
// parameters. Specialised next to each table (RPC_INTERFACE_ID).
template <class Interface>
struct InterfaceIdOf;

template <>
struct InterfaceIdOf<IUnknown> {
  static const IID& Get() { return IID_IUnknown; }
};

#define RPC_INTERFACE_ID(Interface, iid)    \
  template <>                               \
  struct rpc::InterfaceIdOf<Interface> {    \
    static const IID& Get() { return iid; } \
  }

// Failure codes that the proxies return for the link itself.
constexpr HRESULT kCallFailed = RPC_S_CALL_FAILED_HR;
constexpr HRESULT kServerUnavailable = RPC_S_SERVER_UNAVAILABLE_HR;
constexpr HRESULT kNullRefPointer = MORAVANE_HR(0x800706F4u);     // RPC_X_NULL_REF_POINTER
constexpr HRESULT kBadStubData = MORAVANE_HR(0x800706F7u);        // RPC_X_BAD_STUB_DATA
constexpr HRESULT kProcNumOutOfRange = MORAVANE_HR(0x800706D1u);  // RPC_S_PROCNUM_OUT_OF_RANGE
// The server object, or the decoding of its arguments, threw.
constexpr HRESULT kServerFault = MORAVANE_HR(0x80010105u);  // RPC_E_SERVERFAULT

struct InterfaceInfo;

// The object behind every interface pointer that a client holds on a remote
// object. The manager owns the link to the server and the reference count.
class ProxyManager;
struct InterfaceProxy {
  const void* vtable;
  ProxyManager* manager;
  const InterfaceInfo* info;
};

// The three IUnknown slots of every proxy.
HRESULT STDMETHODCALLTYPE ProxyQueryInterface(InterfaceProxy* self, REFIID iid, void** object);
ULONG STDMETHODCALLTYPE ProxyAddRef(InterfaceProxy* self);
ULONG STDMETHODCALLTYPE ProxyRelease(InterfaceProxy* self);

// The link's own references on a proxy that it has just made for a received
// object and not yet handed to anyone: taken straight from the proxy's
// manager, unseen by whoever watches what the proxy's callers do
// (platformdebug::SetProxyReferenceHook).
HRESULT QueryReceivedProxy(IUnknown* proxy, REFIID iid, void** object);
void ReleaseReceivedProxy(IUnknown* proxy);

// One call in flight from a proxy: a channel to the server taken for the
// length of the call, the request being written and the reply being read.
class ClientChannel;
class ProxyCall {
 public:
  ProxyCall(InterfaceProxy* self, int slot);
  ~ProxyCall();
  ProxyCall(const ProxyCall&) = delete;
  ProxyCall& operator=(const ProxyCall&) = delete;

  // S_OK when the request can be written, else the code to return.
  HRESULT Status() const { return m_status; }
  Writer& Request() { return m_request; }
  // An interface pointer passed in: its object id (0 for null). Fails with
  // E_INVALIDARG for an object that is not a proxy of the same server.
  HRESULT MarshalObject(IUnknown* object, ObjectId& id);
  // Sends the request and waits for the reply. Returns the server's HRESULT
  // when a reply came (Replied() is then true and Reply() is positioned at
  // the out-values) or the failure of the link.
  HRESULT Transact();
  bool Replied() const { return m_replied; }
  Reader& Reply() { return m_reply; }
  // An object id received: a proxy carrying one reference (null for 0), or
  // null with `ok` false when the reply made no sense.
  IUnknown* UnmarshalObject(ObjectId id, bool& ok);
  // The reply broke the protocol: the channel is dropped and the call fails.
  HRESULT Malformed();

 private:
  ProxyManager* m_manager;
  ClientChannel* m_channel = nullptr;
  HRESULT m_status = S_OK;
  Writer m_request;
  Reader m_reply;
  bool m_replied = false;
};

// What the stub of one method reports to the dispatcher.
enum class StubResult { kDone, kMalformed, kUnknownObject, kOutOfMemory };

// The server's side of one call: resolves object ids sent in and exports
// objects sent out, in the session of the calling client.
class StubCall {
 public:
  virtual ~StubCall() = default;
  // A reference on the object's interface `iid`, or null with `result` set.
  virtual void* ResolveObject(ObjectId id, REFIID iid, StubResult& result) = 0;
  // Exports an object for the client, which receives one reference on it.
  virtual ObjectId ExportObject(IUnknown* object) = 0;
};

using StubFunction = StubResult (*)(void* target, Reader& args, Writer& reply, StubCall& call);

struct InterfaceInfo {
  const IID* iid;
  const char* name;
  int methodCount;                 // slots 3 .. 3 + methodCount - 1
  const void* proxyVtable;         // the value of a proxy's vtable pointer
  const StubFunction* stubs;       // indexed by slot - 3
  const std::ptrdiff_t* abiSlots;  // the slot each row's member function has in the real vtable
};

// Makes an interface known to the engine in this process, for proxies and
// stubs alike. Returns false (and registers nothing) when a row names a
// member function whose real vtable slot differs from the row's slot.
bool RegisterInterface(const InterfaceInfo& info);
const InterfaceInfo* FindInterface(REFIID iid);

namespace detail {

template <class Member>
struct MemberTraits;
template <class I, class... A>
struct MemberTraits<HRESULT (STDMETHODCALLTYPE I::*)(A...)> {
  using Interface = I;
  using Args = std::tuple<A...>;
  static constexpr std::size_t kArity = sizeof...(A);
};

// The vtable slot of a virtual member function, read from its Itanium ABI
// representation: {1 + byte offset in the vtable, this-adjustment}.
template <auto Member>
std::ptrdiff_t AbiSlotOf() {
  struct Representation {
    std::uintptr_t pointer;
    std::ptrdiff_t adjustment;
  };
  static_assert(sizeof(Member) == sizeof(Representation));
  Representation representation;
  auto member = Member;
  std::memcpy(&representation, &member, sizeof representation);
  if ((representation.pointer & 1u) == 0) return -1;
  return static_cast<std::ptrdiff_t>((representation.pointer - 1) / sizeof(void*));
}

template <class T>
constexpr bool kIsScalar = std::is_same_v<T, LONG> || std::is_same_v<T, ULONGLONG> || std::is_same_v<T, double>;

template <class T>
constexpr bool kIsInterface = std::is_class_v<T>&& std::is_base_of_v<IUnknown, T>;

template <class T>
struct InterfaceOf;
template <class T>
struct InterfaceOf<T*> {
  using Type = T;
};

}  // namespace detail

// How one parameter type travels in one direction. `Valid` rejects a null
// out-pointer before anything is sent; `Clear` gives out-values their
// empty state before the call so that a failing link leaves no garbage;
// `Encode`/`Decode` run in the proxy; `Storage` holds the value in the stub.
template <class Direction, class T, class Enable = void>
struct Param {
  static_assert(sizeof(T) == 0, "no marshalling for this parameter type and direction");
};

template <class T>
struct Param<In, T, std::enable_if_t<detail::kIsScalar<T>>> {
  static bool Valid(T) { return true; }
  static void Clear(T) {}
  static HRESULT Encode(ProxyCall& call, T value) {
    call.Request().Value(value);
    return S_OK;
  }
  static bool Decode(ProxyCall&, T) { return true; }
  static void Reset(T) {}
  struct Storage {
    T value{};
    StubResult Decode(StubCall&, Reader& args) {
      return args.Value(value) ? StubResult::kDone : StubResult::kMalformed;
    }
    T Arg() { return value; }
    void Encode(StubCall&, Writer&) {}
  };
};

template <class T>
struct Param<Out, T*, std::enable_if_t<detail::kIsScalar<T> || std::is_same_v<T, GUID>>> {
  static bool Valid(T* out) { return out != nullptr; }
  static void Clear(T* out) { *out = T{}; }
  static HRESULT Encode(ProxyCall&, T*) { return S_OK; }
  static bool Decode(ProxyCall& call, T* out) { return call.Reply().Value(*out); }
  static void Reset(T* out) { *out = T{}; }
  struct Storage {
    T value{};
    StubResult Decode(StubCall&, Reader&) { return StubResult::kDone; }
    T* Arg() { return &value; }
    void Encode(StubCall&, Writer& reply) { reply.Value(value); }
  };
};

template <>
struct Param<In, GUID*> {
  static bool Valid(GUID*) { return true; }
  static void Clear(GUID*) {}
  static HRESULT Encode(ProxyCall& call, GUID* value) {
    const std::uint8_t present = value != nullptr ? 1 : 0;
    call.Request().Value(present);
    if (present) call.Request().Value(*value);
    return S_OK;
  }
  static bool Decode(ProxyCall&, GUID*) { return true; }
  static void Reset(GUID*) {}
  struct Storage {
    GUID value{};
    bool present = false;
    StubResult Decode(StubCall&, Reader& args) {
      std::uint8_t flag = 0;
      if (!args.Value(flag) || flag > 1) return StubResult::kMalformed;
      present = flag == 1;
      if (present && !args.Value(value)) return StubResult::kMalformed;
      return StubResult::kDone;
    }
    GUID* Arg() { return present ? &value : nullptr; }
    void Encode(StubCall&, Writer&) {}
  };
};

namespace detail {

inline void WriteBstr(Writer& writer, BSTR value) {
  if (value == nullptr) {
    writer.Value(kNullBstr);
    return;
  }
  const UINT bytes = SysStringByteLen(value);
  writer.Value(static_cast<std::uint32_t>(bytes));
  writer.Bytes(value, bytes);
}

// Reads a BSTR into a fresh allocation. `ok` false means a malformed
// message, a null result with `ok` true and `outOfMemory` set means that
// the allocation failed.
inline BSTR ReadBstr(Reader& reader, bool& ok, bool& outOfMemory) {
  ok = false;
  outOfMemory = false;
  std::uint32_t bytes = 0;
  if (!reader.Value(bytes)) return nullptr;
  if (bytes == kNullBstr) {
    ok = true;
    return nullptr;
  }
  const std::uint8_t* data = reader.Take(bytes);
  if (data == nullptr) return nullptr;
  ok = true;
  BSTR value = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(data), bytes);
  outOfMemory = value == nullptr;
  return value;
}

}  // namespace detail

template <>
struct Param<In, BSTR> {
  static bool Valid(BSTR) { return true; }
  static void Clear(BSTR) {}
  static HRESULT Encode(ProxyCall& call, BSTR value) {
    detail::WriteBstr(call.Request(), value);
    return S_OK;
  }
  static bool Decode(ProxyCall&, BSTR) { return true; }
  static void Reset(BSTR) {}
  struct Storage {
    comsupport::UniqueBstr value;  // the server's copy, freed after the call
    StubResult Decode(StubCall&, Reader& args) {
      bool ok, outOfMemory;
      value.Reset(detail::ReadBstr(args, ok, outOfMemory));
      if (!ok) return StubResult::kMalformed;
      return outOfMemory ? StubResult::kOutOfMemory : StubResult::kDone;
    }
    BSTR Arg() { return value.Get(); }
    void Encode(StubCall&, Writer&) {}
  };
};

template <>
struct Param<Out, BSTR*> {
  static bool Valid(BSTR* out) { return out != nullptr; }
  static void Clear(BSTR* out) { *out = nullptr; }
  static HRESULT Encode(ProxyCall&, BSTR*) { return S_OK; }
  static bool Decode(ProxyCall& call, BSTR* out) {
    bool ok, outOfMemory;
    *out = detail::ReadBstr(call.Reply(), ok, outOfMemory);
    return ok && !outOfMemory;
  }
  static void Reset(BSTR* out) {
    SysFreeString(*out);
    *out = nullptr;
  }
  struct Storage {
    comsupport::UniqueBstr value;  // the server object's, freed after sending
    StubResult Decode(StubCall&, Reader&) { return StubResult::kDone; }
    BSTR* Arg() { return value.Put(); }
    void Encode(StubCall&, Writer& reply) { detail::WriteBstr(reply, value.Get()); }
  };
};

template <class T>
struct Param<In, T*, std::enable_if_t<detail::kIsInterface<T>>> {
  static bool Valid(T*) { return true; }
  static void Clear(T*) {}
  static HRESULT Encode(ProxyCall& call, T* object) {
    ObjectId id = 0;
    const HRESULT hr = call.MarshalObject(object, id);
    call.Request().Value(id);
    return hr;
  }
  static bool Decode(ProxyCall&, T*) { return true; }
  static void Reset(T*) {}
  struct Storage {
    comsupport::CComPtr<T> value;  // the reference the session lent for the call
    StubResult Decode(StubCall& call, Reader& args) {
      ObjectId id = 0;
      if (!args.Value(id)) return StubResult::kMalformed;
      if (id == 0) return StubResult::kDone;
      StubResult result = StubResult::kDone;
      value = comsupport::CComPtr<T>::Adopt(static_cast<T*>(call.ResolveObject(id, InterfaceIdOf<T>::Get(), result)));
      return result;
    }
    T* Arg() { return value.p; }
    void Encode(StubCall&, Writer&) {}
  };
};

template <class T>
struct Param<Out, T**, std::enable_if_t<detail::kIsInterface<T>>> {
  static bool Valid(T** out) { return out != nullptr; }
  static void Clear(T** out) { *out = nullptr; }
  static HRESULT Encode(ProxyCall&, T**) { return S_OK; }
  static bool Decode(ProxyCall& call, T** out) {
    ObjectId id = 0;
    if (!call.Reply().Value(id)) return false;
    bool ok = true;
    IUnknown* proxy = call.UnmarshalObject(id, ok);
    if (!ok) return false;
    if (proxy == nullptr || std::is_same_v<T, IUnknown>) {
      *out = static_cast<T*>(proxy);
      return true;
    }
    // A typed out-object: the proxy is asked for the interface, which the
    // server answers; the identity reference is dropped either way.
    void* typed = nullptr;
    QueryReceivedProxy(proxy, InterfaceIdOf<T>::Get(), &typed);
    ReleaseReceivedProxy(proxy);
    *out = static_cast<T*>(typed);
    return true;
  }
  static void Reset(T** out) {
    if (*out != nullptr) ReleaseReceivedProxy(*out);
    *out = nullptr;
  }
  struct Storage {
    comsupport::CComPtr<T> value;  // the server object's reference, dropped once exported
    StubResult Decode(StubCall&, Reader&) { return StubResult::kDone; }
    T** Arg() { return &value; }
    void Encode(StubCall& call, Writer& reply) {
      reply.Value(value.p != nullptr ? call.ExportObject(value.p) : ObjectId{0});
    }
  };
};

// One method of an interface: its slot, the member function and one
// direction per parameter, in declaration order.
template <int Slot, auto Member, class... Directions>
struct Row {
  static constexpr int kSlot = Slot;
  static constexpr auto kMember = Member;
  using Traits = detail::MemberTraits<decltype(Member)>;
  using Interface = typename Traits::Interface;
  using DirectionList = std::tuple<Directions...>;
  static_assert(sizeof...(Directions) == Traits::kArity, "one direction per parameter");
};

namespace detail {

template <class RowT, std::size_t K>
using ParamOf =
    Param<std::tuple_element_t<K, typename RowT::DirectionList>, std::tuple_element_t<K, typename RowT::Traits::Args>>;

template <class RowT, class Args = typename RowT::Traits::Args,
          class Indexes = std::make_index_sequence<std::tuple_size_v<Args>>>
struct ProxyFunction;

template <class RowT, class... A, std::size_t... K>
struct ProxyFunction<RowT, std::tuple<A...>, std::index_sequence<K...>> {
  static HRESULT STDMETHODCALLTYPE Call(InterfaceProxy* self, A... args) {
    if (!(ParamOf<RowT, K>::Valid(args) && ...)) return kNullRefPointer;
    (ParamOf<RowT, K>::Clear(args), ...);
    ProxyCall call(self, RowT::kSlot);
    if (FAILED(call.Status())) return call.Status();
    HRESULT encoded = S_OK;
    ((encoded = SUCCEEDED(encoded) ? ParamOf<RowT, K>::Encode(call, args) : encoded), ...);
    if (FAILED(encoded)) return encoded;
    const HRESULT hr = call.Transact();
    if (!call.Replied()) return hr;
    bool ok = true;
    ((ok = ok && ParamOf<RowT, K>::Decode(call, args)), ...);
    if (!ok || !call.Reply().AtEnd()) {
      (ParamOf<RowT, K>::Reset(args), ...);
      return call.Malformed();
    }
    return hr;
  }
};

template <class RowT, class Args = typename RowT::Traits::Args,
          class Indexes = std::make_index_sequence<std::tuple_size_v<Args>>>
struct StubFunctionOf;

template <class RowT, class... A, std::size_t... K>
struct StubFunctionOf<RowT, std::tuple<A...>, std::index_sequence<K...>> {
  static StubResult Invoke(void* target, Reader& args, Writer& reply, StubCall& call) {
    std::tuple<typename ParamOf<RowT, K>::Storage...> storage;
    StubResult result = StubResult::kDone;
    ((result = result == StubResult::kDone ? std::get<K>(storage).Decode(call, args) : result), ...);
    if (result != StubResult::kDone) return result;
    if (!args.AtEnd()) return StubResult::kMalformed;
    auto* object = static_cast<typename RowT::Interface*>(target);
    const HRESULT hr = (object->*RowT::kMember)(std::get<K>(storage).Arg()...);
    reply.Value(hr);
    (std::get<K>(storage).Encode(call, reply), ...);
    return StubResult::kDone;
  }
};

template <class... Rows>
constexpr bool SlotsAreConsecutive() {
  int expected = 3;
  return ((Rows::kSlot == expected++) && ...);
}

using Slot = void (*)();

template <std::size_t N>
struct VtableImage {
  std::ptrdiff_t offsetToTop;
  const std::type_info* typeInfo;
  Slot slots[N];
};

template <class F>
Slot AsSlot(F function) {
  return reinterpret_cast<Slot>(function);
}

}  // namespace detail

// The table of one interface: its rows in slot order from 3.
template <class I, class... Rows>
struct InterfaceTable {
  static_assert(std::is_base_of_v<IUnknown, I>);
  static_assert((std::is_same_v<typename Rows::Interface, I> && ...), "every row is a method of the interface");
  static_assert(detail::SlotsAreConsecutive<Rows...>(), "rows are in vtable order, slots 3, 4, 5 ...");

  static constexpr int kMethodCount = sizeof...(Rows);

  static const InterfaceInfo& Info() {
    // The vtable carries offset-to-top and type information in front of the
    // slots, like one the compiler emits, so that checks of the dynamic type
    // (sanitizers) see an object of type I.
    static const detail::VtableImage<3 + sizeof...(Rows)> vtable = {
        0,
        &typeid(I),
        {detail::AsSlot(&ProxyQueryInterface), detail::AsSlot(&ProxyAddRef), detail::AsSlot(&ProxyRelease),
         detail::AsSlot(&detail::ProxyFunction<Rows>::Call)...}};
    static const std::array<StubFunction, sizeof...(Rows)> stubs = {&detail::StubFunctionOf<Rows>::Invoke...};
    static const std::array<std::ptrdiff_t, sizeof...(Rows)> abiSlots = {detail::AbiSlotOf<Rows::kMember>()...};
    static const InterfaceInfo info = {
        &InterfaceIdOf<I>::Get(), typeid(I).name(), kMethodCount, vtable.slots, stubs.data(), abiSlots.data()};
    return info;
  }
};

}  // namespace rpc
