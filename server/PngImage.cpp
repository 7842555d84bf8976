#include "PngImage.h"

#include <png.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace linkserver {

namespace {

// The largest image the server agrees to decode: 16384 x 16384 RGBA.
constexpr std::uint64_t kMaxPixels = 16384ull * 16384ull;

struct ImageReader {
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
  if (!std::filesystem::is_regular_file(path)) Throw(path, "no such file");
  if (!png_image_begin_read_from_file(&reader.image, path.c_str())) Throw(path, reader.image.message);
  if (std::uint64_t(reader.image.width) * reader.image.height > kMaxPixels) Throw(path, "the image is too large");
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
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  png_byte signature[8] = {};
  const bool complete = std::fread(signature, 1, sizeof signature, file) == sizeof signature;
  std::fclose(file);
  return complete && png_sig_cmp(signature, 0, sizeof signature) == 0;
}

void WritePng(const std::filesystem::path& path, const PngImage& image) {
  png_image info;
  std::memset(&info, 0, sizeof info);
  info.version = PNG_IMAGE_VERSION;
  info.width = image.width;
  info.height = image.height;
  info.format = PNG_FORMAT_RGBA;
  if (!png_image_write_to_file(&info, path.c_str(), 0, image.rgba.data(), 0, nullptr)) {
    const std::string reason = info.message;
    png_image_free(&info);
    throw std::runtime_error("cannot write image '" + path.string() + "': " + reason);
  }
}

}  // namespace linkserver
