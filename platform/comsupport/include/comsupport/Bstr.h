// The BSTR owner: frees its BSTR with SysFreeString exactly once.
#pragma once

#include <comsupport/UniqueResource.h>

#include <oleauto.h>

namespace comsupport {

struct BstrTraits {
  using Type = BSTR;
  static Type Empty() noexcept { return nullptr; }
  static void Release(Type value) noexcept { ::SysFreeString(value); }
};

using UniqueBstr = UniqueResource<BstrTraits>;

}  // namespace comsupport
