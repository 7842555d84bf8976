// YUV4MPEG2 streams and raw frames: the colour conversion in fixed point,
// written plane by plane into an output.
#include "Encoders.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

namespace cli {

namespace {

// The three conversion rows of a matrix, in fixed point with kShift
// fraction bits, from RGB of `inputMax` to limited-range YCbCr of
// `outputBits`. The chroma rows are used on sums of `chromaSum` pixels.
constexpr int kShift = 16;
struct FixedMatrix {
  std::int64_t y[3];
  std::int64_t cb[3];
  std::int64_t cr[3];
  std::int64_t yOffset;
  std::int64_t cOffset;
};

FixedMatrix MakeMatrix(ColourMatrix matrix, double inputMax, int outputBits, int chromaSum) {
  const double kr = matrix == ColourMatrix::kBt709 ? 0.2126 : 0.299;
  const double kb = matrix == ColourMatrix::kBt709 ? 0.0722 : 0.114;
  const double kg = 1 - kr - kb;
  const double scale = static_cast<double>(1 << (outputBits - 8));
  const double yRange = 219 * scale / inputMax * (1 << kShift);
  const double cRange = 224 * scale / inputMax * (1 << kShift) / chromaSum;
  auto fix = [](double v) { return static_cast<std::int64_t>(std::llround(v)); };
  FixedMatrix m{};
  m.y[0] = fix(kr * yRange);
  m.y[1] = fix(kg * yRange);
  m.y[2] = fix(kb * yRange);
  m.cb[0] = fix(-kr / (2 * (1 - kb)) * cRange);
  m.cb[1] = fix(-kg / (2 * (1 - kb)) * cRange);
  m.cb[2] = fix(0.5 * cRange);
  m.cr[0] = fix(0.5 * cRange);
  m.cr[1] = fix(-kg / (2 * (1 - kr)) * cRange);
  m.cr[2] = fix(-kb / (2 * (1 - kr)) * cRange);
  // Offsets with the rounding half folded in.
  m.yOffset = fix(16 * scale * (1 << kShift)) + (1 << (kShift - 1));
  m.cOffset = fix(128 * scale * (1 << kShift)) + (1 << (kShift - 1));
  return m;
}

// Converts one picture to planes. `In` is the sample type as read (uint8_t
// or uint16_t); `Acc` the accumulator, 32-bit where the products fit (8-bit
// input), so that the loops vectorise.
template <class In, class Out, class Acc>
inline __attribute__((always_inline)) void ConvertPlanes(const In* const* rows, int width, int height,
                                                         const FixedMatrix& m, bool chroma420, bool interlaced,
                                                         Out* yPlane, Out* cbPlane, Out* crPlane) {
  const Acc y0 = static_cast<Acc>(m.y[0]), y1 = static_cast<Acc>(m.y[1]), y2 = static_cast<Acc>(m.y[2]);
  const Acc b0 = static_cast<Acc>(m.cb[0]), b1 = static_cast<Acc>(m.cb[1]), b2 = static_cast<Acc>(m.cb[2]);
  const Acc r0 = static_cast<Acc>(m.cr[0]), r1 = static_cast<Acc>(m.cr[1]), r2 = static_cast<Acc>(m.cr[2]);
  const Acc yOffset = static_cast<Acc>(m.yOffset), cOffset = static_cast<Acc>(m.cOffset);
  for (int y = 0; y < height; ++y) {
    const In* row = rows[y];
    Out* out = yPlane + static_cast<std::size_t>(y) * width;
    if (!chroma420) {
      Out* cb = cbPlane + static_cast<std::size_t>(y) * width;
      Out* cr = crPlane + static_cast<std::size_t>(y) * width;
      for (int x = 0; x < width; ++x) {
        const Acc r = row[4 * x], g = row[4 * x + 1], b = row[4 * x + 2];
        out[x] = static_cast<Out>((y0 * r + y1 * g + y2 * b + yOffset) >> kShift);
        cb[x] = static_cast<Out>((b0 * r + b1 * g + b2 * b + cOffset) >> kShift);
        cr[x] = static_cast<Out>((r0 * r + r1 * g + r2 * b + cOffset) >> kShift);
      }
      continue;
    }
    for (int x = 0; x < width; ++x) {
      const Acc r = row[4 * x], g = row[4 * x + 1], b = row[4 * x + 2];
      out[x] = static_cast<Out>((y0 * r + y1 * g + y2 * b + yOffset) >> kShift);
    }
  }
  if (!chroma420) return;
  // 4:2:0, centred siting: each chroma sample from the sum of a 2x2 block.
  // An interlaced picture pairs rows of one field (y and y + 2).
  const int chromaWidth = (width + 1) / 2, chromaHeight = (height + 1) / 2;
  for (int cy = 0; cy < chromaHeight; ++cy) {
    int top = 2 * cy, bottom = 2 * cy + 1;
    if (interlaced) {
      top = 4 * (cy / 2) + cy % 2;
      bottom = top + 2;
    }
    top = std::min(top, height - 1);
    bottom = std::min(bottom, height - 1);
    const In* a = rows[top];
    const In* c = rows[bottom];
    Out* cb = cbPlane + static_cast<std::size_t>(cy) * chromaWidth;
    Out* cr = crPlane + static_cast<std::size_t>(cy) * chromaWidth;
    for (int cx = 0; cx < chromaWidth; ++cx) {
      const int left = 8 * cx, right = 2 * cx + 1 < width ? left + 4 : left;
      const Acc r = Acc(a[left]) + a[right] + c[left] + c[right];
      const Acc g = Acc(a[left + 1]) + a[right + 1] + c[left + 1] + c[right + 1];
      const Acc b = Acc(a[left + 2]) + a[right + 2] + c[left + 2] + c[right + 2];
      cb[cx] = static_cast<Out>((b0 * r + b1 * g + b2 * b + cOffset) >> kShift);
      cr[cx] = static_cast<Out>((r0 * r + r1 * g + r2 * b + cOffset) >> kShift);
    }
  }
}

// The common case, 8-bit RGBA to 8-bit planes, also built for AVX2 (picked
// at load time where the processor has it): SSE2 lacks a 32-bit multiply.
// Not under ThreadSanitizer, whose runtime is not up yet when the loader
// runs the clone's resolver.
// Nor on Windows, whose loader has no indirect functions to pick a clone.
#if defined(__SANITIZE_THREAD__) || defined(_WIN32)
#define MORAVANE_CLI_CLONES
#else
#define MORAVANE_CLI_CLONES __attribute__((target_clones("avx2", "default")))
#endif
MORAVANE_CLI_CLONES void Convert8(const std::uint8_t* const* rows, int width, int height, const FixedMatrix& m,
                                  bool chroma420, bool interlaced, std::uint8_t* y, std::uint8_t* cb,
                                  std::uint8_t* cr) {
  ConvertPlanes<std::uint8_t, std::uint8_t, std::int32_t>(rows, width, height, m, chroma420, interlaced, y, cb, cr);
}

}  // namespace

// --- YUV4MPEG2 ---------------------------------------------------------------

ColourMatrix DefaultMatrix(int width, int height) {
  return width >= 1280 || height >= 720 ? ColourMatrix::kBt709 : ColourMatrix::kBt601;
}

std::string Y4mHeader(const Y4mFormat& f) {
  const char* colour = f.chroma420 ? (f.sixteenBits ? "420p16" : "420jpeg") : (f.sixteenBits ? "444p16" : "444");
  char header[256];
  std::snprintf(header, sizeof header, "YUV4MPEG2 W%d H%d F%d:%d I%c A%d:%d C%s XCOLORRANGE=LIMITED XCOLORMATRIX=%s\n",
                f.width, f.height, f.rateNumerator, f.rateDenominator, f.interlace, f.aspectNumerator,
                f.aspectDenominator, colour, f.matrix == ColourMatrix::kBt709 ? "BT709" : "BT601");
  return header;
}

Y4mWriter::Y4mWriter(OutputFile& out, const Y4mFormat& format) : m_out(out), m_format(format) {}

void Y4mWriter::Write(const FrameView& frame) {
  const Y4mFormat& f = m_format;
  if (frame.width != f.width || frame.height != f.height) throw OutputError("frames of one stream must have one size");
  if (!m_started) {
    const std::string header = Y4mHeader(f);
    m_out.Write(header.data(), header.size());
    m_started = true;
  }
  const std::size_t luma = static_cast<std::size_t>(f.width) * f.height;
  const std::size_t chroma = f.chroma420 ? static_cast<std::size_t>((f.width + 1) / 2) * ((f.height + 1) / 2) : luma;
  const std::size_t sample = f.sixteenBits ? 2 : 1;
  m_buffer.resize(6 + (luma + 2 * chroma) * sample);
  std::memcpy(m_buffer.data(), "FRAME\n", 6);
  std::uint8_t* planes = m_buffer.data() + 6;

  std::vector<const std::uint8_t*> rows(static_cast<std::size_t>(f.height));
  for (int y = 0; y < f.height; ++y) rows[y] = frame.data + static_cast<std::size_t>(y) * frame.rowBytes;
  // Floats are read as 16-bit words first.
  std::vector<std::uint16_t> words;
  std::vector<const std::uint16_t*> wordRows;
  if (frame.depth == 32) {
    const std::size_t rowWords = static_cast<std::size_t>(f.width) * 4;
    words.resize(rowWords * f.height);
    wordRows.resize(f.height);
    for (int y = 0; y < f.height; ++y) {
      std::uint16_t* to = words.data() + rowWords * y;
      for (std::size_t i = 0; i < rowWords; ++i) {
        float value;
        std::memcpy(&value, rows[y] + 4 * i, 4);
        to[i] = FloatToWord(value);
      }
      wordRows[y] = to;
    }
  } else if (frame.depth == 16) {
    wordRows.resize(f.height);
    for (int y = 0; y < f.height; ++y) wordRows[y] = reinterpret_cast<const std::uint16_t*>(rows[y]);
  }

  const int sum = f.chroma420 ? 4 : 1;
  const bool interlaced = f.interlace != 'p';
  const int outBits = f.sixteenBits ? 16 : 8;
  auto convert = [&](auto* out) {
    using Out = std::remove_pointer_t<decltype(out)>;
    Out* cb = out + luma;
    Out* cr = cb + chroma;
    if (frame.depth == 8) {
      const FixedMatrix m = MakeMatrix(f.matrix, 255, outBits, sum);
      if constexpr (std::is_same_v<Out, std::uint8_t>) {
        Convert8(rows.data(), f.width, f.height, m, f.chroma420, interlaced, out, cb, cr);
      } else {
        ConvertPlanes<std::uint8_t, Out, std::int64_t>(rows.data(), f.width, f.height, m, f.chroma420, interlaced, out,
                                                       cb, cr);
      }
    } else {
      const FixedMatrix m = MakeMatrix(f.matrix, 65535, outBits, sum);
      ConvertPlanes<std::uint16_t, Out, std::int64_t>(wordRows.data(), f.width, f.height, m, f.chroma420, interlaced,
                                                      out, cb, cr);
    }
  };
  if (f.sixteenBits) {
    // Little-endian words, as the stream's 16-bit formats are read.
    static_assert(sizeof(std::uint16_t) == 2);
    std::vector<std::uint16_t> wide(luma + 2 * chroma);
    convert(wide.data());
    for (std::size_t i = 0; i < wide.size(); ++i) {
      planes[2 * i] = static_cast<std::uint8_t>(wide[i] & 0xFF);
      planes[2 * i + 1] = static_cast<std::uint8_t>(wide[i] >> 8);
    }
  } else {
    convert(planes);
  }
  m_out.Write(m_buffer.data(), m_buffer.size());
}

// --- raw ---------------------------------------------------------------------

void WriteRaw(OutputFile& out, const FrameView& frame) {
  const std::size_t tight = static_cast<std::size_t>(frame.width) * 4 * (frame.depth / 8);
  if (frame.rowBytes == tight) {
    out.Write(frame.data, tight * frame.height);
    return;
  }
  for (int y = 0; y < frame.height; ++y) out.Write(frame.data + static_cast<std::size_t>(y) * frame.rowBytes, tight);
}

}  // namespace cli
