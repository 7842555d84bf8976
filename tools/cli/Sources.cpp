// The link helpers of the commands: paths as the link carries them, frame
// rates and counts.
#include "Cli.h"

#include <cmath>
#include <filesystem>
#include <system_error>

namespace cli {

std::string Narrow(const WideString& text) { return UTF16ToUTF8(text); }

// Paths cross the link as UTF-16 text: bytes that are not UTF-8 have no
// such text, and would arrive as another name that the server cannot find.
WideString AbsolutePath(const std::string& path) {
  if (!path.empty() && ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                                             nullptr, 0) == 0) {
    throw UsageError("the path '" + path +
                     "' is not valid UTF-8: the link carries paths as Unicode text and cannot name this file");
  }
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return AsciiToUTF16(error ? path : absolute.string());
}

// The frame rate as a fraction for the stream header and frame times.
std::pair<int, int> RateFraction(double rate) {
  for (int denominator : {1, 1001, 1000, 100000}) {
    const double numerator = std::round(rate * denominator);
    if (std::abs(numerator / denominator - rate) < 1e-7 * rate) return {static_cast<int>(numerator), denominator};
  }
  return {static_cast<int>(std::lround(rate * 1000)), 1000};
}

// Whole frames within the duration: those that start before it ends.
long FrameCount(const kelvex::time::RatioTime& duration, std::pair<int, int> rate) {
  if (duration.scale <= 0 || duration.value <= 0 || rate.first <= 0) return 0;
  const long long numerator = static_cast<long long>(duration.value) * rate.first;
  const long long denominator = static_cast<long long>(duration.scale) * rate.second;
  return static_cast<long>((numerator + denominator - 1) / denominator);
}

// What ffmpeg needs to read `--format raw` frames of this depth.
std::string FfmpegRawInput(int width, int height, int depth, std::pair<int, int> rate) {
  const char* format = depth == 8 ? "rgba" : depth == 16 ? "rgba64le" : nullptr;
  if (format == nullptr) return "";
  return "-f rawvideo -pix_fmt " + std::string(format) + " -video_size " + std::to_string(width) + "x" +
         std::to_string(height) + " -framerate " + std::to_string(rate.first) + "/" + std::to_string(rate.second);
}

}  // namespace cli
