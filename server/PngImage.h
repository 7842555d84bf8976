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

// The most pixels a still may have: 8192 x 8192, 256 MiB decoded as RGBA.
// The size is read from the file's header and a larger still is refused
// before anything is allocated for its pixels, as a small file of zeros can
// claim a picture of gigabytes. The bound is half the frame cache's default
// budget while rendering, so that a still this large is still kept.
inline constexpr std::uint64_t kMaxStillPixels = 8192ull * 8192ull;

struct PngSize {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// Both open the file once, refuse anything but a regular file and a still of
// more than kMaxStillPixels, and throw std::runtime_error with a message
// naming the file and the reason.
PngSize ReadPngSize(const std::filesystem::path& path);
PngImage ReadPng(const std::filesystem::path& path);
// Whether the file starts with the PNG signature; false for unreadable files.
bool LooksLikePng(const std::filesystem::path& path);
// For tests and tools: writes 8-bit RGBA.
void WritePng(const std::filesystem::path& path, const PngImage& image);

}  // namespace linkserver
