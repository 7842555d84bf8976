// What each source kind shows and what each video option does to it, read
// back from frames rendered through the renderer's interfaces.
#include "ServerFixture.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>

namespace refserver_test {
namespace {

struct Format {
  LONG depth = 8;
  LONG order = 0;  // 0 BGRA, 1 RGBA, 2 ARGB
  std::uint64_t rowBytes = 0;
};

// Straight RGBA 0..1 of output pixel (x, y), decoded as documented.
std::array<double, 4> PixelAt(const std::vector<std::uint8_t>& frame, const Format& f, int x, int y) {
  const int channelBytes = f.depth / 8;
  const std::uint8_t* pixel = frame.data() + y * f.rowBytes + std::size_t(x) * 4 * channelBytes;
  static const int kIndex[3][4] = {{2, 1, 0, 3}, {0, 1, 2, 3}, {1, 2, 3, 0}};
  std::array<double, 4> rgba{};
  for (int c = 0; c < 4; ++c) {
    const std::uint8_t* at = pixel + kIndex[f.order][c] * channelBytes;
    if (channelBytes == 1) {
      rgba[c] = *at / 255.0;
    } else if (channelBytes == 2) {
      std::uint16_t v;
      std::memcpy(&v, at, 2);
      rgba[c] = v / 65535.0;
    } else {
      float v;
      std::memcpy(&v, at, 4);
      rgba[c] = v;
    }
  }
  return rgba;
}

class RenderTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    WriteTestImage(m_folder.Path() / "still.png", 37, 23);
    const std::string image = std::string(
        "source \"Still\" {00000000-0000-4000-8000-0000000000F1}\n"
        "  duration 1 1\n  rate 25\n  video image \"still.png\"\nend\n");
    m_project = Open(m_folder.Write("sample.orraproj", kSampleProject + image));
  }
  void TearDown() override {
    m_project.Release();
    ServerTest::TearDown();
  }

  struct Target {
    CComPtr<IRenderer2> renderer;
    CComPtr<IVideoRenderOptions2> options;
  };
  Target For(const char* guid) {
    Target target;
    CComPtr<ISource2> source = SourceOf(m_project, guid);
    target.renderer = RendererOf(source);
    target.options = VideoOptionsOf(target.renderer);
    return target;
  }
  // Renders at the format's depth and channel order; the caller knows the
  // row pitch it expects and has put it into the format.
  std::vector<std::uint8_t> Render(Target& t, const Format& f, LONG value, LONG scale, std::uint8_t fill = 0) {
    EXPECT_CALL_OK(t.options->SetBitDepth(f.depth, errorText));
    EXPECT_CALL_OK(t.options->SetChannelOrder(f.order, errorText));
    return RenderOne(t.renderer, t.options, value, scale, fill);
  }

  CComPtr<IProject2> m_project;
};

struct BarsCase {
  LONG depth;
  double level;  // the 75% level as the depth stores it, normalised
};

class ColourBars : public RenderTest, public ::testing::WithParamInterface<BarsCase> {};

TEST_P(ColourBars, HaveExactValuesAtEachDepth) {
  Target bars = For(kBarsGuid);
  Format f{GetParam().depth, 0, std::uint64_t(140) * 4 * (GetParam().depth / 8)};
  const std::vector<std::uint8_t> frame = Render(bars, f, 0, 1);
  const double l = GetParam().level;
  const double expected[7][3] = {{l, l, l}, {l, l, 0}, {0, l, l}, {0, l, 0}, {l, 0, l}, {l, 0, 0}, {0, 0, l}};
  for (int bar = 0; bar < 7; ++bar) {
    for (int y : {0, 59}) {
      for (int x : {bar * 20, bar * 20 + 19}) {
        const auto rgba = PixelAt(frame, f, x, y);
        for (int c = 0; c < 3; ++c) EXPECT_EQ(rgba[c], expected[bar][c]) << "bar " << bar << " x " << x;
        EXPECT_EQ(rgba[3], 1.0);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Depths, ColourBars,
                         ::testing::Values(BarsCase{8, 191 / 255.0}, BarsCase{16, 49151 / 65535.0},
                                           BarsCase{32, double(0.75f)}));

struct OrderCase {
  LONG order;
  LONG preMultiply;
  std::array<std::uint8_t, 4> bytes;
};

class SolidColour : public RenderTest, public ::testing::WithParamInterface<OrderCase> {};

// The solid source is (255, 128, 0) at alpha 128.
TEST_P(SolidColour, LandsInTheChosenChannelOrder) {
  Target solid = For(kSolidGuid);
  EXPECT_CALL_OK(solid.options->SetPreMultiply(GetParam().preMultiply, errorText));
  Format f{8, GetParam().order, 8 * 4};
  const std::vector<std::uint8_t> frame = Render(solid, f, 0, 1);
  ASSERT_EQ(frame.size(), 8u * 4 * 4);
  for (std::size_t i = 0; i < frame.size(); i += 4) {
    EXPECT_EQ((std::array<std::uint8_t, 4>{frame[i], frame[i + 1], frame[i + 2], frame[i + 3]}), GetParam().bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, SolidColour,
                         ::testing::Values(OrderCase{0, 0, {0, 128, 255, 128}}, OrderCase{1, 0, {255, 128, 0, 128}},
                                           OrderCase{2, 0, {128, 255, 128, 0}}, OrderCase{1, 1, {128, 64, 0, 128}},
                                           OrderCase{0, 1, {0, 64, 128, 128}}));

// The frame-number pattern read back as its documentation describes it:
// block (c, r) of the upper three quarters holds bit r*8+c.
struct Geometry {
  int frameWidth, frameHeight, left, top, fx, fy, outWidth, outHeight;
};

// Returns the bits seen and a mask of the bits whose block centre lies in
// the rendered region.
std::pair<std::int64_t, std::int64_t> ReadFrameNumber(const std::vector<std::uint8_t>& frame, const Format& f,
                                                      const Geometry& g) {
  std::int64_t bits = 0, mask = 0;
  const int band = g.frameHeight * 3 / 4;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 8; ++c) {
      const int cx = (2 * c + 1) * g.frameWidth / 16, cy = (2 * r + 1) * band / 6;
      const int ox = (cx - g.left) / g.fx, oy = (cy - g.top) / g.fy;
      if (cx < g.left || cy < g.top || ox >= g.outWidth || oy >= g.outHeight) continue;
      const double luma = PixelAt(frame, f, ox, oy)[1];
      EXPECT_TRUE(luma < 0.1 || luma > 0.9) << "block " << c << "," << r << " is " << luma;
      mask |= std::int64_t(1) << (r * 8 + c);
      if (luma > 0.5) bits |= std::int64_t(1) << (r * 8 + c);
    }
  }
  return {bits, mask};
}

struct PatternCase {
  const char* name;
  LONG depth, boundsW, boundsH, fx, fy, lowQuality;
  std::array<LONG, 4> roi;
  int minimumBits;
};

class FrameNumber : public RenderTest, public ::testing::WithParamInterface<PatternCase> {};

TEST_P(FrameNumber, ReadsBackTheFrameOfEveryTimeAsked) {
  const PatternCase& p = GetParam();
  Target frames = For(kFramesGuid);
  IVideoRenderOptions2* o = frames.options;
  EXPECT_CALL_OK(o->SetBitDepth(p.depth, errorText));
  EXPECT_CALL_OK(o->SetBounds(p.boundsW, p.boundsH, errorText));
  EXPECT_CALL_OK(o->SetDownsampleFactor(p.fx, p.fy, errorText));
  EXPECT_CALL_OK(o->SetLowQuality(p.lowQuality, errorText));
  EXPECT_CALL_OK(o->SetRegionOfInterest(p.roi[0], p.roi[1], p.roi[2], p.roi[3], errorText));
  Geometry g{p.boundsW ? p.boundsW : 160, p.boundsH ? p.boundsH : 120, p.roi[0], p.roi[1], p.fx, p.fy, 0, 0};
  const int right = p.roi[2] ? p.roi[2] : g.frameWidth, bottom = p.roi[3] ? p.roi[3] : g.frameHeight;
  g.outWidth = (right - g.left + p.fx - 1) / p.fx;
  g.outHeight = (bottom - g.top + p.fy - 1) / p.fy;
  const Format f{p.depth, 0, std::uint64_t(g.outWidth) * 4 * (p.depth / 8)};

  ULONGLONG bytes = 0;
  EXPECT_CALL_OK(o->GetMaxMemoryRequiredForFrame(&bytes, errorText));
  ASSERT_EQ(bytes, f.rowBytes * g.outHeight);
  std::vector<std::uint8_t>& frame = Section(u"pattern", bytes);
  BSTR name = SysAllocString(u"pattern");
  EXPECT_CALL_OK(frames.renderer->StartVideoRender(o, name, bytes, errorText));
  SysFreeString(name);
  // Frame starts (n/30) and the middle of frames ((2n+1)/60) both show n.
  for (int n = 0; n < 300; ++n) {
    for (auto [value, scale] : {std::pair<LONG, LONG>{n, 30}, std::pair<LONG, LONG>{2 * n + 1, 60}}) {
      ULONGLONG written = 0;
      EXPECT_CALL_OK(frames.renderer->RenderVideo(value, scale, &written, errorText));
      const auto [bits, mask] = ReadFrameNumber(frame, f, g);
      ASSERT_GE(std::popcount(std::uint64_t(mask)), p.minimumBits);
      ASSERT_EQ(bits, n & mask) << "time " << value << "/" << scale;
    }
  }
  EXPECT_CALL_OK(frames.renderer->EndVideoRender(errorText));
}

INSTANTIATE_TEST_SUITE_P(
    Variants, FrameNumber,
    ::testing::Values(PatternCase{"Plain8", 8, 0, 0, 1, 1, 0, {0, 0, 0, 0}, 24},
                      PatternCase{"Depth16", 16, 0, 0, 1, 1, 0, {0, 0, 0, 0}, 24},
                      PatternCase{"Float32", 32, 0, 0, 1, 1, 0, {0, 0, 0, 0}, 24},
                      PatternCase{"Downsample3x2", 8, 0, 0, 3, 2, 0, {0, 0, 0, 0}, 24},
                      PatternCase{"Downsample4LowQuality", 8, 0, 0, 4, 4, 1, {0, 0, 0, 0}, 24},
                      PatternCase{"Bounds", 16, 320, 90, 1, 1, 0, {0, 0, 0, 0}, 24},
                      PatternCase{"RegionOfInterest", 8, 0, 0, 1, 1, 0, {30, 10, 130, 80}, 12},
                      PatternCase{"EverythingAtOnce", 32, 400, 300, 3, 5, 0, {50, 0, 390, 200}, 12}),
    [](const ::testing::TestParamInfo<PatternCase>& info) { return std::string(info.param.name); });

TEST_F(RenderTest, ImageSourceShowsItsPixelsAtItsOwnSize) {
  Target still = For("{00000000-0000-4000-8000-0000000000F1}");
  Format f{8, 1, 37 * 4};
  const std::vector<std::uint8_t> frame = Render(still, f, 0, 1);
  EXPECT_EQ(frame, TestImagePixels(37, 23));
}

TEST_F(RenderTest, RegionOfInterestIsACropOfTheWholeFrame) {
  for (const char* guid : {"{00000000-0000-4000-8000-0000000000F1}", kFramesGuid}) {
    Target t = For(guid);
    LONG w = 0, h = 0;
    CComPtr<ISource2> source = SourceOf(m_project, guid);
    EXPECT_CALL_OK(source->GetFrameSize(&w, &h, errorText));
    Format f{8, 0, std::uint64_t(w) * 4};
    const std::vector<std::uint8_t> whole = Render(t, f, 7, 30);
    EXPECT_CALL_OK(t.options->SetRegionOfInterest(5, 3, 30, 20, errorText));
    Format c{8, 0, 25 * 4};
    const std::vector<std::uint8_t> crop = Render(t, c, 7, 30);
    ASSERT_EQ(crop.size(), 25u * 4 * 17);
    for (int y = 0; y < 17; ++y) {
      EXPECT_EQ(0, std::memcmp(&crop[y * 100], &whole[(y + 3) * f.rowBytes + 5 * 4], 100)) << guid << " row " << y;
    }
  }
}

TEST_F(RenderTest, DownsamplePicksInLowQualityAndAveragesOtherwise) {
  Target still = For("{00000000-0000-4000-8000-0000000000F1}");
  Format whole{32, 1, 37 * 16};
  const std::vector<std::uint8_t> full = Render(still, whole, 0, 1);
  EXPECT_CALL_OK(still.options->SetDownsampleFactor(3, 2, errorText));
  const int outW = 13, outH = 12;  // ceil(37/3), ceil(23/2)
  Format small{32, 1, outW * 16};
  const std::vector<std::uint8_t> averaged = Render(still, small, 0, 1);
  EXPECT_CALL_OK(still.options->SetLowQuality(1, errorText));
  const std::vector<std::uint8_t> picked = Render(still, small, 0, 1);
  ASSERT_EQ(averaged.size(), std::size_t(outW) * outH * 16);
  int differing = 0;
  for (int oy = 0; oy < outH; ++oy) {
    for (int ox = 0; ox < outW; ++ox) {
      EXPECT_EQ(PixelAt(picked, small, ox, oy), PixelAt(full, whole, ox * 3, oy * 2));
      std::array<double, 4> sum{};
      int count = 0;
      for (int y = oy * 2; y < std::min(oy * 2 + 2, 23); ++y) {
        for (int x = ox * 3; x < std::min(ox * 3 + 3, 37); ++x, ++count) {
          for (int c = 0; c < 4; ++c) sum[c] += PixelAt(full, whole, x, y)[c];
        }
      }
      const auto got = PixelAt(averaged, small, ox, oy);
      for (int c = 0; c < 4; ++c) EXPECT_NEAR(got[c], sum[c] / count, 1e-6);
      differing += got != PixelAt(picked, small, ox, oy);
    }
  }
  EXPECT_GT(differing, outW * outH / 2);
}

TEST_F(RenderTest, BoundsScaleTheFrameAndLowQualityChoosesNearestPixels) {
  Target bars = For(kBarsGuid);
  EXPECT_CALL_OK(bars.options->SetBounds(70, 30, errorText));
  Format f{8, 1, 70 * 4};
  const std::vector<std::uint8_t> frame = Render(bars, f, 0, 1);
  ASSERT_EQ(frame.size(), 70u * 30 * 4);
  EXPECT_EQ(PixelAt(frame, f, 9, 29), (std::array<double, 4>{191 / 255.0, 191 / 255.0, 191 / 255.0, 1}));
  EXPECT_EQ(PixelAt(frame, f, 10, 0), (std::array<double, 4>{191 / 255.0, 191 / 255.0, 0, 1}));

  Target still = For("{00000000-0000-4000-8000-0000000000F1}");
  EXPECT_CALL_OK(still.options->SetBounds(74, 46, errorText));
  EXPECT_CALL_OK(still.options->SetLowQuality(1, errorText));
  Format big{8, 1, 74 * 4};
  const std::vector<std::uint8_t> nearest = Render(still, big, 0, 1);
  const std::vector<std::uint8_t> pixels = TestImagePixels(37, 23);
  for (int y = 0; y < 46; ++y) {
    for (int x = 0; x < 74; ++x) {
      ASSERT_EQ(0, std::memcmp(&nearest[(y * 74 + x) * 4], &pixels[((y / 2) * 37 + x / 2) * 4], 4)) << x << "," << y;
    }
  }
  EXPECT_CALL_OK(still.options->SetLowQuality(0, errorText));
  EXPECT_NE(Render(still, big, 0, 1), nearest);
}

TEST_F(RenderTest, RowBytesSpaceTheRowsAndLeaveThePaddingAlone) {
  Target frames = For(kFramesGuid);
  Format tight{8, 0, 160 * 4};
  const std::vector<std::uint8_t> packed = Render(frames, tight, 42, 30);
  EXPECT_CALL_OK(frames.options->SetRowBytes(160 * 4 + 13, errorText));
  Format padded{8, 0, 160 * 4 + 13};
  const std::vector<std::uint8_t> spaced = Render(frames, padded, 42, 30, 0xAB);
  ASSERT_EQ(spaced.size(), padded.rowBytes * 119 + 160 * 4);
  for (int y = 0; y < 120; ++y) {
    EXPECT_EQ(0, std::memcmp(&spaced[y * padded.rowBytes], &packed[y * tight.rowBytes], 160 * 4)) << y;
    if (y < 119) {
      for (int i = 0; i < 13; ++i) ASSERT_EQ(spaced[y * padded.rowBytes + 640 + i], 0xAB);
    }
  }
}

struct SizeCase {
  LONG boundsW, boundsH, fx, fy, depth, rowBytes;
  std::array<LONG, 4> roi;
  ULONGLONG expected;
};

class FrameMemory : public RenderTest, public ::testing::WithParamInterface<SizeCase> {};

// The Frames source is 160 x 120.
TEST_P(FrameMemory, IsExactlyWhatTheFrameSpans) {
  const SizeCase& p = GetParam();
  Target frames = For(kFramesGuid);
  IVideoRenderOptions2* o = frames.options;
  EXPECT_CALL_OK(o->SetBounds(p.boundsW, p.boundsH, errorText));
  EXPECT_CALL_OK(o->SetDownsampleFactor(p.fx, p.fy, errorText));
  EXPECT_CALL_OK(o->SetBitDepth(p.depth, errorText));
  EXPECT_CALL_OK(o->SetRowBytes(p.rowBytes, errorText));
  EXPECT_CALL_OK(o->SetRegionOfInterest(p.roi[0], p.roi[1], p.roi[2], p.roi[3], errorText));
  ULONGLONG bytes = 0;
  EXPECT_CALL_OK(o->GetMaxMemoryRequiredForFrame(&bytes, errorText));
  EXPECT_EQ(bytes, p.expected);

  // One byte less is refused before anything is written; exactly enough works.
  Section(u"exact", bytes);
  BSTR name = SysAllocString(u"exact");
  const Outcome small = Call([&](BSTR* e) { return frames.renderer->StartVideoRender(o, name, bytes - 1, e); });
  EXPECT_EQ(small.hr, E_INVALIDARG);
  EXPECT_NE(small.text.find("is too small for a frame of " + std::to_string(bytes) + " bytes"), std::string::npos)
      << small.text;
  EXPECT_CALL_OK(frames.renderer->StartVideoRender(o, name, bytes, errorText));
  SysFreeString(name);
  ULONGLONG written = 0;
  EXPECT_CALL_OK(frames.renderer->RenderVideo(1, 30, &written, errorText));
  EXPECT_EQ(written, bytes);
  EXPECT_CALL_OK(frames.renderer->EndVideoRender(errorText));
}

INSTANTIATE_TEST_SUITE_P(Options, FrameMemory,
                         ::testing::Values(SizeCase{0, 0, 1, 1, 8, 0, {0, 0, 0, 0}, 160 * 120 * 4},
                                           SizeCase{0, 0, 1, 1, 16, 0, {0, 0, 0, 0}, 160 * 120 * 8},
                                           SizeCase{0, 0, 1, 1, 32, 0, {0, 0, 0, 0}, 160 * 120 * 16},
                                           SizeCase{0, 0, 1, 1, 8, 700, {0, 0, 0, 0}, 700 * 119 + 640},
                                           SizeCase{0, 0, 3, 7, 8, 0, {0, 0, 0, 0}, 54 * 18 * 4},
                                           SizeCase{320, 0, 1, 1, 8, 0, {0, 0, 0, 0}, 320 * 120 * 4},
                                           SizeCase{0, 0, 1, 1, 8, 0, {10, 20, 30, 25}, 20 * 5 * 4},
                                           SizeCase{640, 480, 2, 2, 16, 0, {0, 0, 639, 479}, 320 * 240 * 8}));

TEST_F(RenderTest, InterlacedFramesTakeTheirFieldsFromTwoTimes) {
  Target frames = For(kFramesGuid);
  Format f{8, 0, 160 * 4};
  // Step (1/30 by default, then 1/10): the second field lies half a step on.
  for (auto [stepValue, stepScale, firstTime, secondTime] :
       {std::array<LONG, 4>{0, 0, 20, 21}, std::array<LONG, 4>{1, 10, 20, 23}}) {
    if (stepValue != 0) EXPECT_CALL_OK(frames.options->SetTimeStep(stepValue, stepScale, errorText));
    EXPECT_CALL_OK(frames.options->SetFieldOrder(0, errorText));
    const std::vector<std::uint8_t> first = Render(frames, f, firstTime, 60);
    const std::vector<std::uint8_t> second = Render(frames, f, secondTime, 60);
    ASSERT_NE(0, std::memcmp(&first[119 * 640], &second[119 * 640], 640)) << "the pattern must move";
    for (LONG order : {1, 2}) {
      EXPECT_CALL_OK(frames.options->SetFieldOrder(order, errorText));
      const std::vector<std::uint8_t> woven = Render(frames, f, firstTime, 60);
      for (int y = 0; y < 120; ++y) {
        const bool firstField = (y % 2 == 0) == (order == 1);
        const std::vector<std::uint8_t>& expected = firstField ? first : second;
        ASSERT_EQ(0, std::memcmp(&woven[y * 640], &expected[y * 640], 640)) << "order " << order << " row " << y;
      }
    }
  }
}

TEST_F(RenderTest, GuideLayersDrawTheSafeAreas) {
  Target bars = For(kBarsGuid);
  Format f{8, 1, 140 * 4};
  const std::vector<std::uint8_t> plain = Render(bars, f, 0, 1);
  EXPECT_CALL_OK(bars.options->SetRenderGuideLayers(1, errorText));
  const std::vector<std::uint8_t> guided = Render(bars, f, 0, 1);
  const std::array<double, 4> green{0, 191 / 255.0, 0, 1}, white{1, 1, 1, 1}, yellow{1, 1, 0, 1};
  EXPECT_EQ(PixelAt(plain, f, 70, 3), green);
  EXPECT_EQ(PixelAt(guided, f, 70, 3), white);     // action-safe top edge, 5% down
  EXPECT_EQ(PixelAt(guided, f, 7, 30), white);     // its left edge, 5% in
  EXPECT_EQ(PixelAt(guided, f, 70, 6), yellow);    // title-safe top edge, 10% down
  EXPECT_EQ(PixelAt(guided, f, 125, 30), yellow);  // its right edge
  EXPECT_EQ(PixelAt(guided, f, 70, 30), green);    // the middle is untouched
  EXPECT_EQ(PixelAt(guided, f, 70, 1), green);     // and so is the outside
}

}  // namespace
}  // namespace refserver_test
