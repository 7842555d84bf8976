// YUV4MPEG2 streams and raw frames, written plane by plane into an output;
// the colour conversion is Convert.cpp's.
#include "Encoders.h"

#include <cstring>

namespace cli {

// --- YUV4MPEG2 ---------------------------------------------------------------

std::string Y4mHeader(const Y4mFormat& f) {
  // ffmpeg's names of the stream's colour spaces: C420jpeg is 8-bit 4:2:0
  // with centred chroma, the deeper ones carry their bits (C422p10).
  const PictureFormat& p = f.picture;
  std::string colour = p.chroma == Chroma::k420 ? "420" : p.chroma == Chroma::k422 ? "422" : "444";
  if (p.bits != 8) {
    colour += "p" + std::to_string(p.bits);
  } else if (p.chroma == Chroma::k420) {
    colour += "jpeg";
  }
  char header[256];
  std::snprintf(header, sizeof header, "YUV4MPEG2 W%d H%d F%d:%d I%c A%d:%d C%s XCOLORRANGE=LIMITED XCOLORMATRIX=%s\n",
                f.width, f.height, f.rateNumerator, f.rateDenominator, f.interlace, f.aspectNumerator,
                f.aspectDenominator, colour.c_str(), p.matrix == ColourMatrix::kBt709 ? "BT709" : "BT601");
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
  const std::size_t sample = f.picture.bits == 8 ? 1 : 2;
  const std::size_t lumaRow = f.width * sample;
  const std::size_t chromaRow = ChromaWidth(f.picture.chroma, f.width) * sample;
  const std::size_t luma = lumaRow * f.height, chroma = chromaRow * ChromaHeight(f.picture.chroma, f.height);
  m_buffer.resize(6 + luma + 2 * chroma);
  std::memcpy(m_buffer.data(), "FRAME\n", 6);
  std::uint8_t* const planes[3] = {m_buffer.data() + 6, m_buffer.data() + 6 + luma,
                                   m_buffer.data() + 6 + luma + chroma};
  const std::size_t strides[3] = {lumaRow, chromaRow, chromaRow};
  ConvertPicture(frame, f.picture, planes, strides);
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
