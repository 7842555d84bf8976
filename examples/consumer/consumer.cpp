// A host that uses nothing but the installed public headers and the shared
// library. It exercises what needs no running server: the error type, the
// threading setting, a handle that was never linked (also through the host
// helpers of moravane/Host.h, header only), and a section created
// and opened by name. Exits non-zero, naming the step, at the first surprise.
#include <moravane/Host.h>
#include <moravane/LinkError.h>
#include <moravane/MemoryMappedFile.h>
#include <moravane/Server.h>
#include <moravane/ThreadedState.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

namespace {

int failures = 0;

void Expect(bool ok, const char* what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++failures;
}

}  // namespace

int main() {
  using namespace moravane;

  const LinkError error(u"no server", kNoRemoteObject);
  Expect(error.GetError() == kNoRemoteObject && error.GetErrorString() == u"no server",
         "LinkError keeps its code and text");

  Expect(!ThreadedState::GetFreeThreaded(), "free-threaded mode is off when the library is loaded");
  ThreadedState::SetFreeThreaded(true);
  Expect(ThreadedState::GetFreeThreaded(), "free-threaded mode can be switched on");
  ThreadedState::SetFreeThreaded(false);

  // Every call of a handle that holds no remote object fails with the one
  // error type, on the library's own thread and in free-threaded mode.
  for (bool freeThreaded : {false, true}) {
    ThreadedState::SetFreeThreaded(freeThreaded);
    HRESULT code = S_OK;
    try {
      Server().GetVersion();
    } catch (LinkError& failure) {
      code = failure.GetError();
      Expect(failure.ShouldReconnect(), "an unlinked handle asks the host to link again");
    }
    Expect(code == kNoRemoteObject,
           freeThreaded ? "unlinked Server throws (free-threaded)" : "unlinked Server throws (communication thread)");
  }
  ThreadedState::SetFreeThreaded(false);

  HRESULT layoutCode = S_OK;
  try {
    VideoRenderOptions unlinked;
    host::FrameLayoutOf(unlinked, {0, 0, 64, 36});
  } catch (LinkError& failure) {
    layoutCode = failure.GetError();
  }
  Expect(layoutCode == kNoRemoteObject, "the host helpers reach the server through the exported classes");

  const std::string name = "moravane-consumer-" + std::to_string(::getpid());
  constexpr ULONGLONG kSize = 1 << 16;
  MemoryMappedFile created;
  created.Init(true, name, kSize);
  std::memset(created.GetAddress(), 0x5A, kSize);
  MemoryMappedFile opened;
  opened.Init(false, name, kSize);
  const auto* bytes = static_cast<const unsigned char*>(opened.GetAddress());
  Expect(bytes[0] == 0x5A && bytes[kSize - 1] == 0x5A, "a section created by name is seen by its opener");
  static_cast<unsigned char*>(opened.GetAddress())[kSize / 2] = 0xA5;
  Expect(static_cast<const unsigned char*>(created.GetAddress())[kSize / 2] == 0xA5,
         "what the opener writes reaches the creator");

  HRESULT missing = S_OK;
  try {
    MemoryMappedFile absent;
    absent.Init(false, name + "-absent", kSize);
    absent.GetAddress();
  } catch (LinkError& failure) {
    missing = failure.GetError();
  }
  Expect(missing == kSharedMemoryFailed, "opening a section that does not exist throws");

  std::printf("%s\n", failures == 0 ? "consumer: all checks passed" : "consumer: checks failed");
  return failures == 0 ? 0 : 1;
}
