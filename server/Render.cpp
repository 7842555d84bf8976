#include "Render.h"

#include "ServerError.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#if __has_include(<unistd.h>)
#include <unistd.h>
#endif
// Streaming stores come with SSE2, which every x86-64 CPU has and every CPU
// that runs a supported 32-bit Windows has too. A 32-bit compiler does not
// assume it by default, so the two functions that use it ask for it
// themselves (LINKSERVER_SSE2) and the rest of the server keeps the
// compiler's default code; whether the CPU has it is asked at run time
// (HasStreamingStores), so a 32-bit server on an older CPU writes every
// frame with ordinary stores instead of faulting. Other CPUs have none.
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#include <emmintrin.h>
#define LINKSERVER_STREAMING_STORES 1
#if defined(__GNUC__) && !defined(__SSE2__)
#define LINKSERVER_SSE2 __attribute__((target("sse2")))
#else
#define LINKSERVER_SSE2
#endif
#endif

namespace linkserver {

namespace {

// The size of this CPU's own (second-level) cache as the C library reports
// it; 1 MiB when it does not. A frame that fits is read back from a cache
// whichever way it was written, so streaming cannot pay.
std::uint64_t PrivateCacheBytes() {
  long bytes = 0;
#if defined(_SC_LEVEL2_CACHE_SIZE)
  bytes = ::sysconf(_SC_LEVEL2_CACHE_SIZE);
#endif
  return bytes > 0 ? std::uint64_t(bytes) : std::uint64_t(1) << 20;
}

std::atomic<FrameWrites> g_frameWrites{FrameWrites::kChosen};

// Copies one row into the frame with non-temporal stores: the frame's lines
// are not fetched into this CPU's caches before they are overwritten, and
// they do not stay there to be taken back by the reader, which is usually
// another process on another CPU. Bytes before the first 16-byte boundary
// and after the last 4-byte one are written normally. Without SSE2 this is
// a plain copy; it is only called where HasStreamingStores().
#ifdef LINKSERVER_STREAMING_STORES
LINKSERVER_SSE2
#endif
void StreamRow(std::byte* to, const std::byte* from, std::size_t bytes) {
#ifdef LINKSERVER_STREAMING_STORES
  while (bytes > 0 && (reinterpret_cast<std::uintptr_t>(to) & 15) != 0) {
    *to++ = *from++;
    --bytes;
  }
  for (; bytes >= 64; bytes -= 64, to += 64, from += 64) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 48));
    _mm_stream_si128(reinterpret_cast<__m128i*>(to), a);
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + 16), b);
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + 32), c);
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + 48), d);
  }
  for (; bytes >= 16; bytes -= 16, to += 16, from += 16) {
    _mm_stream_si128(reinterpret_cast<__m128i*>(to), _mm_loadu_si128(reinterpret_cast<const __m128i*>(from)));
  }
  for (; bytes >= 4; bytes -= 4, to += 4, from += 4) {
    int word;
    std::memcpy(&word, from, sizeof word);
    _mm_stream_si32(reinterpret_cast<int*>(to), word);
  }
#endif
  std::memcpy(to, from, bytes);
}

// Streaming stores are weakly ordered: without the fence, the reply that
// tells the host the frame is ready could become visible before the frame.
#ifdef LINKSERVER_STREAMING_STORES
LINKSERVER_SSE2
#endif
void EndStreaming() {
#ifdef LINKSERVER_STREAMING_STORES
  _mm_sfence();
#endif
}

// The 75% colour bars: white, yellow, cyan, green, magenta, red, blue.
constexpr float kBars[7][3] = {{0.75f, 0.75f, 0.75f}, {0.75f, 0.75f, 0.f}, {0.f, 0.75f, 0.75f}, {0.f, 0.75f, 0.f},
                               {0.75f, 0.f, 0.75f},   {0.75f, 0.f, 0.f},   {0.f, 0.f, 0.75f}};

void Put(float* rgba, float r, float g, float b, float a) {
  rgba[0] = r;
  rgba[1] = g;
  rgba[2] = b;
  rgba[3] = a;
}

class ColourBars final : public VideoGenerator {
 public:
  explicit ColourBars(int width) : m_width(width) {}
  void Row(int, int x0, int count, double, float* rgba) const override {
    for (int i = 0; i < count; ++i) {
      const float* bar = kBars[static_cast<std::int64_t>(x0 + i) * 7 / m_width];
      Put(rgba + 4 * i, bar[0], bar[1], bar[2], 1.f);
    }
  }
  std::uint64_t RowKey(int) const override { return 0; }

 private:
  int m_width;
};

class Solid final : public VideoGenerator {
 public:
  explicit Solid(const Colour& colour) : m_colour(colour) {}
  void Row(int, int, int count, double, float* rgba) const override {
    for (int i = 0; i < count; ++i) {
      Put(rgba + 4 * i, float(m_colour.r), float(m_colour.g), float(m_colour.b), float(m_colour.a));
    }
  }
  std::uint64_t RowKey(int) const override { return 0; }

 private:
  Colour m_colour;
};

// Upper three quarters: a grid of 8 x 3 blocks, block (column c, row r)
// white when bit r*8+c of the frame number is set, else black. Lower
// quarter: a white bar sweeping over a dark grey ground once every two
// seconds, so that the picture also moves within a frame's duration.
class FrameNumber final : public VideoGenerator {
 public:
  FrameNumber(int width, int height, double rate) : m_width(width), m_band(height * 3 / 4), m_rate(rate) {}
  void Row(int y, int x0, int count, double seconds, float* rgba) const override {
    if (y < m_band) {
      const std::int64_t frame = FrameAtTime(seconds, m_rate);
      const int row = static_cast<int>(std::int64_t(y) * kFrameNumberRows / m_band);
      for (int i = 0; i < count; ++i) {
        const int column = static_cast<int>(std::int64_t(x0 + i) * kFrameNumberColumns / m_width);
        const float v = (frame >> (row * kFrameNumberColumns + column)) & 1 ? 1.f : 0.f;
        Put(rgba + 4 * i, v, v, v, 1.f);
      }
      return;
    }
    const double sweep = seconds / 2 - std::floor(seconds / 2);
    const std::int64_t barLeft = static_cast<std::int64_t>(sweep * m_width);
    const std::int64_t barRight = barLeft + std::max(1, m_width / 32);
    for (int i = 0; i < count; ++i) {
      const bool bar = x0 + i >= barLeft && x0 + i < barRight;
      const float v = bar ? 1.f : 0.25f;
      Put(rgba + 4 * i, v, v, v, 1.f);
    }
  }
  std::uint64_t RowKey(int y) const override {
    return y < m_band ? std::uint64_t(std::int64_t(y) * kFrameNumberRows / m_band) : kFrameNumberRows;
  }

 private:
  int m_width, m_band;
  double m_rate;
};

// A still scaled to the frame: nearest pixel in low quality, bilinear
// between pixel centres otherwise.
class Image final : public VideoGenerator {
 public:
  Image(std::shared_ptr<const PngImage> image, int width, int height, bool lowQuality)
      : m_image(std::move(image)), m_width(width), m_height(height), m_lowQuality(lowQuality) {}
  void Row(int y, int x0, int count, double, float* rgba) const override {
    const int iw = static_cast<int>(m_image->width), ih = static_cast<int>(m_image->height);
    const std::uint8_t* pixels = m_image->rgba.data();
    if (m_lowQuality) {
      const std::int64_t iy = std::min<std::int64_t>(ih - 1, (2 * std::int64_t(y) + 1) * ih / (2 * m_height));
      for (int i = 0; i < count; ++i) {
        const std::int64_t ix = std::min<std::int64_t>(iw - 1, (2 * std::int64_t(x0 + i) + 1) * iw / (2 * m_width));
        const std::uint8_t* p = pixels + 4 * (iy * iw + ix);
        Put(rgba + 4 * i, p[0] / 255.f, p[1] / 255.f, p[2] / 255.f, p[3] / 255.f);
      }
      return;
    }
    const double sy = std::clamp((y + 0.5) * ih / m_height - 0.5, 0.0, double(ih - 1));
    const int ya = static_cast<int>(sy), yb = std::min(ya + 1, ih - 1);
    const float wy = float(sy - ya);
    for (int i = 0; i < count; ++i) {
      const double sx = std::clamp((x0 + i + 0.5) * iw / m_width - 0.5, 0.0, double(iw - 1));
      const int xa = static_cast<int>(sx), xb = std::min(xa + 1, iw - 1);
      const float wx = float(sx - xa);
      const std::uint8_t* p00 = pixels + 4 * (std::int64_t(ya) * iw + xa);
      const std::uint8_t* p01 = pixels + 4 * (std::int64_t(ya) * iw + xb);
      const std::uint8_t* p10 = pixels + 4 * (std::int64_t(yb) * iw + xa);
      const std::uint8_t* p11 = pixels + 4 * (std::int64_t(yb) * iw + xb);
      for (int c = 0; c < 4; ++c) {
        const float top = p00[c] + (p01[c] - p00[c]) * wx;
        const float bottom = p10[c] + (p11[c] - p10[c]) * wx;
        rgba[4 * i + c] = (top + (bottom - top) * wy) / 255.f;
      }
    }
  }
  std::uint64_t RowKey(int y) const override { return std::uint64_t(y); }

 private:
  std::shared_ptr<const PngImage> m_image;
  int m_width, m_height;
  bool m_lowQuality;
};

// Safe-area guides drawn over the content: the action-safe rectangle (5%
// inset, white) and the title-safe rectangle (10% inset, yellow), lines
// max(1, height/270) pixels thick.
class Guides final : public VideoGenerator {
 public:
  Guides(std::unique_ptr<VideoGenerator> content, int width, int height)
      : m_content(std::move(content)), m_thickness(std::max(1, height / 270)) {
    m_boxes[0] =
        Box{width * 5 / 100, height * 5 / 100, width - width * 5 / 100, height - height * 5 / 100, {1.f, 1.f, 1.f}};
    m_boxes[1] =
        Box{width * 10 / 100, height * 10 / 100, width - width * 10 / 100, height - height * 10 / 100, {1.f, 1.f, 0.f}};
  }
  void Row(int y, int x0, int count, double seconds, float* rgba) const override {
    m_content->Row(y, x0, count, seconds, rgba);
    for (const Box& box : m_boxes) {
      if (y < box.top || y >= box.bottom) continue;
      const bool edgeRow = y < box.top + m_thickness || y >= box.bottom - m_thickness;
      auto paint = [&](int from, int to) {
        for (int x = std::max(from, x0); x < std::min(to, x0 + count); ++x) {
          Put(rgba + 4 * (x - x0), box.colour[0], box.colour[1], box.colour[2], 1.f);
        }
      };
      if (edgeRow) {
        paint(box.left, box.right);
      } else {
        paint(box.left, box.left + m_thickness);
        paint(box.right - m_thickness, box.right);
      }
    }
  }
  std::uint64_t RowKey(int y) const override {
    // Rows on a horizontal line are unique; other rows differ only by which
    // boxes they cross.
    std::uint64_t inside = 0;
    for (int i = 0; i < 2; ++i) {
      const Box& box = m_boxes[i];
      if (y < box.top || y >= box.bottom) continue;
      if (y < box.top + m_thickness || y >= box.bottom - m_thickness) return (1ull << 63) | std::uint64_t(y);
      inside |= 1u << i;
    }
    return (m_content->RowKey(y) << 2) | inside;
  }

 private:
  struct Box {
    int left, top, right, bottom;
    float colour[3];
  };
  std::unique_ptr<VideoGenerator> m_content;
  int m_thickness;
  Box m_boxes[2];
};

template <class T>
void Store(std::byte* at, T value) {
  std::memcpy(at, &value, sizeof value);
}

// Writes one row of straight RGBA floats in the output format.
void ConvertRow(const float* rgba, int count, const VideoOptions& options, std::byte* out) {
  int index[4];  // position of R, G, B, A within a pixel
  switch (options.channelOrder) {
    case kRgba:
      index[0] = 0, index[1] = 1, index[2] = 2, index[3] = 3;
      break;
    case kArgb:
      index[0] = 1, index[1] = 2, index[2] = 3, index[3] = 0;
      break;
    default:
      index[0] = 2, index[1] = 1, index[2] = 0, index[3] = 3;
      break;
  }
  const int channelBytes = options.bitDepth / 8;
  const bool premultiply = options.preMultiply != 0;
  for (int i = 0; i < count; ++i) {
    float value[4] = {rgba[4 * i], rgba[4 * i + 1], rgba[4 * i + 2], rgba[4 * i + 3]};
    if (premultiply) {
      for (int c = 0; c < 3; ++c) value[c] *= value[3];
    }
    std::byte* pixel = out + std::size_t(i) * 4 * channelBytes;
    for (int c = 0; c < 4; ++c) {
      const float v = std::clamp(value[c], 0.f, 1.f);
      std::byte* at = pixel + index[c] * channelBytes;
      if (channelBytes == 1) {
        *at = static_cast<std::byte>(static_cast<std::uint8_t>(v * 255.f + 0.5f));
      } else if (channelBytes == 2) {
        Store(at, static_cast<std::uint16_t>(v * 65535.f + 0.5f));
      } else {
        Store(at, v);
      }
    }
  }
}

}  // namespace

FrameLayout ComputeLayout(const VideoOptions& o, int sourceWidth, int sourceHeight) {
  FrameLayout layout;
  if (sourceWidth <= 0 || sourceHeight <= 0) FailArgument("the source has no frame size to render");
  layout.frameWidth = o.boundsWidth != 0 ? o.boundsWidth : sourceWidth;
  layout.frameHeight = o.boundsHeight != 0 ? o.boundsHeight : sourceHeight;
  const bool wholeFrame = o.roiLeft == 0 && o.roiTop == 0 && o.roiRight == 0 && o.roiBottom == 0;
  if (wholeFrame) {
    layout.right = layout.frameWidth;
    layout.bottom = layout.frameHeight;
  } else {
    if (o.roiRight > layout.frameWidth || o.roiBottom > layout.frameHeight) {
      FailArgument("the region of interest (" + std::to_string(o.roiLeft) + ", " + std::to_string(o.roiTop) + ", " +
                   std::to_string(o.roiRight) + ", " + std::to_string(o.roiBottom) + ") reaches outside the " +
                   std::to_string(layout.frameWidth) + "x" + std::to_string(layout.frameHeight) + " frame");
    }
    layout.left = o.roiLeft;
    layout.top = o.roiTop;
    layout.right = o.roiRight;
    layout.bottom = o.roiBottom;
  }
  layout.outWidth = (layout.right - layout.left + o.downsampleX - 1) / o.downsampleX;
  layout.outHeight = (layout.bottom - layout.top + o.downsampleY - 1) / o.downsampleY;
  layout.bytesPerChannel = o.bitDepth / 8;
  layout.tightRowBytes = std::uint64_t(layout.outWidth) * 4 * layout.bytesPerChannel;
  layout.rowBytes = o.rowBytes != 0 ? std::uint64_t(o.rowBytes) : layout.tightRowBytes;
  if (layout.rowBytes < layout.tightRowBytes) {
    FailArgument("row bytes " + std::to_string(o.rowBytes) + " is smaller than one row of " +
                 std::to_string(layout.tightRowBytes) + " bytes (" + std::to_string(layout.outWidth) + " pixels of " +
                 std::to_string(4 * layout.bytesPerChannel) + " bytes)");
  }
  layout.frameBytes = layout.rowBytes * (layout.outHeight - 1) + layout.tightRowBytes;
  return layout;
}

std::int64_t FrameAtTime(double seconds, double frameRate) {
  // A hundredth of a frame of tolerance, so that a time computed as n/rate
  // in any exact form lands on frame n.
  const double frames = std::floor(seconds * frameRate + 0.01);
  return frames < 0 ? 0 : static_cast<std::int64_t>(frames);
}

std::unique_ptr<VideoGenerator> MakeVideoGenerator(const SourceDesc& source, const FrameLayout& layout,
                                                   const VideoOptions& options, std::shared_ptr<const PngImage> image) {
  std::unique_ptr<VideoGenerator> content;
  switch (source.video.kind) {
    case VideoKind::kColourBars:
      content = std::make_unique<ColourBars>(layout.frameWidth);
      break;
    case VideoKind::kFrameNumber:
      content = std::make_unique<FrameNumber>(layout.frameWidth, layout.frameHeight, source.frameRate);
      break;
    case VideoKind::kSolid:
      content = std::make_unique<Solid>(source.video.colour);
      break;
    case VideoKind::kImage:
      if (!image) Fail(E_FAIL, "the image of the source is not loaded");
      content =
          std::make_unique<Image>(std::move(image), layout.frameWidth, layout.frameHeight, options.lowQuality != 0);
      break;
    case VideoKind::kNone:
      FailState("the source has no video");
  }
  if (options.guideLayers != 0) {
    content = std::make_unique<Guides>(std::move(content), layout.frameWidth, layout.frameHeight);
  }
  return content;
}

void RenderFrame(const VideoGenerator& generator, const FrameLayout& layout, const VideoOptions& options,
                 double seconds, double stepSeconds, bool streamed, std::byte* destination) {
  const int regionWidth = layout.right - layout.left;
  const int fx = options.downsampleX, fy = options.downsampleY;
  const bool lowQuality = options.lowQuality != 0;
  // In an interlaced frame the even rows form the upper field; the first
  // field is sampled at `seconds`, the second half a step later.
  const int firstParity = options.fieldOrder == kLowerFirst ? 1 : 0;
  auto fieldOf = [&](int y) { return options.fieldOrder == kProgressive ? 0 : ((y & 1) == firstParity ? 0 : 1); };
  auto timeOf = [&](int y) { return fieldOf(y) == 0 ? seconds : seconds + stepSeconds / 2; };

  std::vector<float> line(std::size_t(regionWidth) * 4), sum(std::size_t(regionWidth) * 4),
      out(std::size_t(layout.outWidth) * 4);
  std::vector<std::uint64_t> keys, previousKeys;
  // A streamed frame is staged row by row in this buffer and streamed out;
  // otherwise rows are written in place and copied from the row above. A
  // CPU without streaming stores writes every frame the ordinary way.
  streamed = streamed && HasStreamingStores();
  std::vector<std::byte> staged(streamed ? layout.tightRowBytes : 0);
  for (int oy = 0; oy < layout.outHeight; ++oy) {
    std::byte* row = destination + std::uint64_t(oy) * layout.rowBytes;
    const int y0 = layout.top + oy * fy;
    const int y1 = lowQuality ? y0 + 1 : std::min(y0 + fy, layout.bottom);
    keys.clear();
    for (int y = y0; y < y1; ++y) {
      keys.push_back(generator.RowKey(y));
      keys.push_back(std::uint64_t(fieldOf(y)));
    }
    if (oy > 0 && keys == previousKeys) {
      // The row equals the one above: copy it rather than render it again.
      if (streamed) {
        StreamRow(row, staged.data(), layout.tightRowBytes);
      } else {
        std::memcpy(row, row - layout.rowBytes, layout.tightRowBytes);
      }
      continue;
    }
    generator.Row(y0, layout.left, regionWidth, timeOf(y0), sum.data());
    if (y1 - y0 > 1) {
      for (int y = y0 + 1; y < y1; ++y) {
        generator.Row(y, layout.left, regionWidth, timeOf(y), line.data());
        for (std::size_t i = 0; i < sum.size(); ++i) sum[i] += line[i];
      }
      const float scale = 1.f / float(y1 - y0);
      for (float& v : sum) v *= scale;
    }
    for (int ox = 0; ox < layout.outWidth; ++ox) {
      const int x0 = ox * fx;
      const int x1 = lowQuality ? x0 + 1 : std::min(x0 + fx, regionWidth);
      for (int c = 0; c < 4; ++c) {
        float total = 0;
        for (int x = x0; x < x1; ++x) total += sum[4 * std::size_t(x) + c];
        out[4 * std::size_t(ox) + c] = total / float(x1 - x0);
      }
    }
    if (streamed) {
      ConvertRow(out.data(), layout.outWidth, options, staged.data());
      StreamRow(row, staged.data(), layout.tightRowBytes);
    } else {
      ConvertRow(out.data(), layout.outWidth, options, row);
    }
    previousKeys.swap(keys);
  }
  if (streamed) EndStreaming();
}

bool HasStreamingStores() {
#if !defined(LINKSERVER_STREAMING_STORES)
  return false;
#elif defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
  return true;
#else
  static const bool has = __builtin_cpu_supports("sse2");
  return has;
#endif
}

FrameWrites GetFrameWrites() { return g_frameWrites.load(std::memory_order_relaxed); }

void SetFrameWrites(FrameWrites writes) { g_frameWrites.store(writes, std::memory_order_relaxed); }

bool FrameWriteChooser::Next(std::uint64_t frameBytes) {
  static const std::uint64_t privateCache = PrivateCacheBytes();
  FrameWrites writes = GetFrameWrites();
  m_measured = false;
  if (!m_canStream) writes = FrameWrites::kOrdinary;
  if (writes != FrameWrites::kChosen || frameBytes <= privateCache) {
    return m_streamed = writes == FrameWrites::kStreamed;
  }
  const std::uint32_t frame = m_frames++;
  m_measured = frame > 0;
  m_probe = false;
  if (frame == 0 || m_cost[0] == 0) return m_streamed = false;
  if (m_cost[1] == 0) return m_streamed = true;
  const bool faster = m_cost[1] < m_cost[0];
  m_probe = frame % kProbeEvery == 0;
  return m_streamed = m_probe ? !faster : faster;
}

void FrameWriteChooser::Took(double seconds) {
  if (!m_measured) return;
  // A probe's time replaces the other way's, which is old by then: if the
  // reader has moved, the choice turns at once. The way in use averages
  // with half the weight on the newest frame, so that one slow frame does
  // not turn it.
  double& cost = m_cost[m_streamed ? 1 : 0];
  cost = cost == 0 || m_probe ? seconds : (cost + seconds) / 2;
}

double AudioSampleAt(const SourceDesc& source, double seconds) {
  const AudioContent& audio = source.audio;
  switch (audio.kind) {
    case AudioKind::kSine:
      return 0.5 * std::sin(2 * std::numbers::pi * audio.frequency * seconds);
    case AudioKind::kChirp: {
      // Frequency rises (or falls) linearly from start to end of the source.
      const double duration = std::max(source.DurationSeconds(), 1e-9);
      const double sweep = (audio.endFrequency - audio.frequency) / duration;
      return 0.5 * std::sin(2 * std::numbers::pi * (audio.frequency * seconds + sweep * seconds * seconds / 2));
    }
    case AudioKind::kSilence:
    case AudioKind::kNone:
      return 0.0;
  }
  return 0.0;
}

void RenderAudio(const SourceDesc& source, const AudioOptions& options, std::int64_t first, std::int64_t frames,
                 std::byte* destination) {
  const std::size_t sampleBytes = std::size_t(options.bytesPerSample);
  // A sine turns by one angle a sample: within a block of kBlock samples
  // each value is the one before turned by that angle (four multiplies
  // instead of a sine), and each block starts from sine and cosine taken
  // afresh at its first index. Blocks lie at multiples of kBlock in the
  // source's samples, so a value never depends on where a buffer began,
  // and the turns add up to errors near 1e-14, far below a 16-bit step.
  constexpr std::int64_t kBlock = 64;
  const bool sine = source.audio.kind == AudioKind::kSine;
  const double step = 2 * std::numbers::pi * source.audio.frequency / options.sampleRate;
  const double turnCos = std::cos(step), turnSin = std::sin(step);
  double s = 0, c = 0;
  auto turn = [&] {
    const double next = s * turnCos + c * turnSin;
    c = c * turnCos - s * turnSin;
    s = next;
  };
  std::byte* at = destination;
  for (std::int64_t i = 0; i < frames; ++i) {
    const std::int64_t n = first + i;
    double value;
    if (sine) {
      if (i == 0 || n % kBlock == 0) {
        const std::int64_t start = n - n % kBlock;
        s = std::sin(step * double(start));
        c = std::cos(step * double(start));
        for (std::int64_t k = start; k < n; ++k) turn();
      }
      value = 0.5 * s;
      turn();
    } else {
      value = AudioSampleAt(source, double(n) / options.sampleRate);
    }
    if (options.encoding == kPcm16) {
      const auto pcm = static_cast<std::int16_t>(std::lround(std::clamp(value, -1.0, 1.0) * 32767.0));
      for (LONG ch = 0; ch < options.channels; ++ch, at += sampleBytes) Store(at, pcm);
    } else {
      for (LONG ch = 0; ch < options.channels; ++ch, at += sampleBytes) Store(at, static_cast<float>(value));
    }
  }
}

}  // namespace linkserver
