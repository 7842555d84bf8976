// Owners of kernel resources: a handle closed with CloseHandle, a mapped
// view unmapped with UnmapViewOfFile, and the ownership of a mutex given
// back with ReleaseMutex, each exactly once.
#pragma once

#include <comsupport/UniqueResource.h>

#include <windows.h>

namespace comsupport {

struct HandleTraits {
  using Type = HANDLE;
  static Type Empty() noexcept { return nullptr; }
  static void Release(Type value) noexcept { ::CloseHandle(value); }
};

struct MappedViewTraits {
  using Type = void*;
  static Type Empty() noexcept { return nullptr; }
  static void Release(Type value) noexcept { ::UnmapViewOfFile(value); }
};

// Holds the mutex handle (not owned) whose ownership the calling thread
// gives back; must be released on the thread that acquired it.
struct MutexOwnershipTraits {
  using Type = HANDLE;
  static Type Empty() noexcept { return nullptr; }
  static void Release(Type value) noexcept { ::ReleaseMutex(value); }
};

using UniqueHandle = UniqueResource<HandleTraits>;
using UniqueMappedView = UniqueResource<MappedViewTraits>;
using MutexOwnership = UniqueResource<MutexOwnershipTraits>;

}  // namespace comsupport
