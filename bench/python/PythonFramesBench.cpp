// Frames per second of 1920x1080 BGRA 8-bit colour bars from Python into
// NumPy, against the C++ loop over the same link, in one process and one
// run: both use the shared library (one communication thread) and the same
// reference server process, started by activation in a private world.
//   - Cpp: a host's loop on the public API: RenderVideo into its section;
//   - Python: one step of a moravane Frames iterator (the same remote call,
//     then the array over the section), called from here per iteration;
//   - CppRead / PythonRead: the same, each frame then read once (C++: a
//     checksum over every 64-bit word; Python: NumPy's sum of the frame seen
//     as 64-bit words).
// The first frame of each render faults the section in and is not timed.
#include <moravane/Link.h>
#include <moravane/LinkError.h>
#include <moravane/MemoryMappedFile.h>
#include <moravane/Project.h>
#include <moravane/RenderOptions.h>
#include <moravane/Renderer.h>
#include <moravane/Server.h>
#include <moravane/Source.h>

#include <benchmark/benchmark.h>
#include <pybind11/embed.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace py = pybind11;

namespace {

constexpr int kWidth = 1920, kHeight = 1080;
constexpr std::size_t kFrameBytes = std::size_t(kWidth) * kHeight * 4;
constexpr int kFramesInSource = 25000;  // 1000 s at 25 frames per second

std::string g_project;

std::uint64_t Checksum(const void* frame) {
  const auto* words = static_cast<const std::uint64_t*>(frame);
  std::uint64_t a = 0, b = 0;
  for (std::size_t i = 0; i < kFrameBytes / 8; i += 2) {
    a += words[i];
    b ^= words[i + 1];
  }
  return a + b;
}

void Rates(benchmark::State& state) {
  state.counters["frames/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void Cpp(benchmark::State& state, bool read) {
  try {
    moravane::OrraServer factory;
    moravane::Server server = factory.CreateLink();
    moravane::Project project = server.OpenProject(kelvex::utility::AsciiToUTF16(g_project));
    moravane::Source source = project.GetSource(*kelvex::utility::Guid::Parse("00000000-0000-4000-8000-000000000002"));
    moravane::Renderer renderer = source.GetRenderer();
    moravane::VideoRenderOptions options = renderer.CreateVideoRenderOptions();
    options.SetChannelOrder(0);
    options.SetBitDepth(8);
    const std::string name = "python-frames-bench-" + std::to_string(::getpid());
    moravane::MemoryMappedFile section;
    section.Init(true, name, kFrameBytes);
    const void* frame = section.GetAddress();
    renderer.StartVideoRender(options, name, kFrameBytes);
    ULONGLONG written = 0;
    renderer.RenderVideo(kelvex::time::RatioTime(0, 25), &written);
    std::uint64_t sum = 0;
    int time = 1;
    for (auto _ : state) {
      renderer.RenderVideo(kelvex::time::RatioTime(time++ % kFramesInSource, 25), &written);
      if (read) sum += Checksum(frame);
    }
    benchmark::DoNotOptimize(sum);
    renderer.EndVideoRender();
    server.CloseProject(project);
  } catch (const moravane::LinkError& error) {
    state.SkipWithError(("LinkError " + std::to_string(error.GetError())).c_str());
    return;
  }
  Rates(state);
}

void Python(benchmark::State& state, bool read) {
  try {
    py::dict scope;
    scope["path"] = g_project;
    scope["read"] = read;
    scope["frames_in_source"] = kFramesInSource;
    py::exec(R"(
import moravane, numpy
server = moravane.link()
project = server.open(path)
frames = project.source("Bars").frames(range(frames_in_source), channel_order="BGRA", depth=8)
next(frames)
if read:
    def step():
        return int(next(frames).reshape(-1).view(numpy.uint64).sum())
else:
    step = frames.__next__
)",
             scope);
    py::object step = scope["step"];
    for (auto _ : state) benchmark::DoNotOptimize(step().ptr());
    py::exec("frames.close(); project.close(); server.close()", scope);
  } catch (const py::error_already_set& error) {
    state.SkipWithError(error.what());
    return;
  }
  Rates(state);
}

BENCHMARK_CAPTURE(Cpp, Delivered, false)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(Python, Delivered, false)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(Cpp, Read, true)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(Python, Read, true)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // A private runtime and configuration folder with the reference server
  // registered there: the server that activation starts is this run's
  // alone. As its subreaper this process waits for it at the end.
  char scratchTemplate[] = "/tmp/python-frames-bench-XXXXXX";
  const char* scratch = ::mkdtemp(scratchTemplate);
  if (scratch == nullptr) return 1;
  const std::filesystem::path folder(scratch);
  ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  const std::string registration = std::string(PYBENCH_SERVER_PATH) + " --register > /dev/null";
  if (std::system(registration.c_str()) != 0) {
    std::fprintf(stderr, "the reference server could not be registered\n");
    return 1;
  }
  g_project = (folder / "bench.orraproj").string();
  std::ofstream(g_project) << "orra-project 1\nproject \"Bench\" {00000000-0000-4000-8000-000000000001}\n"
                              "source \"Bars\" {00000000-0000-4000-8000-000000000002}\n duration "
                           << kFramesInSource << " 25\n size 1920 1080\n rate 25\n video bars\nend\n";

  benchmark::Initialize(&argc, argv);
  {
    py::scoped_interpreter python;
    py::module_::import("sys").attr("path").attr("insert")(0, PYBENCH_PACKAGE_PATH);
    benchmark::RunSpecifiedBenchmarks();
  }
  benchmark::Shutdown();

  // The server ends by itself after its grace period once its clients are
  // gone; reap it before its folder goes.
  while (::waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
  }
  std::filesystem::remove_all(folder);
  return 0;
}
