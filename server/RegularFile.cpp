#include "RegularFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace linkserver {

namespace {

[[noreturn]] void ThrowErrno(int error) {
  throw FileOpenError(std::error_code(error, std::generic_category()), std::strerror(error));
}

#ifdef _WIN32
using Stat = struct _stat64;
// A FIFO or a device opens and is refused below; a directory does not open
// at all (EACCES).
int Open(const std::filesystem::path& path) { return _wopen(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT); }
int StatOf(int fd, Stat& info) { return _fstat64(fd, &info); }
#else
using Stat = struct stat;
// O_NONBLOCK: a FIFO without a writer opens at once instead of waiting for
// one, and is refused below. On a regular file the flag changes nothing, so
// it is left set. O_NOCTTY: a terminal never becomes ours by being opened.
int Open(const std::filesystem::path& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  return fd;
}
int StatOf(int fd, Stat& info) { return ::fstat(fd, &info); }
#endif

const char* KindOf(unsigned mode) {
  switch (mode & S_IFMT) {
    case S_IFDIR:
      return "is a directory";
    case S_IFCHR:
      return "is a character device";
#ifdef S_IFIFO
    case S_IFIFO:
      return "is a FIFO";
#endif
#ifndef _WIN32
    case S_IFBLK:
      return "is a block device";
    case S_IFSOCK:
      return "is a socket";
#endif
    default:
      return "is of an unknown kind";
  }
}

}  // namespace

RegularFile OpenRegularFile(const std::filesystem::path& path) {
  RegularFile file;
  file.fd.Reset(Open(path));
  if (!file.fd) ThrowErrno(errno);
  Stat info;
  if (StatOf(file.fd.Get(), info) != 0) ThrowErrno(errno);
  if ((info.st_mode & S_IFMT) != S_IFREG) {
    throw FileOpenError(std::error_code(), std::string(KindOf(info.st_mode)) + ", not a regular file");
  }
  file.size = static_cast<std::uint64_t>(info.st_size);
  return file;
}

std::ptrdiff_t ReadFully(int fd, void* buffer, std::size_t size) {
  auto* at = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    // Bounded chunks: the Windows run-time's read takes an unsigned count.
    const std::size_t want = std::min<std::size_t>(size - done, 1u << 20);
#ifdef _WIN32
    const int got = _read(fd, at + done, static_cast<unsigned>(want));
#else
    const ssize_t got = ::read(fd, at + done, want);
#endif
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<std::ptrdiff_t>(done);
}

}  // namespace linkserver
