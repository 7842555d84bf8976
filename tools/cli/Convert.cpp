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

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

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

// The two rows whose 2x2 blocks make 4:2:0 chroma row `cy`: rows 2cy and
// 2cy + 1, or in an interlaced picture two rows of one field (y and y + 2);
// past the last row, the last row again.
struct RowPair {
  int top, bottom;
};
RowPair ChromaRowPair(int cy, int height, bool interlaced) {
  int top = 2 * cy, bottom = 2 * cy + 1;
  if (interlaced) {
    top = 4 * (cy / 2) + cy % 2;
    bottom = top + 2;
  }
  return {std::min(top, height - 1), std::min(bottom, height - 1)};
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
  // Each chroma sample from the sum of a 2x2 block.
  for (int cy = 0; cy < ChromaHeight(chroma, height); ++cy) {
    const RowPair pair = ChromaRowPair(cy, height, interlaced);
    products(rows[pair.top], false);
    products(rows[pair.bottom], true);
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

// --- 8-bit 4:2:0 and 4:2:2 with AVX2 -----------------------------------------
//
// The default output, so the one conversion most users pay for. The plain
// loops above take two passes over the frame for 4:2:0 (luma, then chroma
// from row pairs), reading the 8 MB of a 1080p frame twice from memory, and
// multiply every pixel for its chroma. Here each pair of rows is read once,
// while it is in the first-level cache, and 32 pixels at a time are
// deinterleaved with byte shuffles into 16-bit words and multiplied with
// pmaddwd. The arithmetic is the plain loops' (the same fixed-point
// coefficients, sums and rounding), so the output is identical to theirs:
//   - luma: pmaddwd takes signed 16-bit coefficients, and the green one
//     (0.59-0.72 of 219/255 in 16 fraction bits) does not fit. The words of
//     red and green, read as one 32-bit lane, are r + 65536 g; adding that
//     lane to the products with (y0 - 1, y1 - 65536) gives y0 r + y1 g.
//   - chroma: a block's products sum to the products of its summed pixels,
//     so the rows of a block are added as words (at most 510) and multiplied
//     once; the two columns of a block are added in 32 bits (phaddd).
#if defined(__x86_64__) || defined(__i386__)
#define MORAVANE_CLI_AVX2 1

bool FitsAvx2(const FixedMatrix& m) {
  auto word = [](std::int64_t v) { return v >= -32768 && v <= 32767; };
  return m.shift == 16 && word(m.y[0] - 1) && word(m.y[1] - 65536) && word(m.y[2]) && word(m.cb[0]) && word(m.cb[1]) &&
         word(m.cb[2]) && word(m.cr[0]) && word(m.cr[1]) && word(m.cr[2]);
}

// Everything in here, the lambdas too, is built for AVX2. GCC still warns
// that a lambda returning a vector changes the ABI (it is inlined, and no
// call crosses from code without AVX).
#pragma GCC push_options
#pragma GCC target("avx2")
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
// Converts the columns of whole 32-pixel blocks and returns their number;
// the plain loops take the rest.
int Subsampled8Avx2(const std::uint8_t* const* rows, int width, int height, const FixedMatrix& m, Chroma chroma,
                    bool interlaced, std::uint8_t* const* planes, const std::size_t* strides) {
  auto pair = [](std::int64_t low, std::int64_t high) {
    return _mm256_set1_epi32(static_cast<int>(static_cast<std::uint16_t>(low) |
                                              static_cast<std::uint32_t>(static_cast<std::uint16_t>(high)) << 16));
  };
  const __m256i yRG = pair(m.y[0] - 1, m.y[1] - 65536), yB = pair(m.y[2], 0);
  const __m256i cbRG = pair(m.cb[0], m.cb[1]), cbB = pair(m.cb[2], 0);
  const __m256i crRG = pair(m.cr[0], m.cr[1]), crB = pair(m.cr[2], 0);
  const __m256i yOffset = _mm256_set1_epi32(static_cast<int>(m.yOffset));
  const __m256i cOffset = _mm256_set1_epi32(static_cast<int>(m.cOffset));
  // Per 128-bit lane of four RGBA pixels: red and green as words (one
  // 32-bit lane per pixel), blue as a word with a zero word above it.
  const __m256i takeRG = _mm256_setr_epi8(0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1,  //
                                          0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1);
  const __m256i takeB = _mm256_setr_epi8(2, -1, -1, -1, 6, -1, -1, -1, 10, -1, -1, -1, 14, -1, -1, -1,  //
                                         2, -1, -1, -1, 6, -1, -1, -1, 10, -1, -1, -1, 14, -1, -1, -1);
  // pack* work within 128-bit lanes; these put the lanes' parts in order.
  const __m256i interleave = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  const __m256i halves = _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);

  struct Split {
    __m256i rg, b;
  };
  auto split = [&](const std::uint8_t* p) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    return Split{_mm256_shuffle_epi8(v, takeRG), _mm256_shuffle_epi8(v, takeB)};
  };
  auto luma = [&](const Split& s) {
    const __m256i sum = _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(s.rg, yRG), s.rg),
                                         _mm256_add_epi32(_mm256_madd_epi16(s.b, yB), yOffset));
    return _mm256_srli_epi32(sum, 16);
  };
  // 32 luma samples from four groups of eight pixels.
  auto storeLuma = [&](std::uint8_t* out, const Split* s) {
    const __m256i words0 = _mm256_packus_epi32(luma(s[0]), luma(s[1]));
    const __m256i words1 = _mm256_packus_epi32(luma(s[2]), luma(s[3]));
    const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(words0, words1), interleave);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
  };
  // One chroma component of a group's eight columns, before the columns'
  // pairs are added.
  auto columns = [](const Split& s, __m256i rgCoefficients, __m256i bCoefficients) {
    return _mm256_add_epi32(_mm256_madd_epi16(s.rg, rgCoefficients), _mm256_madd_epi16(s.b, bCoefficients));
  };
  // Eight chroma samples from two groups: phaddd pairs the columns within
  // each lane, the permutation puts the lanes' results in order.
  auto blocks = [&](__m256i first, __m256i second) {
    const __m256i sums = _mm256_permutevar8x32_epi32(_mm256_hadd_epi32(first, second), halves);
    return _mm256_srai_epi32(_mm256_add_epi32(sums, cOffset), 16);
  };

  const int whole = width / 32 * 32;
  if (whole == 0) return 0;
  constexpr int kAhead = 2048;
  const int chromaRows = ChromaHeight(chroma, height);
  for (int cy = 0; cy < chromaRows; ++cy) {
    // 4:2:2 chroma comes from one row.
    const RowPair pair = chroma == Chroma::k420 ? ChromaRowPair(cy, height, interlaced) : RowPair{cy, -1};
    const int top = pair.top, bottom = pair.bottom;
    const std::uint8_t* topRow = rows[top];
    const std::uint8_t* bottomRow = bottom < 0 ? nullptr : rows[bottom];
    std::uint8_t* yTop = planes[0] + static_cast<std::size_t>(top) * strides[0];
    std::uint8_t* yBottom = bottom < 0 ? nullptr : planes[0] + static_cast<std::size_t>(bottom) * strides[0];
    std::uint8_t* cb = planes[1] + static_cast<std::size_t>(cy) * strides[1];
    std::uint8_t* cr = planes[2] + static_cast<std::size_t>(cy) * strides[2];
    for (int x = 0; x < whole; x += 32) {
      Split t[4], s[4];
      // The frame comes from memory (the server writes it past the caches):
      // asking 2 KiB ahead for both rows took a 1080p frame from 0.65 to
      // 0.54 ms (convert_bench, from memory), where reading it alone takes 0.3.
      _mm_prefetch(reinterpret_cast<const char*>(topRow + 4 * x + kAhead), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char*>(topRow + 4 * x + kAhead + 64), _MM_HINT_T0);
      if (bottomRow != nullptr) {
        _mm_prefetch(reinterpret_cast<const char*>(bottomRow + 4 * x + kAhead), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(bottomRow + 4 * x + kAhead + 64), _MM_HINT_T0);
      }
      for (int g = 0; g < 4; ++g) t[g] = split(topRow + 4 * (x + 8 * g));
      storeLuma(yTop + x, t);
      if (bottomRow != nullptr) {
        for (int g = 0; g < 4; ++g) s[g] = split(bottomRow + 4 * (x + 8 * g));
        storeLuma(yBottom + x, s);
        for (int g = 0; g < 4; ++g) s[g] = Split{_mm256_add_epi16(t[g].rg, s[g].rg), _mm256_add_epi16(t[g].b, s[g].b)};
      } else {
        for (int g = 0; g < 4; ++g) s[g] = t[g];
      }
      const __m256i cbWords = _mm256_packus_epi32(blocks(columns(s[0], cbRG, cbB), columns(s[1], cbRG, cbB)),
                                                  blocks(columns(s[2], cbRG, cbB), columns(s[3], cbRG, cbB)));
      const __m256i crWords = _mm256_packus_epi32(blocks(columns(s[0], crRG, crB), columns(s[1], crRG, crB)),
                                                  blocks(columns(s[2], crRG, crB), columns(s[3], crRG, crB)));
      const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(cbWords, crWords), interleave);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(cb + x / 2), _mm256_castsi256_si128(bytes));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(cr + x / 2), _mm256_extracti128_si256(bytes, 1));
    }
  }
  return whole;
}
#pragma GCC diagnostic pop
#pragma GCC pop_options

bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

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
                    const std::size_t strides[3], ConversionCode code) {
  const int width = frame.width, height = frame.height;
  std::vector<const std::uint8_t*> rows(static_cast<std::size_t>(height));
  for (int y = 0; y < height; ++y) rows[y] = frame.data + static_cast<std::size_t>(y) * frame.rowBytes;
  const int sum = f.chroma == Chroma::k444 ? 1 : f.chroma == Chroma::k422 ? 2 : 4;
  if (frame.depth == 8 && f.bits == 8) {
    const FixedMatrix m = MakeMatrix(f.matrix, 255, 8, sum, 16);
#ifdef MORAVANE_CLI_AVX2
    if (code == ConversionCode::kBest && f.chroma != Chroma::k444 && HasAvx2() && FitsAvx2(m)) {
      const int done = Subsampled8Avx2(rows.data(), width, height, m, f.chroma, f.interlaced, planes, strides);
      if (done == width) return;
      // The columns after the last whole block (an even number of columns
      // in, so chroma pairs the same), by the plain loops.
      for (const std::uint8_t*& row : rows) row += 4 * static_cast<std::size_t>(done);
      std::uint8_t* const rest[3] = {planes[0] + done, planes[1] + done / 2, planes[2] + done / 2};
      Convert8(rows.data(), width - done, height, m, f.chroma, f.interlaced, rest, strides);
      return;
    }
#else
    (void)code;
#endif
    Convert8(rows.data(), width, height, m, f.chroma, f.interlaced, planes, strides);
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
