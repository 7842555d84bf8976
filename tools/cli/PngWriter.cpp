// PNG stills of rendered frames: libpng, or on Windows the system's image
// codecs, into an output file that is committed whole.
#include "Encoders.h"

#ifdef _WIN32
#include <windows.h>
#include <wincodec.h>

#include <comsupport/ComPtr.h>
#else
#include <png.h>
#endif

#include <cerrno>
#include <cstring>

namespace cli {

namespace {

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

}  // namespace

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

}  // namespace cli
