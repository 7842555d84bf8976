// How each parameter type travels in each direction, for the generated
// proxies and stubs (rpc/ProxyStub.h):
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
#pragma once

#include <comsupport/Bstr.h>
#include <comsupport/ComPtr.h>
#include <comsupport/InterfaceRows.h>
#include <rpc/Calls.h>

#include <cstdint>
#include <type_traits>

namespace rpc {

using comsupport::In;
using comsupport::Out;

namespace detail {

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
      return args.Value(value) ? StubResult::kDone : StubResult::kShortArguments;
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
      if (!args.Value(flag)) return StubResult::kShortArguments;
      if (flag > 1) return StubResult::kBadPresence;
      present = flag == 1;
      if (present && !args.Value(value)) return StubResult::kShortArguments;
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
      if (!ok) return StubResult::kShortArguments;
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
      if (!args.Value(id)) return StubResult::kShortArguments;
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
    ReceivedProxy proxy = call.UnmarshalObject(id, ok);
    if (!ok) return false;
    if (proxy.IsEmpty() || std::is_same_v<T, IUnknown>) {
      *out = static_cast<T*>(proxy.Detach());
      return true;
    }
    // A typed out-object: the proxy is asked for the interface, which the
    // server answers; the identity reference goes with `proxy` either way.
    void* typed = nullptr;
    QueryReceivedProxy(proxy.Get(), InterfaceIdOf<T>::Get(), &typed);
    *out = static_cast<T*>(typed);
    return true;
  }
  static void Reset(T** out) {
    const ReceivedProxy decoded(*out);  // the reference decoded into it goes: it was never handed out
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

}  // namespace rpc
