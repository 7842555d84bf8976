// Renders frames of a source to PNG files: the server writes each frame
// into a section of shared memory this host created, and libpng encodes the
// rows from there, without a copy.
//
//   render_png PROJECT SOURCE [FRAMES [DIRECTORY]]
//
// SOURCE is a name or a GUID. FRAMES as moravane-cli reads them: "N" one
// frame, "A:B" frames A up to B (B excluded), "A:B:STEP", negative numbers
// counting from the end; default "0". Files are DIRECTORY/frame-000042.png
// (default the current directory).
//
// Exit codes: 0 written; 2 wrong usage (no such project file, source or
// frames, no such directory); 3 a link error; 4 a file that cannot be written.
#include "HostMain.h"

#include <moravane/Host.h>
#include <moravane/Link.h>
#include <moravane/LinkError.h>
#include <moravane/MemoryMappedFile.h>
#include <moravane/Project.h>
#include <moravane/Server.h>

#include <png.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

using hostmain::OutputError;
using hostmain::ProjectPath;

namespace {

// Writes beside the target and renames, so that a frame file is complete or
// absent. libpng's simplified interface reports errors by return value,
// which keeps its longjmp away from C++ objects.
void WritePng(const std::string& path, const moravane::host::FrameLayout& layout, const void* rows) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(layout.width);
  image.height = static_cast<png_uint_32>(layout.height);
  image.format = PNG_FORMAT_RGBA;
  const std::string partial = path + ".partial";
  // The stride is counted in components: one byte each at 8 bits.
  if (!png_image_write_to_file(&image, partial.c_str(), 0, rows, static_cast<png_int_32>(layout.rowBytes), nullptr)) {
    std::remove(partial.c_str());
    throw OutputError("cannot write '" + path + "': " + image.message);
  }
  std::error_code error;
  std::filesystem::rename(partial, path, error);
  if (error) {
    std::remove(partial.c_str());
    throw OutputError("cannot write '" + path + "': " + error.message());
  }
}

int Render(const std::string& path, const std::string& wanted, const std::string& frames,
           const std::string& directory) {
  const moravane::WideString absolute = ProjectPath(path);
  if (!std::filesystem::is_directory(directory)) {
    throw moravane::host::RequestError("'" + directory + "' is not a directory");
  }
  const moravane::host::FrameRange range = moravane::host::ParseFrameRange(frames);

  moravane::OrraServer orra;
  moravane::Server server = orra.CreateLink();
  moravane::Project project = server.OpenProject(absolute);
  // By GUID or by name; a source the project lacks is a RequestError.
  moravane::Source source = moravane::host::FindSource(project, wanted);
  if (!source.HasVideo()) throw moravane::host::RequestError("the source '" + wanted + "' has no video");
  const moravane::host::SourceFacts facts = moravane::host::ProbeSource(source);
  const moravane::host::FrameSpan span = moravane::host::ResolveFrameRange(range, facts.frames);
  // Frame n starts at n / rate seconds, n * denominator / numerator: the
  // link carries that as two 32-bit numbers.
  if (static_cast<long long>(span.end - 1) * facts.rate.second > INT_MAX) {
    throw moravane::host::RequestError("frame " + std::to_string(span.end - 1) + " is too far for the link");
  }

  moravane::Renderer renderer = source.GetRenderer();
  moravane::VideoRenderOptions options = renderer.CreateVideoRenderOptions();
  // The server's defaults are BGRA at the source's depth; PNG wants RGBA,
  // and 8 bits keeps the rows as libpng takes them on any source.
  options.SetChannelOrder(1);
  options.SetBitDepth(8);
  const moravane::host::FrameLayout layout = moravane::host::FrameLayoutOf(options, source.GetFrameSize());

  // The host owns the section; the server opens it by name for the length
  // of the render and writes every frame into it.
  const std::string sectionName = "moravane-render-png-" + std::to_string(::getpid());
  moravane::MemoryMappedFile section;
  section.Init(true, sectionName, layout.frameBytes);
  const void* rows = section.GetAddress();

  // Ends the render on every way out: a frame that fails, a file that
  // cannot be written, a lost link.
  auto render = moravane::host::ScopedRender::Video(renderer, options, sectionName, layout.frameBytes);
  for (long n = span.first; n < span.end; n += span.step) {
    const long long ticks = static_cast<long long>(n) * facts.rate.second;
    ULONGLONG written = 0;
    renderer.RenderVideo({static_cast<std::int32_t>(ticks), facts.rate.first}, &written);
    char name[32];
    std::snprintf(name, sizeof name, "frame-%06ld.png", n);
    const std::string file = (std::filesystem::path(directory) / name).string();
    WritePng(file, layout, rows);
    std::printf("%s  %dx%d\n", file.c_str(), layout.width, layout.height);
  }
  render.End();
  server.CloseProject(project);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) {
    std::fprintf(stderr, "usage: render_png PROJECT SOURCE [FRAMES [DIRECTORY]]\n");
    return 2;
  }
  return hostmain::Run("render_png",
                       [&] { return Render(argv[1], argv[2], argc > 3 ? argv[3] : "0", argc > 4 ? argv[4] : "."); });
}
