// moravane-cli: a host of the link server on the command line, built on the
// library's public interface only.
//
//   moravane-cli info
//   moravane-cli tree PROJECT
//   moravane-cli render PROJECT --source GUID|NAME --frames A:B [options]
//   moravane-cli audio PROJECT --source GUID|NAME --seconds N [options]
//   moravane-cli send-file PATH [--project PROJECT]
//
// Every failure of the link ends the program with exit code 3 and a message
// that carries the error's code and the server's text; wrong usage ends it
// with 2 and output files that cannot be written with 4.
#include "Encoders.h"

#include <moravane/Items.h>
#include <moravane/Link.h>
#include <moravane/LinkError.h>
#include <moravane/MemoryMappedFile.h>
#include <moravane/OrraExtras.h>
#include <moravane/Project.h>
#include <moravane/RenderOptions.h>
#include <moravane/Renderer.h>
#include <moravane/Server.h>
#include <moravane/Source.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using kelvex::utility::AsciiToUTF16;
using kelvex::utility::UTF16ToUTF8;
using moravane::WideString;

constexpr int kExitLink = 3;
constexpr int kExitOutput = 4;

// What a result code means, for a link error that came without a text of
// the server's; null for a code this program does not know.
const char* CodeText(HRESULT code) {
  static const struct {
    HRESULT code;
    const char* text;
  } kTexts[] = {
      {E_INVALIDARG, "an argument is not valid"},
      {E_OUTOFMEMORY, "out of memory"},
      {E_ACCESSDENIED, "access denied"},
      {E_FAIL, "unspecified failure"},
      {E_UNEXPECTED, "unexpected failure"},
      {E_NOINTERFACE, "the object does not offer the interface asked for"},
      {E_POINTER, "a pointer argument is null"},
      {E_NOTIMPL, "not implemented"},
      {REGDB_E_CLASSNOTREG, "the link server is not registered (run orra_linkserver_host --register)"},
      {CO_E_SERVER_EXEC_FAILURE, "the link server could not be started, or did not answer in time"},
      {HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), "the link server is not available (it has ended)"},
      {HRESULT_FROM_WIN32(RPC_S_CALL_FAILED), "the link server ended during the call"},
      {HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "file not found"},
      {HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), "access denied"},
      {HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY), "not enough memory"},
      {moravane::kNoRemoteObject, "the handle is not linked to an object"},
      {moravane::kSharedMemoryFailed, "the shared memory section could not be created or mapped"},
  };
  for (const auto& row : kTexts) {
    if (row.code == code) return row.text;
  }
  return nullptr;
}

// A request that the program refuses before anything reaches the server.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

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

// A progress bar on stderr, drawn only when stderr is a terminal.
class Progress {
 public:
  Progress(const char* what, long total, bool quiet)
      : m_what(what), m_total(std::max(total, 1L)), m_on(!quiet && ::isatty(2) == 1) {}
  ~Progress() {
    if (m_on && m_drawn) std::fputc('\n', stderr);
  }
  void Update(long done) {
    if (!m_on) return;
    const int width = 40;
    const int filled = static_cast<int>(width * std::min(done, m_total) / m_total);
    std::fprintf(stderr, "\r%s [%.*s%*s] %ld/%ld", m_what, filled, "########################################",
                 width - filled, "", done, m_total);
    std::fflush(stderr);
    m_drawn = true;
  }

 private:
  const char* m_what;
  long m_total;
  bool m_on;
  bool m_drawn = false;
};

// A section name of this process, so that concurrent hosts never share one.
std::string SectionName(const char* use) { return "moravane-cli-" + std::to_string(::getpid()) + "-" + use; }

struct Link {
  moravane::OrraServer factory;
  moravane::Server server;
  Link() : server(factory.CreateLink()) {}
};

// Walks the tree depth first; `visit` gets each item and its depth.
template <class Visit>
void Walk(moravane::Item item, int depth, Visit&& visit) {
  visit(item, depth);
  moravane::Container container(item);
  if (!container.IsLinked()) return;
  for (moravane::Item child = container.GetFirstItem(); child.IsLinked(); child = container.GetNextItem(child)) {
    Walk(child, depth + 1, visit);
  }
}

moravane::Source FindSource(moravane::Project& project, const std::string& wanted) {
  if (const auto id = kelvex::utility::Guid::Parse(wanted)) return project.GetSource(*id);
  std::optional<kelvex::utility::Guid> found;
  int matches = 0;
  Walk(project.GetRootItem(), 0, [&](moravane::Item& item, int) {
    if (item.GetType() == moravane::kItemType1 && Narrow(item.GetName()) == wanted) {
      found = item.GetID();
      ++matches;
    }
  });
  if (matches == 0) throw UsageError("the project has no source named '" + wanted + "'");
  if (matches > 1)
    throw UsageError("the project has " + std::to_string(matches) + " sources named '" + wanted +
                     "'; give its GUID instead");
  return project.GetSource(*found);
}

// --- info, tree, send-file ---------------------------------------------------

int Info() {
  Link link;
  std::printf("server version       %d\n", static_cast<int>(link.server.GetVersion()));
  std::printf("minimum memory       %llu bytes\n",
              static_cast<unsigned long long>(link.server.GetMinimumMemoryRequirements()));
  std::printf("current memory usage %llu bytes\n",
              static_cast<unsigned long long>(link.server.GetCurrentMemoryUsage()));
  std::printf("project extension    %s\n", Narrow(link.server.GetProjectExtension()).c_str());
  return 0;
}

int Tree(const std::string& path) {
  Link link;
  moravane::Project project = link.server.OpenProject(AbsolutePath(path));
  std::printf("%s\n", Narrow(project.GetName()).c_str());
  Walk(project.GetRootItem(), 0, [](moravane::Item& item, int depth) {
    const bool source = item.GetType() == moravane::kItemType1;
    const bool bin = moravane::Container(item).IsLinked();
    std::printf("%*s%s  %s  %s\n", depth * 2, "", item.GetID().ToString().c_str(),
                source ? "source" : (bin ? "bin   " : "item  "), Narrow(item.GetName()).c_str());
  });
  link.server.CloseProject(project);
  return 0;
}

int SendFile(const std::string& path, const std::string& projectPath) {
  Link link;
  // The application adds the file to the project opened last on this link.
  moravane::Project project;
  if (!projectPath.empty()) project = link.server.OpenProject(AbsolutePath(projectPath));
  moravane::OrraExtras extras(link.server);
  if (!extras.IsLinked()) throw moravane::LinkError(E_NOINTERFACE);
  extras.SendFile(AbsolutePath(path));
  std::printf("sent %s\n", path.c_str());
  return 0;
}

// --- render ------------------------------------------------------------------

struct RenderRequest {
  std::string project;
  std::string source;
  std::string frames;
  std::string format = "png";
  std::string output = ".";
  std::string prefix = "frame-";
  int width = 0;
  int height = 0;
  int depth = 0;
  std::vector<int> downsample;
  std::vector<int> region;
  int fieldOrder = 0;
  int rowBytes = 0;
  bool lowQuality = false;
  bool guides = false;
  bool premultiply = false;
  unsigned long long sectionSize = 0;
  bool quiet = false;
};

// "A:B" is frames A up to, not including, B; "N" is frame N alone.
std::pair<long, long> ParseFrames(const std::string& text) {
  const std::size_t colon = text.find(':');
  try {
    std::size_t used = 0;
    if (colon == std::string::npos) {
      const long frame = std::stol(text, &used);
      if (used == text.size() && frame >= 0) return {frame, frame + 1};
    } else {
      const long first = std::stol(text.substr(0, colon), &used);
      if (used == colon) {
        const std::string rest = text.substr(colon + 1);
        const long end = std::stol(rest, &used);
        if (used == rest.size() && first >= 0 && end > first) return {first, end};
      }
    }
  } catch (const std::exception&) {
  }
  throw UsageError("--frames takes A:B with 0 <= A < B (frames A up to B, B excluded) or one frame N, not '" + text +
                   "'");
}

// The frame rate as a fraction for the stream header and frame times.
std::pair<int, int> RateFraction(double rate) {
  for (int denominator : {1, 1001, 1000, 100000}) {
    const double numerator = std::round(rate * denominator);
    if (std::abs(numerator / denominator - rate) < 1e-7 * rate) return {static_cast<int>(numerator), denominator};
  }
  return {static_cast<int>(std::lround(rate * 1000)), 1000};
}

int CeilDiv(int a, int b) { return (a + b - 1) / b; }

int Render(const RenderRequest& request) {
  const auto [first, end] = ParseFrames(request.frames);
  if (request.format != "png" && request.format != "y4m") throw UsageError("--format is png or y4m");
  if (request.downsample.size() > 2) throw UsageError("--downsample takes X or X,Y");
  if (!request.region.empty() && request.region.size() != 4) throw UsageError("--region takes LEFT,TOP,RIGHT,BOTTOM");

  Link link;
  moravane::Project project = link.server.OpenProject(AbsolutePath(request.project));
  moravane::Source source = FindSource(project, request.source);
  const double rate = source.GetFrameRate();
  const auto [rateNumerator, rateDenominator] = RateFraction(rate);
  const kelvex::geom::RectT<LONG> frame = source.GetFrameSize();

  moravane::Renderer renderer = source.GetRenderer();
  moravane::VideoRenderOptions options = renderer.CreateVideoRenderOptions();
  options.SetChannelOrder(1);  // RGBA, the order PNG and the converter read
  options.SetBounds(request.width, request.height);
  if (request.depth != 0) options.SetBitDepth(request.depth);
  const int downX = request.downsample.empty() ? 1 : request.downsample[0];
  const int downY = request.downsample.size() < 2 ? downX : request.downsample[1];
  if (!request.downsample.empty()) options.SetDownsampleFactor(downX, downY);
  if (!request.region.empty()) {
    options.SetRegionOfInterest({request.region[0], request.region[1], request.region[2], request.region[3]});
  }
  options.SetLowQuality(request.lowQuality);
  options.SetRenderGuideLayers(request.guides);
  options.SetPreMultiply(request.premultiply ? 1 : 0);
  options.SetFieldOrder(request.fieldOrder);
  options.SetRowBytes(request.rowBytes);

  // The picture's size follows from the options as the server documents
  // them; the server's own figure for the memory is checked against it.
  const int depth = options.GetBitDepth();
  int boundsWidth = request.width != 0 ? request.width : frame.Width();
  int boundsHeight = request.height != 0 ? request.height : frame.Height();
  if (!request.region.empty() &&
      !(request.region[0] == 0 && request.region[1] == 0 && request.region[2] == 0 && request.region[3] == 0)) {
    boundsWidth = request.region[2] - request.region[0];
    boundsHeight = request.region[3] - request.region[1];
  }
  cli::FrameView view;
  view.width = CeilDiv(boundsWidth, downX);
  view.height = CeilDiv(boundsHeight, downY);
  view.depth = depth;
  const std::size_t tightRow = static_cast<std::size_t>(view.width) * 4 * (depth / 8);
  view.rowBytes = request.rowBytes != 0 ? static_cast<std::size_t>(request.rowBytes) : tightRow;
  const ULONGLONG needed = options.GetMaxMemoryRequiredForFrame();
  if (needed != view.rowBytes * (view.height - 1) + tightRow) {
    throw UsageError("the server's frame of " + std::to_string(needed) + " bytes does not match " +
                     std::to_string(view.width) + "x" + std::to_string(view.height) + " at " + std::to_string(depth) +
                     " bits");
  }
  const ULONGLONG sectionSize = request.sectionSize != 0 ? request.sectionSize : needed;

  std::FILE* stream = nullptr;
  std::optional<cli::Y4mWriter> y4m;
  if (request.format == "y4m") {
    stream = request.output == "-" ? stdout : std::fopen(request.output.c_str(), "wb");
    if (stream == nullptr) throw cli::OutputError("cannot create '" + request.output + "': " + std::strerror(errno));
    y4m.emplace(stream, request.output == "-" ? "the standard output" : "'" + request.output + "'", rateNumerator,
                rateDenominator);
  } else {
    std::error_code error;
    std::filesystem::create_directories(request.output, error);
    if (error) throw cli::OutputError("cannot create the folder '" + request.output + "': " + error.message());
  }
  struct StreamCloser {
    std::FILE*& stream;
    ~StreamCloser() {
      if (stream != nullptr && stream != stdout) std::fclose(stream);
    }
  } closer{stream};

  moravane::MemoryMappedFile section;
  const std::string name = SectionName("video");
  section.Init(true, name, sectionSize);
  view.data = static_cast<const std::uint8_t*>(section.GetAddress());
  renderer.StartVideoRender(options, name, sectionSize);
  Progress progress("render", end - first, request.quiet);
  try {
    for (long number = first; number < end; ++number) {
      ULONGLONG written = 0;
      // Frame n starts at n / rate seconds: n·den / num as a RatioTime.
      const long long ticks = static_cast<long long>(number) * rateDenominator;
      if (ticks > 0x7FFFFFFF) throw UsageError("frame " + std::to_string(number) + " is too far for a 32-bit time");
      renderer.RenderVideo({static_cast<std::int32_t>(ticks), rateNumerator}, &written);
      if (y4m) {
        y4m->Write(view);
      } else {
        char file[32];
        std::snprintf(file, sizeof file, "%06ld.png", number);
        const std::string path = (std::filesystem::path(request.output) / (request.prefix + file)).string();
        cli::WritePng(path, view);
      }
      progress.Update(number - first + 1);
    }
  } catch (...) {
    try {
      renderer.EndVideoRender();
    } catch (const moravane::LinkError&) {
      // The first failure is the one to report.
    }
    throw;
  }
  renderer.EndVideoRender();
  if (stream != nullptr && std::fflush(stream) != 0) throw cli::OutputError("cannot write '" + request.output + "'");
  link.server.CloseProject(project);
  if (request.format == "png" && !request.quiet) {
    std::fprintf(stderr, "wrote %ld PNG files (%dx%d, %d bits) to %s\n", end - first, view.width, view.height, depth,
                 request.output.c_str());
  }
  return 0;
}

// --- audio -------------------------------------------------------------------

struct AudioRequest {
  std::string project;
  std::string source;
  std::string output = "audio.wav";
  double seconds = 0;
  double start = 0;
  double rate = 48000;
  int channels = 2;
  std::string encoding = "int16";
  int bufferFrames = 4800;
  bool quiet = false;
};

int Audio(const AudioRequest& request) {
  if (!(request.seconds > 0)) throw UsageError("--seconds must be above 0");
  if (request.encoding != "int16" && request.encoding != "float") throw UsageError("--encoding is int16 or float");
  const bool floats = request.encoding == "float";
  const int bytesPerSample = floats ? 4 : 2;

  Link link;
  moravane::Project project = link.server.OpenProject(AbsolutePath(request.project));
  moravane::Source source = FindSource(project, request.source);
  moravane::Renderer renderer = source.GetRenderer();
  moravane::AudioRenderOptions options = renderer.CreateAudioRenderOptions();
  options.SetSampleRate(request.rate);
  options.SetNumChannels(request.channels);
  options.SetEncoding(floats ? 1 : 0);
  options.SetBytesPerSample(bytesPerSample);

  const std::size_t frameBytes = static_cast<std::size_t>(request.channels) * bytesPerSample;
  const ULONGLONG sectionSize = static_cast<ULONGLONG>(std::max(request.bufferFrames, 1)) * frameBytes;
  moravane::MemoryMappedFile section;
  const std::string name = SectionName("audio");
  section.Init(true, name, sectionSize);
  const auto* data = static_cast<const std::uint8_t*>(section.GetAddress());

  cli::WavWriter wav(request.output, static_cast<int>(std::lround(request.rate)), request.channels, floats);
  const long long wanted = std::llround(request.seconds * request.rate);
  const long long startMs = std::llround(request.start * 1000);
  if (startMs > 0x7FFFFFFF) throw UsageError("--start is too far for a 32-bit time");
  renderer.StartAudioRender({static_cast<std::int32_t>(startMs), 1000}, request.bufferFrames, options, name,
                            sectionSize);
  Progress progress("audio", static_cast<long>(wanted), request.quiet);
  long long done = 0;
  try {
    while (done < wanted) {
      ULONGLONG written = 0;
      renderer.GetNextAudioBuffer(&written);
      if (written == 0) break;  // the source ended before the time asked for
      const long long frames = std::min<long long>(static_cast<long long>(written / frameBytes), wanted - done);
      wav.Append(data, static_cast<std::size_t>(frames) * frameBytes);
      done += frames;
      progress.Update(static_cast<long>(done));
    }
  } catch (...) {
    try {
      renderer.EndAudioRender();
    } catch (const moravane::LinkError&) {
    }
    throw;
  }
  renderer.EndAudioRender();
  wav.Close();
  link.server.CloseProject(project);
  if (!request.quiet) {
    std::fprintf(stderr, "wrote %lld sample frames (%.3f s, %d channels, %s) to %s\n", done, done / request.rate,
                 request.channels, request.encoding.c_str(), request.output.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"moravane-cli: use projects of the link server from the command line"};
  app.require_subcommand(1);
  bool quiet = false;
  app.add_flag("-q,--quiet", quiet, "No progress bar and no summary");

  CLI::App* info = app.add_subcommand("info", "Server version, memory figures and project extension");

  std::string treeProject;
  CLI::App* tree = app.add_subcommand("tree", "The item tree of a project: GUIDs, kinds and names");
  tree->add_option("PROJECT", treeProject, "Project file")->required();

  RenderRequest render;
  CLI::App* renderCommand = app.add_subcommand("render", "Render video frames to PNG files or a YUV4MPEG2 stream");
  renderCommand->add_option("PROJECT", render.project, "Project file")->required();
  renderCommand->add_option("-s,--source", render.source, "Source GUID or name")->required();
  renderCommand->add_option("-f,--frames", render.frames, "A:B renders frames A up to B (excluded); N one frame")
      ->required();
  renderCommand->add_option("--format", render.format, "png (default) or y4m")->check(CLI::IsMember({"png", "y4m"}));
  renderCommand->add_option("-o,--output", render.output, "png: folder (default .); y4m: file, - for stdout");
  renderCommand->add_option("--prefix", render.prefix, "File name prefix of PNG frames (default frame-)");
  renderCommand->add_option("--width", render.width, "Render width (0: the source's)");
  renderCommand->add_option("--height", render.height, "Render height (0: the source's)");
  renderCommand->add_option("--depth", render.depth, "Bits per channel: 8, 16 or 32 (default: the source's)");
  renderCommand->add_option("--downsample", render.downsample, "X or X,Y")->delimiter(',');
  renderCommand->add_option("--region", render.region, "Region of interest LEFT,TOP,RIGHT,BOTTOM")->delimiter(',');
  renderCommand->add_option("--field-order", render.fieldOrder, "0 progressive, 1 upper first, 2 lower first");
  renderCommand->add_option("--row-bytes", render.rowBytes, "Bytes from row to row (0: tight)");
  renderCommand->add_flag("--low-quality", render.lowQuality, "Nearest pixel instead of averaging");
  renderCommand->add_flag("--guides", render.guides, "Draw the safe-area guides");
  renderCommand->add_flag("--premultiply", render.premultiply, "Colour multiplied by alpha");
  renderCommand->add_option("--section-size", render.sectionSize, "Bytes of the shared section (default: one frame)");

  AudioRequest audio;
  CLI::App* audioCommand = app.add_subcommand("audio", "Render audio to a WAV file");
  audioCommand->add_option("PROJECT", audio.project, "Project file")->required();
  audioCommand->add_option("-s,--source", audio.source, "Source GUID or name")->required();
  audioCommand->add_option("--seconds", audio.seconds, "Length in seconds")->required();
  audioCommand->add_option("--start", audio.start, "Start time in seconds (default 0)");
  audioCommand->add_option("-o,--output", audio.output, "WAV file (default audio.wav)");
  audioCommand->add_option("--rate", audio.rate, "Sample rate (default 48000)");
  audioCommand->add_option("--channels", audio.channels, "Channels (default 2)");
  audioCommand->add_option("--encoding", audio.encoding, "int16 (default) or float")
      ->check(CLI::IsMember({"int16", "float"}));
  audioCommand->add_option("--buffer", audio.bufferFrames, "Sample frames per buffer (default 4800)");

  std::string sendPath;
  CLI::App* send = app.add_subcommand("send-file", "Hand a file to the application");
  std::string sendProject;
  send->add_option("PATH", sendPath, "File")->required();
  send->add_option("-p,--project", sendProject, "Project to open first; the file goes to it");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // Help and version end well; every other parse error is wrong usage.
    return app.exit(error) == 0 ? 0 : 2;
  }
  render.quiet = audio.quiet = quiet;

  try {
    if (*info) return Info();
    if (*tree) return Tree(treeProject);
    if (*renderCommand) return Render(render);
    if (*audioCommand) return Audio(audio);
    if (*send) return SendFile(sendPath, sendProject);
  } catch (const moravane::LinkError& error) {
    std::string text = Narrow(error.GetErrorString());
    if (text.empty()) {
      const char* known = CodeText(static_cast<HRESULT>(error.GetError()));
      text = known != nullptr ? known : "no text for this code";
    }
    std::fprintf(stderr, "moravane-cli: link error 0x%08X: %s\n", static_cast<unsigned>(error.GetError()),
                 text.c_str());
    return kExitLink;
  } catch (const UsageError& error) {
    std::fprintf(stderr, "moravane-cli: %s\n", error.what());
    return 2;
  } catch (const cli::OutputError& error) {
    std::fprintf(stderr, "moravane-cli: %s\n", error.what());
    return kExitOutput;
  }
  return 2;
}
