#include "Encoders.h"

#ifdef _WIN32
#include <windows.h>
#include <wincodec.h>

#include <comsupport/ComPtr.h>

#include <fcntl.h>
#include <io.h>
#else
#include <png.h>

#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <type_traits>

#include <sys/stat.h>

namespace cli {

namespace {

std::string Reason() { return std::strerror(errno); }

#ifndef _WIN32
// libpng's state for one file. Its callbacks keep what failed, since they
// leave by longjmp: errno of a failed write, or libpng's own text.
struct PngWrite {
  png_structp png = nullptr;
  png_infop info = nullptr;
  std::FILE* file = nullptr;
  int error = 0;
  char message[128] = "";
  ~PngWrite() { png_destroy_write_struct(&png, info != nullptr ? &info : nullptr); }

  static void OnWrite(png_structp png, png_bytep data, png_size_t bytes) {
    auto* self = static_cast<PngWrite*>(png_get_io_ptr(png));
    if (std::fwrite(data, 1, bytes, self->file) != bytes) Failed(png, self);
  }
  static void OnFlush(png_structp png) {
    auto* self = static_cast<PngWrite*>(png_get_io_ptr(png));
    if (std::fflush(self->file) != 0) Failed(png, self);
  }
  static void OnError(png_structp png, png_const_charp text) {
    auto* self = static_cast<PngWrite*>(png_get_error_ptr(png));
    std::snprintf(self->message, sizeof self->message, "%s", text);
    png_longjmp(png, 1);
  }
  [[noreturn]] static void Failed(png_structp png, PngWrite* self) {
    self->error = errno;
    png_longjmp(png, 1);
  }
};
#endif

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

// --- PNG ---------------------------------------------------------------------

#ifndef _WIN32

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
    // A failure of the file carries errno's reason; libpng's own text is
    // only for its own failures.
    if (write.error != 0) {
      errno = write.error;
      file.Fail("write");
    }
    throw OutputError("cannot write '" + path + "': " + write.message);
  }
  png_set_error_fn(write.png, &write, PngWrite::OnError, nullptr);
  png_set_write_fn(write.png, &write, PngWrite::OnWrite, PngWrite::OnFlush);
  write.file = file.Stream();
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

#else  // _WIN32

namespace {

// COM on the calling thread for as long as the PNG is written: the
// encoders run on threads of their own. A thread already in another
// apartment keeps it (RPC_E_CHANGED_MODE), and WIC works there as well.
struct ComScope {
  HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ~ComScope() {
    if (SUCCEEDED(hr)) ::CoUninitialize();
  }
};

void Check(HRESULT hr, const std::string& path, const char* step) {
  if (FAILED(hr)) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    throw OutputError("cannot write '" + path + "': " + step + " failed (" + code + ")");
  }
}

}  // namespace

// The system's own PNG encoder (WIC), into a stream in memory that is
// then written to the output file, so that the file is committed whole as
// on any other platform. WIC has no zlib level: low levels ask for the Sub
// filter, higher ones for the encoder's own choice per row.
void WritePng(const std::string& path, const FrameView& frame, int level) {
  OutputFile file(path);
  ComScope com;
  comsupport::CComPtr<IWICImagingFactory> factory;
  Check(::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                           reinterpret_cast<void**>(&factory)),
        path, "creating the image codec factory");
  comsupport::CComPtr<IStream> stream;
  Check(::CreateStreamOnHGlobal(nullptr, TRUE, &stream), path, "creating a stream in memory");
  comsupport::CComPtr<IWICBitmapEncoder> encoder;
  Check(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder), path, "creating the PNG encoder");
  Check(encoder->Initialize(stream.p, WICBitmapEncoderNoCache), path, "starting the PNG encoder");
  comsupport::CComPtr<IWICBitmapFrameEncode> target;
  comsupport::CComPtr<IPropertyBag2> options;
  Check(encoder->CreateNewFrame(&target, &options), path, "adding the frame");
  if (options.p != nullptr) {
    PROPBAG2 name{};
    name.pstrName = const_cast<LPOLESTR>(L"FilterOption");
    VARIANT value;
    ::VariantInit(&value);
    value.vt = VT_UI1;
    value.bVal = static_cast<BYTE>(level <= 3 ? WICPngFilterSub : WICPngFilterAdaptive);
    options->Write(1, &name, &value);  // a hint: an encoder without it still writes the file
  }
  Check(target->Initialize(options.p), path, "starting the frame");
  Check(target->SetSize(static_cast<UINT>(frame.width), static_cast<UINT>(frame.height)), path, "sizing the frame");
  // 8-bit frames go as BGRA (the order every PNG encoder of WIC takes),
  // 16- and 32-bit ones as 16-bit RGBA in host order.
  const bool wide = frame.depth != 8;
  const WICPixelFormatGUID wanted = wide ? GUID_WICPixelFormat64bppRGBA : GUID_WICPixelFormat32bppBGRA;
  WICPixelFormatGUID format = wanted;
  Check(target->SetPixelFormat(&format), path, "choosing the pixel format");
  if (!::IsEqualGUID(format, wanted)) throw OutputError("cannot write '" + path + "': the PNG encoder refuses RGBA");
  const std::size_t rowBytes = static_cast<std::size_t>(frame.width) * (wide ? 8 : 4);
  std::vector<std::uint8_t> converted(rowBytes);
  for (int y = 0; y < frame.height; ++y) {
    const std::uint8_t* row = frame.data + static_cast<std::size_t>(y) * frame.rowBytes;
    if (frame.depth == 8) {
      for (int x = 0; x < frame.width; ++x) {
        converted[4 * x] = row[4 * x + 2];
        converted[4 * x + 1] = row[4 * x + 1];
        converted[4 * x + 2] = row[4 * x];
        converted[4 * x + 3] = row[4 * x + 3];
      }
    } else if (frame.depth == 32) {
      for (int i = 0; i < frame.width * 4; ++i) {
        float value;
        std::memcpy(&value, row + 4 * i, 4);
        const std::uint16_t word = FloatToWord(value);
        std::memcpy(converted.data() + 2 * i, &word, 2);
      }
    } else {
      std::memcpy(converted.data(), row, rowBytes);
    }
    Check(target->WritePixels(1, static_cast<UINT>(rowBytes), static_cast<UINT>(rowBytes), converted.data()), path,
          "writing a row");
  }
  Check(target->Commit(), path, "completing the frame");
  Check(encoder->Commit(), path, "completing the file");
  HGLOBAL memory = nullptr;
  Check(::GetHGlobalFromStream(stream.p, &memory), path, "reading the stream in memory");
  STATSTG status{};
  Check(stream->Stat(&status, STATFLAG_NONAME), path, "sizing the stream in memory");
  const void* bytes = ::GlobalLock(memory);
  if (bytes == nullptr) throw OutputError("cannot write '" + path + "': the stream in memory is not readable");
  try {
    file.Write(bytes, static_cast<std::size_t>(status.cbSize.QuadPart));
  } catch (...) {
    ::GlobalUnlock(memory);
    throw;
  }
  ::GlobalUnlock(memory);
  file.Commit();
}

#endif  // _WIN32

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

namespace {

void Put16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}
void Put32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
void Put64(std::uint8_t* at, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The header's layout: RIFF, a JUNK chunk that keeps the room of a ds64
// chunk (it becomes one when the data passes what 32-bit sizes hold), fmt
// (plain PCM for 16-bit mono and stereo, the extensible form for float and
// more channels), fact for float samples, and the data chunk's header.
constexpr std::size_t kRiffSizeAt = 4;
constexpr std::size_t kJunkAt = 12;
constexpr std::size_t kJunkBytes = 28;  // ds64: RIFF size, data size, sample count, an empty table
constexpr std::uint32_t kUnknownSize = 0xFFFFFFFFu;

bool Seekable(std::FILE* stream) {
#ifdef _WIN32
  struct _stat64 status {};
  return ::_fstat64(::_fileno(stream), &status) == 0 && (status.st_mode & _S_IFMT) == _S_IFREG;
#else
  struct stat status {};
  return ::fstat(::fileno(stream), &status) == 0 && S_ISREG(status.st_mode);
#endif
}

}  // namespace

AudioWriter::AudioWriter(OutputFile& out, Container container, int sampleRate, int channels, bool floatSamples)
    : m_out(out),
      m_wav(container == Container::kWav),
      m_frameBytes(static_cast<std::size_t>(channels) * (floatSamples ? 4 : 2)) {
  if (!m_wav) return;
  const bool extensible = floatSamples || channels > 2;
  const std::uint16_t bits = floatSamples ? 32 : 16;
  const std::size_t fmtBytes = extensible ? 40 : 16;
  std::vector<std::uint8_t> header(12 + 8 + kJunkBytes + 8 + fmtBytes + (floatSamples ? 12 : 0) + 8, 0);
  std::uint8_t* at = header.data();
  std::memcpy(at, "RIFF", 4);
  std::memcpy(at + 8, "WAVE", 4);
  at += 12;
  std::memcpy(at, "JUNK", 4);
  Put32(at + 4, kJunkBytes);
  at += 8 + kJunkBytes;
  std::memcpy(at, "fmt ", 4);
  Put32(at + 4, static_cast<std::uint32_t>(fmtBytes));
  Put16(at + 8, extensible ? 0xFFFE : 1);  // WAVE_FORMAT_EXTENSIBLE, WAVE_FORMAT_PCM
  Put16(at + 10, static_cast<std::uint16_t>(channels));
  Put32(at + 12, static_cast<std::uint32_t>(sampleRate));
  Put32(at + 16, static_cast<std::uint32_t>(sampleRate * m_frameBytes));
  Put16(at + 20, static_cast<std::uint16_t>(m_frameBytes));
  Put16(at + 22, bits);
  if (extensible) {
    Put16(at + 24, 22);
    Put16(at + 26, bits);
    // The usual speaker positions for 1 to 8 channels; none named past that.
    static const std::uint32_t kMasks[] = {0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x13F, 0x63F};
    Put32(at + 28, channels <= 8 ? kMasks[channels - 1] : 0);
    // KSDATAFORMAT_SUBTYPE_PCM or _IEEE_FLOAT: the format tag in the first
    // word of the base GUID.
    static const std::uint8_t kSubtype[16] = {0,    0,    0,    0,    0x00, 0x00, 0x10, 0x00,
                                              0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    std::memcpy(at + 32, kSubtype, 16);
    Put16(at + 32, floatSamples ? 3 : 1);
  }
  at += 8 + fmtBytes;
  if (floatSamples) {
    std::memcpy(at, "fact", 4);
    Put32(at + 4, 4);
    m_factAt = static_cast<std::size_t>(at + 8 - header.data());
    at += 12;
  }
  std::memcpy(at, "data", 4);
  m_dataSizeAt = static_cast<std::size_t>(at + 4 - header.data());
  // On a pipe the sizes cannot be completed: at their largest, readers of
  // streams take them as "until the end of the stream".
  m_seekable = Seekable(out.Stream());
  if (!m_seekable) {
    Put32(header.data() + kRiffSizeAt, kUnknownSize);
    Put32(header.data() + m_dataSizeAt, kUnknownSize);
    if (m_factAt != 0) Put32(header.data() + m_factAt, kUnknownSize);
  }
  out.Write(header.data(), header.size());
  m_header = std::move(header);
}

AudioWriter::~AudioWriter() = default;

void AudioWriter::Append(const void* samples, std::size_t bytes) {
  const std::size_t whole = bytes - bytes % m_frameBytes;
  m_out.Write(samples, whole);
  m_dataBytes += whole;
}

void AudioWriter::Close() {
  if (!m_wav || !m_seekable) return;
  // The data of whole 16- or 32-bit frames has an even length: no pad byte.
  std::vector<std::uint8_t>& header = m_header;
  const std::uint64_t riffBytes = header.size() - 8 + m_dataBytes;
  const std::uint64_t frames = m_dataBytes / m_frameBytes;
  const bool rf64 = riffBytes > kUnknownSize - 1;
  std::FILE* stream = m_out.Stream();
  if (rf64) {
    // RF64: the 32-bit sizes say "see ds64", which holds the 64-bit ones.
    std::memcpy(header.data(), "RF64", 4);
    Put32(header.data() + kRiffSizeAt, kUnknownSize);
    std::memcpy(header.data() + kJunkAt, "ds64", 4);
    Put64(header.data() + kJunkAt + 8, riffBytes);
    Put64(header.data() + kJunkAt + 16, m_dataBytes);
    Put64(header.data() + kJunkAt + 24, frames);
    Put32(header.data() + kJunkAt + 32, 0);
    Put32(header.data() + m_dataSizeAt, kUnknownSize);
    if (m_factAt != 0) Put32(header.data() + m_factAt, kUnknownSize);
  } else {
    Put32(header.data() + kRiffSizeAt, static_cast<std::uint32_t>(riffBytes));
    Put32(header.data() + m_dataSizeAt, static_cast<std::uint32_t>(m_dataBytes));
    if (m_factAt != 0) Put32(header.data() + m_factAt, static_cast<std::uint32_t>(frames));
  }
  if (std::fflush(stream) != 0 || std::fseek(stream, 0, SEEK_SET) != 0) {
    throw OutputError("cannot complete the header of " + m_out.Name() + ": " + Reason());
  }
  m_out.Write(header.data(), header.size());
}

}  // namespace cli
