// The most a writer into a pipe reaches on this machine, with the pipe
// enlarged to 1 MiB as moravane-cli does. Nothing is rendered: only the
// writer's way of handing its bytes over, and the reader's copy out of the
// pipe, are left.
//
//   pipe_ceiling write|splice COUNT | cat >/dev/null
//       one ready 1920x1080 RGBA frame COUNT times, copied (write(2)) or
//       spliced from the same pages every time (vmsplice(2)): a writer
//       that reuses its pages this way hands a reader that moves them on
//       (splice(2) into a pipe of its own) frames overwritten since;
//   pipe_ceiling write|gift|splice FILE FRAME_BYTES | ffmpeg -i - ...
//       a file's bytes as a writer that makes them would hand them over,
//       FRAME_BYTES at a time: each piece copied into one reused buffer and
//       written (write), or into fresh pages given to the pipe and never
//       touched again (gift: vmsplice(2) with SPLICE_F_GIFT, the one way to
//       splice made bytes that no reader can see change); or the file's own
//       cached pages spliced (splice), which only bytes already in a file
//       allow.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

int Fail(const char* what) {
  std::fprintf(stderr, "pipe_ceiling: %s: %s\n", what, std::strerror(errno));
  return 1;
}

// Hands `bytes` at `at` to the standard output whole.
bool Put(const char* at, std::size_t bytes, bool splice, unsigned flags = 0) {
  while (bytes > 0) {
    iovec piece{const_cast<char*>(at), bytes};
    const ssize_t done = splice ? ::vmsplice(1, &piece, 1, flags) : ::write(1, at, bytes);
    if (done < 0) return false;
    at += done;
    bytes -= std::size_t(done);
  }
  return true;
}

int Frames(bool splice, long count) {
  const std::size_t bytes = std::size_t(1920) * 1080 * 4;
  // Page aligned, and touched once, as a section the server has rendered into.
  void* frame = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (frame == MAP_FAILED) return Fail("mmap");
  std::memset(frame, 0x5A, bytes);
  for (long n = 0; n < count; ++n) {
    if (!Put(static_cast<const char*>(frame), bytes, splice)) return Fail("write");
  }
  return 0;
}

int File(const std::string& mode, const char* path, std::size_t piece) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  struct stat status {};
  if (fd < 0 || ::fstat(fd, &status) != 0) return Fail(path);
  const std::size_t size = std::size_t(status.st_size);
  if (mode == "splice") {
    off64_t offset = 0;
    while (std::size_t(offset) < size) {
      if (::splice(fd, &offset, 1, nullptr, size - std::size_t(offset), SPLICE_F_MORE) <= 0) return Fail("splice");
    }
    return 0;
  }
  const auto* bytes = static_cast<const char*>(::mmap(nullptr, size, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0));
  if (bytes == MAP_FAILED) return Fail("mmap");
  const long page = ::sysconf(_SC_PAGESIZE);
  const std::size_t mapped = (piece + std::size_t(page) - 1) / std::size_t(page) * std::size_t(page);
  std::string reused(piece, '\0');
  for (std::size_t at = 0; at < size; at += piece) {
    const std::size_t length = std::min(piece, size - at);
    if (mode == "write") {
      std::memcpy(reused.data(), bytes + at, length);
      if (!Put(reused.data(), length, false)) return Fail("write");
      continue;
    }
    void* fresh = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (fresh == MAP_FAILED) return Fail("mmap");
    std::memcpy(fresh, bytes + at, length);
    if (!Put(static_cast<const char*>(fresh), length, true, SPLICE_F_GIFT)) return Fail("vmsplice");
    ::munmap(fresh, mapped);  // the pipe keeps the pages it was given
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  ::fcntl(1, F_SETPIPE_SZ, 1 << 20);
  if (argc == 3 && (mode == "write" || mode == "splice")) return Frames(mode == "splice", std::atol(argv[2]));
  if (argc == 4 && (mode == "write" || mode == "gift" || mode == "splice") && std::atol(argv[3]) > 0) {
    return File(mode, argv[2], std::size_t(std::atol(argv[3])));
  }
  std::fprintf(stderr, "usage: pipe_ceiling write|splice COUNT, or pipe_ceiling write|gift|splice FILE FRAME_BYTES\n");
  return 2;
}
