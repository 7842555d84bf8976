// Types that cross the library's boundary.
#pragma once

#include <kelvex/Geometry.h>
#include <kelvex/Guid.h>
#include <kelvex/RatioTime.h>
#include <kelvex/Strings.h>

#include <objbase.h>

namespace moravane {

// Every text of the boundary: paths, names, extensions, error texts.
using WideString = kelvex::utility::UTF16String;

// Result codes of the library's own. Typed HRESULT: a bare 0x8xxxxxxx
// literal is unsigned and never equals a negative code.
constexpr HRESULT kNoRemoteObject = static_cast<HRESULT>(0x80042329u);      // a handle holds no interface
constexpr HRESULT kSharedMemoryFailed = static_cast<HRESULT>(0x8004232Au);  // a shared memory file failed
constexpr HRESULT kThrownLong = -1;                                         // a `long` was thrown in an executor

}  // namespace moravane
