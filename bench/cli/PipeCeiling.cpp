// Writes one ready 1920x1080 RGBA frame to the standard output COUNT times,
// spliced (vmsplice(2), as moravane-cli does into a pipe) or copied
// (write(2)), with the pipe enlarged to 1 MiB as moravane-cli does. What a
// reader such as `cat` makes of it is the most any frame writer reaches on
// this machine: nothing is rendered, only the reader's copy out of the pipe
// (and, for write, the writer's copy into it) is left.
//
//   pipe_ceiling splice|write COUNT | cat >/dev/null
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "splice") != 0 && std::strcmp(argv[1], "write") != 0)) {
    std::fprintf(stderr, "usage: pipe_ceiling splice|write COUNT\n");
    return 2;
  }
  const bool splice = std::strcmp(argv[1], "splice") == 0;
  const long count = std::atol(argv[2]);
  const std::size_t bytes = std::size_t(1920) * 1080 * 4;
  // Page aligned, and touched once, as a section the server has rendered into.
  void* frame = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (frame == MAP_FAILED) return 1;
  std::memset(frame, 0x5A, bytes);
  ::fcntl(1, F_SETPIPE_SZ, 1 << 20);
  for (long n = 0; n < count; ++n) {
    char* at = static_cast<char*>(frame);
    std::size_t rest = bytes;
    while (rest > 0) {
      iovec piece{at, rest};
      const ssize_t done = splice ? ::vmsplice(1, &piece, 1, 0) : ::write(1, at, rest);
      if (done < 0) {
        std::fprintf(stderr, "pipe_ceiling: %s\n", std::strerror(errno));
        return 1;
      }
      at += done;
      rest -= std::size_t(done);
    }
  }
  return 0;
}
