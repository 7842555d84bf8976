// The audio the sources make, measured from buffers rendered through the
// renderer's interfaces.
#include "ServerFixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>

namespace refserver_test {
namespace {

class AudioTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    m_project = Open(m_folder.Write("sample.orraproj", kSampleProject));
  }
  void TearDown() override {
    m_project.Release();
    ServerTest::TearDown();
  }

  struct Render {
    CComPtr<IRenderer2> renderer;
    CComPtr<IAudioRenderOptions2> options;
  };
  Render For(const char* guid, double rate, LONG channels, LONG encoding) {
    Render r;
    CComPtr<ISource2> source = SourceOf(m_project, guid);
    r.renderer = RendererOf(source);
    r.options = AudioOptionsOf(r.renderer);
    EXPECT_CALL_OK(r.options->SetSampleRate(rate, errorText));
    EXPECT_CALL_OK(r.options->SetNumChannels(channels, errorText));
    EXPECT_CALL_OK(r.options->SetEncoding(encoding, errorText));
    EXPECT_CALL_OK(r.options->SetBytesPerSample(encoding == 0 ? 2 : 4, errorText));
    return r;
  }

  // Runs a whole render and returns channel 0 as doubles, buffer by buffer
  // concatenated; `sizes` receives each buffer's reported byte count.
  std::vector<double> Collect(Render& r, LONG startValue, LONG startScale, LONG perBuffer, std::size_t sectionBytes,
                              std::vector<ULONGLONG>* sizes = nullptr) {
    LONG channels = 0, encoding = 0, bytes = 0;
    EXPECT_CALL_OK(r.options->GetNumChannels(&channels, errorText));
    EXPECT_CALL_OK(r.options->GetEncoding(&encoding, errorText));
    EXPECT_CALL_OK(r.options->GetBytesPerSample(&bytes, errorText));
    std::vector<std::uint8_t>& section = Section(u"audio", sectionBytes);
    BSTR name = SysAllocString(u"audio");
    EXPECT_CALL_OK(
        r.renderer->StartAudioRender(startValue, startScale, perBuffer, r.options, name, sectionBytes, errorText));
    SysFreeString(name);
    std::vector<double> samples;
    for (int guard = 0; guard < 100000; ++guard) {
      ULONGLONG written = ~0ull;
      EXPECT_CALL_OK(r.renderer->GetNextAudioBuffer(&written, errorText));
      if (sizes != nullptr) sizes->push_back(written);
      if (written == 0) break;
      for (std::size_t at = 0; at < written; at += std::size_t(channels) * bytes) {
        double first = 0;
        for (LONG c = 0; c < channels; ++c) {
          double value;
          if (encoding == 0) {
            std::int16_t v;
            std::memcpy(&v, &section[at + c * bytes], 2);
            value = v / 32767.0;
          } else {
            float v;
            std::memcpy(&v, &section[at + c * bytes], 4);
            value = v;
          }
          if (c == 0) first = value;
          EXPECT_EQ(value, first) << "every channel carries the same signal";
        }
        samples.push_back(first);
      }
    }
    EXPECT_CALL_OK(r.renderer->EndAudioRender(errorText));
    return samples;
  }

  CComPtr<IProject2> m_project;
};

// Frequency from the rising zero crossings between `from` and `to` seconds,
// each crossing placed by linear interpolation.
double MeasureFrequency(const std::vector<double>& s, double rate, double from, double to) {
  double firstCrossing = -1, lastCrossing = -1;
  int crossings = 0;
  for (std::size_t i = std::size_t(from * rate) + 1; i < std::min(s.size(), std::size_t(to * rate)); ++i) {
    if (s[i - 1] < 0 && s[i] >= 0) {
      const double t = (double(i - 1) + s[i - 1] / (s[i - 1] - s[i])) / rate;
      if (crossings == 0) firstCrossing = t;
      lastCrossing = t;
      ++crossings;
    }
  }
  return crossings < 2 ? 0 : (crossings - 1) / (lastCrossing - firstCrossing);
}

struct ToneCase {
  double rate;
  LONG channels, encoding;
};

class Tone : public AudioTest, public ::testing::WithParamInterface<ToneCase> {};

TEST_P(Tone, HasItsFrequencyWithinOneHertz) {
  const ToneCase& p = GetParam();
  Render tone = For(kToneGuid, p.rate, p.channels, p.encoding);
  const std::size_t frameBytes = std::size_t(p.channels) * (p.encoding == 0 ? 2 : 4);
  const std::vector<double> samples = Collect(tone, 0, 1, 4096, 4096 * frameBytes);
  ASSERT_EQ(samples.size(), std::size_t(std::llround(2 * p.rate)));
  EXPECT_NEAR(MeasureFrequency(samples, p.rate, 0, 2), 440.0, 1.0);
  const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
  EXPECT_NEAR(*high, 0.5, 0.01);
  EXPECT_NEAR(*low, -0.5, 0.01);
}

INSTANTIATE_TEST_SUITE_P(Formats, Tone,
                         ::testing::Values(ToneCase{48000, 1, 1}, ToneCase{44100, 2, 0}, ToneCase{96000, 6, 1},
                                           ToneCase{8000, 2, 0}));

TEST_F(AudioTest, ChirpRisesFromItsStartToItsEndFrequency) {
  Render chirp = For(kChirpGuid, 48000, 1, 1);
  const std::vector<double> samples = Collect(chirp, 0, 1, 0, 48000 * 4);
  // 200 Hz to 2200 Hz over 2 s: the mean frequency of a window is the
  // frequency at its middle.
  EXPECT_NEAR(MeasureFrequency(samples, 48000, 0.0, 0.1), 250.0, 5.0);
  EXPECT_NEAR(MeasureFrequency(samples, 48000, 0.95, 1.05), 1200.0, 5.0);
  EXPECT_NEAR(MeasureFrequency(samples, 48000, 1.9, 2.0), 2150.0, 5.0);
}

TEST_F(AudioTest, SilenceIsZero) {
  Render quiet = For(kQuietGuid, 22050, 2, 0);
  const std::vector<double> samples = Collect(quiet, 0, 1, 1000, 4000);
  ASSERT_EQ(samples.size(), 22050u);
  EXPECT_EQ(std::count(samples.begin(), samples.end(), 0.0), 22050);
}

TEST_F(AudioTest, BuffersHoldTheAskedSamplesUntilTheDurationEnds) {
  Render tone = For(kToneGuid, 48000, 2, 0);
  std::vector<ULONGLONG> sizes;
  const std::vector<double> pieces = Collect(tone, 0, 1, 10000, 40000, &sizes);
  // 96000 sample frames of 4 bytes: nine full buffers, a short one, then 0.
  std::vector<ULONGLONG> expected(9, 40000);
  expected.push_back(6000 * 4);
  expected.push_back(0);
  EXPECT_EQ(sizes, expected);
  // 0 = as many as fit in the section: one buffer of everything.
  sizes.clear();
  const std::vector<double> whole = Collect(tone, 0, 1, 0, 96000 * 4, &sizes);
  EXPECT_EQ(sizes, (std::vector<ULONGLONG>{96000 * 4, 0}));
  EXPECT_EQ(pieces, whole);

  // Starting half-way continues the same signal.
  const std::vector<double> later = Collect(tone, 1, 2, 0, 96000 * 4);
  ASSERT_EQ(later.size(), 72000u);
  EXPECT_TRUE(std::equal(later.begin(), later.end(), whole.begin() + 24000));
  EXPECT_NEAR(later[1], 0.5 * std::sin(2 * std::numbers::pi * 440 * (24001 / 48000.0)), 1.0 / 32767);
}

}  // namespace
}  // namespace refserver_test
