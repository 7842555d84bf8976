#include "PngImage.h"

#include "RegularFile.h"

#include <comsupport/UniqueResource.h>
#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace linkserver {

namespace {

struct StdioFileTraits {
  using Type = std::FILE*;
  static Type Empty() noexcept { return nullptr; }
  static void Release(Type file) noexcept { std::fclose(file); }
};
using UniqueFile = comsupport::UniqueResource<StdioFileTraits>;

// libpng reads from a stream of ours: png_image_free leaves it open, the
// owner closes it after the image is freed.
struct ImageReader {
  UniqueFile file;
  png_image image;
  ImageReader() {
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
  }
  ~ImageReader() { png_image_free(&image); }
};

[[noreturn]] void Throw(const std::filesystem::path& path, const std::string& reason) {
  throw std::runtime_error("cannot read image '" + path.string() + "': " + reason);
}

void Begin(ImageReader& reader, const std::filesystem::path& path) {
  RegularFile opened;
  try {
    opened = OpenRegularFile(path);
  } catch (const FileOpenError& failure) {
    Throw(path, failure.NotFound() ? std::string("no such file")
                                   : (failure.Error() ? "" : "it ") + std::string(failure.what()));
  }
  reader.file.Reset(fdopen(opened.fd.Get(), "rb"));
  if (!reader.file) Throw(path, std::strerror(errno));
  opened.fd.Detach();  // the stream closes it now
  if (!png_image_begin_read_from_stdio(&reader.image, reader.file.Get())) Throw(path, reader.image.message);
  const std::uint32_t width = reader.image.width, height = reader.image.height;
  if (std::uint64_t(width) * height > kMaxStillPixels) {
    Throw(path, "the image is " + std::to_string(width) + "x" + std::to_string(height) +
                    " pixels, more than a still may have (8192x8192 = " + std::to_string(kMaxStillPixels) + ")");
  }
}

}  // namespace

PngSize ReadPngSize(const std::filesystem::path& path) {
  ImageReader reader;
  Begin(reader, path);
  return PngSize{reader.image.width, reader.image.height};
}

PngImage ReadPng(const std::filesystem::path& path) {
  ImageReader reader;
  Begin(reader, path);
  reader.image.format = PNG_FORMAT_RGBA;
  PngImage result;
  result.width = reader.image.width;
  result.height = reader.image.height;
  result.rgba.resize(PNG_IMAGE_SIZE(reader.image));
  if (!png_image_finish_read(&reader.image, nullptr, result.rgba.data(), 0, nullptr)) {
    Throw(path, reader.image.message);
  }
  return result;
}

bool LooksLikePng(const std::filesystem::path& path) {
  try {
    const RegularFile file = OpenRegularFile(path);
    png_byte signature[8] = {};
    return ReadFully(file.fd.Get(), signature, sizeof signature) == std::ptrdiff_t(sizeof signature) &&
           png_sig_cmp(signature, 0, sizeof signature) == 0;
  } catch (const FileOpenError&) {
    return false;
  }
}

void WritePng(const std::filesystem::path& path, const PngImage& image) {
  const auto fail = [&](const std::string& reason) {
    throw std::runtime_error("cannot write image '" + path.string() + "': " + reason);
  };
  UniqueFile file(std::fopen(path.c_str(), "wb"));
  if (!file) fail(std::strerror(errno));
  png_image info;
  std::memset(&info, 0, sizeof info);
  info.version = PNG_IMAGE_VERSION;
  info.width = image.width;
  info.height = image.height;
  info.format = PNG_FORMAT_RGBA;
  // The system's reason when a write failed (libpng says only "Write
  // Error"), else libpng's own; a full disk often shows only at fclose.
  errno = 0;
  std::string reason;
  if (!png_image_write_to_stdio(&info, file.Get(), 0, image.rgba.data(), 0, nullptr)) {
    reason = std::ferror(file.Get()) && errno != 0 ? std::strerror(errno) : info.message;
  }
  png_image_free(&info);
  if (std::fclose(file.Detach()) != 0 && reason.empty()) reason = std::strerror(errno);
  if (!reason.empty()) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    fail(reason);
  }
}

}  // namespace linkserver
