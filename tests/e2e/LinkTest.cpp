// The library against the reference server process, started by activation:
// what each source kind renders, what the options change, and how every bad
// request comes back.
#include "E2eSupport.h"

#include <moravane/Items.h>
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
const Guid kSolid("{7E2E0000-0000-4000-8000-000000000012}");
const Guid kStill("{7E2E0000-0000-4000-8000-000000000013}");
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
source "Solid" {7E2E0000-0000-4000-8000-000000000012}
  duration 1 1
  size 33 17
  rate 25
  video solid 10 200 30 128
end
source "Still" {7E2E0000-0000-4000-8000-000000000013}
  duration 1 1
  rate 25
  video image "still.png"
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

std::string ProjectPath() {
  std::filesystem::copy_file(E2E_DEMO_DIR "/still.png", WorkDirectory() + "/still.png",
                             std::filesystem::copy_options::skip_existing);
  return WriteFile("e2e.orraproj", kProject);
}

// A frame copied out of the section, read as RGBA values from 0 to 1.
struct Frame {
  std::vector<std::uint8_t> bytes;
  int width = 0;
  int height = 0;
  int depth = 8;
  std::size_t rowBytes = 0;
  int order = 1;  // 0 BGRA, 1 RGBA, 2 ARGB

  double At(int x, int y, int channel) const {  // channel 0 R, 1 G, 2 B, 3 A
    static const int kPlace[3][4] = {{2, 1, 0, 3}, {0, 1, 2, 3}, {1, 2, 3, 0}};
    const std::uint8_t* at = bytes.data() + y * rowBytes + (x * 4 + kPlace[order][channel]) * (depth / 8);
    if (depth == 8) return *at / 255.0;
    if (depth == 16) {
      std::uint16_t word;
      std::memcpy(&word, at, 2);
      return word / 65535.0;
    }
    float value;
    std::memcpy(&value, at, 4);
    return value;
  }
};

// The frame number that the pattern shows, read at the block centres.
long DecodeNumber(const Frame& frame) {
  const int band = 3 * frame.height / 4;
  long number = 0;
  for (int bit = 0; bit < 24; ++bit) {
    const int column = bit % 8, row = bit / 8;
    const int x = (2 * column + 1) * frame.width / 16, y = (2 * row + 1) * band / 6;
    if (frame.At(x, y, 0) > 0.5) number |= 1L << bit;
  }
  return number;
}

struct Session {
  moravane::OrraServer factory;
  moravane::Server server = factory.CreateLink();
  moravane::Project project = server.OpenProject(Wide(ProjectPath()));
};

using Configure = std::function<void(moravane::VideoRenderOptions&)>;

// Renders the frames at `times` of one source through a section the test
// creates, the way a host does. `fill` is written over the section first so
// that bytes the server leaves alone can be told apart.
std::vector<Frame> RenderFrames(moravane::Project& project, const Guid& id, const Configure& configure,
                                const std::vector<RatioTime>& times, std::uint8_t fill = 0) {
  moravane::Source source = project.GetSource(id);
  moravane::Renderer renderer = source.GetRenderer();
  moravane::VideoRenderOptions options = renderer.CreateVideoRenderOptions();
  options.SetChannelOrder(1);
  if (configure) configure(options);
  const ULONGLONG size = options.GetMaxMemoryRequiredForFrame();
  LONG width = 0, height = 0;
  options.GetBounds(width, height);
  Frame shape;
  shape.depth = options.GetBitDepth();
  shape.order = options.GetChannelOrder();
  const LONG rowBytes = options.GetRowBytes();

  moravane::MemoryMappedFile section;
  const std::string name = "moravane-e2e-" + std::to_string(::getpid());
  section.Init(true, name, size);
  auto* data = static_cast<std::uint8_t*>(section.GetAddress());
  renderer.StartVideoRender(options, name, size);
  std::vector<Frame> frames;
  for (const RatioTime& time : times) {
    std::memset(data, fill, size);
    ULONGLONG written = 0;
    renderer.RenderVideo(time, &written);
    EXPECT_EQ(written, size);
    Frame frame = shape;
    frame.bytes.assign(data, data + size);
    frames.push_back(std::move(frame));
  }
  renderer.EndVideoRender();
  // The size of the picture follows from the bytes: row bytes × (h − 1) +
  // one tight row, with the width from the bounds or the source.
  for (Frame& frame : frames) {
    const kelvex::geom::RectT<LONG> sourceFrame = source.GetFrameSize();
    LONG dx = 1, dy = 1;
    options.GetDownsampleFactor(dx, dy);
    const kelvex::geom::RectT<LONG> region = options.GetRegionOfInterest();
    int fullWidth = width != 0 ? width : sourceFrame.Width();
    if (!region.IsEmpty()) fullWidth = region.Width();
    frame.width = static_cast<int>((fullWidth + dx - 1) / dx);
    const std::size_t tightRow = static_cast<std::size_t>(frame.width) * 4 * (frame.depth / 8);
    frame.rowBytes = rowBytes != 0 ? static_cast<std::size_t>(rowBytes) : tightRow;
    frame.height = static_cast<int>((size - tightRow) / frame.rowBytes + 1);
  }
  return frames;
}

Frame RenderOne(moravane::Project& project, const Guid& id, const Configure& configure = {}, RatioTime time = {0, 1},
                std::uint8_t fill = 0) {
  return RenderFrames(
             project, id, configure ? configure : [](moravane::VideoRenderOptions&) {}, {time}, fill)
      .front();
}

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
  const std::vector<Frame> frames = RenderFrames(session.project, kNumbers, {}, times);
  ASSERT_EQ(frames.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(DecodeNumber(frames[i]), cases[i].frame) << cases[i].time.value << "/" << cases[i].time.scale;
  }
}

TEST_F(E2eLinkTest, ColourBarsAreExactAtEveryBitDepth) {
  Session session;
  // White, yellow, cyan, green, magenta, red, blue: which of R, G, B are on.
  const int bars[7][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0}, {1, 0, 1}, {1, 0, 0}, {0, 0, 1}};
  for (const int depth : {8, 16, 32}) {
    SCOPED_TRACE(depth);
    const Frame frame = RenderOne(session.project, kBars, [&](auto& o) { o.SetBitDepth(depth); });
    ASSERT_EQ(frame.width, 280);
    ASSERT_EQ(frame.height, 90);
    // 0.75 in each encoding, compared as stored.
    const double on = depth == 8 ? 191 / 255.0 : depth == 16 ? 49151 / 65535.0 : 0.75;
    for (int x = 0; x < frame.width; ++x) {
      const int bar = 7 * x / frame.width;
      for (const int y : {0, 45, 89}) {
        for (int c = 0; c < 3; ++c) ASSERT_EQ(frame.At(x, y, c), bars[bar][c] ? on : 0.0) << x << "," << y;
        ASSERT_EQ(frame.At(x, y, 3), 1.0);
      }
    }
  }
}

TEST_F(E2eLinkTest, SolidColourAndStillImageRenderTheirPixels) {
  Session session;
  const Frame solid = RenderOne(session.project, kSolid, [](auto& o) { o.SetBitDepth(8); });
  ASSERT_EQ(solid.width, 33);
  ASSERT_EQ(solid.height, 17);
  for (int y = 0; y < solid.height; ++y) {
    for (int x = 0; x < solid.width; ++x) {
      ASSERT_EQ(solid.At(x, y, 0) * 255, 10);
      ASSERT_EQ(solid.At(x, y, 1) * 255, 200);
      ASSERT_EQ(solid.At(x, y, 2) * 255, 30);
      ASSERT_EQ(solid.At(x, y, 3) * 255, 128);
    }
  }
  // At its own size, an image is its pixels (the still is a gradient with a
  // checker in blue, so a shifted or flipped copy would not match).
  const Frame still = RenderOne(session.project, kStill, [](auto& o) { o.SetLowQuality(true); });
  ASSERT_EQ(still.width, 64);
  ASSERT_EQ(still.height, 36);
  for (const auto& [x, y] : std::vector<std::pair<int, int>>{{0, 0}, {63, 0}, {0, 35}, {63, 35}, {8, 0}, {31, 17}}) {
    EXPECT_NEAR(still.At(x, y, 0) * 255, 255 * x / 63, 0.5) << x << "," << y;
    EXPECT_NEAR(still.At(x, y, 1) * 255, 255 * y / 35, 0.5) << x << "," << y;
    EXPECT_NEAR(still.At(x, y, 2) * 255, (x / 8 + y / 8) % 2 ? 128 : 32, 0.5) << x << "," << y;
  }
}

// --- Options -------------------------------------------------------------------

TEST_F(E2eLinkTest, OptionsChangeTheOutputAsDocumented) {
  Session session;
  using Check = std::function<void(const Frame& plain, const Frame& changed)>;
  struct Case {
    const char* name;
    Guid source;
    Configure configure;
    Check check;
  };
  const Case cases[] = {
      {"bounds scale the picture", kNumbers, [](auto& o) { o.SetBounds(128, 96); },
       [](const Frame& plain, const Frame& changed) {
         EXPECT_EQ(changed.width, 128);
         EXPECT_EQ(changed.height, 96);
         EXPECT_EQ(DecodeNumber(changed), DecodeNumber(plain));
       }},
      {"downsampling rounds the size up", kNumbers, [](auto& o) { o.SetDownsampleFactor(3, 5); },
       [](const Frame& plain, const Frame& changed) {
         EXPECT_EQ(changed.width, 86);
         EXPECT_EQ(changed.height, 39);
         EXPECT_EQ(DecodeNumber(changed), DecodeNumber(plain));
       }},
      {"a region starts at its corner", kBars,
       [](auto& o) {
         o.SetRegionOfInterest({40, 10, 120, 30});
       },
       [](const Frame& plain, const Frame& changed) {
         EXPECT_EQ(changed.width, 80);
         EXPECT_EQ(changed.height, 20);
         for (int c = 0; c < 4; ++c) EXPECT_EQ(changed.At(0, 0, c), plain.At(40, 10, c));  // yellow
         for (int c = 0; c < 4; ++c) EXPECT_EQ(changed.At(79, 19, c), plain.At(119, 29, c));
       }},
      {"row bytes leave the gap alone", kBars, [](auto& o) { o.SetRowBytes(280 * 8 + 24); },
       [](const Frame& plain, const Frame& changed) {
         EXPECT_EQ(changed.rowBytes, 280u * 8 + 24);
         EXPECT_EQ(changed.height, 90);
         for (int x : {0, 100, 279}) EXPECT_EQ(changed.At(x, 50, 1), plain.At(x, 50, 1));
         for (int y = 0; y + 1 < changed.height; ++y) {
           for (std::size_t i = 280 * 8; i < changed.rowBytes; ++i) {
             ASSERT_EQ(changed.bytes[y * changed.rowBytes + i], 0xAB) << y;
           }
         }
       }},
      {"channel order BGRA puts blue first", kBars, [](auto& o) { o.SetChannelOrder(0); },
       [](const Frame& plain, const Frame& changed) {
         // Yellow at 16 bits: R and G on, B off; BGRA stores B at byte 0.
         std::uint16_t first;
         std::memcpy(&first, changed.bytes.data() + 40 * 8, 2);
         EXPECT_EQ(first, 0);
         for (int c = 0; c < 4; ++c) EXPECT_EQ(changed.At(45, 5, c), plain.At(45, 5, c));
       }},
      {"pre-multiplying scales colour by alpha", kSolid, [](auto& o) { o.SetPreMultiply(1); },
       [](const Frame& plain, const Frame& changed) {
         EXPECT_EQ(plain.At(3, 3, 1) * 255, 200);
         EXPECT_EQ(changed.At(3, 3, 1) * 255, std::round(200 * 128 / 255.0));
         EXPECT_EQ(changed.At(3, 3, 3), plain.At(3, 3, 3));
       }},
      {"guides draw the safe areas", kBars, [](auto& o) { o.SetRenderGuideLayers(true); },
       [](const Frame& plain, const Frame& changed) {
         // The action-safe frame's top line at 5% of the height, white over
         // the blue bar; the title-safe left line at 10% of the width,
         // yellow over the white bar.
         EXPECT_TRUE(changed.At(260, 4, 0) != plain.At(260, 4, 0) || changed.At(260, 5, 0) != plain.At(260, 5, 0));
         EXPECT_EQ(changed.At(28, 45, 2), 0.0);
         EXPECT_NE(plain.At(28, 45, 2), 0.0);
         EXPECT_EQ(changed.At(140, 45, 0), plain.At(140, 45, 0));  // the middle is untouched
       }},
      {"low quality takes a block's first pixel", kBars,
       [](auto& o) {
         o.SetDownsampleFactor(7, 1);
         o.SetLowQuality(true);
       },
       [](const Frame& plain, const Frame& changed) {
         // Block 5 covers columns 35..41 across the white/yellow edge at 40.
         for (int c = 0; c < 3; ++c) EXPECT_EQ(changed.At(5, 0, c), plain.At(35, 0, c));
       }},
      {"averaging blends a block", kBars, [](auto& o) { o.SetDownsampleFactor(7, 1); },
       [](const Frame& plain, const Frame& changed) {
         EXPECT_EQ(changed.At(5, 0, 0), plain.At(35, 0, 0));  // red is on in both bars
         EXPECT_GT(changed.At(5, 0, 2), 0.0);                 // blue: 5 of 7 on
         EXPECT_LT(changed.At(5, 0, 2), plain.At(35, 0, 2));
       }},
      {"interlacing samples the second field later", kNumbers,
       [](auto& o) {
         o.SetFieldOrder(1);
         o.SetTimeStep({1, 2});  // the fields half a second apart
       },
       [](const Frame& plain, const Frame& changed) {
         // The sweeping bar below the band: even rows where it was at t,
         // odd rows where it is a quarter of a sweep later.
         auto barAt = [](const Frame& f, int y) {
           for (int x = 0; x < f.width; ++x) {
             if (f.At(x, y, 0) > 0.9) return x;
           }
           return -1;
         };
         const int y = 3 * plain.height / 4 + 10;
         EXPECT_EQ(barAt(plain, y), barAt(plain, y + 1));
         EXPECT_EQ(barAt(changed, y), barAt(plain, y));
         EXPECT_NE(barAt(changed, y + 1), barAt(changed, y));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RatioTime time{1001 * 7, 30000};
    const Frame plain = RenderOne(session.project, c.source, {}, time, 0xAB);
    const Frame changed = RenderOne(session.project, c.source, c.configure, time, 0xAB);
    c.check(plain, changed);
  }
}

// --- Failures ------------------------------------------------------------------

TEST_F(E2eLinkTest, EveryBadRequestArrivesAsLinkErrorWithTheServersText) {
  moravane::OrraServer factory;
  moravane::Server server = factory.CreateLink();
  const std::string good = ProjectPath();
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
      {"unknown GUID",
       [&] { project.GetSource(Guid("{7E2E0000-0000-4000-8000-0000000000FF}")); },
       E_INVALIDARG,
       {"7E2E0000-0000-4000-8000-0000000000FF"}},
      {"render without a start",
       [&] {
         moravane::Renderer renderer = project.GetSource(kBars).GetRenderer();
         ULONGLONG written = 0;
         renderer.RenderVideo({0, 1}, &written);
       },
       E_UNEXPECTED,
       {"no video render is running; call StartVideoRender first"}},
      {"a bit depth the server cannot honour",
       [&] { project.GetSource(kBars).GetRenderer().CreateVideoRenderOptions().SetBitDepth(12); },
       E_INVALIDARG,
       {"bit depth must be 8, 16 or 32, found 12"}},
      {"a time outside the source",
       [&] {
         moravane::Renderer renderer = project.GetSource(kSolid).GetRenderer();
         moravane::VideoRenderOptions options = renderer.CreateVideoRenderOptions();
         moravane::MemoryMappedFile section;
         const ULONGLONG size = options.GetMaxMemoryRequiredForFrame();
         section.Init(true, "moravane-e2e-late", size);
         renderer.StartVideoRender(options, "moravane-e2e-late", size);
         ULONGLONG written = 0;
         try {
           renderer.RenderVideo({5, 1}, &written);
         } catch (...) {
           renderer.EndVideoRender();
           throw;
         }
       },
       E_INVALIDARG,
       {"outside the source's duration"}},
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
