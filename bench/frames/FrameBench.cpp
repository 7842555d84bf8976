// Frames per second of 1920x1080 BGRA 8-bit colour bars, measured in one
// run along every path a frame can take:
//   - Memset: writing the frame's bytes, the floor of any frame writer;
//   - RenderAlone: the server's render engine into its own memory;
//   - RenderAloneChecked: the same, followed by the host's read of the frame
//     (a checksum over every byte);
//   - Link: the reference server in another process, reached through the
//     library's handles (communication thread, proxies, remote calls); it
//     renders into the host's named section, which the host then reads;
//   - LinkNullCall: one remote call without a frame on the same kind of
//     link, the part of Link that is neither rendering nor reading;
//   - Pipe: the same frames rendered in another process on the host's
//     request (a frame number written into one pipe) and pushed through a
//     second pipe into the host's memory, then read.
// The peers are forked before any thread starts; each ends when the pipe
// from this process closes.
#include "LinkServer.h"
#include "Render.h"
#include "marshalling/Dispatch.h"

#include <benchmark/benchmark.h>
#include <comsupport/ClassFactory.h>
#include <chrono>
#include <moravane/MemoryMappedFile.h>
#include <moravane/Project.h>
#include <moravane/RenderOptions.h>
#include <moravane/Renderer.h>
#include <moravane/Server.h>
#include <moravane/Source.h>

#include <objbase.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace moravane;

constexpr int kWidth = 1920, kHeight = 1080;
constexpr std::size_t kFrameBytes = std::size_t(kWidth) * kHeight * 4;
constexpr int kFramesInSource = 25000;  // 1000 s at 25 frames per second

std::filesystem::path g_project;
int g_pipeFrames = -1;    // read end of the frames of the pipe peer
int g_pipeRequests = -1;  // write end of its frame requests

// The host's read of a frame: every byte goes through the CPU once.
std::uint64_t Checksum(const void* frame) {
  const auto* words = static_cast<const std::uint64_t*>(frame);
  std::uint64_t a = 0, b = 0;
  for (std::size_t i = 0; i < kFrameBytes / 8; i += 2) {
    a += words[i];
    b ^= words[i + 1];
  }
  return a + b;
}

linkserver::SourceDesc BarsSource() {
  linkserver::SourceDesc source;
  source.durationValue = kFramesInSource;
  source.durationScale = 25;
  source.width = kWidth;
  source.height = kHeight;
  source.frameRate = 25;
  source.video.kind = linkserver::VideoKind::kColourBars;
  return source;
}

// The render engine as the server drives it for one render: default
// options (BGRA, 8 bits, the source's size), one generator.
struct Engine {
  linkserver::SourceDesc source = BarsSource();
  linkserver::VideoOptions options;
  linkserver::FrameLayout layout = linkserver::ComputeLayout(options, kWidth, kHeight);
  std::unique_ptr<linkserver::VideoGenerator> generator =
      linkserver::MakeVideoGenerator(source, layout, options, nullptr);
  void Render(int frame, std::byte* destination) const {
    linkserver::RenderFrame(*generator, layout, options, frame / 25.0, 1 / 25.0, destination);
  }
};

void Rates(benchmark::State& state) {
  state.counters["frames/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(kFrameBytes));
}

void Memset(benchmark::State& state) {
  std::vector<std::byte> frame(kFrameBytes, std::byte{1});
  int value = 0;
  for (auto _ : state) {
    std::memset(frame.data(), ++value & 0xFF, frame.size());
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  Rates(state);
}

void RenderAlone(benchmark::State& state, bool read) {
  const Engine engine;
  if (engine.layout.frameBytes != kFrameBytes) {
    state.SkipWithError("unexpected frame layout");
    return;
  }
  std::vector<std::byte> frame(kFrameBytes);
  int time = 0;
  std::uint64_t sum = 0;
  for (auto _ : state) {
    engine.Render(time++ % kFramesInSource, frame.data());
    if (read) sum += Checksum(frame.data());
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(sum);
  Rates(state);
}

// A Server handle linked to an interface of the caller's choosing.
class LinkedServer : public Server {
 public:
  explicit LinkedServer(comsupport::CComPtr<IUnknown> unknown) : Server(std::move(unknown)) {}
};

// Activates the out-of-process server on the communication thread, where
// the library makes every remote call.
Server LinkToServer() {
  comsupport::CComPtr<IUnknown> unknown;
  WideString errorText;
  detail::DispatchCall(
      [&unknown] {
        IUnknown* raw = nullptr;
        const HRESULT hr = CoCreateInstance(CLSID_OrraLinkServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                            reinterpret_cast<void**>(&raw));
        if (FAILED(hr)) throw LinkError(u"the server could not be activated", hr);
        unknown = comsupport::CComPtr<IUnknown>::Adopt(raw);
      },
      errorText);
  return LinkedServer(unknown);
}

void Link(benchmark::State& state) {
  try {
    Server server = LinkToServer();
    Project project = server.OpenProject(kelvex::utility::AsciiToUTF16(g_project.string()));
    Source source = project.GetSource(*kelvex::utility::Guid::Parse("00000000-0000-4000-8000-000000000002"));
    Renderer renderer = source.GetRenderer();
    VideoRenderOptions options = renderer.CreateVideoRenderOptions();
    const std::string name = "frames-bench-" + std::to_string(::getpid());
    MemoryMappedFile section;
    section.Init(true, name, kFrameBytes);
    const void* frame = section.GetAddress();
    renderer.StartVideoRender(options, name, kFrameBytes);
    // The first frame faults the section's pages in, on both sides; the
    // other paths write into memory already touched, so it is not timed.
    ULONGLONG first = 0;
    renderer.RenderVideo(kelvex::time::RatioTime(0, 25), &first);
    std::uint64_t sum = Checksum(frame);
    int time = 1;
    // Where a frame's time goes: the remote render (the server writing
    // into the section) and the host's read of it.
    double inRender = 0, inSum = 0;
    for (auto _ : state) {
      ULONGLONG written = 0;
      auto t0 = std::chrono::steady_clock::now();
      renderer.RenderVideo(kelvex::time::RatioTime(time++ % kFramesInSource, 25), &written);
      auto t1 = std::chrono::steady_clock::now();
      inRender += std::chrono::duration<double, std::micro>(t1 - t0).count();
      if (written != kFrameBytes) {
        state.SkipWithError("the server wrote an unexpected frame size");
        break;
      }
      sum += Checksum(frame);
      inSum += std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t1).count();
    }
    state.counters["renderUs"] = inRender / double(state.iterations());
    state.counters["sumUs"] = inSum / double(state.iterations());
    benchmark::DoNotOptimize(sum);
    renderer.EndVideoRender();
    server.CloseProject(project);
  } catch (const LinkError& error) {
    state.SkipWithError(
        ("LinkError " + std::to_string(error.GetError()) + ": " + kelvex::utility::UTF16ToUTF8(error.GetErrorString()))
            .c_str());
    return;
  }
  Rates(state);
}

// The cost of one remote call on the same link, in the same run: what
// separates Link from RenderAloneChecked when the two processes hand the
// cores to each other.
void LinkNullCall(benchmark::State& state) {
  try {
    Server server = LinkToServer();
    LONG sum = 0;
    for (auto _ : state) sum += server.GetVersion();
    benchmark::DoNotOptimize(sum);
  } catch (const LinkError& error) {
    state.SkipWithError(("LinkError " + std::to_string(error.GetError())).c_str());
    return;
  }
  state.counters["calls/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

bool ReadAll(int fd, std::byte* data, std::size_t size) {
  while (size > 0) {
    const ssize_t got = ::read(fd, data, size);
    if (got <= 0) return false;
    data += got;
    size -= std::size_t(got);
  }
  return true;
}

void Pipe(benchmark::State& state) {
  std::vector<std::byte> frame(kFrameBytes);
  std::uint64_t sum = 0;
  std::int32_t time = 0;
  for (auto _ : state) {
    const std::int32_t request = time++ % kFramesInSource;
    if (::write(g_pipeRequests, &request, sizeof request) != sizeof request ||
        !ReadAll(g_pipeFrames, frame.data(), frame.size())) {
      state.SkipWithError("the pipe peer is gone");
      break;
    }
    sum += Checksum(frame.data());
  }
  benchmark::DoNotOptimize(sum);
  Rates(state);
}

BENCHMARK(Memset)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(RenderAlone, Unread, false)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(RenderAlone, Checked, true)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(Link)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(LinkNullCall)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(Pipe)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The server process: the reference server's class, published to the
// user's other processes, until this process's end of `control` closes.
[[noreturn]] void ServeLinks(int ready, int control) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  comsupport::StaticClassFactory factory([](REFIID iid, void** object) {
    return comsupport::HandOut(linkserver::CreateLinkServer(std::make_shared<linkserver::KernelSections>()), iid,
                               object);
  });
  DWORD cookie = 0;
  const HRESULT hr =
      CoRegisterClassObject(CLSID_OrraLinkServer, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
  const char status = SUCCEEDED(hr) ? 'r' : 'f';
  (void)!::write(ready, &status, 1);
  char byte;
  while (::read(control, &byte, 1) > 0) {
  }
  CoRevokeClassObject(cookie);
  CoUninitialize();
  std::_Exit(0);
}

// The pipe peer: like the server, renders the frame the host asks for
// (a frame number on `requests`) and writes it whole into `out`; ends when
// the host's end of the requests closes.
[[noreturn]] void PushFrames(int requests, int out) {
  const Engine engine;
  std::vector<std::byte> frame(kFrameBytes);
  for (;;) {
    std::int32_t time = 0;
    if (!ReadAll(requests, reinterpret_cast<std::byte*>(&time), sizeof time)) std::_Exit(0);
    engine.Render(time, frame.data());
    const std::byte* data = frame.data();
    std::size_t left = frame.size();
    while (left > 0) {
      const ssize_t put = ::write(out, data, left);
      if (put <= 0) std::_Exit(0);
      data += put;
      left -= std::size_t(put);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A private runtime and configuration folder: the published class is
  // seen by this run only, and nothing of the user's is read or changed.
  char scratchTemplate[] = "/tmp/frames-bench-XXXXXX";
  const char* scratch = ::mkdtemp(scratchTemplate);
  if (scratch == nullptr) return 1;
  const std::filesystem::path folder(scratch);
  std::filesystem::create_directories(folder / "runtime");
  std::filesystem::create_directories(folder / "config");
  ::setenv("XDG_RUNTIME_DIR", (folder / "runtime").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
  g_project = folder / "bench.orraproj";
  std::ofstream(g_project) << "orra-project 1\nproject \"Bench\" {00000000-0000-4000-8000-000000000001}\n"
                              "source \"Bars\" {00000000-0000-4000-8000-000000000002}\n duration "
                           << kFramesInSource << " 25\n size 1920 1080\n rate 25\n video bars\nend\n";

  int control[2], ready[2], frames[2], requests[2];
  if (::pipe2(control, O_CLOEXEC) != 0 || ::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(frames, O_CLOEXEC) != 0 ||
      ::pipe2(requests, O_CLOEXEC) != 0) {
    return 1;
  }
  // Larger pipe buffers let the peer run ahead by more than a page or two.
  ::fcntl(frames[1], F_SETPIPE_SZ, 1 << 20);

  const pid_t serverPid = ::fork();
  if (serverPid == 0) {
    ::close(control[1]);
    ::close(frames[0]);
    ::close(frames[1]);
    ::close(requests[0]);
    ::close(requests[1]);
    ServeLinks(ready[1], control[0]);
  }
  const pid_t pipePid = ::fork();
  if (pipePid == 0) {
    ::close(control[1]);
    ::close(ready[1]);
    ::close(frames[0]);
    ::close(requests[1]);
    PushFrames(requests[0], frames[1]);
  }
  ::close(control[0]);
  ::close(frames[1]);
  ::close(requests[0]);
  ::close(ready[1]);
  g_pipeFrames = frames[0];
  g_pipeRequests = requests[1];
  char status = 0;
  if (::read(ready[0], &status, 1) != 1 || status != 'r') {
    std::fprintf(stderr, "the server process could not publish its class\n");
    return 1;
  }

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  ::close(g_pipeRequests);
  ::close(g_pipeFrames);
  ::close(control[1]);
  ::waitpid(pipePid, nullptr, 0);
  ::waitpid(serverPid, nullptr, 0);
  std::filesystem::remove_all(folder);
  return 0;
}
