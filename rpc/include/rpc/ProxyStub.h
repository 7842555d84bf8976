// Proxies and stubs generated from one table per interface.
//
// An interface is described once, as an IDL would: one row per method with
// its vtable slot, the member function, and the direction of each of its
// parameters. From that row the templates below derive both ends of the
// call: the proxy function that a client calls through a vtable built here,
// and the stub function that decodes the arguments in the server, calls the
// real object and encodes the out-values. Nothing is written per method.
//
//   using ServerRows = comsupport::InterfaceRows<IServer2,
//       comsupport::Row<3, &IServer2::GetVersion, comsupport::Out, comsupport::Out>,
//       comsupport::Row<4, ...>>;
//   rpc::RegisterInterface(rpc::TableOf<ServerRows>::Info());
//
// How each parameter type travels: rpc/Params.h.
//
// Proxies use the Itanium C++ ABI directly: a proxy object starts with a
// vtable pointer whose slots are plain functions taking the proxy as their
// first argument, which is how that ABI calls a virtual member function.
#pragma once

#include <comsupport/InterfaceRows.h>
#include <rpc/Calls.h>
#include <rpc/Params.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <utility>

namespace rpc {

using comsupport::Row;

namespace detail {

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
    if (!args.AtEnd()) return StubResult::kTrailingBytes;
    auto* object = static_cast<typename RowT::Interface*>(target);
    const HRESULT hr = (object->*RowT::kMember)(std::get<K>(storage).Arg()...);
    reply.Value(hr);
    (std::get<K>(storage).Encode(call, reply), ...);
    return StubResult::kDone;
  }
};

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

// The proxies and stubs of one interface: its rows in slot order from 3.
template <class I, class... Rows>
struct InterfaceTable {
  static constexpr int kMethodCount = comsupport::InterfaceRows<I, Rows...>::kMethodCount;  // checks the rows

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

// The same from an interface's list of rows.
template <class List>
struct TableOfRows;
template <class I, class... Rows>
struct TableOfRows<comsupport::InterfaceRows<I, Rows...>> {
  using Type = InterfaceTable<I, Rows...>;
};
template <class List>
using TableOf = typename TableOfRows<List>::Type;

}  // namespace rpc
