// The colour conversion of moravane-cli (tools/cli/Convert.cpp) against
// libswscale doing the same: RGBA of 8 or 16 bits to limited-range planar
// YCbCr, BT.709, 1920x1080, with the rounding and chroma of ours (area
// filter, accurate rounding, full chroma input: which matches ours exactly
// from 8-bit RGBA). Prints milliseconds per frame, best of the runs, and the
// largest difference between the two outputs in codes.
//
//   build/default/bench/cli/convert_bench [RUNS]
#include "Encoders.h"

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int kWidth = 1920, kHeight = 1080;

template <class F>
double BestMs(int runs, F&& f) {
  double best = 1e300;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    f();
    best = std::min(best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
  // A picture that changes both ways and in colour, at 8 and 16 bits.
  std::vector<std::uint8_t> rgba8(std::size_t(kWidth) * kHeight * 4);
  std::vector<std::uint16_t> rgba16(rgba8.size());
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const std::size_t i = (std::size_t(y) * kWidth + x) * 4;
      const unsigned v[4] = {(x * 65535u) / kWidth, (y * 65535u) / kHeight, ((x ^ y) & 255) * 257u, 65535};
      for (int c = 0; c < 4; ++c) {
        rgba16[i + c] = static_cast<std::uint16_t>(v[c]);
        rgba8[i + c] = static_cast<std::uint8_t>(v[c] >> 8);
      }
    }
  }
  std::printf("%-14s %-6s %10s %10s %12s %10s\n", "format", "input", "own ms", "plain ms", "swscale ms", "max diff");
  const struct {
    const char* name;
    int depth;
  } cases[] = {{"yuv420p", 8},     {"yuv422p", 8},      {"yuv444p", 8},
               {"yuv420p10le", 8}, {"yuv420p10le", 16}, {"yuv444p16le", 16}};
  for (const auto& c : cases) {
    cli::Chroma chroma;
    int bits;
    cli::ParsePixelFormat(c.name, chroma, bits);
    const cli::PictureFormat format{chroma, bits, cli::ColourMatrix::kBt709, false};
    const cli::FrameView frame{c.depth == 8 ? rgba8.data() : reinterpret_cast<const std::uint8_t*>(rgba16.data()),
                               kWidth, kHeight, c.depth, std::size_t(kWidth) * 4 * (c.depth / 8)};
    const std::size_t sample = bits == 8 ? 1 : 2;
    const int cw = cli::ChromaWidth(chroma, kWidth), ch = cli::ChromaHeight(chroma, kHeight);
    const std::size_t strides[3] = {kWidth * sample, cw * sample, cw * sample};
    const std::size_t sizes[3] = {strides[0] * kHeight, strides[1] * ch, strides[2] * ch};
    std::vector<std::uint8_t> own[3], theirs[3];
    std::uint8_t* ownPlanes[3];
    std::uint8_t* theirPlanes[3];
    int lines[3];
    for (int p = 0; p < 3; ++p) {
      own[p].resize(sizes[p]);
      theirs[p].resize(sizes[p]);
      ownPlanes[p] = own[p].data();
      theirPlanes[p] = theirs[p].data();
      lines[p] = static_cast<int>(strides[p]);
    }
    const double ownMs = BestMs(runs, [&] { cli::ConvertPicture(frame, format, ownPlanes, strides); });
    // The plain loops alone, where the default formats have code of their own.
    std::vector<std::uint8_t> plain[3];
    std::uint8_t* plainPlanes[3];
    for (int p = 0; p < 3; ++p) {
      plain[p].resize(sizes[p]);
      plainPlanes[p] = plain[p].data();
    }
    const double plainMs =
        BestMs(runs, [&] { cli::ConvertPicture(frame, format, plainPlanes, strides, cli::ConversionCode::kPlain); });
    bool same = true;
    for (int p = 0; p < 3; ++p) same = same && plain[p] == own[p];

    const AVPixelFormat source = c.depth == 8 ? AV_PIX_FMT_RGBA : AV_PIX_FMT_RGBA64LE;
    SwsContext* sws =
        sws_getContext(kWidth, kHeight, source, kWidth, kHeight, av_get_pix_fmt(c.name),
                       SWS_AREA | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP | SWS_BITEXACT, nullptr, nullptr, nullptr);
    if (sws == nullptr) return 1;
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(sws, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
    const std::uint8_t* const in[1] = {frame.data};
    const int inLines[1] = {static_cast<int>(frame.rowBytes)};
    const double swsMs = BestMs(runs, [&] { sws_scale(sws, in, inLines, 0, kHeight, theirPlanes, lines); });
    sws_freeContext(sws);

    int worst = 0;
    for (int p = 0; p < 3; ++p) {
      for (std::size_t i = 0; i < sizes[p]; i += sample) {
        const int a = sample == 1 ? own[p][i] : own[p][i] | own[p][i + 1] << 8;
        const int b = sample == 1 ? theirs[p][i] : theirs[p][i] | theirs[p][i + 1] << 8;
        worst = std::max(worst, std::abs(a - b));
      }
    }
    std::printf("%-14s rgba%-2d %10.2f %10.2f %12.2f %10d%s\n", c.name, c.depth, ownMs, plainMs, swsMs, worst,
                same ? "" : "   own code differs from the plain loops");
    if (!same) return 1;
  }

  // In the program the frame comes from a section the server has just
  // written (with streaming stores, past the caches), so the conversion
  // reads it from memory, not from a cache as above. A ring of copies larger
  // than any cache here gives that case; beside it, the least any code can
  // take for the same frame: reading its bytes once, and nothing else.
  constexpr int kRing = 16;  // 16 frames, 128 MiB
  std::vector<std::vector<std::uint8_t>> ring(kRing, rgba8);
  std::vector<std::uint8_t> planes(std::size_t(kWidth) * kHeight * 3 / 2);
  std::uint8_t* const out[3] = {planes.data(), planes.data() + kWidth * kHeight,
                                planes.data() + kWidth * kHeight * 5 / 4};
  const std::size_t outStrides[3] = {kWidth, kWidth / 2, kWidth / 2};
  const cli::PictureFormat format{cli::Chroma::k420, 8, cli::ColourMatrix::kBt709, false};
  int next = 0;
  const double coldMs = BestMs(runs, [&] {
    const cli::FrameView frame{ring[next++ % kRing].data(), kWidth, kHeight, 8, std::size_t(kWidth) * 4};
    cli::ConvertPicture(frame, format, out, outStrides);
  });
  std::uint64_t total = 0;
  const double readMs = BestMs(runs, [&] {
    const auto* words = reinterpret_cast<const std::uint64_t*>(ring[next++ % kRing].data());
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < rgba8.size() / 8; ++i) sum += words[i];
    total += sum;
  });
  std::printf("\nfrom memory (a ring of %d frames): yuv420p %.2f ms, reading the frame alone %.2f ms%s\n", kRing,
              coldMs, readMs, total == 1 ? " " : "");
  return 0;
}
