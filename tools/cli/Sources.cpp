// The link helpers of the commands: paths as the link carries them.
#include "Cli.h"

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

}  // namespace cli
