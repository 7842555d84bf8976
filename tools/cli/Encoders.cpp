#include "Encoders.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace cli {

namespace {

std::string Reason() { return std::strerror(errno); }

// One channel of a pixel as a value from 0 to 1.
double Channel(const FrameView& frame, const std::uint8_t* row, int x, int channel) {
  switch (frame.depth) {
    case 8:
      return row[x * 4 + channel] / 255.0;
    case 16: {
      std::uint16_t value;
      std::memcpy(&value, row + (x * 4 + channel) * 2, 2);
      return value / 65535.0;
    }
    default: {
      float value;
      std::memcpy(&value, row + (x * 4 + channel) * 4, 4);
      return std::clamp(static_cast<double>(value), 0.0, 1.0);
    }
  }
}

struct PngWrite {
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~PngWrite() { png_destroy_write_struct(&png, info != nullptr ? &info : nullptr); }
};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

void WritePng(const std::string& path, const FrameView& frame) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) throw OutputError("cannot create '" + path + "': " + Reason());
  PngWrite write;
  write.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (write.png != nullptr) write.info = png_create_info_struct(write.png);
  if (write.info == nullptr) throw OutputError("cannot write '" + path + "': out of memory");

  const bool wide = frame.depth != 8;
  // Floats become 16-bit big-endian words here; 16-bit words go straight
  // from the section and libpng swaps them in its own row buffer.
  std::vector<std::uint8_t> converted(frame.depth == 32 ? static_cast<std::size_t>(frame.width) * 8 : 0);
  if (setjmp(png_jmpbuf(write.png))) {
    throw OutputError("cannot write '" + path + "'");
  }
  png_init_io(write.png, file.get());
  png_set_IHDR(write.png, write.info, static_cast<png_uint_32>(frame.width), static_cast<png_uint_32>(frame.height),
               wide ? 16 : 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(write.png, 3);
  png_write_info(write.png, write.info);
  if (frame.depth == 16) png_set_swap(write.png);
  for (int y = 0; y < frame.height; ++y) {
    const std::uint8_t* row = frame.data + static_cast<std::size_t>(y) * frame.rowBytes;
    if (frame.depth == 32) {
      for (int x = 0; x < frame.width; ++x) {
        for (int c = 0; c < 4; ++c) {
          const auto value = static_cast<unsigned>(std::lround(Channel(frame, row, x, c) * 65535.0));
          converted[(x * 4 + c) * 2] = static_cast<std::uint8_t>(value >> 8);
          converted[(x * 4 + c) * 2 + 1] = static_cast<std::uint8_t>(value & 0xFF);
        }
      }
      png_write_row(write.png, converted.data());
    } else {
      png_write_row(write.png, const_cast<png_bytep>(row));
    }
  }
  png_write_end(write.png, nullptr);
  if (std::fflush(file.get()) != 0) throw OutputError("cannot write '" + path + "': " + Reason());
}

Y4mWriter::Y4mWriter(std::FILE* out, std::string name, int rateNumerator, int rateDenominator)
    : m_out(out), m_name(std::move(name)), m_rateNumerator(rateNumerator), m_rateDenominator(rateDenominator) {}

void Y4mWriter::Write(const FrameView& frame) {
  if (!m_started) {
    m_width = frame.width;
    m_height = frame.height;
    if (std::fprintf(m_out, "YUV4MPEG2 W%d H%d F%d:%d Ip A1:1 C444 XCOLORRANGE=LIMITED\n", m_width, m_height,
                     m_rateNumerator, m_rateDenominator) < 0) {
      throw OutputError("cannot write " + m_name + ": " + Reason());
    }
    m_started = true;
  } else if (frame.width != m_width || frame.height != m_height) {
    throw OutputError("frames of one stream must have one size");
  }
  const std::size_t plane = static_cast<std::size_t>(m_width) * m_height;
  m_planes.resize(plane * 3);
  for (int y = 0; y < m_height; ++y) {
    const std::uint8_t* row = frame.data + static_cast<std::size_t>(y) * frame.rowBytes;
    for (int x = 0; x < m_width; ++x) {
      const double r = Channel(frame, row, x, 0), g = Channel(frame, row, x, 1), b = Channel(frame, row, x, 2);
      const double luma = 0.299 * r + 0.587 * g + 0.114 * b;
      const std::size_t at = static_cast<std::size_t>(y) * m_width + x;
      m_planes[at] = static_cast<char>(std::lround(16 + 219 * luma));
      m_planes[plane + at] = static_cast<char>(std::lround(128 + 224 * (b - luma) / 1.772));
      m_planes[2 * plane + at] = static_cast<char>(std::lround(128 + 224 * (r - luma) / 1.402));
    }
  }
  if (std::fputs("FRAME\n", m_out) < 0 || std::fwrite(m_planes.data(), 1, m_planes.size(), m_out) != m_planes.size()) {
    throw OutputError("cannot write " + m_name + ": " + Reason());
  }
}

WavWriter::WavWriter(const std::string& path, int sampleRate, int channels, bool floatSamples)
    : m_path(path),
      m_file(std::fopen(path.c_str(), "wb")),
      m_sampleRate(sampleRate),
      m_channels(channels),
      m_float(floatSamples) {
  if (m_file == nullptr) throw OutputError("cannot create '" + path + "': " + Reason());
  Header();
}

WavWriter::~WavWriter() {
  if (m_file != nullptr) std::fclose(m_file);
}

void WavWriter::Append(const void* samples, std::size_t bytes) {
  if (std::fwrite(samples, 1, bytes, m_file) != bytes) throw OutputError("cannot write '" + m_path + "': " + Reason());
  m_dataBytes += bytes;
}

void WavWriter::Header() {
  const int bytesPerSample = m_float ? 4 : 2;
  const std::uint32_t data = static_cast<std::uint32_t>(std::min<std::uint64_t>(m_dataBytes, 0xFFFFFFFFu - 36));
  auto word = [](std::uint8_t* at, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
  };
  std::uint8_t header[44];
  std::memcpy(header, "RIFF", 4);
  word(header + 4, 36 + data, 4);
  std::memcpy(header + 8, "WAVEfmt ", 8);
  word(header + 16, 16, 4);
  word(header + 20, m_float ? 3 : 1, 2);
  word(header + 22, static_cast<std::uint32_t>(m_channels), 2);
  word(header + 24, static_cast<std::uint32_t>(m_sampleRate), 4);
  word(header + 28, static_cast<std::uint32_t>(m_sampleRate * m_channels * bytesPerSample), 4);
  word(header + 32, static_cast<std::uint32_t>(m_channels * bytesPerSample), 2);
  word(header + 34, static_cast<std::uint32_t>(bytesPerSample * 8), 2);
  std::memcpy(header + 36, "data", 4);
  word(header + 40, data, 4);
  if (std::fseek(m_file, 0, SEEK_SET) != 0 || std::fwrite(header, 1, sizeof header, m_file) != sizeof header ||
      std::fseek(m_file, 0, SEEK_END) != 0) {
    throw OutputError("cannot write '" + m_path + "': " + Reason());
  }
}

void WavWriter::Close() {
  if (m_file == nullptr) return;
  Header();
  const int closed = std::fclose(m_file);
  m_file = nullptr;
  if (closed != 0) throw OutputError("cannot write '" + m_path + "': " + Reason());
}

}  // namespace cli
