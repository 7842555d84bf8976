// Still images on Windows, read and written by the system's image codecs
// (the imaging component's PNG decoder and encoder): the Windows build has
// no libpng. Same interface and messages as PngImage.cpp.
//
// Any thread may read an image: a thread without COM joins the
// multithreaded apartment for the call and leaves it afterwards; a thread
// already in an apartment keeps it.
#include "PngImage.h"

#include <objbase.h>
#include <wincodec.h>

#include "RegularFile.h"

#include <comsupport/ComPtr.h>

#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace linkserver {

namespace {

constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// Joins the multithreaded apartment for one call when the thread is in none.
class ApartmentForCall {
 public:
  ApartmentForCall() : m_joined(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
  ~ApartmentForCall() {
    if (m_joined) CoUninitialize();
  }
  ApartmentForCall(const ApartmentForCall&) = delete;
  ApartmentForCall& operator=(const ApartmentForCall&) = delete;

 private:
  bool m_joined;
};

std::string Code(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

[[noreturn]] void Throw(const std::filesystem::path& path, const std::string& reason) {
  throw std::runtime_error("cannot read image '" + path.string() + "': " + reason);
}

void Check(HRESULT hr, const std::filesystem::path& path, const char* what) {
  if (FAILED(hr)) Throw(path, std::string(what) + " (" + Code(hr) + ")");
}

void MakeFactory(comsupport::CComPtr<IWICImagingFactory>& factory, const std::filesystem::path& path) {
  Check(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                         reinterpret_cast<void**>(&factory)),
        path, "the system's image codecs are not available");
}

bool HasSignature(int fd) {
  unsigned char signature[sizeof kSignature] = {};
  return ReadFully(fd, signature, sizeof signature) == std::ptrdiff_t(sizeof signature) &&
         std::memcmp(signature, kSignature, sizeof kSignature) == 0;
}

[[noreturn]] void ThrowTooLarge(const std::filesystem::path& path, std::uint64_t width, std::uint64_t height) {
  Throw(path, "the image is " + std::to_string(width) + "x" + std::to_string(height) +
                  " pixels, more than a still may have (8192x8192 = " + std::to_string(kMaxStillPixels) + ")");
}

// The first frame of a PNG file, its size checked. The decoder reads through
// `file`, which must outlive `frame`.
void OpenFrame(IWICImagingFactory* factory, const std::filesystem::path& path, RegularFile& file,
               comsupport::CComPtr<IWICBitmapFrameDecode>& frame, UINT& width, UINT& height) {
  try {
    file = OpenRegularFile(path);
  } catch (const FileOpenError& failure) {
    Throw(path, failure.NotFound() ? std::string("no such file")
                                   : (failure.Error() ? "" : "it ") + std::string(failure.what()));
  }
  if (!HasSignature(file.fd.Get())) Throw(path, "not a PNG file");
  // A PNG begins with its IHDR chunk: the size is checked here, before a
  // decoder sees the file, as a decoder may decode every pixel on opening.
  unsigned char ihdr[16] = {};
  if (ReadFully(file.fd.Get(), ihdr, sizeof ihdr) == std::ptrdiff_t(sizeof ihdr) &&
      std::memcmp(ihdr + 4, "IHDR", 4) == 0) {
    const auto word = [&](int at) {
      return std::uint64_t(ihdr[at]) << 24 | std::uint64_t(ihdr[at + 1]) << 16 | ihdr[at + 2] << 8 | ihdr[at + 3];
    };
    if (word(8) * word(12) > kMaxStillPixels) ThrowTooLarge(path, word(8), word(12));
  }
  if (_lseeki64(file.fd.Get(), 0, SEEK_SET) != 0) Throw(path, std::strerror(errno));
  const auto handle = static_cast<ULONG_PTR>(_get_osfhandle(file.fd.Get()));
  comsupport::CComPtr<IWICBitmapDecoder> decoder;
  Check(factory->CreateDecoderFromFileHandle(handle, nullptr, WICDecodeMetadataCacheOnDemand, &decoder), path,
        "the PNG decoder refuses it");
  Check(decoder->GetFrame(0, &frame), path, "it holds no image");
  Check(frame->GetSize(&width, &height), path, "it has no size");
  if (std::uint64_t(width) * height > kMaxStillPixels) ThrowTooLarge(path, width, height);
}

}  // namespace

PngSize ReadPngSize(const std::filesystem::path& path) {
  ApartmentForCall apartment;
  comsupport::CComPtr<IWICImagingFactory> factory;
  MakeFactory(factory, path);
  RegularFile file;
  comsupport::CComPtr<IWICBitmapFrameDecode> frame;
  UINT width = 0, height = 0;
  OpenFrame(factory.p, path, file, frame, width, height);
  return PngSize{width, height};
}

PngImage ReadPng(const std::filesystem::path& path) {
  ApartmentForCall apartment;
  comsupport::CComPtr<IWICImagingFactory> factory;
  MakeFactory(factory, path);
  RegularFile file;
  comsupport::CComPtr<IWICBitmapFrameDecode> frame;
  UINT width = 0, height = 0;
  OpenFrame(factory.p, path, file, frame, width, height);
  // Straight (not premultiplied) 8-bit RGBA whatever the file's own format.
  comsupport::CComPtr<IWICBitmapSource> rgba;
  Check(WICConvertBitmapSource(GUID_WICPixelFormat32bppRGBA, frame.p, &rgba), path, "it cannot be converted to RGBA");
  PngImage result;
  result.width = width;
  result.height = height;
  result.rgba.resize(std::size_t(width) * height * 4);
  Check(rgba->CopyPixels(nullptr, width * 4, static_cast<UINT>(result.rgba.size()), result.rgba.data()), path,
        "its pixels cannot be decoded");
  return result;
}

bool LooksLikePng(const std::filesystem::path& path) {
  try {
    return HasSignature(OpenRegularFile(path).fd.Get());
  } catch (const FileOpenError&) {
    return false;
  }
}

void WritePng(const std::filesystem::path& path, const PngImage& image) {
  const auto fail = [&](const char* what, HRESULT hr) {
    throw std::runtime_error("cannot write image '" + path.string() + "': " + what + " (" + Code(hr) + ")");
  };
  ApartmentForCall apartment;
  comsupport::CComPtr<IWICImagingFactory> factory;
  HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) fail("the system's image codecs are not available", hr);
  // Every PNG encoder of the imaging component takes 8-bit BGRA.
  std::vector<std::uint8_t> bgra(image.rgba);
  for (std::size_t i = 0; i + 3 < bgra.size(); i += 4) std::swap(bgra[i], bgra[i + 2]);
  comsupport::CComPtr<IWICStream> stream;
  comsupport::CComPtr<IWICBitmapEncoder> encoder;
  comsupport::CComPtr<IWICBitmapFrameEncode> frame;
  WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
  if (FAILED(hr = factory->CreateStream(&stream)) ||
      FAILED(hr = stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE))) {
    fail("cannot create the file", hr);
  }
  const bool written =
      SUCCEEDED(hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) &&
      SUCCEEDED(hr = encoder->Initialize(stream.p, WICBitmapEncoderNoCache)) &&
      SUCCEEDED(hr = encoder->CreateNewFrame(&frame, nullptr)) && SUCCEEDED(hr = frame->Initialize(nullptr)) &&
      SUCCEEDED(hr = frame->SetSize(image.width, image.height)) && SUCCEEDED(hr = frame->SetPixelFormat(&format)) &&
      (IsEqualGUID(format, GUID_WICPixelFormat32bppBGRA) || (hr = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT, false)) &&
      SUCCEEDED(hr = frame->WritePixels(image.height, image.width * 4, static_cast<UINT>(bgra.size()), bgra.data())) &&
      SUCCEEDED(hr = frame->Commit()) && SUCCEEDED(hr = encoder->Commit());
  if (!written) fail("the PNG encoder failed", hr);
}

}  // namespace linkserver
