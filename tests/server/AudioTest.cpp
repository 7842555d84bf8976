// Audio rendered through the renderer's interfaces against the signal each
// source describes.
#include "ServerFixture.h"

#include <cmath>
#include <cstring>
#include <numbers>

namespace refserver_test {
namespace {

struct Sound {
  const char* name;
  const char* guid;
  double rate;
  LONG channels, encoding, perBuffer, startValue, startScale;
  std::size_t sectionFrames;
  double (*signal)(double seconds);
};

double Sine440(double t) { return 0.5 * std::sin(2 * std::numbers::pi * 440 * t); }
// 200 Hz rising linearly to 2200 Hz over 2 s: the phase is 200 t + 500 t^2.
double Chirp(double t) { return 0.5 * std::sin(2 * std::numbers::pi * (200 * t + 500 * t * t)); }
double Silence(double) { return 0; }

void PrintTo(const Sound& row, std::ostream* out) { *out << row.name; }

class Audio : public ServerTest, public ::testing::WithParamInterface<Sound> {};

TEST_P(Audio, IsTheSignalInBuffersOfTheAskedSize) {
  const Sound& p = GetParam();
  CComPtr<IRenderer2> renderer = RendererOf(SourceOf(p.guid));
  CComPtr<IAudioRenderOptions2> o = AudioOptionsOf(renderer);
  EXPECT_CALL_OK(o->SetSampleRate(p.rate, errorText));
  EXPECT_CALL_OK(o->SetNumChannels(p.channels, errorText));
  EXPECT_CALL_OK(o->SetEncoding(p.encoding, errorText));
  const std::size_t bytes = p.encoding == 0 ? 2 : 4, frameBytes = bytes * p.channels;
  EXPECT_CALL_OK(o->SetBytesPerSample(LONG(bytes), errorText));
  std::vector<std::uint8_t>& section = Section(u"audio", p.sectionFrames * frameBytes);
  EXPECT_CALL_OK(
      renderer->StartAudioRender(p.startValue, p.startScale, p.perBuffer, o, Arg("audio"), section.size(), errorText));
  // A source of `seconds`, started at `start`: full buffers, a short last
  // one, then 0.
  const double seconds = p.guid == kQuietGuid ? 1 : 2, start = double(p.startValue) / p.startScale;
  const std::int64_t total = std::llround((seconds - start) * p.rate), first = std::llround(start * p.rate);
  const std::int64_t per = p.perBuffer ? p.perBuffer : std::int64_t(p.sectionFrames);
  const double tolerance = p.encoding == 0 ? 0.5 / 32767 + 1e-9 : 1e-7;
  std::int64_t done = 0;
  for (ULONGLONG written = 1; written != 0 && done <= total;) {
    EXPECT_CALL_OK(renderer->GetNextAudioBuffer(&written, errorText));
    ASSERT_EQ(written, std::min(per, total - done) * frameBytes) << "after " << done << " frames";
    for (std::size_t at = 0; at < written; ++done) {
      for (LONG c = 0; c < p.channels; ++c, at += bytes) {
        std::int16_t i16 = 0;
        float f32 = 0;
        std::memcpy(p.encoding == 0 ? static_cast<void*>(&i16) : &f32, &section[at], bytes);
        const double value = p.encoding == 0 ? i16 / 32767.0 : f32;
        ASSERT_NEAR(value, p.signal(double(first + done) / p.rate), tolerance) << "frame " << done << " channel " << c;
      }
    }
  }
  EXPECT_EQ(done, total);
  EXPECT_CALL_OK(renderer->EndAudioRender(errorText));
}

INSTANTIATE_TEST_SUITE_P(Formats, Audio,
                         ::testing::Values(Sound{"Mono48kFloat", kToneGuid, 48000, 1, 1, 4096, 0, 1, 4096, Sine440},
                                           Sound{"Stereo44k1Pcm", kToneGuid, 44100, 2, 0, 10000, 0, 1, 10000, Sine440},
                                           Sound{"Six96kWholeSection", kToneGuid, 96000, 6, 1, 0, 0, 1, 50000, Sine440},
                                           Sound{"StartedHalfWay", kToneGuid, 8000, 2, 0, 0, 1, 2, 100000, Sine440},
                                           Sound{"Chirp", kChirpGuid, 48000, 1, 1, 0, 0, 1, 96000, Chirp},
                                           Sound{"Silence", kQuietGuid, 22050, 2, 0, 1000, 0, 1, 1000, Silence}),
                         [](const ::testing::TestParamInfo<Sound>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace refserver_test
