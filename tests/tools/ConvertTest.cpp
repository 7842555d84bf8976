// The AVX2 conversion of 8-bit frames into 4:2:0 and 4:2:2 must give what
// the plain loops give, byte for byte: the end-to-end tests hold the plain
// loops to ffmpeg's own conversion, and these hold the fast code to them.
// Sizes cover whole 32-pixel blocks, the tail after them, odd widths and
// heights (the last column and row repeated into chroma), one-pixel
// pictures, and rows with padding between them.
#include "Encoders.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

struct Planes {
  std::vector<std::uint8_t> bytes[3];
  std::size_t strides[3];
  std::uint8_t* pointers[3];
};

Planes MakePlanes(const cli::PictureFormat& format, int width, int height) {
  Planes p;
  const int cw = cli::ChromaWidth(format.chroma, width), ch = cli::ChromaHeight(format.chroma, height);
  // Strides wider than the rows, filled with a marker that must survive.
  const std::size_t strides[3] = {std::size_t(width) + 5, std::size_t(cw) + 3, std::size_t(cw) + 3};
  const int rows[3] = {height, ch, ch};
  for (int i = 0; i < 3; ++i) {
    p.strides[i] = strides[i];
    p.bytes[i].assign(strides[i] * rows[i], 0xA5);
    p.pointers[i] = p.bytes[i].data();
  }
  return p;
}

TEST(Convert, FastCodeEqualsThePlainLoops) {
  if (!__builtin_cpu_supports("avx2")) GTEST_SKIP() << "no AVX2 here: the plain loops are the only code";
  struct Size {
    int width, height;
  };
  const Size sizes[] = {{1, 1}, {2, 2}, {31, 3}, {32, 2}, {33, 5}, {64, 4}, {95, 7}, {1920, 6}, {1281, 9}};
  std::mt19937 random(20261209);
  for (const Size size : sizes) {
    for (const cli::Chroma chroma : {cli::Chroma::k420, cli::Chroma::k422}) {
      for (const bool interlaced : {false, true}) {
        for (const cli::ColourMatrix matrix : {cli::ColourMatrix::kBt601, cli::ColourMatrix::kBt709}) {
          SCOPED_TRACE(testing::Message() << size.width << "x" << size.height << " chroma " << static_cast<int>(chroma)
                                          << " interlaced " << interlaced << " matrix " << static_cast<int>(matrix));
          const std::size_t rowBytes = std::size_t(size.width) * 4 + 12;
          std::vector<std::uint8_t> rgba(rowBytes * size.height);
          for (auto& byte : rgba) byte = static_cast<std::uint8_t>(random());
          // Black and white corners: the ends of every range.
          for (int c = 0; c < 3; ++c) {
            rgba[c] = 0;
            rgba[rowBytes * (size.height - 1) + 4 * (size.width - 1) + c] = 255;
          }
          const cli::FrameView frame{rgba.data(), size.width, size.height, 8, rowBytes};
          const cli::PictureFormat format{chroma, 8, matrix, interlaced};
          Planes fast = MakePlanes(format, size.width, size.height);
          Planes plain = MakePlanes(format, size.width, size.height);
          cli::ConvertPicture(frame, format, fast.pointers, fast.strides);
          cli::ConvertPicture(frame, format, plain.pointers, plain.strides, cli::ConversionCode::kPlain);
          for (int p = 0; p < 3; ++p) EXPECT_EQ(fast.bytes[p], plain.bytes[p]) << "plane " << p;
        }
      }
    }
  }
}

}  // namespace
