// The command line's media output as ffmpeg and ffprobe read it: picture and
// sound in one NUT or Matroska stream, and the samples of every pixel format.
#include "CliWorld.h"

#include <gmock/gmock.h>

#include <cmath>
#include <cstring>
#include <tuple>

namespace e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

std::string Slurp(const std::string& path) { return (std::stringstream() << std::ifstream(path).rdbuf()).str(); }

// What ffprobe reads of each stream: rate, aspect, field order, colour tags,
// the sound's format, and no sound where there must be none. NUT has no
// field for colour tags or field order (ffprobe reports them unknown), so
// those are read from Matroska.
TEST_F(E2e, OneStreamCarriesPictureAndSoundAsAsked) {
  const std::string render = kCli + "render" + kOurs + "-q --source ", file = Quote(g_world.root + "/tags.mkv");
  const std::string probe = " | ffprobe -v error -show_streams -of default=nw=1 -";
  const struct {
    std::string line;
    std::vector<std::string> has, lacks;
  } rows[] = {
      {render + "Long --frames 0:25 --format nut -o - | ffprobe -v error -show_streams -of json -",
       {R"("codec_name": "rawvideo")", R"("pix_fmt": "yuv420p")", R"("r_frame_rate": "25/1")",
        R"("sample_aspect_ratio": "1:1")", R"("codec_name": "pcm_s16le")", R"("sample_rate": "48000")",
        R"("channels": 2)"},
       {}},
      {render + "Long --frames 0:25 --format mkv --field-order 1 -o -" + probe,
       {"field_order=tt", "color_range=tv", "color_space=smpte170m", "color_primaries=smpte170m",
        "color_transfer=smpte170m", "codec_name=pcm_s16le"},
       {}},
      {render + "'HD bars' --frames 0 --format mkv -o -" + probe,
       {"width=1920", "color_space=bt709", "color_primaries=bt709", "color_transfer=bt709", "field_order=progressive"},
       {"codec_type=audio"}},
      {render + "Wide --frames 0:3 --format mkv --codec ffv1 --pix-fmt yuv444p16le -o " + file +
           " && ffprobe -v error -show_streams -of default=nw=1 " + file,
       {"codec_name=ffv1", "pix_fmt=yuv444p16le", "sample_aspect_ratio=10:11", "r_frame_rate=25/1", "color_range=tv"},
       {"codec_type=audio"}},
      {render + "Long --frames 0:10 --format nut --no-audio -o -" + probe, {"codec_type=video"}, {"codec_type=audio"}},
      {render + "Long --frames 0:10:2 --format nut -o -" + probe, {"r_frame_rate=25/2"}, {"codec_type=audio"}},
      {render + "Long --frames 0:5 --format mkv --audio-rate 44100 --audio-channels 1 -o -" + probe,
       {"sample_rate=44100", "channels=1"},
       {}},
      {render + "Numbers --frames 0:2 --format y4m --chroma 422 --output-depth 10" + probe,
       {"pix_fmt=yuv422p10le"},
       {}},
      {render + "Numbers --frames 0:2 --format nut --chroma 444 --output-depth 12" + probe,
       {"pix_fmt=yuv444p12le"},
       {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    const RunResult result = Sh(row.line);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    for (const std::string& text : row.has) EXPECT_THAT(result.out, HasSubstr(text));
    for (const std::string& text : row.lacks) EXPECT_THAT(result.out, Not(HasSubstr(text)));
  }
}

// Pictures and sound of one stream, decoded by ffmpeg, are those of the
// YUV4MPEG2 stream and of the audio command's WAV for the same frames:
// through a pipe, into a file (FFV1, lossless) and into a FIFO. The frames
// span more than a second: the sound crosses from one rendered buffer into
// the next.
TEST_F(E2e, OneStreamHoldsTheY4mPicturesAndTheWavSound) {
  const std::string d = g_world.root + "/onestream", fifo = Quote(d + "/fifo");
  std::filesystem::create_directories(d);
  const std::string selection = " --source Long --frames 7:45 -q ", v = Quote(d + "/v"), a = Quote(d + "/a");
  const RunResult pictures =
      Sh(kCli + "render" + kOurs + selection + "--format y4m -o - | ffmpeg -v error -i - -f rawvideo -");
  const RunResult sound = Sh(kCli + "audio" + kOurs + selection + "-o - | ffmpeg -v error -i - -f s16le -");
  ASSERT_EQ(pictures.out.size(), 38u * 640 * 360 * 3 / 2) << pictures.err;
  ASSERT_EQ(sound.out.size(), 38u * 48000 / 25 * 4) << sound.err;
  const std::string decode = " -map 0:v -f rawvideo -y " + v + " -map 0:a -f s16le -y " + a;
  for (const std::string& line : {"render" + kOurs + selection + "--format nut -o - | ffmpeg -v error -i -" + decode,
                                  "render" + kOurs + selection + "--format mkv -o - | ffmpeg -v error -i -" + decode,
                                  "render" + kOurs + selection + "--format mkv --codec ffv1 -o " + Quote(d + "/f.mkv") +
                                      " && ffmpeg -v error -i " + Quote(d + "/f.mkv") + decode,
                                  "render" + kOurs + selection + "--format nut -o " + fifo + " & ffmpeg -v error -i " +
                                      fifo + decode + "; wait"}) {
    SCOPED_TRACE(line);
    std::filesystem::remove(d + "/fifo");
    Sh("mkfifo " + fifo);
    const RunResult result = Sh(kCli + line);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(Slurp(d + "/v") == pictures.out) << "pictures differ";
    EXPECT_TRUE(Slurp(d + "/a") == sound.out) << "sound differs";
  }
  // A YUV4MPEG2 stream into a FIFO, which ffmpeg opens as its input.
  const RunResult y4m = Sh(kCli + "render" + kOurs + selection + "--format y4m -o " + fifo + " & ffmpeg -v error -i " +
                           fifo + " -f rawvideo -; wait");
  EXPECT_TRUE(y4m.out == pictures.out) << y4m.err;
}

// Every chroma subsampling and depth against ffmpeg's own conversion of the
// same RGBA frame (`--format raw`), within one code value. The reference is
// zscale's 4:4:4 at 16 bits (libswscale is itself off by up to 164/65535 at
// 16 bits, and by 2 of 255 from 16-bit RGBA); subsampled chroma is its mean
// over each 2x1 or 2x2 block, the centred siting the outputs use.
TEST_F(E2e, EachPixelFormatIsFfmpegsConversionOfTheFrame) {
  const std::string d = g_world.root + "/pixfmt";
  std::filesystem::create_directories(d);
  // Bars change only across; ffmpeg's test picture, of an odd size, changes
  // both ways and in colour, so that every row of a chroma block counts.
  ASSERT_EQ(Sh("ffmpeg -v error -y -f lavfi -i testsrc2=size=95x53 -frames:v 1 " + Quote(d + "/picture.png")).exitCode,
            0);
  std::ofstream(d + "/picture.orraproj") << "orra-project 1\nproject \"Picture\" " ID(A1) "\nsource \"Picture\" " ID(
      A2) "\nduration 1 1\nsize 95 53\nrate 25\nvideo image \"picture.png\"\nend\n";
  const std::string picture = " " + Quote(d + "/picture.orraproj") + " ";
  for (auto [project, source, options, rgba, matrix, width, height] :
       {std::tuple{kOurs, "'SD bars'", "", "rgba", "170m", 720, 576},
        {kOurs, "'SD bars'", "--matrix bt709", "rgba", "709", 720, 576},
        {kOurs, "Wide", "", "rgba64le", "170m", 64, 48},
        {picture, "Picture", "", "rgba", "170m", 95, 53},
        {picture, "Picture", "--matrix bt709 --depth 16", "rgba64le", "709", 95, 53}}) {
    const std::string render = kCli + "render" + project + "-q --frames 0 --source " + source + " " + options;
    const RunResult reference =
        Sh(render + " --format raw -o - | ffmpeg -v error -f rawvideo -pix_fmt " + rgba + " -video_size " +
           std::to_string(width) + "x" + std::to_string(height) + " -i - -vf zscale=matrix=" + matrix +
           ":range=limited -pix_fmt yuv444p16le -f rawvideo -");
    const std::size_t area = std::size_t(width) * height;
    ASSERT_EQ(reference.out.size(), area * 6) << reference.err;
    auto at = [&](int plane, int x, int y) {
      std::uint16_t word;
      std::memcpy(&word, reference.out.data() + 2 * (plane * area + std::size_t(y) * width + x), 2);
      return double(word);
    };
    for (auto [pixFmt, across, down, bits] : {std::tuple{"yuv420p", 2, 2, 8},
                                              {"yuv422p", 2, 1, 8},
                                              {"yuv444p", 1, 1, 8},
                                              {"yuv420p10le", 2, 2, 10},
                                              {"yuv422p12le", 2, 1, 12},
                                              {"yuv444p10le", 1, 1, 10},
                                              {"yuv420p16le", 2, 2, 16}}) {
      SCOPED_TRACE(std::string(source) + options + " " + pixFmt);
      const RunResult ours =
          Sh(render + " --format y4m --pix-fmt " + pixFmt + " -o - | ffmpeg -v error -i - -f rawvideo -");
      const int cw = (width + across - 1) / across, ch = (height + down - 1) / down, bytes = bits == 8 ? 1 : 2;
      ASSERT_EQ(ours.out.size(), (area + 2 * std::size_t(cw) * ch) * bytes) << ours.err;
      int worst = 0;
      std::size_t offset = 0;
      for (int plane = 0; plane < 3; ++plane) {
        const int w = plane == 0 ? width : cw, h = plane == 0 ? height : ch;
        const int sx = plane == 0 ? 1 : across, sy = plane == 0 ? 1 : down;
        for (int y = 0; y < h; ++y) {
          for (int x = 0; x < w; ++x, offset += bytes) {
            double sum = 0;
            for (int j = 0; j < sy; ++j)
              for (int i = 0; i < sx; ++i)
                sum += at(plane, std::min(x * sx + i, width - 1), std::min(y * sy + j, height - 1));
            const double expected = sum / (sx * sy) / double(1 << (16 - bits));
            const int got = bytes == 1 ? std::uint8_t(ours.out[offset])
                                       : std::uint8_t(ours.out[offset]) | std::uint8_t(ours.out[offset + 1]) << 8;
            worst = std::max(worst, int(std::ceil(std::abs(got - expected) - 0.5)));
          }
        }
      }
      EXPECT_LE(worst, 1);
    }
  }
}

// Requests the stream formats refuse before anything is rendered.
TEST_F(E2e, OneStreamRefusesWhatItCannotWrite) {
  const std::string render =
      kCli + "render" + kOurs + "--source Long --frames 0 -o " + Quote(g_world.root + "/no") + " ";
  for (auto [options, message] : {
           std::pair{"--format mkv --pix-fmt yuv444p", "Matroska holds raw pictures as yuv420p or yuv422p only"},
           {"--format mkv --output-depth 10", "add --codec ffv1"},
           {"--format y4m --codec ffv1", "--codec is for --format nut and mkv"},
           {"--format nut --codec h264", "--codec is rawvideo or ffv1"},
           {"--format nut --pix-fmt rgb24", "--pix-fmt is yuv420p"},
           {"--format y4m --output-depth 9", "--output-depth is 8, 10, 12 or 16"},
           {"--format y4m --pix-fmt yuv420p --chroma 444", "excludes --chroma"},
           {"--format nut --audio-channels 40", "--audio-channels is 1 to 32"},
       }) {
    SCOPED_TRACE(options);
    const RunResult result = Sh(render + options);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_THAT(result.err, HasSubstr(message));
  }
  EXPECT_FALSE(std::filesystem::exists(g_world.root + "/no"));
}

// FFmpeg's libraries come in a module of the program's own, loaded for NUT
// and Matroska only: a program without it (or with a broken one) still
// does everything else, and names the module when a stream needs it.
TEST_F(E2e, OneStreamNamesItsModuleWhenItIsMissing) {
  const std::string folder = g_world.root + "/lone";
  std::filesystem::create_directories(folder);
  const std::string lone = folder + "/moravane-cli";
  std::filesystem::copy_file(E2E_CLI_PATH, lone, std::filesystem::copy_options::overwrite_existing);
  const std::string cli = Quote(lone) + " ";
  EXPECT_EQ(Sh(cli + "render" + kOurs + "--source Long --frames 0 --format y4m -o /dev/null").exitCode, 0);
  for (const char* module : {"", "not an object"}) {
    SCOPED_TRACE(module);
    if (*module != 0) {
      std::FILE* broken = std::fopen((folder + "/moravane-cli-media.so").c_str(), "w");
      ASSERT_NE(broken, nullptr);
      std::fputs(module, broken);
      std::fclose(broken);
    }
    const std::string out = folder + "/out.nut";
    const RunResult result = Sh(cli + "render" + kOurs + "--source Long --frames 0 --format nut -o " + Quote(out));
    EXPECT_EQ(result.exitCode, 4);
    EXPECT_THAT(result.err, HasSubstr("NUT and Matroska need moravane-cli-media.so"));
    EXPECT_FALSE(std::filesystem::exists(out));
  }
}

}  // namespace
}  // namespace e2e
