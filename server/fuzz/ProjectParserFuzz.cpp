// libFuzzer entry for the project file parser: any input must either parse
// or fail with a ProjectFormatError naming a line inside the input; a parsed
// model must write out and read back to the same text.
#include "ProjectFormat.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  linkserver::ParseOptions options;
  options.readImages = false;  // no file access from fuzzed paths
  try {
    const linkserver::ProjectModel model = linkserver::ParseProject(text, options);
    const std::string written = linkserver::WriteProject(model);
    const linkserver::ProjectModel again = linkserver::ParseProject(written, options);
    if (linkserver::WriteProject(again) != written) std::abort();
  } catch (const linkserver::ProjectFormatError& error) {
    std::size_t lines = 1;
    for (char c : text) lines += c == '\n';
    if (error.Line() < 1 || std::size_t(error.Line()) > lines) std::abort();
  }
  return 0;
}
