// Frames per second of 1920x1080 BGRA 8-bit colour bars from Python into
// NumPy, against the C++ loop over the same link, in one process and one
// run: both use the shared library (one communication thread) and the same
// reference server process, started by activation in a private world.
//   - Cpp: a host's loop on the public API: RenderVideo into its section;
//   - Python: one step of a moravane Frames iterator (the same remote call,
//     then the array over the section), called from here per iteration;
//   - CppRead / PythonRead: the same, each frame then read once (C++: a
//     checksum over every 64-bit word; Python: NumPy's sum of the frame seen
//     as 64-bit words);
//   - PythonDeliveredDropped: each frame dropped before the next (one
//     section, as the C++ loop); PythonDelivered holds the frame before, as
//     a for loop does (two sections), against CppDeliveredTwoSections;
//   - PythonKept100 / PythonCopied100: lists of 100 frames, views kept
//     against copies;
//   - PythonDeliveredRGB / PythonDeliveredGray: three channels and grey.
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
#include <vector>

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

// The host's loop in C++: `sections` renderers of the source, each bound to
// a section of its own, taking turns (one: the plain loop; two: what a
// Python loop that holds the frame before pays at best).
void Cpp(benchmark::State& state, bool read, int sections) {
  try {
    moravane::OrraServer factory;
    moravane::Server server = factory.CreateLink();
    moravane::Project project = server.OpenProject(kelvex::utility::AsciiToUTF16(g_project));
    moravane::Source source = project.GetSource(*kelvex::utility::Guid::Parse("00000000-0000-4000-8000-000000000002"));
    struct Bound {
      moravane::Renderer renderer;
      moravane::VideoRenderOptions options;
      moravane::MemoryMappedFile section;
    };
    std::vector<Bound> bound(static_cast<std::size_t>(sections));
    ULONGLONG written = 0;
    for (std::size_t i = 0; i < bound.size(); ++i) {
      Bound& b = bound[i];
      b.renderer = source.GetRenderer();
      b.options = b.renderer.CreateVideoRenderOptions();
      b.options.SetChannelOrder(0);
      b.options.SetBitDepth(8);
      const std::string name = "python-frames-bench-" + std::to_string(::getpid()) + "-" + std::to_string(i);
      b.section.Init(true, name, kFrameBytes);
      b.renderer.StartVideoRender(b.options, name, kFrameBytes);
      b.renderer.RenderVideo(kelvex::time::RatioTime(0, 25), &written);
    }
    std::uint64_t sum = 0;
    int time = 1;
    for (auto _ : state) {
      Bound& b = bound[static_cast<std::size_t>(time) % bound.size()];
      b.renderer.RenderVideo(kelvex::time::RatioTime(time++ % kFramesInSource, 25), &written);
      if (read) sum += Checksum(b.section.GetAddress());
    }
    benchmark::DoNotOptimize(sum);
    for (Bound& b : bound) b.renderer.EndVideoRender();
    server.CloseProject(project);
  } catch (const moravane::LinkError& error) {
    state.SkipWithError(("LinkError " + std::to_string(error.GetError())).c_str());
    return;
  }
  Rates(state);
}

// A Python loop: `body` defines step(), which renders `framesPerStep`
// frames of the iterator `frames` (opened with `options`) and returns
// something to keep the result alive. One step runs untimed first, so a
// pool's sections exist before the timing starts.
void Python(benchmark::State& state, const char* options, const char* body, int framesPerStep) {
  try {
    py::dict scope;
    scope["path"] = g_project;
    scope["frames_in_source"] = kFramesInSource;
    py::exec(std::string(R"(
import itertools, moravane, numpy
server = moravane.link()
project = server.open(path)
frames = project.source("Bars").frames(range(frames_in_source), depth=8, )") +
                 options + ")\n" + body + "\nstep()\n",
             scope);
    py::object step = scope["step"];
    for (auto _ : state) benchmark::DoNotOptimize(step().ptr());
    py::exec("kept = None; frames.close(); project.close(); server.close()", scope);
  } catch (const py::error_already_set& error) {
    state.SkipWithError(error.what());
    return;
  }
  state.counters["frames/s"] =
      benchmark::Counter(double(state.iterations()) * framesPerStep, benchmark::Counter::kIsRate);
}

// As `for frame in frames:` runs: the frame before is still held while the
// next one renders, so the pool alternates between two sections.
constexpr const char* kNext = "kept = None\ndef step():\n    global kept\n    kept = next(frames)\n    return kept";
// Each frame dropped before the next renders: one section, as the C++ loop.
constexpr const char* kDrop = "def step():\n    next(frames)";
constexpr const char* kRead = "def step():\n    return int(next(frames).reshape(-1).view(numpy.uint64).sum())";
// 100 frames kept at once, as `list(frames)` keeps them: views of 100
// sections, against the same list made of copies out of two sections. The
// list before is dropped first, so that one list's sections are reused.
constexpr const char* kKeep =
    "kept = None\ndef step():\n    global kept\n    kept = None\n"
    "    kept = list(itertools.islice(frames, 100))\n    return kept";
constexpr const char* kCopy =
    "kept = None\ndef step():\n    global kept\n    kept = None\n"
    "    kept = [f.copy() for f in itertools.islice(frames, 100)]\n    return kept";

BENCHMARK_CAPTURE(Cpp, Delivered, false, 1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(Cpp, DeliveredTwoSections, false, 2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(Python, Delivered, "channels='BGRA'", kNext, 1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(Python, DeliveredDropped, "channels='BGRA'", kDrop, 1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(Cpp, Read, true, 1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(Python, Read, "channels='BGRA'", kRead, 1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(Python, Kept100, "channels='BGRA'", kKeep, 100)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Python, Copied100, "channels='BGRA'", kCopy, 100)->Unit(benchmark::kMillisecond)->UseRealTime();
// Three channels and grey, converted once out of the section.
BENCHMARK_CAPTURE(Python, DeliveredRGB, "channels='RGB'", kNext, 1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(Python, DeliveredGray, "channels='GRAY'", kNext, 1)->Unit(benchmark::kMicrosecond)->UseRealTime();

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
