// Frames rendered through the renderer's interfaces against a small
// reference of what each source shows and what each option does to it.
#include "Render.h"
#include "ServerFixture.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace refserver_test {
namespace {

using Rgba = std::array<double, 4>;

// Straight RGBA 0..1 of output pixel (x, y) as the layout is documented.
Rgba PixelAt(const std::vector<std::uint8_t>& frame, LONG depth, LONG order, std::size_t pitch, int x, int y) {
  static const int kIndex[3][4] = {{2, 1, 0, 3}, {0, 1, 2, 3}, {1, 2, 3, 0}};  // BGRA, RGBA, ARGB
  const std::size_t bytes = depth / 8;
  Rgba rgba{};
  for (int c = 0; c < 4; ++c) {
    const std::uint8_t* at = frame.data() + y * pitch + (std::size_t(x) * 4 + kIndex[order][c]) * bytes;
    std::uint16_t v16 = 0;
    float v32 = 0;
    std::memcpy(bytes == 2 ? static_cast<void*>(&v16) : &v32, at, bytes == 1 ? 0 : bytes);
    rgba[c] = bytes == 1 ? *at / 255.0 : bytes == 2 ? v16 / 65535.0 : v32;
  }
  return rgba;
}

enum class Kind { kStill, kBars, kSolid };

// What a source shows at pixel (x, y) of a w x h frame: the still (37 x 23)
// is scaled by whole factors only, the bars span the frame's width.
Rgba Shown(Kind kind, int x, int y, int w, int h) {
  static const std::vector<std::uint8_t> still = TestImagePixels(37, 23);
  static const int kOn[7][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0}, {1, 0, 1}, {1, 0, 0}, {0, 0, 1}};
  if (kind == Kind::kBars) {
    const int* on = kOn[x * 7 / w];
    return {0.75 * on[0], 0.75 * on[1], 0.75 * on[2], 1};
  }
  if (kind == Kind::kSolid) return {1, 128 / 255.0, 0, 128 / 255.0};
  const std::uint8_t* p = &still[((y * 23 / h) * 37 + x * 37 / w) * 4];
  return {p[0] / 255.0, p[1] / 255.0, p[2] / 255.0, p[3] / 255.0};
}

struct Look {
  const char* name;
  Kind kind;
  LONG depth, order, preMultiply, boundsW, boundsH, fx, fy, lowQuality;
  std::array<LONG, 4> roi;
  LONG rowBytes;
};

void PrintTo(const Look& row, std::ostream* out) { *out << row.name; }

class Render : public ServerTest, public ::testing::WithParamInterface<Look> {};

TEST_P(Render, MatchesTheReferencePixelForPixel) {
  const Look& p = GetParam();
  const char* guid = p.kind == Kind::kStill ? kStillGuid : p.kind == Kind::kBars ? kBarsGuid : kSolidGuid;
  const int sourceW = p.kind == Kind::kStill ? 37 : p.kind == Kind::kBars ? 140 : 8;
  const int sourceH = p.kind == Kind::kStill ? 23 : p.kind == Kind::kBars ? 60 : 4;
  CComPtr<IRenderer2> renderer = RendererOf(SourceOf(guid));
  CComPtr<IVideoRenderOptions2> o = VideoOptionsOf(renderer);
  EXPECT_CALL_OK(o->SetBitDepth(p.depth, errorText));
  EXPECT_CALL_OK(o->SetChannelOrder(p.order, errorText));
  EXPECT_CALL_OK(o->SetPreMultiply(p.preMultiply, errorText));
  EXPECT_CALL_OK(o->SetBounds(p.boundsW, p.boundsH, errorText));
  EXPECT_CALL_OK(o->SetDownsampleFactor(p.fx, p.fy, errorText));
  EXPECT_CALL_OK(o->SetLowQuality(p.lowQuality, errorText));
  EXPECT_CALL_OK(o->SetRegionOfInterest(p.roi[0], p.roi[1], p.roi[2], p.roi[3], errorText));
  EXPECT_CALL_OK(o->SetRowBytes(p.rowBytes, errorText));
  const int w = p.boundsW ? p.boundsW : sourceW, h = p.boundsH ? p.boundsH : sourceH;
  const int left = p.roi[0], top = p.roi[1], right = p.roi[2] ? p.roi[2] : w, bottom = p.roi[3] ? p.roi[3] : h;
  const int outW = (right - left + p.fx - 1) / p.fx, outH = (bottom - top + p.fy - 1) / p.fy;
  const std::size_t tight = std::size_t(outW) * p.depth / 2, pitch = p.rowBytes ? p.rowBytes : tight;
  const std::vector<std::uint8_t> frame = RenderOne(renderer, o, 0, 1, 0xAB);
  ASSERT_EQ(frame.size(), pitch * (outH - 1) + tight);
  const double tolerance = p.depth == 8 ? 1 / 255.0 : p.depth == 16 ? 1 / 65535.0 : 1e-6;
  for (int oy = 0; oy < outH; ++oy) {
    for (int ox = 0; ox < outW; ++ox) {
      // Low quality picks the block's first pixel; otherwise the block's mean.
      const int x0 = left + ox * p.fx, y0 = top + oy * p.fy;
      const int x1 = p.lowQuality ? x0 + 1 : std::min<int>(x0 + p.fx, right);
      const int y1 = p.lowQuality ? y0 + 1 : std::min<int>(y0 + p.fy, bottom);
      Rgba expected{};
      for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
          for (int c = 0; c < 4; ++c) expected[c] += Shown(p.kind, x, y, w, h)[c] / ((x1 - x0) * (y1 - y0));
      if (p.preMultiply)
        for (int c = 0; c < 3; ++c) expected[c] *= expected[3];
      const Rgba got = PixelAt(frame, p.depth, p.order, pitch, ox, oy);
      for (int c = 0; c < 4; ++c) ASSERT_NEAR(got[c], expected[c], tolerance) << ox << "," << oy << " channel " << c;
    }
    for (std::size_t i = tight; oy + 1 < outH && i < pitch; ++i) ASSERT_EQ(frame[oy * pitch + i], 0xAB) << "padding";
  }
  // Streamed out with non-temporal stores instead (rows at any alignment):
  // the same bytes, padding untouched.
  linkserver::SetFrameWrites(linkserver::FrameWrites::kStreamed);
  const std::vector<std::uint8_t> streamed = RenderOne(renderer, o, 0, 1, 0xAB);
  linkserver::SetFrameWrites(linkserver::FrameWrites::kChosen);
  EXPECT_TRUE(streamed == frame) << "the streamed frame differs";
}

INSTANTIATE_TEST_SUITE_P(
    Options, Render,
    ::testing::Values(Look{"Still", Kind::kStill, 8, 1, 0, 0, 0, 1, 1, 0, {0, 0, 0, 0}, 0},
                      Look{"StillPreMultiplied16", Kind::kStill, 16, 0, 1, 0, 0, 1, 1, 0, {0, 0, 0, 0}, 0},
                      Look{"StillAveraged3x2", Kind::kStill, 32, 2, 0, 0, 0, 3, 2, 0, {0, 0, 0, 0}, 0},
                      Look{"StillPicked3x2", Kind::kStill, 8, 1, 0, 0, 0, 3, 2, 1, {0, 0, 0, 0}, 0},
                      Look{"StillCropPadded", Kind::kStill, 8, 0, 0, 0, 0, 1, 1, 0, {5, 3, 30, 20}, 113},
                      Look{"StillDoubledCropped", Kind::kStill, 32, 1, 0, 74, 46, 3, 5, 1, {7, 2, 70, 40}, 0},
                      Look{"Bars8", Kind::kBars, 8, 0, 0, 0, 0, 1, 1, 0, {0, 0, 0, 0}, 0},
                      Look{"Bars16", Kind::kBars, 16, 1, 0, 0, 0, 1, 1, 0, {0, 0, 0, 0}, 0},
                      Look{"Bars32", Kind::kBars, 32, 2, 0, 0, 0, 1, 1, 0, {0, 0, 0, 0}, 0},
                      Look{"BarsInBounds", Kind::kBars, 8, 1, 0, 70, 30, 1, 1, 0, {0, 0, 0, 0}, 0},
                      Look{"BarsAveragedAcrossEdges", Kind::kBars, 16, 0, 0, 0, 0, 7, 3, 0, {0, 0, 0, 0}, 700},
                      Look{"SolidBgra", Kind::kSolid, 8, 0, 0, 0, 0, 1, 1, 0, {0, 0, 0, 0}, 0},
                      Look{"SolidArgbPreMultiplied", Kind::kSolid, 8, 2, 1, 0, 0, 1, 1, 0, {0, 0, 0, 0}, 0},
                      Look{"SolidRgbaPreMultiplied16", Kind::kSolid, 16, 1, 1, 0, 0, 1, 1, 0, {0, 0, 0, 0}, 0}),
    [](const ::testing::TestParamInfo<Look>& info) { return std::string(info.param.name); });

// The render's choice of stores, fed what each way costs (µs) per frame:
// after the first three frames (not timed, ordinary, streamed) it follows
// the cheaper way on every frame but the probes, and it notices a change of
// costs at the next probe. A frame that fits the CPU's own cache, or a way
// forced for the process, is never chosen against. Without streaming stores
// (a CPU that has none, which every build can stand for) no row ever streams.
TEST(FrameWriteChooser, FollowsTheCheaperWayAndNoticesWhenItTurns) {
  constexpr std::uint64_t kHd = 1920 * 1080 * 4, kSmall = 64 * 64 * 4;
  using linkserver::FrameWrites;
  const struct {
    const char* what;
    std::uint64_t bytes;
    FrameWrites writes;
    double before[2], after[2];  // ordinary and streamed, up to frame `turn` and after it
    int turn;
    bool decides;  // false: every frame ordinary
  } rows[] = {
      {"streamed cheaper", kHd, FrameWrites::kChosen, {550, 340}, {550, 340}, 1000, true},
      {"ordinary cheaper", kHd, FrameWrites::kChosen, {170, 280}, {170, 280}, 1000, true},
      {"the reader moves away", kHd, FrameWrites::kChosen, {170, 280}, {550, 340}, 100, true},
      {"the reader comes back", kHd, FrameWrites::kChosen, {550, 340}, {170, 280}, 100, true},
      {"small frames", kSmall, FrameWrites::kChosen, {900, 100}, {900, 100}, 1000, false},
      {"ordinary forced", kHd, FrameWrites::kOrdinary, {900, 100}, {900, 100}, 1000, false},
      {"streamed forced", kHd, FrameWrites::kStreamed, {100, 900}, {100, 900}, 1000, false},
  };
  constexpr int kProbe = int(linkserver::FrameWriteChooser::kProbeEvery);
  if (!linkserver::HasStreamingStores())
    std::printf("this CPU has no streaming stores: only their absence is checked\n");
  for (const bool canStream : {false, linkserver::HasStreamingStores()}) {
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(row.what) + (canStream ? "" : ", without streaming stores"));
      linkserver::SetFrameWrites(row.writes);
      linkserver::FrameWriteChooser chooser(canStream);
      const bool decides = row.decides && canStream;
      const bool forced = row.writes == FrameWrites::kStreamed && canStream;
      const int noticed = (row.turn / kProbe + 1) * kProbe;  // the first probe after the turn
      for (int frame = 0; frame < 256; ++frame) {
        const bool turned = frame > row.turn, streamed = chooser.Next(row.bytes);
        const double* costs = turned ? row.after : row.before;
        // The first frame faults the section in: far slower, and not counted.
        chooser.Took((frame == 0 ? 50000 : costs[streamed]) * 1e-6);
        if (decides && (frame < 3 || frame % kProbe == 0 || (turned && frame <= noticed))) continue;
        ASSERT_EQ(streamed, forced || (decides && costs[1] < costs[0])) << "frame " << frame;
      }
    }
  }
  linkserver::SetFrameWrites(FrameWrites::kChosen);
}

// The Frames source runs at 30000/1001 fps: every way of naming a time
// inside frame n shows n. Block (c, r) of the upper three quarters of the
// frame-number pattern is white when bit r*8+c is set.
TEST_F(ServerTest, FrameNumberShowsTheFrameOfEveryTimeAsked) {
  CComPtr<IRenderer2> renderer = RendererOf(SourceOf(kFramesGuid));
  CComPtr<IVideoRenderOptions2> o = VideoOptionsOf(renderer);
  EXPECT_CALL_OK(o->SetBitDepth(8, errorText));
  std::vector<std::uint8_t>& frame = Section(u"pattern", 160 * 120 * 4);
  EXPECT_CALL_OK(renderer->StartVideoRender(o, Arg("pattern"), frame.size(), errorText));
  for (LONG n = 0; n < 299; ++n) {
    const LONG ms = LONG((n * 1001 + 29) / 30);  // the next whole millisecond
    for (auto [value, scale] :
         {std::pair{n * 1001, 30000}, {2 * n * 1001, 60000}, {n * 1001 + 900, 30000}, {ms, 1000}}) {
      ULONGLONG written = 0;
      EXPECT_CALL_OK(renderer->RenderVideo(value, scale, &written, errorText));
      LONG shown = 0;
      for (int bit = 0; bit < 24; ++bit)
        shown |= LONG(frame[((bit / 8 * 30 + 15) * 160 + bit % 8 * 20 + 10) * 4] > 127) << bit;
      ASSERT_EQ(shown, n) << "time " << value << "/" << scale;
    }
  }
  EXPECT_CALL_OK(renderer->EndVideoRender(errorText));
}

TEST_F(ServerTest, InterlacedFramesTakeTheirFieldsFromTwoTimes) {
  CComPtr<IRenderer2> renderer = RendererOf(SourceOf(kFramesGuid));
  CComPtr<IVideoRenderOptions2> o = VideoOptionsOf(renderer);
  EXPECT_CALL_OK(o->SetBitDepth(8, errorText));
  // Step 1001/30000 by default, then 1/10: the second field lies half a step on.
  for (auto [stepValue, stepScale, second] : {std::array<LONG, 3>{0, 0, 21021}, {1, 10, 23020}}) {
    if (stepValue != 0) EXPECT_CALL_OK(o->SetTimeStep(stepValue, stepScale, errorText));
    EXPECT_CALL_OK(o->SetFieldOrder(0, errorText));
    const std::vector<std::uint8_t> first = RenderOne(renderer, o, 20020, 60000);
    const std::vector<std::uint8_t> later = RenderOne(renderer, o, second, 60000);
    ASSERT_NE(0, std::memcmp(&first[119 * 640], &later[119 * 640], 640)) << "the pattern must move";
    for (LONG order : {1, 2}) {
      EXPECT_CALL_OK(o->SetFieldOrder(order, errorText));
      const std::vector<std::uint8_t> woven = RenderOne(renderer, o, 20020, 60000);
      for (int y = 0; y < 120; ++y) {
        const std::vector<std::uint8_t>& expected = (y % 2 == 0) == (order == 1) ? first : later;
        ASSERT_EQ(0, std::memcmp(&woven[y * 640], &expected[y * 640], 640)) << "order " << order << " row " << y;
      }
    }
  }
}

TEST_F(ServerTest, GuideLayersDrawTheSafeAreas) {
  CComPtr<IRenderer2> renderer = RendererOf(SourceOf(kBarsGuid));
  CComPtr<IVideoRenderOptions2> o = VideoOptionsOf(renderer);
  EXPECT_CALL_OK(o->SetChannelOrder(1, errorText));
  EXPECT_CALL_OK(o->SetRenderGuideLayers(1, errorText));
  const std::vector<std::uint8_t> frame = RenderOne(renderer, o, 0, 1);
  const Rgba green{0, 191 / 255.0, 0, 1}, white{1, 1, 1, 1}, yellow{1, 1, 0, 1};
  // Action-safe (5% in) is white, title-safe (10% in) yellow; inside and
  // outside the bars show through.
  const struct {
    int x, y;
    Rgba colour;
  } rows[] = {{70, 3, white}, {7, 30, white}, {70, 6, yellow}, {125, 30, yellow}, {70, 30, green}, {70, 1, green}};
  for (const auto& row : rows)
    EXPECT_EQ(PixelAt(frame, 8, 1, 140 * 4, row.x, row.y), row.colour) << row.x << "," << row.y;
}

}  // namespace
}  // namespace refserver_test
