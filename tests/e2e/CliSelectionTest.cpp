// What the command line selects and lists, as ffmpeg and ffprobe users write it.
#include "CliWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using namespace e2e;

// The frame numbers of raw RGBA frames of Numbers (128x72): its red
// channel carries the pattern as luma would.
std::vector<long> NumbersIn(const std::string& rgba) {
  const int w = 128, h = 72;
  std::string red;
  for (std::size_t i = 0; i < rgba.size(); i += 4) red += rgba[i];
  std::vector<long> numbers;
  for (std::size_t at = 0; at + std::size_t(w) * h <= red.size(); at += std::size_t(w) * h) {
    numbers.push_back(FrameNumber(red, at, w, h));
  }
  return numbers;
}

// Numbers has 5 frames at 24 fps, starting at 0, 41666.67, 83333.33, 125000
// and 166666.67 us; it lasts 208333.33 us. A frame is in [ss, to) by its
// start rounded to the microsecond.
TEST_F(E2e, RenderSelectsFramesByNumberAndTime) {
  const struct {
    std::string arguments;
    std::vector<long> frames;
    std::string err;  // for a refused selection
  } rows[] = {
      {"--start 1 --end 3", {1, 2, 3}, ""},
      {"--start 3", {3, 4}, ""},
      {"--end 0", {0}, ""},
      {"--start 4 --end 4", {4}, ""},
      {"--frames -2:", {3, 4}, ""},  // a negative value is no option
      {"-ss 0.125", {3, 4}, ""},     // exactly on frame 3's start
      {"-ss 0.125001", {4}, ""},     // just past it
      {"-to 0.125", {0, 1, 2}, ""},  // the end is excluded
      {"-to 0.125001", {0, 1, 2, 3}, ""},
      {"-ss 0.041667", {1, 2, 3, 4}, ""},  // frame 1 starts at 41667 us, rounded
      {"-ss 0.041668", {2, 3, 4}, ""},
      {"-ss 0.05 -t 0.1", {2, 3}, ""},
      {"-q -ss 0.05 -q -to 0.1", {2}, ""},  // after a flag, -ss is still an option
      {"--seconds 0.1", {0, 1, 2}, ""},
      {"-ss 00:00.125 -to 0:00:00.2", {3, 4}, ""},
      {"-to 0.208333", {0, 1, 2, 3, 4}, ""},
      {"--start 1.5", {}, "--start is a frame number; use -ss for seconds"},
      {"--end 2.5", {}, "--end is a frame number; use -to for seconds"},
      {"--start x", {}, "--start is a frame number (0, 1, ...)"},
      {"--start 3 --end 1", {}, "--end 1 comes before --start 3"},
      {"--start 5", {}, "--start 5 is past the source's last frame, 4"},
      {"--end 5", {}, "--end 5 is past the source's last frame, 4"},
      {"--frames 1:3 --end 2", {}, "--frames and --end contradict"},
      {"--frames 1 -ss 0", {}, "--frames and -ss contradict"},
      {"--start 1 -to 0.1", {}, "--start and -to contradict"},
      {"-t 0.1 -to 0.2", {}, "-t and -to contradict"},
      {"-ss 0.1 -to 0.05", {}, "-to 0.05 is not after -ss 0.1"},
      {"-ss 0.208334", {}, "-ss 0.208334 s is at or past the source's end (0.208333 s)"},
      {"-to 0.3", {}, "-to ends at 0.3 s, past the source's end (0.208333 s)"},
      {"-ss 0.1 -t 0.2", {}, "-ss + -t ends at 0.3 s, past the source's end"},
      {"-ss 0.05 -to 0.06", {}, "holds no frame's start (frames start every 1/24 s)"},
      {"-ss 1:2:3:4", {}, "-ss '1:2:3:4' is not a time"},
      {"-ss 0:75", {}, "-ss '0:75' is not a time"},
      {"-t 0", {}, "-t is a length above 0"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.arguments);
    const RunResult result = Sh(kCli + "render" + kOurs + "-s Numbers --format raw -q -o - " + row.arguments);
    EXPECT_EQ(result.exitCode, row.err.empty() ? 0 : 2) << result.err;
    EXPECT_THAT(result.err, HasSubstr(row.err));
    EXPECT_EQ(NumbersIn(result.out), row.frames);
  }
  // A value that looks like one of ffmpeg's options stays a value.
  const std::string dir = g_world.root + "/prefixed";
  const RunResult png = Sh(kCli + "render" + kOurs + "-s Numbers -q --frames 0 --prefix -ss -o " + Quote(dir));
  EXPECT_EQ(png.exitCode, 0) << png.err;
  EXPECT_TRUE(std::filesystem::exists(dir + "/-ss000000.png"));
}

// Audio takes the same selection: frame numbers are times at the source's
// rate (Sine: 25 fps, 3 s), and the samples start where they say.
TEST_F(E2e, AudioSelectsTheSameWay) {
  const std::string raw = kCli + "audio" + kOurs + "-s Sine --format raw -q -o - ";
  const std::string whole = Sh(raw).out;
  ASSERT_EQ(whole.size(), 3u * 48000 * 4);
  const struct {
    std::string arguments;
    long firstSample, samples;  // -1: refused, with `err`
    std::string err;
  } rows[] = {
      {"--start 25", 48000, 96000, ""},
      {"--start 25 --end 49", 48000, 48000, ""},
      {"--end 0", 0, 1920, ""},
      {"--frames -25:", 96000, 48000, ""},
      {"-ss 1.5", 72000, 72000, ""},
      {"-ss 1 -t 0.5", 48000, 24000, ""},
      {"-ss 0:01.5 -to 0:02", 72000, 24000, ""},
      {"--seconds 2", 0, 96000, ""},
      {"--start 1.5", -1, 0, "--start is a frame number; use -ss for seconds"},  // what --start was
      {"--frames 0:10:2", -1, 0, "--frames: audio has no STEP"},
      {"--start 75", -1, 0, "--start 75 is past the source's last frame, 74"},
      {"-ss 3", -1, 0, "-ss 3 s is at or past the source's end (3 s)"},
      {"-t 3.001", -1, 0, "-t ends at 3.001 s, past the source's end (3 s)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.arguments);
    const RunResult result = Sh(raw + row.arguments);
    EXPECT_EQ(result.exitCode, row.firstSample < 0 ? 2 : 0) << result.err;
    EXPECT_THAT(result.err, HasSubstr(row.err));
    if (row.firstSample < 0) continue;
    ASSERT_EQ(result.out.size(), std::size_t(row.samples) * 4);
    EXPECT_TRUE(result.out == whole.substr(std::size_t(row.firstSample) * 4, result.out.size()));
  }
}

// probe without --source lists every source, as ffprobe -show_streams does;
// each element is what probe --source prints for that source.
TEST_F(E2e, ProbeListsEverySource) {
  const std::string script =
      "import json, subprocess, sys\n"
      "listing = json.load(sys.stdin)\n"
      "print(listing[\"project\"])\n"
      "for s in listing[\"streams\"]:\n"
      "    one = json.loads(subprocess.run([sys.argv[1], \"probe\", sys.argv[2], \"-s\", s[\"guid\"], \"--json\"],\n"
      "                                    capture_output=True, check=True).stdout)\n"
      "    print(one == s, \"|\".join(str(s[k]) for k in (\"name\", \"kind\", \"codec_type\", \"width\", \"height\",\n"
      "          \"sample_aspect_ratio\", \"display_aspect_ratio\", \"field_order\", \"r_frame_rate\", "
      "\"avg_frame_rate\",\n"
      "          \"nb_frames\", \"duration\", \"time_base\", \"duration_ts\", \"sample_rate\", \"channels\")))\n";
  const RunResult listed =
      Sh(kCli + "probe" + kOurs + "--json | python3 -c " + Quote(script) + " " + Quote(E2E_CLI_PATH) + kOurs);
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  EXPECT_EQ(listed.out,
            "End to end\n"
            "True Numbers|video|video|128|72|1:1|16:9|progressive|24/1|24/1|5|0.20833333333333334|1/24|5|None|None\n"
            "True Wide|video|video|64|48|10:11|40:33|progressive|25/1|25/1|25|1|1/1|1|None|None\n"
            "True HD bars|video|video|1920|1080|1:1|16:9|progressive|24/1|24/1|24|1|1/1|1|None|None\n"
            "True SD bars|video|video|720|576|1:1|5:4|progressive|25/1|25/1|25|1|1/1|1|None|None\n"
            "True Sine|audio|audio|None|None|None|None|None|25/1|25/1|75|3|1/1|3|48000|2\n"
            "True Long|video+audio|video|640|360|1:1|16:9|progressive|25/1|25/1|90000|3600|1/1|3600|48000|2\n");
  // As text: one block per source, a blank line between.
  const RunResult text = Sh(kCli + "probe" + kOurs);
  EXPECT_EQ(text.exitCode, 0) << text.err;
  std::size_t blocks = 1;
  for (std::size_t at = 0; (at = text.out.find("\n\nname ", at)) != std::string::npos; ++at) ++blocks;
  EXPECT_EQ(blocks, 6u);
  EXPECT_EQ(text.out.rfind("name          Numbers\n", 0), 0u);
  EXPECT_THAT(text.out, HasSubstr("\nname          Sine\nguid          {7E2E0000-0000-4000-8000-000000000020}\n"
                                  "kind          audio\n"));
}

// ffmpeg's key=value blocks: the frame counts up, the time follows it, and
// progress=end closes the run.
std::vector<std::map<std::string, std::string>> Blocks(const std::string& text) {
  std::vector<std::map<std::string, std::string>> blocks(1);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    blocks.back()[line.substr(0, equals)] = line.substr(equals + 1);
    if (line.rfind("progress=", 0) == 0) blocks.emplace_back();
  }
  blocks.pop_back();
  return blocks;
}

TEST_F(E2e, ProgressWritesFfmpegsBlocks) {
  // Many blocks: 1000 frames, one every 2 ms.
  const RunResult video =
      Sh(kCli + "render" + kOurs + "-s Long --format raw -t 40 -o /dev/null -progress pipe:1 -stats_period 0.002");
  ASSERT_EQ(video.exitCode, 0) << video.err;
  const auto blocks = Blocks(video.out);
  ASSERT_GE(blocks.size(), 2u) << video.out;
  long previous = 0;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    SCOPED_TRACE(i);
    for (const char* key : {"frame", "fps", "out_time_us", "out_time_ms", "out_time", "speed", "progress"})
      EXPECT_EQ(blocks[i].count(key), 1u) << key;
    const long frame = std::stol(blocks[i].at("frame"));
    EXPECT_GE(frame, previous);
    previous = frame;
    EXPECT_EQ(std::stoll(blocks[i].at("out_time_us")), frame * 40000LL);  // 25 fps
    EXPECT_EQ(blocks[i].at("progress"), i + 1 == blocks.size() ? "end" : "continue");
  }
  EXPECT_GT(previous, std::stol(blocks.front().at("frame"))) << "the frame counts up";
  EXPECT_EQ(blocks.back().at("frame"), "1000");
  EXPECT_EQ(blocks.back().at("out_time"), "00:00:40.000000");
  EXPECT_EQ(blocks.back().at("out_time_ms"), "40000000");  // microseconds, as ffmpeg writes it

  // Audio: out_time from the samples written, no frames. At the default
  // period a short run writes at most two blocks a second and a last one.
  const auto begin = std::chrono::steady_clock::now();
  const RunResult audio = Sh(kCli + "audio" + kOurs + "-s Sine -ss 0.5 -o /dev/null -q -progress pipe:1");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  ASSERT_EQ(audio.exitCode, 0) << audio.err;
  const auto audioBlocks = Blocks(audio.out);
  ASSERT_FALSE(audioBlocks.empty());
  EXPECT_LE(audioBlocks.size(), std::size_t(seconds * 2) + 1);
  EXPECT_EQ(audioBlocks.back().count("frame"), 0u);
  EXPECT_EQ(audioBlocks.back().at("out_time_us"), "2500000");
  EXPECT_EQ(audioBlocks.back().at("progress"), "end");

  // A file is appended to: what it held stays.
  const std::string log = g_world.root + "/progress.log";
  std::ofstream(log) << "earlier\n";
  const RunResult appended =
      Sh(kCli + "render" + kOurs + "-s Numbers --format raw -q -o /dev/null -progress " + Quote(log));
  EXPECT_EQ(appended.exitCode, 0) << appended.err;
  const std::string written = (std::stringstream() << std::ifstream(log).rdbuf()).str();
  EXPECT_EQ(written.rfind("earlier\nframe=", 0), 0u) << written;
  EXPECT_THAT(written, HasSubstr("frame=5\n"));
  EXPECT_EQ(written.substr(written.size() - 13), "progress=end\n");

  for (auto [arguments, err] :
       {std::pair{"-o - -progress pipe:1", "-progress pipe:1 and -o - would both write to the standard output"},
        {"-progress pipe:x", "pipe:N takes a descriptor number"},
        {"-progress pipe:9", "-progress pipe:9: the descriptor is not open"},
        {"-progress /nowhere/p.log", "-progress: cannot write '/nowhere/p.log': the folder '/nowhere' does not exist"},
        {"-stats_period 0", "-stats_period is a time above 0"}}) {
    SCOPED_TRACE(arguments);
    const RunResult refused = Sh(kCli + "render" + kOurs + "-s Numbers --format raw " + arguments);
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_THAT(refused.err, HasSubstr(err));
  }
}

// The bar on a terminal (a pseudo-terminal of script(1)): one line redrawn
// in place and erased at the end, and none when -progress writes to stderr.
TEST_F(E2e, ProgressBarLeavesTheTerminalClean) {
  if (Sh("command -v script").exitCode != 0) GTEST_SKIP() << "no script(1) here";
  for (auto [arguments, bar] : {std::pair{"", true}, {"-q", false}, {"-progress pipe:2", false}}) {
    SCOPED_TRACE(arguments);
    const RunResult tty =
        Sh("script -qec " + Quote(kCli + "render" + kOurs + "-s Long --format raw -t 8 -o /dev/null " + arguments) +
           " /dev/null");
    ASSERT_EQ(tty.exitCode, 0) << tty.err;
    if (bar) {
      EXPECT_THAT(tty.out, HasSubstr("render ["));
      EXPECT_EQ(tty.out.find('\n'), std::string::npos) << "no line of its own is left";
      EXPECT_EQ(tty.out.substr(tty.out.size() - 4), "\r\x1b[K");
    } else {
      EXPECT_THAT(tty.out, Not(HasSubstr("render [")));
    }
  }
}

// A word the program does not know is named, with the nearest it knows.
TEST_F(E2e, MistypedWordsGetTheNearestName) {
  for (auto [line, err] : {
           std::pair{"rendr" + kOurs, "unknown command 'rendr'; did you mean 'render'?"},
           {"tre" + kOurs, "did you mean 'tree'?"},
           {"render" + kOurs + "-s Numbers --frmes 0:2", "render: unknown option '--frmes'; did you mean '--frames'?"},
           {"render" + kOurs + "-s Numbers --form raw", "did you mean '--format'?"},
           {"audio" + kOurs + "-s Sine --sttart 3", "did you mean '--start'?"},
           {"audio" + kOurs + "-s Sine -progres pipe:1", "did you mean '-progress'?"},
           {"probe" + kOurs + "--jsn", "did you mean '--json'?"},
           {"--quite info", "did you mean '--quiet'?"},
       }) {
    SCOPED_TRACE(line);
    const RunResult result = Sh(kCli + line);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_THAT(result.err, HasSubstr(err));
  }
  for (const std::string& line : {"frobnicate" + kOurs, "render" + kOurs + "-s Numbers --zzzzzz 1"}) {
    SCOPED_TRACE(line);
    const RunResult result = Sh(kCli + line);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_THAT(result.err, HasSubstr("unknown"));
    EXPECT_THAT(result.err, Not(HasSubstr("did you mean")));
  }
}

}  // namespace
