// The library (moravane.dll) against the reference server as a local server
// that the system's COM starts: host and server are two Windows processes,
// and every call crosses through the system's proxies and stubs
// (orra_linkserver_ps.dll). Both are registered by the test program for its
// own run, in its own prefix, and removed afterwards.
//
// The failure codes after a server's death are those of the RPC run-time
// this runs on (Wine's in CI); docs/windows.md sets them beside what Windows
// documents.
#include "support/ExpectLinkError.h"

#include <moravane/Link.h>
#include <moravane/MemoryMappedFile.h>
#include <moravane/Project.h>
#include <moravane/RenderOptions.h>
#include <moravane/Renderer.h>
#include <moravane/Server.h>
#include <moravane/Source.h>

#include <PngImage.h>
#include <kelvex/Guid.h>
#include <kelvex/Strings.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

namespace {

using ::testing::HasSubstr;
using testsupport::ExpectLinkError;

// What Wine's RPC run-time reports when the server process has gone: for a
// call in flight, and for the calls after it and an activation.
const HRESULT kCallFailed = HRESULT_FROM_WIN32(RPC_S_CALL_FAILED);
const HRESULT kServerUnavailable = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
const HRESULT kFileNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

#define ID(n) "{7E2E0000-0000-4000-8000-0000000000" #n "}"
const char* const kProject = R"(orra-project 1
project "End to end" )" ID(01) R"(
source "Numbers" )" ID(11) R"(
  duration 5 24
  size 128 72
  rate 24
  video framenumber
end
source "HD bars" )" ID(13) R"(
  duration 1 1
  size 1920 1080
  rate 24
  video bars
end
source "Orange" )" ID(15) R"(
  duration 1 1
  size 32 16
  rate 25
  video solid 255 128 0
end
source "Still" )" ID(16) R"(
  duration 1 1
  rate 25
  video image "still.png"
end
bin "Sounds" )" ID(02) R"(
  source "Sine" )" ID(20) R"(
    duration 3 1
    rate 25
    audio sine 1234.5
  end
  source "Quiet" )" ID(21) R"(
    duration 1 1
    rate 25
    audio silence
  end
end
)";

std::wstring BinFolder() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::filesystem::path(path).parent_path().wstring();
}
const std::wstring kServer = BinFolder() + L"\\orra_linkserver_host.exe";

// Runs a program to its end: its exit code, or -1 when it cannot start.
int Run(std::wstring commandLine) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return -1;
  }
  WaitForSingleObject(process.hProcess, 60000);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

// The running processes of this prefix named `exe`.
std::vector<DWORD> Processes(const wchar_t* exe) {
  std::vector<DWORD> pids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, exe) == 0) pids.push_back(entry.th32ProcessID);
  }
  CloseHandle(snapshot);
  return pids;
}
std::vector<DWORD> Servers() { return Processes(L"orra_linkserver_host.exe"); }

bool WaitGone(DWORD pid, DWORD timeoutMs) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return true;
  const bool gone = WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
  CloseHandle(process);
  return gone;
}

void Kill(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return;
  TerminateProcess(process, 9);
  WaitForSingleObject(process, 10000);
  CloseHandle(process);
}

// Wine's activation keeps a killed server's class registration and fails
// every later activation (RPC_S_SERVER_UNAVAILABLE) until its RPC service
// starts afresh; Windows notices the dead server and starts a new one. Only
// the tests do this, to go on after a crash they caused.
void ForgetDeadServers() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, L"RpcSs", SERVICE_QUERY_STATUS | SERVICE_START) : nullptr;
  for (DWORD pid : Processes(L"rpcss.exe")) Kill(pid);
  // Started again once the service manager has seen it stop: an activation
  // racing that would wait out its own time-out.
  SERVICE_STATUS status{};
  for (int i = 0; service && i < 500 && QueryServiceStatus(service, &status); ++i) {
    if (status.dwCurrentState == SERVICE_RUNNING && i > 0) break;
    if (status.dwCurrentState == SERVICE_STOPPED) StartServiceW(service, 0, nullptr);
    Sleep(10);
  }
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
}

// Ends the servers of this prefix: those still ending by themselves are
// given a moment, the others are killed.
void KillServers() {
  std::vector<DWORD> servers = Servers();
  for (DWORD pid : servers) WaitGone(pid, 3000);
  servers = Servers();
  for (DWORD pid : servers) Kill(pid);
  if (!servers.empty()) ForgetDeadServers();
}

// The registrations and the project folder of this test program.
class World : public ::testing::Environment {
 public:
  void SetUp() override {
    KillServers();  // left by a run that crashed
    HMODULE proxies = LoadLibraryW((BinFolder() + L"\\orra_linkserver_ps.dll").c_str());
    ASSERT_NE(proxies, nullptr);
    using Entry = HRESULT(STDAPICALLTYPE*)();
    // Through void*: FARPROC's own signature differs by width.
    const auto registerProxies =
        reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(proxies, "DllRegisterServer")));
    ASSERT_NE(registerProxies, nullptr);
    ASSERT_EQ(registerProxies(), S_OK);
    ASSERT_EQ(Run(L"\"" + kServer + L"\" --register"), 0);
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    root = std::filesystem::path(temp) / ("moravane-e2e-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(root);
    std::ofstream(root / "e2e.orraproj") << kProject;
    linkserver::PngImage still;
    still.width = 3;
    still.height = 2;
    still.rgba = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 10, 20, 30, 255, 40, 50, 60, 255, 70, 80, 90, 255};
    linkserver::WritePng(root / "still.png", still);
  }
  void TearDown() override {
    KillServers();
    Run(L"\"" + kServer + L"\" --unregister");
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
  static std::filesystem::path root;
};
std::filesystem::path World::root;
const auto* const g_world = ::testing::AddGlobalTestEnvironment(new World);

moravane::WideString Wide(const std::string& text) { return kelvex::utility::AsciiToUTF16(text); }
moravane::WideString ProjectPath() { return Wide(World::root.string() + "\\e2e.orraproj"); }

class WindowsE2e : public ::testing::Test {
 protected:
  void TearDown() override { KillServers(); }  // no test sees another's server
};

// Renders one frame of `id` at `seconds` through a section this host
// creates; `configure` sets the options. Returns the section's bytes.
std::vector<std::uint8_t> RenderFrame(moravane::Project& project, const char* id, kelvex::time::RatioTime time,
                                      const std::function<void(moravane::VideoRenderOptions&)>& configure = {},
                                      ULONGLONG* written = nullptr) {
  moravane::Renderer renderer = project.GetSource(kelvex::utility::Guid(id)).GetRenderer();
  moravane::VideoRenderOptions options = renderer.CreateVideoRenderOptions();
  if (configure) configure(options);
  const ULONGLONG bytes = options.GetMaxMemoryRequiredForFrame();
  const std::string name = "moravane-e2e-" + std::to_string(GetCurrentProcessId());
  moravane::MemoryMappedFile section;
  section.Init(true, name, bytes);
  renderer.StartVideoRender(options, name, bytes);
  ULONGLONG got = 0;
  renderer.RenderVideo(time, &got);
  renderer.EndVideoRender();
  if (written != nullptr) *written = got;
  const auto* data = static_cast<const std::uint8_t*>(section.GetAddress());
  return std::vector<std::uint8_t>(data, data + got);
}

// Renders `samples` sample frames of `id` from its start through a section
// this host creates; `configure` sets the options (the sample type's size
// times the channels must be a frame's bytes). Returns the samples.
template <class Sample>
std::vector<Sample> RenderAudio(moravane::Project& project, const char* id, LONG samples,
                                const std::function<void(moravane::AudioRenderOptions&)>& configure) {
  moravane::Renderer renderer = project.GetSource(kelvex::utility::Guid(id)).GetRenderer();
  moravane::AudioRenderOptions options = renderer.CreateAudioRenderOptions();
  configure(options);
  const ULONGLONG bytes = ULONGLONG(samples) * sizeof(Sample) * ULONGLONG(options.GetNumChannels());
  const std::string name = "moravane-e2e-audio-" + std::to_string(GetCurrentProcessId());
  moravane::MemoryMappedFile section;
  section.Init(true, name, bytes);
  renderer.StartAudioRender(kelvex::time::RatioTime(0, 1), samples, options, name, bytes);
  ULONGLONG written = 0;
  renderer.GetNextAudioBuffer(&written);
  renderer.EndAudioRender();
  const auto* data = static_cast<const Sample*>(section.GetAddress());
  return std::vector<Sample>(data, data + written / sizeof(Sample));
}

TEST_F(WindowsE2e, ActivationStartsOneServerThatEndsWithItsLastObject) {
  ASSERT_TRUE(Servers().empty());
  std::vector<DWORD> servers;
  {
    moravane::OrraServer factory, second;
    moravane::Server server = factory.CreateLink();
    EXPECT_EQ(server.GetVersion(), 7);
    EXPECT_EQ(second.CreateLink().GetProjectExtension(), Wide(".orraproj"));
    servers = Servers();
    EXPECT_EQ(servers.size(), 1u) << "a second link reaches the same process";
  }
  for (DWORD pid : servers) EXPECT_TRUE(WaitGone(pid, 10000)) << "the last release ends the server";
}

// Every kind of source, read back from the section the server wrote.
TEST_F(WindowsE2e, EverySourceKindReachesTheHost) {
  moravane::OrraServer factory;
  moravane::Server server = factory.CreateLink();
  moravane::Project project = server.OpenProject(ProjectPath());
  EXPECT_EQ(project.GetName(), Wide("End to end"));

  // Frame numbers: block (c, r) of the upper three quarters is white when
  // bit r*8+c of the frame number is set; BGRA, 128x72.
  for (int frame : {0, 3}) {
    const std::vector<std::uint8_t> pixels = RenderFrame(project, ID(11), kelvex::time::RatioTime(frame, 24));
    ASSERT_EQ(pixels.size(), 128u * 72 * 4);
    long number = 0;
    for (int bit = 0; bit < 24; ++bit) {
      const int x = (2 * (bit % 8) + 1) * 128 / 16, y = (2 * (bit / 8) + 1) * (3 * 72 / 4) / 6;
      if (pixels[(std::size_t(y) * 128 + x) * 4 + 1] > 127) number |= 1L << bit;
    }
    EXPECT_EQ(number, frame);
  }
  // Colour bars at 75%: white, yellow, cyan, green, magenta, red, blue.
  const int on[7][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0}, {1, 0, 1}, {1, 0, 0}, {0, 0, 1}};
  const std::vector<std::uint8_t> bars = RenderFrame(project, ID(13), kelvex::time::RatioTime(0, 1));
  ASSERT_EQ(bars.size(), 1920u * 1080 * 4);
  for (int bar = 0; bar < 7; ++bar) {
    const std::uint8_t* pixel = &bars[(std::size_t(1080 / 4) * 1920 + (2 * bar + 1) * 1920 / 14) * 4];
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(pixel[2 - c], on[bar][c] ? 191 : 16, 16) << "bar " << bar << " " << c;
  }
  // A solid colour and a still image (decoded by the server's codecs),
  // both as BGRA.
  const std::vector<std::uint8_t> orange = RenderFrame(project, ID(15), kelvex::time::RatioTime(0, 1));
  ASSERT_EQ(orange.size(), 32u * 16 * 4);
  EXPECT_EQ(std::vector<int>(orange.begin(), orange.begin() + 4), (std::vector<int>{0, 128, 255, 255}));
  const std::vector<std::uint8_t> still = RenderFrame(project, ID(16), kelvex::time::RatioTime(0, 1));
  EXPECT_EQ(std::vector<int>(still.begin(), still.end()),
            (std::vector<int>{0,  0,  255, 255, 0,  255, 0,  255, 255, 0,  0,  255,
                              30, 20, 10,  255, 60, 50,  40, 255, 90,  80, 70, 255}));

  // Audio: the sine sample for sample, and silence.
  for (auto [id, frequency] : {std::pair{ID(20), 1234.5}, {ID(21), 0.0}}) {
    SCOPED_TRACE(id);
    const std::vector<float> pcm = RenderAudio<float>(project, id, 4800, [](moravane::AudioRenderOptions& o) {
      o.SetSampleRate(48000);
      o.SetNumChannels(1);
    });
    ASSERT_EQ(pcm.size(), 4800u);
    for (std::size_t i = 0; i < pcm.size(); i += 7) {
      ASSERT_NEAR(pcm[i], 0.5 * std::sin(2 * std::numbers::pi * frequency * double(i) / 48000), 1e-4) << i;
    }
  }
  // The source's own description, a double among it.
  moravane::Source numbers = project.GetSource(kelvex::utility::Guid(ID(11)));
  EXPECT_EQ(numbers.GetFrameRate(), 24.0);
  EXPECT_EQ(numbers.GetDuration(), kelvex::time::RatioTime(5, 24));
  server.CloseProject(project);
}

// The video options change what the server writes into the section.
TEST_F(WindowsE2e, OptionsReachTheServer) {
  moravane::OrraServer factory;
  moravane::Project project = factory.CreateLink().OpenProject(ProjectPath());
  const struct {
    const char* what;
    std::function<void(moravane::VideoRenderOptions&)> configure;
    ULONGLONG bytes;
  } rows[] = {
      {"defaults", {}, 128 * 72 * 4},
      {"bounds", [](moravane::VideoRenderOptions& o) { o.SetBounds(64, 36); }, 64 * 36 * 4},
      {"16 bits", [](moravane::VideoRenderOptions& o) { o.SetBitDepth(16); }, 128 * 72 * 8},
      {"downsample", [](moravane::VideoRenderOptions& o) { o.SetDownsampleFactor(2, 4); }, 64 * 18 * 4},
      {"row bytes", [](moravane::VideoRenderOptions& o) { o.SetRowBytes(1024); }, 71 * 1024 + 128 * 4},
      {"region",
       [](moravane::VideoRenderOptions& o) {
         o.SetRegionOfInterest({8, 4, 72, 40});
       },
       64 * 36 * 4},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ULONGLONG written = 0;
    RenderFrame(project, ID(11), kelvex::time::RatioTime(0, 24), row.configure, &written);
    EXPECT_EQ(written, row.bytes);
  }
  // Audio as 16-bit integers in two channels, at 32 kHz: the same sine.
  moravane::AudioRenderOptions audio;
  const std::vector<std::int16_t> pcm =
      RenderAudio<std::int16_t>(project, ID(20), 3200, [&audio](moravane::AudioRenderOptions& o) {
        o.SetSampleRate(32000);
        o.SetNumChannels(2);
        o.SetEncoding(0);
        o.SetBytesPerSample(2);
        audio = o;
      });
  ASSERT_EQ(pcm.size(), 2u * 3200);
  for (std::size_t i = 0; i < 3200; i += 7) {
    const double expected = 0.5 * std::sin(2 * std::numbers::pi * 1234.5 * double(i) / 32000);
    ASSERT_NEAR(pcm[2 * i] / 32768.0, expected, 2 / 32768.0) << i;
    ASSERT_EQ(pcm[2 * i], pcm[2 * i + 1]) << i;
  }
  // The options that leave these frames' bytes alone still reach the
  // server's object: each comes back as it was set.
  moravane::VideoRenderOptions video =
      project.GetSource(kelvex::utility::Guid(ID(11))).GetRenderer().CreateVideoRenderOptions();
  video.SetLowQuality(true);
  video.SetPreMultiply(1);
  video.SetFieldOrder(2);
  video.SetTimeStep(kelvex::time::RatioTime(1, 48));
  video.SetRenderGuideLayers(true);
  EXPECT_TRUE(video.GetLowQuality());
  EXPECT_EQ(video.GetPreMultiply(), 1);
  EXPECT_EQ(video.GetFieldOrder(), 2);
  EXPECT_EQ(video.GetTimeStep(), kelvex::time::RatioTime(1, 48));
  EXPECT_TRUE(video.GetRenderGuideLayers());
  EXPECT_EQ(audio.GetSampleRate(), 32000);
  EXPECT_EQ(audio.GetBytesPerSample(), 2);
  // Channel order RGBA: the orange's red comes first.
  const std::vector<std::uint8_t> rgba = RenderFrame(project, ID(15), kelvex::time::RatioTime(0, 1),
                                                     [](moravane::VideoRenderOptions& o) { o.SetChannelOrder(1); });
  EXPECT_EQ(std::vector<int>(rgba.begin(), rgba.begin() + 4), (std::vector<int>{255, 128, 0, 255}));
}

// Bad requests fail with the server's code and its own text.
TEST_F(WindowsE2e, BadRequestsComeBackWithTheServersText) {
  moravane::OrraServer factory;
  moravane::Server server = factory.CreateLink();
  moravane::Project project = server.OpenProject(ProjectPath());
  moravane::Renderer renderer = project.GetSource(kelvex::utility::Guid(ID(11))).GetRenderer();
  const struct {
    const char* what;
    std::function<void()> action;
    HRESULT code;
    std::string text;
  } rows[] = {
      // A path beyond Latin-1 goes in and comes back in the text.
      {"absent project", [&] { server.OpenProject(Wide(World::root.string()) + u"\\K\u00f6ln \u6771.orraproj"); },
       kFileNotFound, "K\xC3\xB6ln \xE6\x9D\xB1.orraproj' does not exist"},
      {"render before start",
       [&] {
         ULONGLONG written = 0;
         renderer.RenderVideo(kelvex::time::RatioTime(0, 24), &written);
       },
       E_UNEXPECTED, "no video render is running; call StartVideoRender first"},
      {"time past the end", [&] { RenderFrame(project, ID(11), kelvex::time::RatioTime(10, 1)); }, E_INVALIDARG,
       "lies outside the source's duration"},
      {"section too small",
       [&] {
         moravane::VideoRenderOptions options = renderer.CreateVideoRenderOptions();
         moravane::MemoryMappedFile section;
         section.Init(true, "moravane-e2e-small", 1000);
         renderer.StartVideoRender(options, "moravane-e2e-small", 1000);
       },
       E_INVALIDARG, ""},
      {"field order", [&] { renderer.CreateVideoRenderOptions().SetFieldOrder(3); }, E_INVALIDARG,
       "field order must be 0 (progressive), 1 (upper first) or 2 (lower first), found 3"},
      {"bit depth", [&] { renderer.CreateVideoRenderOptions().SetBitDepth(12); }, E_INVALIDARG,
       "bit depth must be 8, 16 or 32, found 12"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    moravane::LinkError error = ExpectLinkError(row.action);
    EXPECT_EQ(error.GetError(), row.code) << std::hex << error.GetError();
    EXPECT_THAT(kelvex::utility::UTF16ToUTF8(error.GetErrorString()), HasSubstr(row.text));
    EXPECT_FALSE(error.ShouldReconnect());
  }
  EXPECT_EQ(project.GetName(), Wide("End to end")) << "the link survives its bad requests";
}

// A server killed between calls and during one: the host is told to link
// again. Under Wine a new activation then fails until Wine's RPC service
// forgets the dead server (see ForgetDeadServers); after that a new
// activation starts a new server.
TEST_F(WindowsE2e, ServerKilledBetweenAndDuringCallsThenReconnect) {
  {
    moravane::OrraServer factory;
    moravane::Project project = factory.CreateLink().OpenProject(ProjectPath());
    const std::vector<DWORD> servers = Servers();
    ASSERT_EQ(servers.size(), 1u);
    Kill(servers.front());
    moravane::LinkError error = ExpectLinkError([&] { project.GetName(); });
    EXPECT_EQ(error.GetError(), kServerUnavailable) << std::hex << error.GetError();
    EXPECT_TRUE(error.ShouldReconnect());
  }
  {
    moravane::OrraServer factory;
    moravane::LinkError error = ExpectLinkError([&] { factory.CreateLink(); });
    EXPECT_EQ(error.GetError(), kServerUnavailable)
        << std::hex << error.GetError() << ": Wine's activation after a crash";
    EXPECT_FALSE(factory.IsLinked());
  }
  ForgetDeadServers();
  {
    moravane::OrraServer factory;
    moravane::Project project = factory.CreateLink().OpenProject(ProjectPath());
    EXPECT_EQ(project.GetName(), Wide("End to end"));
    moravane::Renderer renderer = project.GetSource(kelvex::utility::Guid(ID(13))).GetRenderer();
    moravane::VideoRenderOptions options = renderer.CreateVideoRenderOptions();
    options.SetBitDepth(16);
    const ULONGLONG bytes = options.GetMaxMemoryRequiredForFrame();
    const std::string name = "moravane-e2e-inflight-" + std::to_string(GetCurrentProcessId());
    moravane::MemoryMappedFile section;
    section.Init(true, name, bytes);
    renderer.StartVideoRender(options, name, bytes);
    // Frames are rendered back to back, so that the kill lands in a call.
    std::atomic<int> rendered{0};
    std::atomic<bool> failed{false};
    HRESULT inFlight = S_OK;
    bool reconnect = false;
    std::thread caller([&] {
      try {
        for (;;) {
          ULONGLONG written = 0;
          renderer.RenderVideo(kelvex::time::RatioTime(0, 1), &written);
          ++rendered;
        }
      } catch (moravane::LinkError& error) {
        inFlight = error.GetError();
        reconnect = error.ShouldReconnect();
      }
      failed = true;
    });
    // Killed halfway through a call, timed by the calls before it.
    const DWORD begun = GetTickCount();
    while (rendered < 4 && !failed) Sleep(0);
    const int seen = rendered;
    Sleep((GetTickCount() - begun) / (2 * std::max(seen, 1)));
    const std::vector<DWORD> servers = Servers();
    EXPECT_EQ(servers.size(), 1u);
    for (DWORD pid : servers) Kill(pid);
    caller.join();
    EXPECT_GE(rendered, 4);
    // The kill lands while the server executes the call (RPC_S_CALL_FAILED)
    // or just before the call reaches it (RPC_S_SERVER_UNAVAILABLE): no test
    // can place it closer. By contract only the second asks for a new link.
    EXPECT_THAT(inFlight, ::testing::AnyOf(kCallFailed, kServerUnavailable)) << std::hex << inFlight;
    EXPECT_EQ(reconnect, inFlight == kServerUnavailable);
    moravane::LinkError next = ExpectLinkError([&] { project.GetName(); });
    EXPECT_EQ(next.GetError(), kServerUnavailable) << std::hex << next.GetError();
    EXPECT_TRUE(next.ShouldReconnect());
  }
  ForgetDeadServers();
  moravane::OrraServer again;
  EXPECT_EQ(again.CreateLink().OpenProject(ProjectPath()).GetName(), Wide("End to end"));
}

// A host that dies while it holds the server's objects. Windows' COM
// notices the silence of its pings and releases them after some minutes,
// and the server then ends; Wine's never releases them, so the server stays
// until it is ended from outside (docs/windows.md).
TEST_F(WindowsE2e, DeadHostsObjectsAreKeptByWine) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr, inRead = nullptr, inWrite = nullptr;
  ASSERT_TRUE(CreatePipe(&outRead, &outWrite, &inherit, 0) && CreatePipe(&inRead, &inWrite, &inherit, 0));
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead;
  startup.hStdOutput = outWrite;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  const moravane::WideString project = ProjectPath();
  std::wstring line = L"\"" + BinFolder() + L"\\e2e_global_handle_host.exe\" \"" +
                      std::wstring(project.begin(), project.end()) + L"\" --hold";
  PROCESS_INFORMATION host{};
  const BOOL started =
      CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &host);
  CloseHandle(outWrite);
  CloseHandle(inRead);
  ASSERT_TRUE(started);
  char said[64] = {};
  DWORD got = 0;
  ReadFile(outRead, said, sizeof said - 1, &got, nullptr);
  EXPECT_EQ(std::string(said, got), "End to end\r\n") << "the host linked and opened the project";
  const std::vector<DWORD> servers = Servers();
  ASSERT_EQ(servers.size(), 1u);
  TerminateProcess(host.hProcess, 9);
  WaitForSingleObject(host.hProcess, 10000);
  for (HANDLE handle : {host.hProcess, host.hThread, outRead, inWrite}) CloseHandle(handle);
  EXPECT_FALSE(WaitGone(servers.front(), 5000)) << "Wine released a dead host's objects";
  // The server stays usable by others.
  moravane::OrraServer factory;
  EXPECT_EQ(factory.CreateLink().OpenProject(ProjectPath()).GetName(), Wide("End to end"));
  EXPECT_EQ(Servers(), servers);
}

}  // namespace
