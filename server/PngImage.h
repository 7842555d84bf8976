// Still images for image sources: read with libpng's simplified API (no
// setjmp crosses our frames; PngImage.cpp), on Windows with the system's
// image codecs (WicImage.cpp). Pixels are kept as 8-bit straight RGBA.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace linkserver {

struct PngImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> rgba;  // width * height * 4, rows top to bottom

  std::size_t Bytes() const { return rgba.size(); }
};

struct PngSize {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// Both throw std::runtime_error with a message naming the file and the reason.
PngSize ReadPngSize(const std::filesystem::path& path);
PngImage ReadPng(const std::filesystem::path& path);
// Whether the file starts with the PNG signature; false for unreadable files.
bool LooksLikePng(const std::filesystem::path& path);
// For tests and tools: writes 8-bit RGBA.
void WritePng(const std::filesystem::path& path, const PngImage& image);

}  // namespace linkserver
