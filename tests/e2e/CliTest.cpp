// The command-line host as a user runs it, against the server process that
// activation starts: what it writes and how it fails.
#include "E2eSupport.h"

#include <moravane/Link.h>
#include <moravane/Project.h>
#include <moravane/Server.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <png.h>
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {
namespace {

using ::testing::HasSubstr;

const std::string kDemo = E2E_DEMO_DIR "/demo.orraproj";

RunResult Cli(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), E2E_CLI_PATH);
  return RunProgram(arguments);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A PNG read back as 16-bit RGBA values, whatever its own depth.
struct Png {
  int width = 0;
  int height = 0;
  int depth = 0;
  std::vector<std::uint16_t> pixels;  // 0 to 65535
  double At(int x, int y, int c) const { return pixels[(static_cast<std::size_t>(y) * width + x) * 4 + c] / 65535.0; }
};

Png ReadPng(const std::string& path) {
  Png png;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) {
    ADD_FAILURE() << "cannot read " << path << ": " << image.message;
    return png;
  }
  png.width = static_cast<int>(image.width);
  png.height = static_cast<int>(image.height);
  // The file's own bit depth, before the simplified reader converts.
  png.depth = (image.format & PNG_FORMAT_FLAG_LINEAR) != 0 ? 16 : 8;
  image.format = PNG_FORMAT_RGBA;
  std::vector<std::uint8_t> bytes(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, bytes.data(), 0, nullptr)) {
    ADD_FAILURE() << "cannot decode " << path;
    return png;
  }
  png.pixels.resize(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) png.pixels[i] = static_cast<std::uint16_t>(bytes[i] * 257);
  return png;
}

// The frame number of the pattern; `bright` tells whether a point is white.
template <class Bright>
long DecodeNumber(int width, int height, Bright bright) {
  const int band = 3 * height / 4;
  long number = 0;
  for (int bit = 0; bit < 24; ++bit) {
    if (bright((2 * (bit % 8) + 1) * width / 16, (2 * (bit / 8) + 1) * band / 6)) number |= 1L << bit;
  }
  return number;
}

// Samples of a WAV file (or of raw 16-bit PCM when `rawChannels` is given)
// as values from -1 to 1, channel 0 only.
struct Wav {
  int rate = 0;
  int channels = 0;
  int subtype = 0;  // SF_FORMAT_PCM_16, SF_FORMAT_FLOAT, ...
  std::vector<double> samples;
};

Wav ReadWav(const std::string& path, int rawChannels = 0, int rawRate = 0) {
  Wav wav;
  SF_INFO info{};
  if (rawChannels != 0) {
    info.format = SF_FORMAT_RAW | SF_FORMAT_PCM_16;
    info.channels = rawChannels;
    info.samplerate = rawRate;
  }
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    ADD_FAILURE() << "cannot read " << path << ": " << sf_strerror(nullptr);
    return wav;
  }
  wav.rate = info.samplerate;
  wav.channels = info.channels;
  wav.subtype = info.format & SF_FORMAT_SUBMASK;
  std::vector<double> frames(static_cast<std::size_t>(info.frames) * info.channels);
  frames.resize(static_cast<std::size_t>(sf_readf_double(file, frames.data(), info.frames)) * info.channels);
  sf_close(file);
  for (std::size_t at = 0; at < frames.size(); at += info.channels) wav.samples.push_back(frames[at]);
  return wav;
}

// Runs a shell command line (pipes between the command-line host and the
// tools that read its output).
RunResult Shell(const std::string& line) { return RunProgram({"/bin/sh", "-c", line}); }

std::string Quote(const std::string& text) { return "'" + text + "'"; }

const std::string kCli = Quote(E2E_CLI_PATH);

// The frequency between two times, from the rising zero crossings (placed
// between samples by linear interpolation).
double Frequency(const Wav& wav, double from, double to) {
  std::vector<double> crossings;
  const auto first = static_cast<std::size_t>(from * wav.rate);
  const auto last = std::min(wav.samples.size(), static_cast<std::size_t>(to * wav.rate));
  for (std::size_t i = first + 1; i < last; ++i) {
    const double a = wav.samples[i - 1], b = wav.samples[i];
    if (a < 0 && b >= 0) crossings.push_back((i - 1 + a / (a - b)) / wav.rate);
  }
  if (crossings.size() < 2) return 0;
  return (crossings.size() - 1) / (crossings.back() - crossings.front());
}

using E2eCliTest = E2eTest;

TEST_F(E2eCliTest, TreeListsEveryItemWithItsGuidAndKind) {
  const RunResult result = Cli({"tree", kDemo});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  // Every item line of the project file must come back with its kind:
  // KIND "NAME" {GUID}, indented.
  const std::string project = ReadFile(kDemo);
  std::istringstream lines(project);
  std::string text;
  int items = 0;
  while (std::getline(lines, text)) {
    std::istringstream words(text);
    std::string kind;
    words >> kind;
    if (kind != "bin" && kind != "source" && kind != "item") continue;
    const std::size_t open = text.find('"'), close = text.rfind('"');
    const std::size_t brace = text.find('{');
    ASSERT_TRUE(open != std::string::npos && close > open && brace > close) << text;
    ++items;
    const std::string name = text.substr(open + 1, close - open - 1);
    const std::string guid = text.substr(brace, text.find('}') - brace + 1);
    EXPECT_THAT(result.out, HasSubstr(guid + "  " + kind));
    EXPECT_THAT(result.out, HasSubstr(name));
  }
  EXPECT_GE(items, 9);
}

TEST_F(E2eCliTest, RendersPngFilesThatShowTheirFrames) {
  for (const int depth : {8, 16, 32}) {
    SCOPED_TRACE(depth);
    const std::string folder = WorkDirectory() + "/png" + std::to_string(depth);
    const RunResult result = Cli({"render", kDemo, "--source", "Frame numbers", "--frames", "22:26", "--depth",
                                  std::to_string(depth), "--width", "320", "--height", "180", "-o", folder});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    ASSERT_EQ(files.size(), 4u);
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(std::filesystem::path(files[i]).filename().string(), "frame-0000" + std::to_string(22 + i) + ".png");
      const Png png = ReadPng(files[i]);
      EXPECT_EQ(png.width, 320);
      EXPECT_EQ(png.height, 180);
      EXPECT_EQ(png.depth, depth == 8 ? 8 : 16);
      EXPECT_EQ(DecodeNumber(png.width, png.height, [&](int x, int y) { return png.At(x, y, 0) > 0.5; }), 22 + i);
    }
  }
}

TEST_F(E2eCliTest, ColourBarsSurviveThePngEncoder) {
  const std::string folder = WorkDirectory() + "/bars";
  const RunResult result =
      Cli({"render", kDemo, "--source", "{4D0A7E10-6A1B-4C2D-8E3F-000000000010}", "--frames", "0", "-o", folder});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const Png png = ReadPng(folder + "/frame-000000.png");
  ASSERT_EQ(png.width, 640);
  const int on[7][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0}, {1, 0, 1}, {1, 0, 0}, {0, 0, 1}};
  for (int x = 0; x < png.width; x += 7) {
    for (int c = 0; c < 3; ++c) ASSERT_EQ(png.At(x, 100, c) * 255, on[7 * x / png.width][c] ? 191 : 0) << x;
  }
}

// Small sources of every shape the stream header describes.
std::string PicturesProject() {
  return WriteFile("pictures.orraproj",
                   "orra-project 1\n"
                   "project \"Pictures\" {7E2E0000-0000-4000-8000-0000000000D0}\n"
                   "source \"Numbers\" {7E2E0000-0000-4000-8000-0000000000D1}\n"
                   "  duration 5 24\n  size 128 72\n  rate 24\n  video framenumber\nend\n"
                   "source \"Wide\" {7E2E0000-0000-4000-8000-0000000000D2}\n"
                   "  duration 1 1\n  size 64 48\n  rate 25\n  aspect 10 11\n  depth 16\n  video bars\nend\n"
                   "source \"HD bars\" {7E2E0000-0000-4000-8000-0000000000D3}\n"
                   "  duration 1 1\n  size 1920 1080\n  rate 24\n  video bars\nend\n"
                   "source \"SD bars\" {7E2E0000-0000-4000-8000-0000000000D4}\n"
                   "  duration 1 1\n  size 720 576\n  rate 25\n  video bars\nend\n");
}

TEST_F(E2eCliTest, StreamsYuv4mpegToStandardOutput) {
  const std::string project = PicturesProject();
  const RunResult result = Cli({"render", project, "--source", "Numbers", "--frames", "1:4", "--format", "y4m"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const std::size_t headerEnd = result.out.find('\n');
  ASSERT_NE(headerEnd, std::string::npos);
  EXPECT_EQ(result.out.substr(0, headerEnd),
            "YUV4MPEG2 W128 H72 F24:1 Ip A1:1 C444 XCOLORRANGE=LIMITED XCOLORMATRIX=BT601");
  const std::size_t plane = 128 * 72;
  ASSERT_EQ(result.out.size(), headerEnd + 1 + 3 * (6 + 3 * plane));
  for (int i = 0; i < 3; ++i) {
    const std::size_t at = headerEnd + 1 + i * (6 + 3 * plane);
    ASSERT_EQ(result.out.compare(at, 6, "FRAME\n"), 0);
    const auto* luma = reinterpret_cast<const std::uint8_t*>(result.out.data() + at + 6);
    EXPECT_EQ(DecodeNumber(128, 72, [&](int x, int y) { return luma[y * 128 + x] > 128; }), 1 + i);
    EXPECT_EQ(luma[0] == 235 || luma[0] == 16, true);  // limited range white or black
  }
}

TEST_F(E2eCliTest, FfprobeReadsTheStreamsFormat) {
  const std::string project = PicturesProject();
  struct Case {
    std::string source, arguments;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"Numbers",
       "--frames 0:2",
       {"width=128", "height=72", "pix_fmt=yuv444p", "field_order=progressive", "r_frame_rate=24/1"}},
      {"Numbers", "--frames 0:2 --field-order 1 --chroma 420", {"pix_fmt=yuv420p", "field_order=tt"}},
      {"Numbers", "--frames 0:2 --field-order 2 --depth 16", {"pix_fmt=yuv444p16le", "field_order=bb"}},
      {"Wide", "--frames 0:6:2", {"r_frame_rate=25/2"}},
      {"Wide",
       "--frames 0:2 --depth 32 --chroma 420",
       {"width=64", "pix_fmt=yuv420p16le", "sample_aspect_ratio=10:11"}},
      {"Wide",
       "--frames 0:2 --downsample 2,1",
       {"width=32", "height=48", "pix_fmt=yuv444p16le", "sample_aspect_ratio=20:11"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source + " " + c.arguments);
    const RunResult result = Shell(kCli + " render " + Quote(project) + " --source " + c.source + " --format y4m " +
                                   c.arguments + " | ffprobe -v error -show_streams -of default=nw=1 -");
    ASSERT_EQ(result.exitCode, 0) << result.err;
    for (const std::string& line : c.expected) EXPECT_THAT(result.out, HasSubstr(line + "\n"));
  }
}

TEST_F(E2eCliTest, ColourBarsComeBackThroughFfmpegWithTheTaggedMatrix) {
  const std::string project = PicturesProject();
  struct Case {
    std::string source, arguments, matrix;  // the matrix the header must name
    int width, height;
  };
  const Case cases[] = {
      {"HD bars", "", "BT709", 1920, 1080},
      {"SD bars", "", "BT601", 720, 576},
      {"HD bars", "--matrix bt601", "BT601", 1920, 1080},
      {"SD bars", "--matrix bt709 --chroma 420", "BT709", 720, 576},
  };
  const int on[7][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0}, {1, 0, 1}, {1, 0, 0}, {0, 0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source + " " + c.arguments);
    const std::string render =
        kCli + " render " + Quote(project) + " --source " + Quote(c.source) + " --format y4m --frames 0 " + c.arguments;
    const RunResult header = Shell(render + " | head -n 1");
    EXPECT_THAT(header.out, HasSubstr("XCOLORMATRIX=" + c.matrix));
    const std::string matrix = c.matrix == "BT709" ? "bt709" : "bt601";
    // ffmpeg's default (fast) 4:2:0 path is off by up to 3 on its own.
    const RunResult rgb = Shell(render + " | ffmpeg -v error -i - -sws_flags accurate_rnd+full_chroma_int+bitexact" +
                                " -vf scale=in_color_matrix=" + matrix + " -pix_fmt rgb24 -f rawvideo -");
    ASSERT_EQ(rgb.exitCode, 0) << rgb.err;
    ASSERT_EQ(rgb.out.size(), static_cast<std::size_t>(c.width) * c.height * 3);
    for (int bar = 0; bar < 7; ++bar) {
      const std::size_t at = (static_cast<std::size_t>(c.height / 4) * c.width + (2 * bar + 1) * c.width / 14) * 3;
      for (int channel = 0; channel < 3; ++channel) {
        EXPECT_NEAR(static_cast<std::uint8_t>(rgb.out[at + channel]), on[bar][channel] ? 191 : 0, 1)
            << "bar " << bar << " channel " << channel;
      }
    }
  }
}

TEST_F(E2eCliTest, ProbeGivesWhatFfmpegNeedsToReadRawFrames) {
  const std::string project = PicturesProject();
  const RunResult text = Cli({"probe", project, "--source", "Wide"});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  for (const char* line : {"frames        25 (0 to 24)", "rate          25 fps (25/1)", "size          64x48",
                           "pixel aspect  10:11", "bit depth     16", "audio         no", "video         yes"}) {
    EXPECT_THAT(text.out, HasSubstr(line));
  }
  const RunResult json = Cli({"probe", project, "--source", "Numbers", "--json"});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  EXPECT_THAT(json.out, HasSubstr("\"duration\": {\"value\": 5, \"scale\": 24, \"seconds\": 0.208333333}"));
  EXPECT_THAT(json.out, HasSubstr("\"frames\": 5,"));
  const std::string key = "\"ffmpeg_raw_input\": \"";
  const std::size_t at = json.out.find(key);
  ASSERT_NE(at, std::string::npos) << json.out;
  const std::string input = json.out.substr(at + key.size(), json.out.find('"', at + key.size()) - at - key.size());

  // The raw frame, read by ffmpeg with those options, is the PNG frame.
  const std::string raw = WorkDirectory() + "/frame.rgba", png = WorkDirectory() + "/ffmpeg.png";
  ASSERT_EQ(Cli({"render", project, "--source", "Numbers", "--frames", "3", "--format", "raw", "-o", raw}).exitCode, 0);
  EXPECT_EQ(std::filesystem::file_size(raw), 128u * 72 * 4);
  const RunResult ffmpeg = Shell("ffmpeg -v error -y " + input + " -i " + Quote(raw) + " " + Quote(png));
  ASSERT_EQ(ffmpeg.exitCode, 0) << ffmpeg.err;
  const std::string folder = WorkDirectory() + "/own";
  ASSERT_EQ(Cli({"render", project, "--source", "Numbers", "--frames", "3", "-o", folder}).exitCode, 0);
  EXPECT_EQ(ReadPng(png).pixels, ReadPng(folder + "/frame-000003.png").pixels);
}

TEST_F(E2eCliTest, FrameRangesPickTheirFrames) {
  const std::string project = PicturesProject();
  struct Case {
    std::vector<std::string> range;  // none: the whole source
    std::vector<int> frames;
  };
  const Case cases[] = {
      {{}, {0, 1, 2, 3, 4}}, {{"--frames", "3:"}, {3, 4}}, {{"--frames", "1:5:2"}, {1, 3}}, {{"--frames", "2"}, {2}}};
  int run = 0;
  for (const Case& c : cases) {
    const std::string folder = WorkDirectory() + "/range" + std::to_string(run++);
    std::vector<std::string> arguments = {"render", project, "--source", "Numbers", "-o", folder};
    arguments.insert(arguments.end(), c.range.begin(), c.range.end());
    SCOPED_TRACE(c.range.empty() ? "whole" : c.range[1]);
    const RunResult result = Cli(arguments);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    ASSERT_EQ(files.size(), c.frames.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
      EXPECT_EQ(std::filesystem::path(files[i]).filename().string(),
                "frame-00000" + std::to_string(c.frames[i]) + ".png");
      const Png png = ReadPng(files[i]);
      EXPECT_EQ(DecodeNumber(png.width, png.height, [&](int x, int y) { return png.At(x, y, 0) > 0.5; }), c.frames[i]);
    }
  }
}

TEST_F(E2eCliTest, AudioCarriesTheSourcesFrequenciesToFilesPipesAndRawPcm) {
  const std::string project = WriteFile("tones.orraproj",
                                        "orra-project 1\n"
                                        "project \"Tones\" {7E2E0000-0000-4000-8000-0000000000A0}\n"
                                        "source \"Sine\" {7E2E0000-0000-4000-8000-0000000000A1}\n"
                                        "  duration 3 1\n  rate 25\n  audio sine 1234.5\n"
                                        "end\n");
  enum class Out { kFile, kSoxPipe, kRaw };
  struct Case {
    std::string project, source, encoding, rate, channels, seconds;
    Out out;
    double frequency;
  };
  const Case cases[] = {
      {kDemo, "Tone", "int16", "48000", "1", "2", Out::kFile, 440},
      {project, "Sine", "float", "44100", "1", "2", Out::kFile, 1234.5},
      {project, "Sine", "float", "48000", "3", "", Out::kFile, 1234.5},  // extensible, whole source
      {project, "Sine", "int16", "22050", "1", "2", Out::kSoxPipe, 1234.5},
      {project, "Sine", "float", "48000", "6", "2", Out::kSoxPipe, 1234.5},
      {project, "Sine", "int16", "32000", "2", "2", Out::kRaw, 1234.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source + " " + c.encoding + " " + c.rate + " " + c.channels + " " + std::to_string(int(c.out)));
    const std::string path = WorkDirectory() + "/tone.wav";
    std::filesystem::remove(path);
    std::string line = kCli + " audio " + Quote(c.project) + " --source " + c.source + " --encoding " + c.encoding +
                       " --rate " + c.rate + " --channels " + c.channels +
                       (c.seconds.empty() ? "" : " --seconds " + c.seconds);
    if (c.out == Out::kFile) line += " -o " + Quote(path);
    if (c.out == Out::kSoxPipe) line += " -o - | sox -t wav - -t wav " + Quote(path);
    if (c.out == Out::kRaw) line += " --format raw -o " + Quote(path);
    const RunResult result = Shell(line);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const int channels = std::stoi(c.channels);
    const Wav wav = c.out == Out::kRaw ? ReadWav(path, channels, std::stoi(c.rate)) : ReadWav(path);
    EXPECT_EQ(wav.rate, std::stoi(c.rate));
    EXPECT_EQ(wav.channels, channels);
    if (c.out == Out::kFile) {
      EXPECT_EQ(wav.subtype, c.encoding == "float" ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_16);
    }
    EXPECT_EQ(wav.samples.size(), (c.seconds.empty() ? 3u : 2u) * wav.rate);
    EXPECT_NEAR(Frequency(wav, 0, 2), c.frequency, 1.0);
    double peak = 0;
    for (double s : wav.samples) peak = std::max(peak, std::abs(s));
    EXPECT_NEAR(peak, 0.5, 0.01);
  }
  EXPECT_FALSE(std::filesystem::exists(WorkDirectory() + "/-"));
}

TEST_F(E2eCliTest, ChirpSweepsFromItsFirstToItsLastFrequency) {
  // Demo chirp: 100 Hz to 4000 Hz over 4 s; f(t) = 100 + 975 t.
  const std::string wavPath = WorkDirectory() + "/chirp.wav";
  const RunResult result = Cli({"audio", kDemo, "--source", "Chirp", "--seconds", "4", "-o", wavPath});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const Wav wav = ReadWav(wavPath);
  ASSERT_EQ(wav.channels, 2);
  for (const double t : {0.5, 1.5, 2.5, 3.5}) {
    EXPECT_NEAR(Frequency(wav, t - 0.05, t + 0.05), 100 + 975 * t, 0.02 * (100 + 975 * t)) << t;
  }
}

TEST_F(E2eCliTest, LinkErrorsEndWithTheirCodeAndTheServersText) {
  const std::string malformed =
      WriteFile("broken.orraproj", "orra-project 1\nproject \"B\" {7E2E0000-0000-4000-8000-0000000000C0}\nbin\n");
  // What the library itself gets for the same requests.
  auto expected = [](const std::string& path) {
    moravane::OrraServer factory;
    moravane::Server server = factory.CreateLink();
    const moravane::LinkError error = ExpectLinkError([&] { server.OpenProject(Wide(path)); });
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(error.GetError()));
    return "moravane-cli: link error " + std::string(code) + ": " + Utf8(error.GetErrorString()) + "\n";
  };
  const std::string absent = WorkDirectory() + "/absent.orraproj";
  EXPECT_THAT(expected(absent), HasSubstr("0x80070002"));
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::string message;
  };
  const Case cases[] = {
      {"missing project", {"tree", absent}, expected(absent)},
      {"malformed project", {"tree", malformed}, expected(malformed)},
      {"section too small",
       {"render", kDemo, "--source", "Colour bars", "--frames", "0", "--section-size", "1000"},
       "too small"},
      {"section larger than memory",
       {"render", kDemo, "--source", "Colour bars", "--frames", "0", "--section-size", "1125899906842624"},
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult result = Cli(c.arguments);
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_THAT(result.err, HasSubstr("moravane-cli: link error 0x8"));
    EXPECT_THAT(result.err, HasSubstr(c.message));
    // Every code comes with a text, the server's or the program's own.
    EXPECT_THAT(result.err, ::testing::ContainsRegex("link error 0x[0-9A-F]+: [[:alnum:]]"));
  }
  // Without a registration the user is told the command that fixes it,
  // and that command works.
  const std::string config = WorkDirectory() + "/unregistered", runtime = config + "/runtime";
  std::filesystem::create_directories(runtime);
  std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
  const std::string env = "XDG_CONFIG_HOME=" + Quote(config) + " XDG_RUNTIME_DIR=" + Quote(runtime) + " ";
  const RunResult unregistered = Shell(env + kCli + " info");
  EXPECT_EQ(unregistered.exitCode, 3);
  EXPECT_THAT(unregistered.err, HasSubstr("link error 0x80040154"));
  EXPECT_THAT(unregistered.err, HasSubstr("register it with:\n  moravane-cli register\n"));
  const RunResult registered = Shell(env + kCli + " register && " + env + kCli + " info");
  EXPECT_EQ(registered.exitCode, 0) << registered.err;
  EXPECT_THAT(registered.out, HasSubstr("server version"));
}

TEST_F(E2eCliTest, UsageErrorsNeverReachTheServer) {
  const std::vector<std::vector<std::string>> cases = {
      {"render", kDemo, "--source", "Colour bars", "--frames", "5:2"},
      {"render", kDemo, "--source", "Colour bars", "--frames", "x"},
      {"render", kDemo, "--source", "Colour bars", "--frames", "1:5:0"},
      {"render", kDemo, "--source", "Colour bars", "--frames", "0", "--format", "gif"},
      {"render", kDemo, "--source", "Colour bars", "--depth", "12"},
      {"render", kDemo, "--source", "Colour bars", "--field-order", "3"},
      {"render", kDemo, "--source", "Colour bars", "--downsample", "0"},
      {"render", kDemo, "--source", "Colour bars", "--region", "10,10,5,20"},
      {"render", kDemo, "--source", "Colour bars", "--format", "y4m", "--chroma", "422"},
      {"render", kDemo, "--source", "Colour bars", "--format", "y4m", "--matrix", "bt2020"},
      {"render", kDemo, "--source", "Colour bars", "--png-level", "10"},
      {"render", kDemo, "--source", "Colour bars", "-o", "-"},
      {"audio", kDemo, "--source", "Tone", "--seconds", "0"},
      {"audio", kDemo, "--source", "Tone", "--rate", "0"},
      {"audio", kDemo, "--source", "Tone", "--channels", "0"},
      {"audio", kDemo, "--source", "Tone", "--start", "-1"},
      {"audio", kDemo, "--source", "Tone", "--format", "mp3"},
      {"frobnicate"},
  };
  for (const auto& arguments : cases) {
    SCOPED_TRACE(arguments.back());
    const RunResult result = Cli(arguments);
    EXPECT_EQ(result.exitCode, 2) << result.err;
    EXPECT_FALSE(result.err.empty());
  }
  EXPECT_TRUE(ChildProcesses().empty());
  // A path that is not UTF-8 cannot cross the link, and the message says so.
  const RunResult notUtf8 = Cli({"tree", WorkDirectory() + "/caf\xE9.orraproj"});
  EXPECT_EQ(notUtf8.exitCode, 2);
  EXPECT_THAT(notUtf8.err, HasSubstr("is not valid UTF-8"));
  // What only the project can tell is refused after looking, before any
  // render: nothing is written.
  const std::string folder = WorkDirectory() + "/refused";
  const struct {
    std::vector<std::string> arguments;
    std::string message;
  } looked[] = {
      {{"render", kDemo, "--source", "Nothing", "-o", folder}, "no source named 'Nothing'"},
      {{"render", kDemo, "--source", "{7E2E0000-0000-4000-8000-0000000000FF}", "-o", folder},
       "no source {7E2E0000-0000-4000-8000-0000000000FF}"},
      {{"render", kDemo, "--source", "Colour bars", "--frames", "238:242", "-o", folder},
       "which has 240 frames (0 to 239)"},
      {{"render", kDemo, "--source", "Tone", "-o", folder}, "has no video"},
      {{"audio", kDemo, "--source", "Tone", "--start", "10", "-o", folder + "/a.wav"}, "past the source's end"},
  };
  for (const auto& c : looked) {
    SCOPED_TRACE(c.message);
    const RunResult result = Cli(c.arguments);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_THAT(result.err, HasSubstr(c.message));
    EXPECT_TRUE(!std::filesystem::exists(folder) || std::filesystem::is_empty(folder));
  }
}

TEST_F(E2eCliTest, GlobalFlagsVersionAndExitCodes) {
  const RunResult version = Cli({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_THAT(version.out, HasSubstr(MORAVANE_VERSION));
  const RunResult help = Cli({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char* code : {"  2    wrong usage", "  3    a failure of the link", "  4    an output", "  130"}) {
    EXPECT_THAT(help.out, HasSubstr(code));
  }
  // -q after the command, as before it: no summary.
  const std::string folder = WorkDirectory() + "/quiet";
  const RunResult quiet = Cli({"render", kDemo, "--source", "Colour bars", "--frames", "0", "-o", folder, "-q"});
  EXPECT_EQ(quiet.exitCode, 0) << quiet.err;
  EXPECT_EQ(quiet.err, "");
}

// An interrupted run leaves whole files only and ends its renders: the
// server it started stops by itself afterwards.
TEST_F(E2eCliTest, InterruptionLeavesNothingBroken) {
  const std::string project = WriteFile("long.orraproj",
                                        "orra-project 1\n"
                                        "project \"Long\" {7E2E0000-0000-4000-8000-0000000000E0}\n"
                                        "source \"Bars\" {7E2E0000-0000-4000-8000-0000000000E1}\n"
                                        "  duration 3600 1\n  size 640 360\n  rate 25\n  video bars\nend\n"
                                        "source \"Sine\" {7E2E0000-0000-4000-8000-0000000000E2}\n"
                                        "  duration 3600 1\n  rate 25\n  audio sine 440\nend\n");
  struct Case {
    std::string arguments, output, signal;
    int exitCode;
  };
  const std::string folder = WorkDirectory() + "/interrupted";
  const Case cases[] = {
      {"render --source Bars --format y4m", folder + "/bars.y4m", "INT", 130},
      {"render --source Bars", folder + "/png", "TERM", 143},
      {"audio --source Sine --buffer 480", folder + "/sine.wav", "INT", 130},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    // Signalled once output has begun (a file in the folder is not empty).
    const RunResult result =
        Shell(kCli + " " + c.arguments + " " + Quote(project) + " -q -o " + Quote(c.output) + " & pid=$!\n" +
              "until [ -n \"$(find " + Quote(folder) + " -type f -size +0)\" ]; do sleep 0.02; done\n" + "kill -" +
              c.signal + " $pid; wait $pid");
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    EXPECT_THAT(result.err, HasSubstr("interrupted"));
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
      const std::string name = entry.path().string();
      EXPECT_EQ(name.find(".part"), std::string::npos) << name;
      if (entry.path().extension() == ".png") {
        EXPECT_EQ(ReadPng(name).width, 640) << name;
      }
      if (entry.path().extension() == ".y4m" || entry.path().extension() == ".wav") ADD_FAILURE() << name;
    }
  }
  for (const pid_t server : ChildProcesses()) EXPECT_TRUE(WaitExited(server, 5000));
}

TEST_F(E2eCliTest, InfoAndSendFileTalkToTheServer) {
  const RunResult info = Cli({"info"});
  ASSERT_EQ(info.exitCode, 0) << info.err;
  EXPECT_THAT(info.out, HasSubstr("server version       7"));
  EXPECT_THAT(info.out, HasSubstr("project extension    .orraproj"));
  const RunResult sent = Cli({"send-file", E2E_DEMO_DIR "/still.png", "--project", kDemo});
  EXPECT_EQ(sent.exitCode, 0) << sent.err;
  const RunResult noProject = Cli({"send-file", E2E_DEMO_DIR "/still.png"});
  EXPECT_EQ(noProject.exitCode, 3);
  EXPECT_THAT(noProject.err, HasSubstr("no project is open"));
  const RunResult missing = Cli({"send-file", WorkDirectory() + "/none.png", "--project", kDemo});
  EXPECT_EQ(missing.exitCode, 3);
  EXPECT_THAT(missing.err, HasSubstr("no such file"));
}

}  // namespace
}  // namespace e2e
