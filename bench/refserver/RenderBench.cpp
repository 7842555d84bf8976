// Frames per second that the reference server renders into a caller's
// buffer through IRenderer2::RenderVideo, against memset of the same frame
// size measured in the same run (the floor for any frame writer).
#include "LinkServer.h"
#include "ServerError.h"

#include <benchmark/benchmark.h>
#include <comsupport/ComPtr.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

using comsupport::CComPtr;
using namespace moravane;

constexpr int kWidth = 1920, kHeight = 1080;
constexpr std::size_t kFrameBytes = std::size_t(kWidth) * kHeight * 4;

void Memset(benchmark::State& state) {
  std::vector<std::uint8_t> frame(kFrameBytes, 1);
  int value = 0;
  for (auto _ : state) {
    std::memset(frame.data(), ++value & 0xFF, frame.size());
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  state.counters["frames/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(kFrameBytes));
}

// Renders `video` (a project-file video line) at 1920x1080, BGRA 8-bit.
void RenderThroughServer(benchmark::State& state, const char* video) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / "refserver-bench";
  std::filesystem::create_directories(folder);
  const std::filesystem::path path = folder / "bench.orraproj";
  std::ofstream(path) << "orra-project 1\nproject \"Bench\" {00000000-0000-4000-8000-000000000001}\n"
                         "source \"S\" {00000000-0000-4000-8000-000000000002}\n duration 1000 1\n size 1920 1080\n"
                         " rate 25\n video "
                      << video << "\nend\n";
  auto sections = std::make_shared<linkserver::InProcessSections>();
  std::vector<std::uint8_t> frame(kFrameBytes, 1);
  sections->Register(u"bench", frame.data(), frame.size());
  CComPtr<IServer2> server = linkserver::CreateLinkServer(sections);
  BSTR error = nullptr;
  auto check = [&](HRESULT hr) {
    if (FAILED(hr) || error != nullptr) {
      state.SkipWithError(linkserver::FromBstr(error).c_str());
      SysFreeString(error);
      error = nullptr;
      return false;
    }
    return true;
  };
  const std::u16string widePath = linkserver::ToUtf16(path.string());
  BSTR bstrPath = SysAllocString(widePath.c_str());
  IUnknown* raw = nullptr;
  const bool opened = check(server->OpenProject(bstrPath, &raw, &error));
  SysFreeString(bstrPath);
  if (!opened) return;
  CComPtr<IUnknown> projectUnknown = CComPtr<IUnknown>::Adopt(raw);
  CComPtr<IProject2> project;
  projectUnknown->QueryInterface(IID_IProject2, reinterpret_cast<void**>(&project));
  GUID id = {0x00000000, 0x0000, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02}};
  raw = nullptr;
  if (!check(project->GetSource(&id, &raw, &error))) return;
  CComPtr<IUnknown> sourceUnknown = CComPtr<IUnknown>::Adopt(raw);
  CComPtr<ISource2> source;
  sourceUnknown->QueryInterface(IID_ISource2, reinterpret_cast<void**>(&source));
  raw = nullptr;
  if (!check(source->GetRenderer(&raw, &error))) return;
  CComPtr<IUnknown> rendererUnknown = CComPtr<IUnknown>::Adopt(raw);
  CComPtr<IRenderer2> renderer;
  rendererUnknown->QueryInterface(IID_IRenderer2, reinterpret_cast<void**>(&renderer));
  raw = nullptr;
  if (!check(renderer->CreateVideoRenderOptions(&raw, &error))) return;
  CComPtr<IUnknown> optionsUnknown = CComPtr<IUnknown>::Adopt(raw);
  CComPtr<IVideoRenderOptions2> options;
  optionsUnknown->QueryInterface(IID_IVideoRenderOptions2, reinterpret_cast<void**>(&options));
  BSTR name = SysAllocString(u"bench");
  const bool started = check(renderer->StartVideoRender(options, name, frame.size(), &error));
  SysFreeString(name);
  if (!started) return;
  LONG time = 0;
  for (auto _ : state) {
    ULONGLONG written = 0;
    if (!check(renderer->RenderVideo(time++ % 25000, 25, &written, &error))) break;
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  check(renderer->EndVideoRender(&error));
  state.counters["frames/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(kFrameBytes));
  std::filesystem::remove_all(folder);
}

void ColourBars(benchmark::State& state) { RenderThroughServer(state, "bars"); }
void FrameNumber(benchmark::State& state) { RenderThroughServer(state, "framenumber"); }

BENCHMARK(Memset)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(ColourBars)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(FrameNumber)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
