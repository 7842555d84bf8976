// One row per method of a COM interface, as an IDL states it: the vtable
// slot, the member function and the direction of each parameter. A list of
// rows describes an interface once; whatever needs the shape of its calls
// (the proxies and stubs of the out-of-process link, the tests' fake
// server) is generated from that one list.
//
//   using ServerRows = comsupport::InterfaceRows<IServer2,
//       comsupport::Row<3, &IServer2::GetVersion, comsupport::Out, comsupport::Out>, ...>;
#pragma once

#include <objbase.h>

#include <cstddef>
#include <tuple>
#include <type_traits>

namespace comsupport {

// Parameter directions of a row.
struct In {};
struct Out {};

template <class Member>
struct MemberTraits;
template <class I, class... A>
struct MemberTraits<HRESULT (STDMETHODCALLTYPE I::*)(A...)> {
  using Interface = I;
  using Args = std::tuple<A...>;
  static constexpr std::size_t kArity = sizeof...(A);
};

// One method: its slot, the member function and one direction per
// parameter, in declaration order.
template <int Slot, auto Member, class... Directions>
struct Row {
  static constexpr int kSlot = Slot;
  static constexpr auto kMember = Member;
  using Traits = MemberTraits<decltype(Member)>;
  using Interface = typename Traits::Interface;
  using DirectionList = std::tuple<Directions...>;
  static_assert(sizeof...(Directions) == Traits::kArity, "one direction per parameter");
};

template <class... Rows>
constexpr bool SlotsAreConsecutive() {
  int expected = 3;
  return ((Rows::kSlot == expected++) && ...);
}

// The rows of one interface, in slot order from 3.
template <class I, class... Rows>
struct InterfaceRows {
  static_assert(std::is_base_of_v<IUnknown, I>);
  static_assert((std::is_same_v<typename Rows::Interface, I> && ...), "every row is a method of the interface");
  static_assert(SlotsAreConsecutive<Rows...>(), "rows are in vtable order, slots 3, 4, 5 ...");
  using Interface = I;
  static constexpr int kMethodCount = sizeof...(Rows);
};

}  // namespace comsupport
