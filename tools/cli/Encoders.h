// Writers of the files the command-line host produces: PNG stills, a
// YUV4MPEG2 stream and WAV audio. They read rendered frames where the server
// wrote them (the shared section) and copy only what an encoder needs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace cli {

// A failure to write an output file; the message names the file.
class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One rendered frame as it lies in the section: RGBA, `depth` bits per
// channel (8, 16 in host order, 32 float), rows `rowBytes` apart.
struct FrameView {
  const std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int depth = 8;
  std::size_t rowBytes = 0;
};

// 8-bit frames are written as 8-bit PNG, 16- and 32-bit ones as 16-bit PNG.
void WritePng(const std::string& path, const FrameView& frame);

// A YUV4MPEG2 stream of 8-bit 4:4:4 frames (BT.601, limited range) on an
// open file; the header is written with the first frame.
class Y4mWriter {
 public:
  Y4mWriter(std::FILE* out, std::string name, int rateNumerator, int rateDenominator);
  void Write(const FrameView& frame);

 private:
  std::FILE* m_out;
  std::string m_name;
  int m_rateNumerator;
  int m_rateDenominator;
  bool m_started = false;
  int m_width = 0;
  int m_height = 0;
  std::string m_planes;
};

// A WAV file of interleaved samples, 16-bit integer or 32-bit float. The
// sizes in the header are set when the writer is closed.
class WavWriter {
 public:
  WavWriter(const std::string& path, int sampleRate, int channels, bool floatSamples);
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;
  void Append(const void* samples, std::size_t bytes);
  void Close();

 private:
  void Header();
  std::string m_path;
  std::FILE* m_file;
  int m_sampleRate;
  int m_channels;
  bool m_float;
  std::uint64_t m_dataBytes = 0;
};

}  // namespace cli
