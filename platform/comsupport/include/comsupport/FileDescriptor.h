// The owner of a POSIX file descriptor (the platform layer's sockets,
// pipes, event and process descriptors): closes it exactly once.
#pragma once

#include <comsupport/UniqueResource.h>

#include <unistd.h>

namespace comsupport {

struct FileDescriptorTraits {
  using Type = int;
  static Type Empty() noexcept { return -1; }
  static void Release(Type fd) noexcept { ::close(fd); }
};

using UniqueFd = UniqueResource<FileDescriptorTraits>;

}  // namespace comsupport
