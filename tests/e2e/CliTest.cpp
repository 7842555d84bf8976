// The command-line host as a user runs it, against the server process that
// activation starts: what it writes and how it fails.
#include "E2eSupport.h"

#include <moravane/Link.h>
#include <moravane/Project.h>
#include <moravane/Server.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <png.h>

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

// Interleaved samples of a WAV file as values from -1 to 1, channel 0 only.
struct Wav {
  int rate = 0;
  int channels = 0;
  int bits = 0;
  int format = 0;
  std::vector<double> samples;
};

Wav ReadWav(const std::string& path) {
  const std::string bytes = ReadFile(path);
  Wav wav;
  auto word = [&](std::size_t at, int size) {
    std::uint32_t value = 0;
    for (int i = 0; i < size; ++i)
      value |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[at + i])) << 8 * i;
    return value;
  };
  if (bytes.size() < 44 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 8, "WAVEfmt ") != 0) {
    ADD_FAILURE() << path << " is no WAV file";
    return wav;
  }
  wav.format = static_cast<int>(word(20, 2));
  wav.channels = static_cast<int>(word(22, 2));
  wav.rate = static_cast<int>(word(24, 4));
  wav.bits = static_cast<int>(word(34, 2));
  const std::size_t data = word(40, 4);
  EXPECT_EQ(word(4, 4), 36 + data);
  EXPECT_EQ(bytes.size(), 44 + data);
  const std::size_t frameBytes = static_cast<std::size_t>(wav.channels) * wav.bits / 8;
  for (std::size_t at = 44; at + frameBytes <= 44 + data && at + frameBytes <= bytes.size(); at += frameBytes) {
    if (wav.format == 1) {
      wav.samples.push_back(static_cast<std::int16_t>(word(at, 2)) / 32767.0);
    } else {
      float value;
      std::memcpy(&value, bytes.data() + at, 4);
      wav.samples.push_back(value);
    }
  }
  return wav;
}

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

TEST_F(E2eCliTest, StreamsYuv4mpegToStandardOutput) {
  const RunResult result = Cli({"render", kDemo, "--source", "Frame numbers", "--frames", "5:8", "--format", "y4m",
                                "--width", "128", "--height", "72", "-o", "-"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const std::size_t headerEnd = result.out.find('\n');
  ASSERT_NE(headerEnd, std::string::npos);
  EXPECT_THAT(result.out.substr(0, headerEnd), HasSubstr("YUV4MPEG2 W128 H72 F24:1 Ip A1:1 C444"));
  const std::size_t plane = 128 * 72;
  ASSERT_EQ(result.out.size(), headerEnd + 1 + 3 * (6 + 3 * plane));
  for (int i = 0; i < 3; ++i) {
    const std::size_t at = headerEnd + 1 + i * (6 + 3 * plane);
    ASSERT_EQ(result.out.compare(at, 6, "FRAME\n"), 0);
    const auto* luma = reinterpret_cast<const std::uint8_t*>(result.out.data() + at + 6);
    EXPECT_EQ(DecodeNumber(128, 72, [&](int x, int y) { return luma[y * 128 + x] > 128; }), 5 + i);
    EXPECT_EQ(luma[0] == 235 || luma[0] == 16, true);  // limited range white or black
  }
}

TEST_F(E2eCliTest, AudioWavCarriesTheSourcesFrequencies) {
  const std::string project = WriteFile("tones.orraproj",
                                        "orra-project 1\n"
                                        "project \"Tones\" {7E2E0000-0000-4000-8000-0000000000A0}\n"
                                        "source \"Sine\" {7E2E0000-0000-4000-8000-0000000000A1}\n"
                                        "  duration 3 1\n  rate 25\n  audio sine 1234.5\n"
                                        "end\n");
  struct Case {
    std::string project, source, encoding, rate;
    double frequency;
  };
  const Case cases[] = {
      {kDemo, "Tone", "int16", "48000", 440},
      {project, "Sine", "float", "44100", 1234.5},
      {project, "Sine", "int16", "22050", 1234.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source + " " + c.encoding + " " + c.rate);
    const std::string wavPath = WorkDirectory() + "/tone.wav";
    const RunResult result = Cli({"audio", c.project, "--source", c.source, "--seconds", "2", "--encoding", c.encoding,
                                  "--rate", c.rate, "--channels", "1", "-o", wavPath});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const Wav wav = ReadWav(wavPath);
    EXPECT_EQ(wav.rate, std::stoi(c.rate));
    EXPECT_EQ(wav.format, c.encoding == "float" ? 3 : 1);
    EXPECT_EQ(wav.samples.size(), 2u * wav.rate);
    EXPECT_NEAR(Frequency(wav, 0, 2), c.frequency, 1.0);
    double peak = 0;
    for (double s : wav.samples) peak = std::max(peak, std::abs(s));
    EXPECT_NEAR(peak, 0.5, 0.01);
  }
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
      {"unknown GUID",
       {"render", kDemo, "--source", "{7E2E0000-0000-4000-8000-0000000000FF}", "--frames", "0"},
       "7E2E0000-0000-4000-8000-0000000000FF"},
      {"depth the server cannot honour",
       {"render", kDemo, "--source", "Colour bars", "--frames", "0", "--depth", "12"},
       "bit depth must be 8, 16 or 32, found 12"},
      {"section too small",
       {"render", kDemo, "--source", "Colour bars", "--frames", "0", "--section-size", "1000"},
       "too small"},
      {"time beyond the source",
       {"render", kDemo, "--source", "Colour bars", "--frames", "239:241", "-o", WorkDirectory() + "/late"},
       "outside the source's duration"},
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
  // The frame before the end was written before the failure.
  EXPECT_TRUE(std::filesystem::exists(WorkDirectory() + "/late/frame-000239.png"));
}

TEST_F(E2eCliTest, UsageErrorsNeverReachTheServer) {
  const std::vector<std::vector<std::string>> cases = {
      {"render", kDemo, "--source", "Colour bars", "--frames", "5:2"},
      {"render", kDemo, "--source", "Colour bars", "--frames", "x"},
      {"render", kDemo, "--source", "Colour bars", "--frames", "0", "--format", "gif"},
      {"audio", kDemo, "--source", "Tone", "--seconds", "0"},
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
  // A name that matches no source is refused after looking, with a message.
  const RunResult unknown = Cli({"render", kDemo, "--source", "Nothing", "--frames", "0"});
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_THAT(unknown.err, HasSubstr("no source named 'Nothing'"));
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
