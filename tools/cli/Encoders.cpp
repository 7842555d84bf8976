#include "Encoders.h"

#include <png.h>
#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <type_traits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

namespace {

std::string Reason() { return std::strerror(errno); }

struct PngWrite {
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~PngWrite() { png_destroy_write_struct(&png, info != nullptr ? &info : nullptr); }
};

// A float channel as a 16-bit word, clamped to 0..1.
std::uint16_t FloatToWord(float value) {
  if (!(value > 0.0f)) return 0;  // NaN too
  if (value >= 1.0f) return 65535;
  return static_cast<std::uint16_t>(value * 65535.0f + 0.5f);
}

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
#if defined(__SANITIZE_THREAD__)
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

// --- OutputFile --------------------------------------------------------------

OutputFile::OutputFile(std::string path) : m_path(std::move(path)) {
  if (m_path == "-") {
    m_name = "the standard output";
    m_stream = stdout;
    // Frames are megabytes: a larger pipe buffer (where stdout is a pipe)
    // halves the writer's and the reader's wake-ups. Failure changes nothing.
    ::fcntl(::fileno(stdout), F_SETPIPE_SZ, 1 << 20);
    return;
  }
  m_name = "'" + m_path + "'";
  m_temporary = m_path + ".part" + std::to_string(::getpid());
  m_stream = std::fopen(m_temporary.c_str(), "wb");
  if (m_stream == nullptr) throw OutputError("cannot create '" + m_temporary + "': " + Reason());
}

OutputFile::~OutputFile() {
  if (m_stream == nullptr || m_stream == stdout) return;
  std::fclose(m_stream);
  std::remove(m_temporary.c_str());
}

void OutputFile::Write(const void* data, std::size_t bytes) {
  if (std::fwrite(data, 1, bytes, m_stream) != bytes) throw OutputError("cannot write " + m_name + ": " + Reason());
}

void OutputFile::Commit() {
  if (m_stream == nullptr) return;
  if (m_stream == stdout) {
    if (std::fflush(stdout) != 0) throw OutputError("cannot write " + m_name + ": " + Reason());
    return;
  }
  std::FILE* stream = m_stream;
  m_stream = nullptr;
  const bool written = std::fflush(stream) == 0;
  const int error = errno;
  if (std::fclose(stream) != 0 || !written) {
    std::remove(m_temporary.c_str());
    throw OutputError("cannot write " + m_name + ": " + std::strerror(written ? errno : error));
  }
  if (std::rename(m_temporary.c_str(), m_path.c_str()) != 0) {
    const std::string reason = Reason();
    std::remove(m_temporary.c_str());
    throw OutputError("cannot rename '" + m_temporary + "' to " + m_name + ": " + reason);
  }
}

// --- PNG ---------------------------------------------------------------------

void WritePng(const std::string& path, const FrameView& frame, int level) {
  OutputFile file(path);
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
  png_init_io(write.png, file.Stream());
  png_set_IHDR(write.png, write.info, static_cast<png_uint_32>(frame.width), static_cast<png_uint_32>(frame.height),
               wide ? 16 : 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(write.png, level);
  // Fast settings try one filter (Sub, good on rendered pictures); small
  // ones let libpng pick a filter per row.
  png_set_filter(write.png, PNG_FILTER_TYPE_BASE, level <= 3 ? PNG_FILTER_SUB : PNG_ALL_FILTERS);
  png_write_info(write.png, write.info);
  if (frame.depth == 16) png_set_swap(write.png);
  for (int y = 0; y < frame.height; ++y) {
    const std::uint8_t* row = frame.data + static_cast<std::size_t>(y) * frame.rowBytes;
    if (frame.depth == 32) {
      for (int i = 0; i < frame.width * 4; ++i) {
        float value;
        std::memcpy(&value, row + 4 * i, 4);
        const std::uint16_t word = FloatToWord(value);
        converted[2 * i] = static_cast<std::uint8_t>(word >> 8);
        converted[2 * i + 1] = static_cast<std::uint8_t>(word & 0xFF);
      }
      png_write_row(write.png, converted.data());
    } else {
      png_write_row(write.png, const_cast<png_bytep>(row));
    }
  }
  png_write_end(write.png, nullptr);
  file.Commit();
}

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

// --- audio -------------------------------------------------------------------

struct AudioWriter::Sndfile {
  SNDFILE* file = nullptr;
  ~Sndfile() {
    if (file != nullptr) sf_close(file);
  }
};

namespace {

int SndfileFormat(int channels, bool floatSamples, bool rf64) {
  const int container = rf64 ? SF_FORMAT_RF64 : (floatSamples || channels > 2 ? SF_FORMAT_WAVEX : SF_FORMAT_WAV);
  return container | (floatSamples ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_16);
}

// An in-memory file for libsndfile, to have it lay out a header.
struct MemoryFile {
  std::vector<std::uint8_t> bytes;
  sf_count_t at = 0;
};

sf_count_t MemoryLength(void* user) { return static_cast<sf_count_t>(static_cast<MemoryFile*>(user)->bytes.size()); }
sf_count_t MemorySeek(sf_count_t offset, int whence, void* user) {
  auto* file = static_cast<MemoryFile*>(user);
  const sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? file->at : MemoryLength(user);
  file->at = std::max<sf_count_t>(0, base + offset);
  return file->at;
}
sf_count_t MemoryRead(void* to, sf_count_t count, void* user) {
  auto* file = static_cast<MemoryFile*>(user);
  const sf_count_t available = std::max<sf_count_t>(0, MemoryLength(user) - file->at);
  const sf_count_t n = std::min(count, available);
  std::memcpy(to, file->bytes.data() + file->at, static_cast<std::size_t>(n));
  file->at += n;
  return n;
}
sf_count_t MemoryWrite(const void* from, sf_count_t count, void* user) {
  auto* file = static_cast<MemoryFile*>(user);
  if (file->bytes.size() < static_cast<std::size_t>(file->at + count)) file->bytes.resize(file->at + count);
  std::memcpy(file->bytes.data() + file->at, from, static_cast<std::size_t>(count));
  file->at += count;
  return count;
}
sf_count_t MemoryTell(void* user) { return static_cast<MemoryFile*>(user)->at; }

void Put32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A WAV header for a stream of unknown length: libsndfile's header of an
// empty file with the RIFF and data sizes at their largest, which readers
// of pipes take as "until the end of the stream".
std::vector<std::uint8_t> StreamingWavHeader(int sampleRate, int channels, bool floatSamples) {
  MemoryFile memory;
  SF_VIRTUAL_IO io{MemoryLength, MemorySeek, MemoryRead, MemoryWrite, MemoryTell};
  SF_INFO info{};
  info.samplerate = sampleRate;
  info.channels = channels;
  info.format = SndfileFormat(channels, floatSamples, false);
  SNDFILE* file = sf_open_virtual(&io, SFM_WRITE, &info, &memory);
  if (file == nullptr) throw OutputError(std::string("cannot lay out a WAV header: ") + sf_strerror(nullptr));
  sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
  sf_close(file);
  std::vector<std::uint8_t>& header = memory.bytes;
  if (header.size() < 12 || std::memcmp(header.data() + header.size() - 8, "data", 4) != 0) {
    throw OutputError("cannot lay out a WAV header");
  }
  Put32(header.data() + 4, 0xFFFFFFFFu);
  Put32(header.data() + header.size() - 4, 0xFFFFFFFFu);
  return header;
}

bool Seekable(std::FILE* stream) {
  struct stat status {};
  return ::fstat(::fileno(stream), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

AudioWriter::AudioWriter(OutputFile& out, Container container, int sampleRate, int channels, bool floatSamples)
    : m_out(out), m_frameBytes(static_cast<std::size_t>(channels) * (floatSamples ? 4 : 2)) {
  if (container == Container::kRaw) return;
  if (!Seekable(out.Stream())) {
    const std::vector<std::uint8_t> header = StreamingWavHeader(sampleRate, channels, floatSamples);
    out.Write(header.data(), header.size());
    return;
  }
  // A regular file: libsndfile writes it and completes the sizes on close;
  // RF64 becomes a plain WAV when the data stays below 4 GiB.
  std::fflush(out.Stream());
  SF_INFO info{};
  info.samplerate = sampleRate;
  info.channels = channels;
  info.format = SndfileFormat(channels, floatSamples, true);
  m_sndfile = std::make_unique<Sndfile>();
  m_sndfile->file = sf_open_fd(::fileno(out.Stream()), SFM_WRITE, &info, SF_FALSE);
  if (m_sndfile->file == nullptr) throw OutputError("cannot write " + out.Name() + ": " + sf_strerror(nullptr));
  sf_command(m_sndfile->file, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
}

AudioWriter::~AudioWriter() = default;

void AudioWriter::Append(const void* samples, std::size_t bytes) {
  if (m_sndfile) {
    if (sf_write_raw(m_sndfile->file, samples, static_cast<sf_count_t>(bytes)) != static_cast<sf_count_t>(bytes)) {
      throw OutputError("cannot write " + m_out.Name() + ": " + sf_strerror(m_sndfile->file));
    }
    return;
  }
  m_out.Write(samples, bytes - bytes % m_frameBytes);
}

void AudioWriter::Close() {
  if (!m_sndfile) return;
  SNDFILE* file = m_sndfile->file;
  m_sndfile->file = nullptr;
  if (sf_close(file) != 0) throw OutputError("cannot write " + m_out.Name());
}

}  // namespace cli
