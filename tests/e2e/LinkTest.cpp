// The library against the reference server process, started by activation:
// only what the real link shows. Frames reach the host through a section of
// its own; the server's error texts arrive through the link; the server
// process starts on activation and ends after its last client. What each
// source renders and what the options change is tested against the server's
// objects in one process (tests/server).
#include "E2eSupport.h"

#include <moravane/Link.h>
#include <moravane/MemoryMappedFile.h>
#include <moravane/Project.h>
#include <moravane/RenderOptions.h>
#include <moravane/Renderer.h>
#include <moravane/Server.h>
#include <moravane/Source.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <csignal>
#include <cstdlib>

#include <unistd.h>

namespace e2e {
namespace {

using kelvex::time::RatioTime;
using kelvex::utility::Guid;
using ::testing::HasSubstr;

const Guid kBars("{7E2E0000-0000-4000-8000-000000000010}");
const Guid kNumbers("{7E2E0000-0000-4000-8000-000000000011}");
const Guid kTone("{7E2E0000-0000-4000-8000-000000000020}");

const char* const kProject = R"(orra-project 1
project "End to end" {7E2E0000-0000-4000-8000-000000000001}
source "Bars" {7E2E0000-0000-4000-8000-000000000010}
  duration 10 1
  size 280 90
  rate 24
  depth 16
  video bars
end
source "Numbers" {7E2E0000-0000-4000-8000-000000000011}
  duration 100 1
  size 256 192
  rate 30000/1001
  video framenumber
end
bin "Sounds" {7E2E0000-0000-4000-8000-000000000002}
  source "Tone" {7E2E0000-0000-4000-8000-000000000020}
    duration 5 1
    rate 25
    audio sine 1000
  end
  item "Notes" {7E2E0000-0000-4000-8000-000000000030}
end
)";

std::string ProjectPath() { return WriteFile("e2e.orraproj", kProject); }

// Renders the frames at `times` of the frame-number source through a
// section the test creates, the way a host does (8-bit RGBA, tight rows),
// and reads back the number each frame shows at its block centres.
std::vector<long> RenderFrameNumbers(moravane::Project& project, const std::vector<RatioTime>& times) {
  moravane::Source source = project.GetSource(kNumbers);
  moravane::Renderer renderer = source.GetRenderer();
  moravane::VideoRenderOptions options = renderer.CreateVideoRenderOptions();
  options.SetChannelOrder(1);
  const ULONGLONG size = options.GetMaxMemoryRequiredForFrame();
  const kelvex::geom::RectT<LONG> frameSize = source.GetFrameSize();
  const int width = frameSize.Width(), height = frameSize.Height();
  EXPECT_EQ(size, static_cast<ULONGLONG>(width) * height * 4);
  moravane::MemoryMappedFile section;
  const std::string name = "moravane-e2e-" + std::to_string(::getpid());
  section.Init(true, name, size);
  const auto* data = static_cast<const std::uint8_t*>(section.GetAddress());
  renderer.StartVideoRender(options, name, size);
  std::vector<long> numbers;
  for (const RatioTime& time : times) {
    ULONGLONG written = 0;
    renderer.RenderVideo(time, &written);
    EXPECT_EQ(written, size);
    const int band = 3 * height / 4;
    long number = 0;
    for (int bit = 0; bit < 24; ++bit) {
      const int x = (2 * (bit % 8) + 1) * width / 16, y = (2 * (bit / 8) + 1) * band / 6;
      if (data[(static_cast<std::size_t>(y) * width + x) * 4] > 127) number |= 1L << bit;
    }
    numbers.push_back(number);
  }
  renderer.EndVideoRender();
  return numbers;
}

struct Session {
  moravane::OrraServer factory;
  moravane::Server server = factory.CreateLink();
  moravane::Project project = server.OpenProject(Wide(ProjectPath()));
};

using E2eLinkTest = E2eTest;

// --- Sources -------------------------------------------------------------------

TEST_F(E2eLinkTest, FrameNumberPatternShowsTheFrameOfEveryTimeAsked) {
  Session session;
  struct Case {
    long frame;
    RatioTime time;
  };
  std::vector<Case> cases;
  for (long n : {0L, 1L, 2L, 23L, 29L, 30L, 255L, 256L, 1000L, 2996L}) {
    const std::int32_t ticks = static_cast<std::int32_t>(n * 1001);
    cases.push_back({n, {ticks, 30000}});        // the frame's start, exactly
    cases.push_back({n, {2 * ticks, 60000}});    // the same in another scale
    cases.push_back({n, {ticks + 900, 30000}});  // late in the frame
    // The next whole millisecond: inside the frame. (Rounding down would
    // land before the frame's start, beyond the hundredth of a frame that
    // the pattern tolerates.)
    cases.push_back({n, {static_cast<std::int32_t>(std::ceil(n * 1001 / 30.0)), 1000}});
  }
  std::vector<RatioTime> times;
  for (const Case& c : cases) times.push_back(c.time);
  const std::vector<long> numbers = RenderFrameNumbers(session.project, times);
  ASSERT_EQ(numbers.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(numbers[i], cases[i].frame) << cases[i].time.value << "/" << cases[i].time.scale;
  }
}

// --- Errors ----------------------------------------------------------------------

TEST_F(E2eLinkTest, EveryBadRequestArrivesAsLinkErrorWithTheServersText) {
  moravane::OrraServer factory;
  moravane::Server server = factory.CreateLink();
  const std::string good = ProjectPath();
  // The codes and texts of every bad request are the server's tests' own
  // (tests/server); here: they arrive through the link unchanged, a
  // multi-line text included, and a section the host made too small is
  // refused.
  const std::string malformed = WriteFile("bad.orraproj",
                                          "orra-project 1\n"
                                          "project \"Bad\" {7E2E0000-0000-4000-8000-0000000000B1}\n"
                                          "source \"S\" {7E2E0000-0000-4000-8000-0000000000B2}\n"
                                          "  duration 1 1\n"
                                          "  size 640\n"
                                          "end\n");
  moravane::Project project = server.OpenProject(Wide(good));
  struct Case {
    const char* name;
    std::function<void()> call;
    HRESULT code;
    std::vector<std::string> texts;
  };
  const Case cases[] = {
      {"missing project file",
       [&] { server.OpenProject(Wide(WorkDirectory() + "/absent.orraproj")); },
       HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
       {"absent.orraproj"}},
      {"malformed project file",
       [&] { server.OpenProject(Wide(malformed)); },
       E_FAIL,
       {"bad.orraproj", "line 5", "'size' takes 2 values"}},
      {"a section too small",
       [&] {
         moravane::Renderer renderer = project.GetSource(kBars).GetRenderer();
         moravane::VideoRenderOptions options = renderer.CreateVideoRenderOptions();
         const ULONGLONG size = options.GetMaxMemoryRequiredForFrame() - 1;
         moravane::MemoryMappedFile section;
         section.Init(true, "moravane-e2e-small", size);
         renderer.StartVideoRender(options, "moravane-e2e-small", size);
       },
       E_INVALIDARG,
       {"too small"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const moravane::LinkError error = ExpectLinkError(c.call);
    EXPECT_EQ(error.GetError(), c.code);
    for (const std::string& text : c.texts) EXPECT_THAT(Utf8(error.GetErrorString()), HasSubstr(text));
  }
  // After all of that the link still works.
  EXPECT_EQ(project.GetSource(kTone).GetRenderer().CreateAudioRenderOptions().GetNumChannels(), 2);
}

// --- The server process --------------------------------------------------------

TEST_F(E2eLinkTest, ServerIsStartedByActivationAndEndsAfterItsLastClient) {
  ASSERT_TRUE(ChildProcesses().empty());
  {
    Session session;
    EXPECT_EQ(session.server.GetVersion(), 7);
    ASSERT_EQ(ChildProcesses().size(), 1u);
    // A second link reaches the same process.
    moravane::OrraServer second;
    EXPECT_EQ(second.CreateLink().GetProjectExtension(), Wide(".orraproj"));
    EXPECT_EQ(ChildProcesses().size(), 1u);
    session.server.CloseProject(session.project);
  }
  const std::vector<pid_t> servers = ChildProcesses();
  ASSERT_EQ(servers.size(), 1u);
  // The registration asks for a grace period of 0.3 s.
  EXPECT_TRUE(WaitExited(servers.front(), 5000));
  // The next link starts a new one.
  moravane::OrraServer again;
  EXPECT_EQ(again.CreateLink().GetVersion(), 7);
}

TEST_F(E2eLinkTest, ServerStartedByActivationKeepsNoneOfTheHostsStreams) {
  Session session;
  const std::vector<pid_t> servers = ChildProcesses();
  ASSERT_EQ(servers.size(), 1u);
  auto target = [](const std::string& link) {
    std::error_code error;
    return std::filesystem::read_symlink(link, error).string();
  };
  const std::string server = "/proc/" + std::to_string(servers.front());
  // Its input is /dev/null and its output and errors go to its log in the
  // runtime folder, not to pipes of the host that started it.
  EXPECT_EQ(target(server + "/fd/0"), "/dev/null");
  const std::string log =
      std::string(std::getenv("XDG_RUNTIME_DIR")) + "/moravane/{3DF590F4-AEC5-48BD-A644-000BB8CEA947}.log";
  EXPECT_EQ(target(server + "/fd/1"), log);
  EXPECT_EQ(target(server + "/fd/2"), log);
  // A closed pipe cannot kill it: SIGPIPE is ignored.
  std::ifstream status(server + "/status");
  std::string line;
  unsigned long long ignored = 0;
  while (std::getline(status, line)) {
    if (line.rfind("SigIgn:", 0) == 0) ignored = std::stoull(line.substr(7), nullptr, 16);
  }
  EXPECT_NE(ignored & (1ull << (SIGPIPE - 1)), 0u);
}

TEST_F(E2eLinkTest, HandlesInGlobalsOfTheHostUnlinkAtExit) {
  const RunResult result = RunProgram({E2E_GLOBAL_HANDLE_HOST_PATH, ProjectPath()});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, "End to end\n");
  EXPECT_THAT(result.err, ::testing::Not(HasSubstr("Sanitizer")));
}

TEST_F(E2eLinkTest, RegistrationPointsActivationAtTheServer) {
  const std::string config = WorkDirectory() + "/other-config";
  const RunResult registered = RunProgram({"/usr/bin/env", "XDG_CONFIG_HOME=" + config, E2E_SERVER_PATH, "--register"});
  ASSERT_EQ(registered.exitCode, 0) << registered.err;
  std::ifstream file(config + "/moravane/classes/{3DF590F4-AEC5-48BD-A644-000BB8CEA947}");
  std::string executable;
  ASSERT_TRUE(std::getline(file, executable));
  EXPECT_TRUE(std::filesystem::equivalent(executable, E2E_SERVER_PATH)) << executable;
  const RunResult removed = RunProgram({"/usr/bin/env", "XDG_CONFIG_HOME=" + config, E2E_SERVER_PATH, "--unregister"});
  EXPECT_EQ(removed.exitCode, 0) << removed.err;
  EXPECT_FALSE(std::filesystem::exists(config + "/moravane/classes/{3DF590F4-AEC5-48BD-A644-000BB8CEA947}"));
  // Wrong arguments end at once with a message; no server is left running.
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{E2E_SERVER_PATH, "--frobnicate"},
                                                    {E2E_SERVER_PATH, "--grace", "soon"},
                                                    {E2E_SERVER_PATH, "--grace", "-5"}}) {
    const RunResult result = RunProgram(arguments);
    EXPECT_EQ(result.exitCode, 2) << arguments.back();
    EXPECT_THAT(result.err, HasSubstr("usage: orra_linkserver_host"));
  }
  EXPECT_TRUE(ChildProcesses().empty());
}

}  // namespace
}  // namespace e2e
