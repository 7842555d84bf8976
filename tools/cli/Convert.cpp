// The colour conversion of every YCbCr output (YUV4MPEG2, NUT, Matroska):
// fixed point over whole rows, plain loops the compiler vectorises at -O3.
// Measured against libswscale with the same rounding and ranges
// (bench/cli/ConvertBench.cpp, docs/performance.md); this code is also the
// only one on Windows, where there are no FFmpeg libraries.
#include "Encoders.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <type_traits>

namespace cli {

// Samples wider than 8 bits are written as host-order words, which the
// formats read as little-endian: true of every target this builds for.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "16-bit samples are written in host order");

namespace {

// The three conversion rows of a matrix, in fixed point with `shift`
// fraction bits, from RGB of `inputMax` to limited-range YCbCr of
// `outputBits`. The chroma rows are used on sums of `chromaSum` pixels.
// 16 bits keep 8-bit input exact in 32-bit sums (which vectorise best); 16-bit
// input needs 32, in 64-bit sums: with 16 the coefficients on sums of four
// 16-bit words round to whole numbers near 28 and miss by 2 codes.
struct FixedMatrix {
  std::int64_t y[3];
  std::int64_t cb[3];
  std::int64_t cr[3];
  std::int64_t yOffset;
  std::int64_t cOffset;
  int shift;
};

FixedMatrix MakeMatrix(ColourMatrix matrix, double inputMax, int outputBits, int chromaSum, int shift) {
  const double kr = matrix == ColourMatrix::kBt709 ? 0.2126 : 0.299;
  const double kb = matrix == ColourMatrix::kBt709 ? 0.0722 : 0.114;
  const double kg = 1 - kr - kb;
  const double scale = static_cast<double>(1 << (outputBits - 8));
  const double one = std::ldexp(1.0, shift);
  const double yRange = 219 * scale / inputMax * one;
  const double cRange = 224 * scale / inputMax * one / chromaSum;
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
  m.yOffset = fix(16 * scale * one) + (std::int64_t{1} << (shift - 1));
  m.cOffset = fix(128 * scale * one) + (std::int64_t{1} << (shift - 1));
  m.shift = shift;
  return m;
}

// Converts one picture to planes. `In` is the sample type as read (uint8_t
// or uint16_t); `Acc` the accumulator, 32-bit where the products fit (8-bit
// input to up to 12-bit output), so that the loops vectorise. Strides are in
// samples. 4:4:4 and 4:2:2 chroma is made row by row with the luma (from
// single pixels, from pairs), 4:2:0 chroma afterwards from 2x2 blocks.
template <class In, class Out, class Acc>
inline __attribute__((always_inline)) void ConvertPlanes(const In* const* rows, int width, int height,
                                                         const FixedMatrix& m, Chroma chroma, bool interlaced,
                                                         Out* const* planes, const std::size_t* strides) {
  const Acc y0 = static_cast<Acc>(m.y[0]), y1 = static_cast<Acc>(m.y[1]), y2 = static_cast<Acc>(m.y[2]);
  const Acc b0 = static_cast<Acc>(m.cb[0]), b1 = static_cast<Acc>(m.cb[1]), b2 = static_cast<Acc>(m.cb[2]);
  const Acc r0 = static_cast<Acc>(m.cr[0]), r1 = static_cast<Acc>(m.cr[1]), r2 = static_cast<Acc>(m.cr[2]);
  const Acc yOffset = static_cast<Acc>(m.yOffset), cOffset = static_cast<Acc>(m.cOffset);
  const int kShift = m.shift;
  // Subsampled chroma: each pixel's products, unshifted (the matrix is for
  // the block's sum, so that they add up exactly to the block's), summed
  // over the block's rows and then over pairs. Contiguous rows of products
  // vectorise where gathering a block's pixels does not. An odd width
  // repeats its last column.
  std::vector<Acc> sums(chroma == Chroma::k444 ? 0 : 2 * (static_cast<std::size_t>(width) + 1));
  Acc* const cbSum = sums.data();
  Acc* const crSum = cbSum + width + 1;
  auto products = [&](const In* row, bool add) {
    if (add) {
      for (int x = 0; x < width; ++x) {
        const Acc r = row[4 * x], g = row[4 * x + 1], b = row[4 * x + 2];
        cbSum[x] += b0 * r + b1 * g + b2 * b;
        crSum[x] += r0 * r + r1 * g + r2 * b;
      }
    } else {
      for (int x = 0; x < width; ++x) {
        const Acc r = row[4 * x], g = row[4 * x + 1], b = row[4 * x + 2];
        cbSum[x] = b0 * r + b1 * g + b2 * b;
        crSum[x] = r0 * r + r1 * g + r2 * b;
      }
    }
    cbSum[width] = cbSum[width - 1];
    crSum[width] = crSum[width - 1];
  };
  auto pairs = [&](Out* cb, Out* cr) {
    for (int cx = 0; cx < (width + 1) / 2; ++cx) {
      cb[cx] = static_cast<Out>((cbSum[2 * cx] + cbSum[2 * cx + 1] + cOffset) >> kShift);
      cr[cx] = static_cast<Out>((crSum[2 * cx] + crSum[2 * cx + 1] + cOffset) >> kShift);
    }
  };
  for (int y = 0; y < height; ++y) {
    const In* row = rows[y];
    Out* out = planes[0] + static_cast<std::size_t>(y) * strides[0];
    if (chroma == Chroma::k444) {
      Out* cb = planes[1] + static_cast<std::size_t>(y) * strides[1];
      Out* cr = planes[2] + static_cast<std::size_t>(y) * strides[2];
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
    if (chroma == Chroma::k422) {
      products(row, false);
      pairs(planes[1] + static_cast<std::size_t>(y) * strides[1], planes[2] + static_cast<std::size_t>(y) * strides[2]);
    }
  }
  if (chroma != Chroma::k420) return;
  // Each chroma sample from the sum of a 2x2 block. An interlaced picture
  // pairs rows of one field (y and y + 2).
  for (int cy = 0; cy < ChromaHeight(chroma, height); ++cy) {
    int top = 2 * cy, bottom = 2 * cy + 1;
    if (interlaced) {
      top = 4 * (cy / 2) + cy % 2;
      bottom = top + 2;
    }
    products(rows[std::min(top, height - 1)], false);
    products(rows[std::min(bottom, height - 1)], true);
    pairs(planes[1] + static_cast<std::size_t>(cy) * strides[1], planes[2] + static_cast<std::size_t>(cy) * strides[2]);
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
                                  Chroma chroma, bool interlaced, std::uint8_t* const* planes,
                                  const std::size_t* strides) {
  ConvertPlanes<std::uint8_t, std::uint8_t, std::int32_t>(rows, width, height, m, chroma, interlaced, planes, strides);
}

// 8-bit renders into 10- and 12-bit samples: the products still fit 32 bits.
MORAVANE_CLI_CLONES void Convert8Deep(const std::uint8_t* const* rows, int width, int height, const FixedMatrix& m,
                                      Chroma chroma, bool interlaced, std::uint16_t* const* planes,
                                      const std::size_t* strides) {
  ConvertPlanes<std::uint8_t, std::uint16_t, std::int32_t>(rows, width, height, m, chroma, interlaced, planes, strides);
}

// Deeper samples from 16-bit words (16- and 32-bit renders), also cloned:
// the 64-bit products vectorise only with AVX2.
MORAVANE_CLI_CLONES void ConvertWords(const std::uint16_t* const* rows, int width, int height, const FixedMatrix& m,
                                      Chroma chroma, bool interlaced, std::uint16_t* const* planes,
                                      const std::size_t* strides) {
  ConvertPlanes<std::uint16_t, std::uint16_t, std::int64_t>(rows, width, height, m, chroma, interlaced, planes,
                                                            strides);
}

const struct {
  Chroma chroma;
  const char* name;
} kChromaNames[] = {{Chroma::k420, "420"}, {Chroma::k422, "422"}, {Chroma::k444, "444"}};

}  // namespace

ColourMatrix DefaultMatrix(int width, int height) {
  return width >= 1280 || height >= 720 ? ColourMatrix::kBt709 : ColourMatrix::kBt601;
}

std::string PixelFormatName(Chroma chroma, int bits) {
  const char* subsampling = "444";
  for (const auto& entry : kChromaNames) {
    if (entry.chroma == chroma) subsampling = entry.name;
  }
  // snprintf rather than string sums, which GCC 12 misreads at -O3 (-Wrestrict).
  char name[32];
  if (bits == 8) {
    std::snprintf(name, sizeof name, "yuv%sp", subsampling);
  } else {
    std::snprintf(name, sizeof name, "yuv%sp%dle", subsampling, bits);
  }
  return name;
}

bool ParsePixelFormat(const std::string& name, Chroma& chroma, int& bits) {
  for (const auto& entry : kChromaNames) {
    for (const int depth : {8, 10, 12, 16}) {
      if (PixelFormatName(entry.chroma, depth) == name) {
        chroma = entry.chroma;
        bits = depth;
        return true;
      }
    }
  }
  return false;
}

int ChromaWidth(Chroma chroma, int width) { return chroma == Chroma::k444 ? width : (width + 1) / 2; }
int ChromaHeight(Chroma chroma, int height) { return chroma == Chroma::k420 ? (height + 1) / 2 : height; }

void ConvertPicture(const FrameView& frame, const PictureFormat& f, std::uint8_t* const planes[3],
                    const std::size_t strides[3]) {
  const int width = frame.width, height = frame.height;
  std::vector<const std::uint8_t*> rows(static_cast<std::size_t>(height));
  for (int y = 0; y < height; ++y) rows[y] = frame.data + static_cast<std::size_t>(y) * frame.rowBytes;
  const int sum = f.chroma == Chroma::k444 ? 1 : f.chroma == Chroma::k422 ? 2 : 4;
  if (frame.depth == 8 && f.bits == 8) {
    Convert8(rows.data(), width, height, MakeMatrix(f.matrix, 255, 8, sum, 16), f.chroma, f.interlaced, planes,
             strides);
    return;
  }
  std::uint8_t* const* bytePlanes = planes;
  std::uint16_t* wordPlanes[3];
  std::size_t wordStrides[3];
  for (int i = 0; i < 3; ++i) {
    wordPlanes[i] = reinterpret_cast<std::uint16_t*>(planes[i]);
    wordStrides[i] = strides[i] / 2;
  }
  if (frame.depth == 8) {
    // 8-bit renders into deeper samples: exact, if no finer than the render.
    const FixedMatrix m = MakeMatrix(f.matrix, 255, f.bits, sum, 16);
    if (f.bits <= 12) {
      Convert8Deep(rows.data(), width, height, m, f.chroma, f.interlaced, wordPlanes, wordStrides);
      return;
    }
    ConvertPlanes<std::uint8_t, std::uint16_t, std::int64_t>(rows.data(), width, height, m, f.chroma, f.interlaced,
                                                             wordPlanes, wordStrides);
    return;
  }
  // 16-bit words, floats read as such words first.
  std::vector<std::uint16_t> words;
  std::vector<const std::uint16_t*> wordRows(static_cast<std::size_t>(height));
  if (frame.depth == 32) {
    const std::size_t rowWords = static_cast<std::size_t>(width) * 4;
    words.resize(rowWords * height);
    for (int y = 0; y < height; ++y) {
      std::uint16_t* to = words.data() + rowWords * y;
      for (std::size_t i = 0; i < rowWords; ++i) {
        float value;
        std::memcpy(&value, rows[y] + 4 * i, 4);
        to[i] = FloatToWord(value);
      }
      wordRows[y] = to;
    }
  } else {
    for (int y = 0; y < height; ++y) wordRows[y] = reinterpret_cast<const std::uint16_t*>(rows[y]);
  }
  const FixedMatrix m = MakeMatrix(f.matrix, 65535, f.bits, sum, 32);
  if (f.bits == 8) {
    ConvertPlanes<std::uint16_t, std::uint8_t, std::int64_t>(wordRows.data(), width, height, m, f.chroma, f.interlaced,
                                                             bytePlanes, strides);
  } else {
    ConvertWords(wordRows.data(), width, height, m, f.chroma, f.interlaced, wordPlanes, wordStrides);
  }
}

}  // namespace cli
