// Writers of the files the command-line host produces, one source file
// each: PNG stills (PngWriter.cpp), a YUV4MPEG2 stream and raw frames
// (Y4mWriter.cpp, its colour conversion in Convert.cpp), WAV or raw audio
// (AudioWriter.cpp), NUT and Matroska through FFmpeg's libraries
// (Media.cpp, Media.h). They read rendered frames where the server wrote
// them (the shared section) and copy only what an encoder needs.
#pragma once

#include "OutputFile.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace cli {

// One rendered frame as it lies in the section: RGBA, `depth` bits per
// channel (8, 16 in host order, 32 float), rows `rowBytes` apart.
struct FrameView {
  const std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int depth = 8;
  std::size_t rowBytes = 0;
};

// A float channel as a 16-bit word, clamped to 0..1: how 32-bit frames
// become the 16-bit samples of every picture format written here.
inline std::uint16_t FloatToWord(float value) {
  if (!(value > 0.0f)) return 0;  // NaN too
  if (value >= 1.0f) return 65535;
  return static_cast<std::uint16_t>(value * 65535.0f + 0.5f);
}

// 8-bit frames are written as 8-bit PNG, 16- and 32-bit ones as 16-bit PNG.
// `level` is zlib's compression level: 1 is fast, 9 small.
void WritePng(const std::string& path, const FrameView& frame, int level);

enum class ColourMatrix { kBt601, kBt709 };

// The matrix a picture of this size is read with when nothing says which:
// BT.709 from 1280x720 on (HD), BT.601 below.
ColourMatrix DefaultMatrix(int width, int height);

// Chroma subsampling of a planar picture: 4:2:2 halves the chroma's width,
// 4:2:0 its width and height (centred siting, from 2x2 blocks).
enum class Chroma { k444, k422, k420 };

// A planar, limited-range YCbCr picture as ffmpeg names its pixel formats
// (yuv420p, yuv422p10le, yuv444p16le, ...): samples of 8 bits, or of 10, 12
// or 16 bits in little-endian 16-bit words.
struct PictureFormat {
  Chroma chroma = Chroma::k420;
  int bits = 8;
  ColourMatrix matrix = ColourMatrix::kBt601;
  bool interlaced = false;  // 4:2:0 chroma then pairs rows of one field
};

// ffmpeg's name of the pixel format ("yuv420p", "yuv444p16le").
std::string PixelFormatName(Chroma chroma, int bits);
// Reads one of those names; false for any other.
bool ParsePixelFormat(const std::string& name, Chroma& chroma, int& bits);
int ChromaWidth(Chroma chroma, int width);
int ChromaHeight(Chroma chroma, int height);

// Converts a rendered frame into the three planes of `format` (Y, Cb, Cr),
// rows `strides` bytes apart, in fixed point: RGB of 8 bits or 16-bit words
// (floats clamped to them first) to limited range, rounded to nearest.
// 8-bit frames into 8-bit 4:2:0 and 4:2:2 (the defaults) go through code
// written for AVX2 where the processor has it; `ConversionCode::kPlain`
// keeps to the plain loops, whose results the AVX2 code must equal exactly.
enum class ConversionCode { kBest, kPlain };
void ConvertPicture(const FrameView& frame, const PictureFormat& format, std::uint8_t* const planes[3],
                    const std::size_t strides[3], ConversionCode code = ConversionCode::kBest);

struct Y4mFormat {
  int width = 0;
  int height = 0;
  int rateNumerator = 0;
  int rateDenominator = 1;
  char interlace = 'p';  // p progressive, t top field first, b bottom first
  int aspectNumerator = 1;
  int aspectDenominator = 1;
  PictureFormat picture;  // C420jpeg, C422, C444, C420p10, ..., C444p16
};

// The stream header line, newline included.
std::string Y4mHeader(const Y4mFormat& format);

// A YUV4MPEG2 stream of limited-range frames in `format`; the header is
// written with the first frame.
class Y4mWriter {
 public:
  Y4mWriter(OutputFile& out, const Y4mFormat& format);
  void Write(const FrameView& frame);

 private:
  OutputFile& m_out;
  Y4mFormat m_format;
  bool m_started = false;
  std::vector<std::uint8_t> m_buffer;
};

// The frame's pixels in the section's own layout (RGBA, 8 or 16 bits in
// host order, or 32-bit float), rows without padding.
void WriteRaw(OutputFile& out, const FrameView& frame);

// Audio: a WAV file (RF64 past 4 GiB, extensible header for float and more
// than two channels), a streamable WAV on a pipe, or raw interleaved PCM.
// A WAV file's sizes are completed by Close; a stream's stay at their
// largest.
class AudioWriter {
 public:
  enum class Container { kWav, kRaw };
  AudioWriter(OutputFile& out, Container container, int sampleRate, int channels, bool floatSamples);
  ~AudioWriter();
  AudioWriter(const AudioWriter&) = delete;
  AudioWriter& operator=(const AudioWriter&) = delete;
  void Append(const void* samples, std::size_t bytes);
  // Completes the headers; the caller then commits the file.
  void Close();

 private:
  OutputFile& m_out;
  bool m_wav;
  bool m_seekable = false;  // a regular file, whose header Close completes
  std::size_t m_frameBytes;
  std::vector<std::uint8_t> m_header;  // as written; Close completes the sizes
  std::size_t m_dataSizeAt = 0;
  std::size_t m_factAt = 0;  // 0: no fact chunk (integer samples)
  std::uint64_t m_dataBytes = 0;
};

}  // namespace cli
