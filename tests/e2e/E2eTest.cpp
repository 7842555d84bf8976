// The library and the command-line host against the reference server
// process that activation starts: only what the real link across processes
// shows. What sources render and how the server answers bad requests is
// tested against its objects in one process (tests/server).
#include "CliWorld.h"
#include "E2eShared.h"
#include "support/ExpectLinkError.h"
#include "support/PrivateUserFolders.h"

#include <moravane/Link.h>
#include <moravane/Project.h>
#include <moravane/Server.h>

#include <kelvex/Strings.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <numbers>
#include <sstream>
#include <thread>
#include <vector>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using ::testing::HasSubstr;
using testsupport::ExpectLinkError;
using namespace e2e;

TEST_F(E2e, ServerIsStartedByActivationSharedAndEndsAfterItsLastClient) {
  ASSERT_TRUE(Servers().empty());
  const std::vector<pid_t> servers = e2e::TwoLinksShareOneServer(Servers);
  ASSERT_EQ(servers.size(), 1u);
  EXPECT_TRUE(WaitExited(servers.front(), 5000)) << "it ends after its grace period";
  // A server that dies under its clients: the next call tells them to
  // link again, and the next link starts a new one.
  moravane::OrraServer factory;
  moravane::Server server = factory.CreateLink();
  moravane::Project project = server.OpenProject(Wide(g_world.project));
  const std::vector<pid_t> killed = Servers();
  ASSERT_EQ(killed.size(), 1u);
  // A started server keeps none of the host's streams.
  const std::string proc = "/proc/" + std::to_string(killed.front());
  const std::string log = g_world.root + "/moravane/" + kClass + ".log";
  for (auto [fd, target] : {std::pair{"/fd/0", std::string("/dev/null")}, {"/fd/1", log}, {"/fd/2", log}})
    EXPECT_EQ(std::filesystem::read_symlink(proc + fd).string(), target) << fd;
  // A closed pipe cannot kill it: SIGPIPE is ignored.
  std::ifstream status(proc + "/status");
  unsigned long long ignored = 0;
  for (std::string line; std::getline(status, line);)
    if (line.rfind("SigIgn:", 0) == 0) ignored = std::stoull(line.substr(7), nullptr, 16);
  EXPECT_NE(ignored & (1ull << (SIGPIPE - 1)), 0u);
  ::kill(killed.front(), SIGKILL);
  moravane::LinkError error = ExpectLinkError([&] { project.GetName(); });
  EXPECT_TRUE(error.ShouldReconnect()) << std::hex << error.GetError();
  WaitExited(killed.front(), 5000);
  moravane::OrraServer again;
  EXPECT_EQ(again.CreateLink().OpenProject(Wide(g_world.project)).GetName(), Wide("End to end"));
}

// A child forked by a host that has linked holds the parent's link without
// its threads: the objects it inherited answer as a lost link, it links
// again with sessions and a communication thread of its own, and the
// parent's link goes on untouched (the child closed none of its channels).
TEST_F(E2e, ForkedChildLinksAgainAndLeavesTheParentsLinkAlone) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer ends a child of a threaded process that starts a thread";
#endif
  moravane::OrraServer factory;
  moravane::Server server = factory.CreateLink();
  moravane::Project project = server.OpenProject(Wide(g_world.project));
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    // No gtest assertions here: the child reports through its exit code.
    int failed = 0;
    try {
      project.GetName();
      failed |= 1;
    } catch (moravane::LinkError& error) {  // ShouldReconnect is no const member
      if (!error.ShouldReconnect()) failed |= 2;
    }
    try {
      moravane::OrraServer again;
      moravane::Server mine = again.CreateLink();
      if (mine.OpenProject(Wide(g_world.project)).GetName() != Wide("End to end")) failed |= 4;
    } catch (const moravane::LinkError&) {
      failed |= 8;
    }
    std::_Exit(failed);
  }
  int status = -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      FAIL() << "the forked child hung";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  EXPECT_EQ(project.GetName(), Wide("End to end"));
  EXPECT_EQ(server.GetVersion(), 7);
}

// Exit codes and messages of the server executable and the command line,
// as a user sees them; usage errors never start a server and write nothing.
TEST_F(E2e, ProgramsEndWithTheirCodeAndSayWhy) {
  const std::string config = "XDG_CONFIG_HOME=" + Quote(g_world.root + "/other") + " ";
  const std::string out = " -o " + Quote(g_world.root + "/refused"), server = Quote(E2E_SERVER_PATH);
  const std::string render = kCli + "render" + kOurs + "--source ", audio = kCli + "audio" + kOurs + "--source Sine ";
  const struct {
    std::string line;
    int exitCode;
    std::string err;
  } rows[] = {
      {server + " --frobnicate", 2, "usage: orra_linkserver_host"},
      {server + " --grace soon", 2, "usage: orra_linkserver_host"},
      {server + " --grace -5", 2, "usage: orra_linkserver_host"},
      {kCli + "frobnicate", 2, ""},
      {render + "Numbers --frames 5:2", 2, ""},
      {render + "Numbers --frames 1:5:0", 2, ""},
      {render + "Numbers --frames 0 --format gif", 2, ""},
      {render + "Numbers --depth 12", 2, ""},
      {render + "Numbers --region 10,10,5,20", 2, ""},
      {render + "Numbers --format y4m --chroma 411", 2, ""},
      {render + "Numbers --format y4m --matrix bt2020", 2, ""},
      {render + "Numbers -o -", 2, ""},
      {audio + "--rate 0", 2, ""},
      {audio + "--format mp3", 2, ""},
      {kCli + "--frobnicate", 2, "--frobnicate"},
      {audio + "--channels 40", 2, "--channels is 1 to 32"},
      {audio + "--seconds inf", 2, "-t 'inf' is not a time"},
      {audio + "--seconds 1e300", 2, "-t '1e300' is not a time"},
      {render + "Numbers --region 0,0,2147483647,2147483647", 2, "coordinates are 0 to 32768"},
      {audio + "-o /dev/null/a.wav", 2, "cannot write '/dev/null/a.wav': Not a directory"},
      {kCli + "tree " + Quote(g_world.root + "/caf\xE9.orraproj"), 2, "is not valid UTF-8"},
      {render + "Nothing" + out, 2, "no source named 'Nothing'"},
      {render + "Numbers --frames 4:6" + out, 2, "which has 5 frames (0 to 4)"},
      {render + "Sine" + out, 2, "has no video"},
      {audio + "--start 100" + out + ".wav", 2, "--start 100 is past the source's last frame, 74"},
      {kCli + "tree " + Quote(g_world.root + "/absent.orraproj"), 3,
       "moravane-cli: link error 0x80070002: project file '"},
      {render + "Numbers --frames 0 --section-size 1000", 3, "link error 0x80070057: "},
      {render + "Numbers --frames 0 --section-size 1125899906842624", 3, "link error 0x8"},
      {kCli + "send-file " E2E_DEMO_DIR "/still.png", 2, "--project is required"},
      {render + "Numbers --frames 0 -o /dev/null/frames", 4, "/dev/null/frames': Not a directory"},
      {"mkdir -m 700 " + Quote(g_world.root + "/none") + " && " + config +
           "XDG_RUNTIME_DIR=" + Quote(g_world.root + "/none") + " " + kCli + "info",
       3,
       "link error 0x80040154: the link server is not registered\nmoravane-cli: the link server is not "
       "registered for this user; register it with:\n  moravane-cli register\n"},
  };
  const std::size_t kBeforeTheServer = 20;  // the rows that no server need answer
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(rows[i].line);
    const RunResult result = Sh(rows[i].line);
    EXPECT_EQ(result.exitCode, rows[i].exitCode) << result.err;
    EXPECT_THAT(result.err, HasSubstr(rows[i].err));
    EXPECT_NE(result.err, "");
    EXPECT_TRUE(i >= kBeforeTheServer || Servers().empty());
  }
  for (const char* name : {"/refused", "/refused.wav"}) EXPECT_FALSE(std::filesystem::exists(g_world.root + name));
  // The server registers where the user's configuration is, and the command
  // line's own registration makes it reachable.
  const std::string registration = g_world.root + "/other/moravane/classes/" + kClass;
  EXPECT_EQ(Sh(config + server + " --register").exitCode, 0);
  EXPECT_TRUE(std::filesystem::equivalent(
      (std::stringstream() << std::ifstream(registration).rdbuf()).str().substr(0, std::strlen(E2E_SERVER_PATH)),
      E2E_SERVER_PATH));
  EXPECT_EQ(Sh(config + server + " --unregister").exitCode, 0);
  EXPECT_FALSE(std::filesystem::exists(registration));
  const RunResult registered = Sh(config + kCli + "register && " + config + kCli + "info");
  EXPECT_EQ(registered.exitCode, 0) << registered.err;
  EXPECT_THAT(registered.out, HasSubstr("server version       7"));
}

// What the command line writes, read back by the tools a user reads it with.
TEST_F(E2e, CommandLineOutputsReadBackAsTheyWereAsked) {
  const std::string dir = g_world.root + "/out", probe = " | ffprobe -v error -show_streams -of default=nw=1 -";
  std::filesystem::create_directories(dir);
  const std::string y4m = kCli + "render" + kOurs + "--format y4m --source ";
  const struct {
    std::string line;
    std::vector<std::string> out;
  } rows[] = {
      {kCli + "--version", {MORAVANE_VERSION}},
      {Quote(E2E_GLOBAL_HANDLE_HOST_PATH) + kOurs, {"End to end\n"}},  // handles in globals unlink at exit
      {kCli + "--help", {"  2    wrong usage", "  3    a failure of the link", "  4    an output", "  130"}},
      {kCli + "info", {"server version       7", "project extension    .orraproj"}},
      {kCli + "tree" + kOurs,
       {"{7E2E0000-0000-4000-8000-000000000002}  bin", "{7E2E0000-0000-4000-8000-000000000020}  source", "Sine",
        "{7E2E0000-0000-4000-8000-000000000030}  item", "Notes"}},
      {kCli + "probe" + kOurs + "--source Wide",
       {"frames        25 (0 to 24)", "rate          25 fps (25/1)", "size          64x48", "pixel aspect  10:11",
        "bit depth     16", "audio         no"}},
      {kCli + "probe" + kOurs + "--source Numbers --json",
       {"\"nb_frames\": 5, \"duration\": 0.20833333333333334, \"time_base\": \"1/24\", \"duration_ts\": 5"}},
      {kCli + "send-file " E2E_DEMO_DIR "/still.png --project" + kDemo + "-q && echo sent", {"sent"}},
      {y4m + "Numbers --frames 1:4 | head -n 1",
       {"YUV4MPEG2 W128 H72 F24:1 Ip A1:1 C420jpeg XCOLORRANGE=LIMITED XCOLORMATRIX=BT601\n"}},
      {y4m + "Numbers --frames 0:2" + probe,
       {"width=128", "pix_fmt=yuv420p", "field_order=progressive", "r_frame_rate=24/1"}},
      {y4m + "Numbers --frames 0:2 --field-order 1 --chroma 444" + probe, {"pix_fmt=yuv444p", "field_order=tt"}},
      {y4m + "Numbers --frames 0:2 --field-order 2 --depth 16 --pix-fmt yuv444p16le" + probe,
       {"pix_fmt=yuv444p16le", "field_order=bb"}},
      {y4m + "Wide --frames 0:6:2" + probe, {"r_frame_rate=25/2"}},
      {y4m + "Wide --frames 0:2 --depth 32 --output-depth 16" + probe,
       {"pix_fmt=yuv420p16le", "sample_aspect_ratio=10:11"}},
      {y4m + "Wide --frames 0:2 --downsample 2,1" + probe, {"width=32", "height=48", "sample_aspect_ratio=20:11"}},
      {y4m + "'HD bars' --frames 0 | head -n 1", {"XCOLORMATRIX=BT709"}},
      {y4m + "'HD bars' --frames 0 --matrix bt601 | head -n 1", {"XCOLORMATRIX=BT601"}},
      {kCli + "render" + kOurs + "--source Numbers --frames 2 --depth 16 --width 320 --height 180 -q -o " + dir +
           " && ffprobe -v error -show_streams -of default=nw=1 " + dir + "/frame-000002.png",
       {"width=320", "height=180", "pix_fmt=rgba64be"}},
      {kCli + "audio" + kOurs + "--source Sine --encoding float --channels 3 -o -" + probe,
       {"codec_name=pcm_f32le", "channels=3", "sample_rate=48000"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    const RunResult result = Sh(row.line);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    for (const std::string& text : row.out) EXPECT_THAT(result.out, HasSubstr(text));
  }
}

// The frames written show their numbers: files named by frame, any depth,
// a stream to standard output, and raw frames read with what probe says.
TEST_F(E2e, CommandLineFramesShowTheirNumbers) {
  const std::string dir = g_world.root + "/frames", gray = " -f rawvideo -pix_fmt gray -";
  const RunResult probe = Sh(kCli + "probe" + kOurs + "--source Numbers --json");
  const std::string key = "\"ffmpeg_raw_input\": \"", input = probe.out.substr(probe.out.find(key) + key.size());
  const struct {
    std::string arguments, reader;
    std::vector<int> frames;
  } rows[] = {
      {"", "", {0, 1, 2, 3, 4}},
      {"--frames 3: --depth 16", "", {3, 4}},
      {"--frames 1:5:2 --depth 32 --width 256 --height 144", "", {1, 3}},
      {"--frames 1:4 --format y4m -o -", "ffmpeg -v error -i -" + gray, {1, 2, 3}},
      {"--frames 2 --format raw -o -", "ffmpeg -v error " + input.substr(0, input.find('"')) + " -i -" + gray, {2}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.arguments);
    std::filesystem::remove_all(dir);
    const bool files = row.reader.empty();
    const RunResult result = Sh(kCli + "render" + kOurs + "--source Numbers -q " + row.arguments +
                                (files ? " -o " + dir : " | " + row.reader));
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const int width = row.arguments.find("256") != std::string::npos ? 256 : 128, height = width * 72 / 128;
    for (std::size_t i = 0; i < row.frames.size(); ++i) {
      const std::string png = dir + "/frame-00000" + std::to_string(row.frames[i]) + ".png";
      const std::string luma = files ? Sh("ffmpeg -v error -i " + png + gray).out : result.out;
      ASSERT_EQ(luma.size(), std::size_t(width) * height * (files ? 1 : row.frames.size())) << png;
      EXPECT_EQ(FrameNumber(luma, files ? 0 : i * width * height, width, height), row.frames[i]);
    }
    EXPECT_EQ(files ? std::distance(std::filesystem::directory_iterator(dir), {}) : 0,
              files ? long(row.frames.size()) : 0);
  }
}

// Colour bars through each matrix come back through ffmpeg at their levels.
TEST_F(E2e, CommandLineColourBarsSurviveEachMatrix) {
  const int on[7][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0}, {1, 0, 1}, {1, 0, 0}, {0, 0, 1}};
  for (auto [source, arguments, matrix, width, height] :
       {std::tuple{"'HD bars'", "", "bt709", 1920, 1080},
        {"'SD bars'", "", "bt601", 720, 576},
        {"'HD bars'", "--matrix bt601", "bt601", 1920, 1080},
        {"'SD bars'", "--matrix bt709 --chroma 444", "bt709", 720, 576}}) {
    SCOPED_TRACE(std::string(source) + arguments);
    // ffmpeg's default (fast) 4:2:0 path is off by up to 3 on its own.
    const RunResult rgb = Sh(kCli + "render" + kOurs + "--format y4m --frames 0 --source " + source + " " + arguments +
                             " | ffmpeg -v error -i - -sws_flags accurate_rnd+full_chroma_int+bitexact -vf " +
                             "scale=in_color_matrix=" + matrix + " -pix_fmt rgb24 -f rawvideo -");
    ASSERT_EQ(rgb.out.size(), std::size_t(width) * height * 3) << rgb.err;
    for (int bar = 0; bar < 7; ++bar)
      for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(std::uint8_t(rgb.out[(std::size_t(height / 4) * width + (2 * bar + 1) * width / 14) * 3 + c]),
                    on[bar][c] ? 191 : 0, 1)
            << "bar " << bar << " channel " << c;
  }
}

// Audio to a file, a pipe and raw PCM is the source's sine, sample for sample.
TEST_F(E2e, CommandLineAudioIsTheSourcesSignal) {
  const std::string wav = g_world.root + "/sound", f64 = " -f f64le -";
  for (auto [arguments, reader, rate, channels] :
       {std::tuple{"--encoding int16 --rate 48000 --channels 1 --seconds 2 -o " + wav,
                   "ffmpeg -v error -i " + wav + f64, 48000, 1},
        {"--encoding float --rate 44100 --channels 3 -o " + wav, "ffmpeg -v error -i " + wav + f64, 44100, 3},
        {"--encoding float --rate 48000 --channels 6 --seconds 2 -o -", "ffmpeg -v error -i -" + f64, 48000, 6},
        {"--encoding int16 --rate 32000 --channels 2 --seconds 2 --format raw -o -",
         "ffmpeg -v error -f s16le -ar 32000 -ac 2 -i -" + f64, 32000, 2}}) {
    SCOPED_TRACE(arguments);
    std::filesystem::remove(wav);
    const bool piped = arguments.find("-o -") != std::string::npos;
    const RunResult result =
        Sh(kCli + "audio" + kOurs + "--source Sine " + arguments + (piped ? " | " : " && ") + reader);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::size_t frames = result.out.size() / 8 / channels;
    EXPECT_EQ(frames, std::size_t(arguments.find("--seconds") != std::string::npos ? 2 : 3) * rate);
    for (std::size_t i = 0; i < frames; i += 7) {
      double sample[8];
      std::memcpy(sample, result.out.data() + i * channels * 8, channels * 8);
      for (int c = 0; c < channels; ++c)
        ASSERT_NEAR(sample[c], 0.5 * std::sin(2 * std::numbers::pi * 1234.5 * double(i) / rate), 1e-4) << i;
    }
  }
}

// An interrupted run leaves whole files only and ends its renders: the
// server it started stops by itself afterwards.
TEST_F(E2e, CommandLineInterruptedLeavesNothingBroken) {
  const std::string dir = g_world.root + "/interrupted";
  for (auto [arguments, output, signal, exitCode] :
       {std::tuple{"render --source Long --format y4m", "/long.y4m", "INT", 130},
        {"render --source Long", "/png", "TERM", 143},
        {"audio --source Long --buffer 480", "/long.wav", "INT", 130}}) {
    SCOPED_TRACE(arguments);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    // Signalled once output has begun (a file in the folder is not empty).
    const RunResult result =
        Sh(kCli + arguments + kOurs + "-q -o " + dir + output + " & pid=$!\nuntil [ -n \"$(find " + dir +
           " -type f -size +0)\" ]; do sleep 0.02; done\nkill -" + signal + " $pid; wait $pid");
    EXPECT_EQ(result.exitCode, exitCode) << result.err;
    EXPECT_THAT(result.err, HasSubstr("interrupted"));
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
      const std::string name = entry.path().string();
      EXPECT_EQ(entry.path().extension(), entry.is_directory() ? "" : ".png") << name;
      if (entry.path().extension() == ".png") {
        EXPECT_THAT(Sh("ffprobe -v error -show_streams " + name).out, HasSubstr("width=640")) << name;
      }
    }
  }
  for (const pid_t server : Servers()) EXPECT_TRUE(WaitExited(server, 5000));
}

// Where output goes: a regular file, or nothing yet, is replaced whole and
// keeps its mode; anything else is written where it is and keeps its kind;
// a path that cannot take a file is refused before anything renders. The
// device nodes are private ones (mknod, as root): /dev is never touched.
TEST_F(E2e, CommandLineOutputGoesWhereItIsPointedAndDestroysNothing) {
  const std::string d = g_world.root + "/targets", q = Quote(d) + "/";
  const std::string y4m = kCli + "render" + kOurs + "--source Numbers --frames 0:2 --format y4m -q -o ";
  const struct {
    std::string setup, output;
    int exitCode;
    std::string err, checked, kind, written;  // `stat -c '%F %a'` of `checked`; a file that holds the stream
    bool device;
  } rows[] = {
      {"", q + "new.y4m", 0, "", "new.y4m", "regular file 644", "new.y4m", false},
      {"echo old >" + q + "old.y4m; chmod 600 " + q + "old.y4m", q + "old.y4m", 0, "", "old.y4m", "regular file 600",
       "old.y4m", false},
      {"echo old >" + q + "target.y4m; ln -s target.y4m " + q + "link.y4m", q + "link.y4m", 0, "", "link.y4m",
       "symbolic link 777", "target.y4m", false},
      {"mkfifo " + q + "fifo; timeout 10 cat " + q + "fifo >" + q + "read &", q + "fifo", 0, "", "fifo", "fifo 644",
       "read", false},
      {"", "/dev/fd/3 3>" + q + "fd3", 0, "", "fd3", "regular file 644", "fd3", false},
      {"mknod " + q + "null c 1 3", q + "null", 0, "", "null", "character special file 644", "", true},
      {"mknod " + q + "dev c 1 3; ln -s dev " + q + "devlink", q + "devlink", 0, "", "dev",
       "character special file 644", "", true},
      {"mknod " + q + "full c 1 7", q + "full", 4, "'" + d + "/full': No space left on device", "full",
       "character special file 644", "", true},
      {"mkdir " + q + "folder", q + "folder", 2, "is a folder, not a file", "folder", "directory 755", "", false},
      {"", q + "nowhere/a.y4m", 2, "the folder '" + d + "/nowhere' does not exist", "nowhere", "", "", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.setup + " -o " + row.output);
    if (row.device && ::geteuid() != 0) {
      std::printf("not run: %s (mknod needs root)\n", row.output.c_str());
      continue;
    }
    std::filesystem::remove_all(d);
    std::filesystem::create_directories(d);
    const RunResult result = Sh("umask 022; " + row.setup + "\n" + y4m + row.output + "; s=$?; wait; exit $s");
    EXPECT_EQ(result.exitCode, row.exitCode) << result.err;
    EXPECT_THAT(result.err, HasSubstr(row.err));
    EXPECT_EQ(row.err.empty(), result.err.empty()) << result.err;
    EXPECT_EQ(Sh("stat -c '%F %a' " + q + row.checked).out, row.kind.empty() ? "" : row.kind + "\n");
    if (!row.written.empty()) {
      EXPECT_EQ(Sh("head -c 9 " + q + row.written).out, "YUV4MPEG2");
    }
    EXPECT_EQ(Sh("find " + q + " -name '*.part*'").out, "");
  }
  // A reader that goes away ends the run quietly, as a filter that SIGPIPE
  // killed, with the renders ended (the server then ends by itself); NUT's
  // while the next frame and its sound render ahead.
  std::filesystem::create_directories(d);
  for (const char* format : {"y4m", "nut"}) {
    const RunResult closed = Sh("{ " + kCli + "render" + kOurs + "--source Long --format " + format +
                                " -o -; echo $? >" + q + "status; } | head -c 100 >/dev/null; cat " + q + "status");
    EXPECT_EQ(closed.out, "141\n") << format;
    EXPECT_EQ(closed.err, "") << format;
  }
  for (const pid_t server : Servers()) EXPECT_TRUE(WaitExited(server, 5000));
  // A file system that fills up names the system's reason, through libpng
  // too; a small tmpfs of a mount namespace of its own (root only).
  if (Sh("unshare -m true").exitCode != 0) {
    std::printf("not run: a full file system (no mount namespace here)\n");
    return;
  }
  const RunResult full =
      Sh("mkdir " + q + "small && unshare -m sh -c \"mount -t tmpfs -o size=16k tmpfs " + q + "small && " + kCli +
         "render" + kOurs + "--source 'HD bars' --frames 0 -q -o " + q + "small\"");
  EXPECT_EQ(full.exitCode, 4);
  EXPECT_THAT(full.err, HasSubstr("frame-000000.png': No space left on device"));
}

// Every replaced output is on the disk before its name is: in each thread's
// calls, a flush of the file comes before every rename and a flush of its
// folder after it.
TEST_F(E2e, CommandLineFlushesEachFileBeforeItsRename) {
  const std::string d = g_world.root + "/flushed", trace = d + "/trace";
  for (const std::string& output : {"--format y4m -o " + d + "/a.y4m", "--format png -o " + d + "/png"}) {
    SCOPED_TRACE(output);
    std::filesystem::remove_all(d);
    std::filesystem::create_directories(d);
    // LeakSanitizer cannot work under ptrace: this run's leaks go unchecked.
    const RunResult result =
        Sh("ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" strace -f -qq -e "
           "trace=fsync,fdatasync,rename,renameat,renameat2 -o " +
           trace + " " + kCli + "render" + kOurs + "--source Numbers --frames 0:3 -q " + output);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    std::map<std::string, std::vector<std::string>> calls;  // thread -> its calls in order
    std::ifstream lines(trace);
    for (std::string thread, rest; lines >> thread && std::getline(lines, rest);) {
      if (rest.find("resumed>") != std::string::npos) continue;  // the end of a call already counted
      calls[thread].push_back(rest.substr(rest.find_first_not_of(' '), 5));
    }
    int renames = 0;
    for (const auto& [thread, sequence] : calls) {
      for (std::size_t i = 0; i < sequence.size(); ++i) {
        if (sequence[i] != "renam") continue;
        ++renames;
        EXPECT_TRUE(i > 0 && sequence[i - 1] == "fsync") << "thread " << thread << ", rename " << i;
        EXPECT_TRUE(i + 1 < sequence.size() && sequence[i + 1] == "fsync") << "thread " << thread << ", rename " << i;
      }
    }
    EXPECT_EQ(renames, output.find("png") != std::string::npos ? 3 : 1);
  }
}

// Ctrl-C while a call waits on a stopped server: the command is gone within
// a second and leaves nothing partial; the server, once it runs again, sees
// the host gone, releases its objects and ends.
TEST_F(E2e, CommandLineInterruptedWhileTheServerIsStopped) {
  const std::string d = g_world.root + "/stopped";
  std::filesystem::remove_all(d);
  std::filesystem::create_directories(d);
  // The shell ends at once; the command line, its child, is then this
  // process's (the subreaper's) to wait for.
  // ThreadSanitizer's exit waits a second for other threads by default.
  const pid_t cli =
      std::stoi(Sh("TSAN_OPTIONS=\"${TSAN_OPTIONS:+$TSAN_OPTIONS:}atexit_sleep_ms=0\" " + kCli + "render" + kOurs +
                   "--source Long --format y4m -q -o " + d + "/long.y4m >/dev/null 2>" + d + "/err & echo $!")
                    .out);
  while (Sh("find " + d + " -name 'long.y4m.part*' -size +0").out.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::vector<pid_t> servers = Servers();
  ASSERT_EQ(servers.size(), 1u);
  ::kill(servers.front(), SIGSTOP);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the next call waits by now
  const auto interrupted = std::chrono::steady_clock::now();
  ::kill(cli, SIGINT);
  int status = 0;
  while (::waitpid(cli, &status, WNOHANG) == 0 &&
         std::chrono::steady_clock::now() - interrupted < std::chrono::seconds(5)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const auto took = std::chrono::steady_clock::now() - interrupted;
  if (!WIFEXITED(status)) ::kill(cli, SIGKILL), ::waitpid(cli, &status, 0);
  EXPECT_LT(took, std::chrono::seconds(1));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
  EXPECT_EQ(Sh("ls " + d).out, "err\n") << "nothing partial";
  EXPECT_THAT(Sh("cat " + d + "/err").out, HasSubstr("interrupted; partial output removed"));
  ::kill(servers.front(), SIGCONT);
  EXPECT_TRUE(WaitExited(servers.front(), 5000));
}

}  // namespace
