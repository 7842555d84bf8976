// moravane-cli: a host of the link server on the command line, built on the
// library's public interface only.
//
//   moravane-cli info
//   moravane-cli register | unregister
//   moravane-cli tree PROJECT [--json]
//   moravane-cli probe PROJECT --source GUID|NAME [--json]
//   moravane-cli render PROJECT --source GUID|NAME [--frames A:B[:STEP]] [options]
//   moravane-cli audio PROJECT --source GUID|NAME [--start S] [--seconds N] [options]
//   moravane-cli send-file PATH [--project PROJECT]
//
// Exit codes (kExit*): 0 done, 2 wrong usage (checked before anything
// reaches the server, or a source or range the project does not have), 3 a
// failure of the link, 4 an output that cannot be written, 130/143 ended by
// SIGINT/SIGTERM. Outputs are written under a temporary name and renamed
// when complete, so that an interrupted run leaves only whole files.
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
#include <array>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <future>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using kelvex::utility::AsciiToUTF16;
using kelvex::utility::UTF16ToUTF8;
using moravane::WideString;

constexpr int kExitUsage = 2;
constexpr int kExitLink = 3;
constexpr int kExitOutput = 4;

constexpr const char* kExitCodes =
    "Exit codes:\n"
    "  0    done\n"
    "  2    wrong usage: a bad option, or a source or frame range the project does not have\n"
    "  3    a failure of the link or the server (the message carries the code and the server's text)\n"
    "  4    an output file that cannot be written\n"
    "  130  ended by SIGINT, 143 by SIGTERM (nothing partial is left behind)\n";

// A request that the program refuses; nothing more reaches the server.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// --- interruption ------------------------------------------------------------

// Set by SIGINT/SIGTERM; the loops look at it between frames and buffers and
// unwind, so that every output is removed or completed and the renders end.
// The handler may run on any of the program's threads (the library's
// communication thread, the encoders), so the flag is a lock-free atomic,
// not a volatile sig_atomic_t, which is safe only on the thread it
// interrupted.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may only touch lock-free atomics");

struct Interrupted {
  int signal;
};

extern "C" void OnSignal(int signal) {
  const int saved = errno;  // the interrupted code may be about to read it
  g_signal.store(signal, std::memory_order_relaxed);
  errno = saved;
}

void CatchSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A reader that goes away is a write error (exit 4), not a silent death
  // with the renders still open.
  std::signal(SIGPIPE, SIG_IGN);
}

void CheckInterrupted() {
  if (const int signal = g_signal.load(std::memory_order_relaxed); signal != 0) throw Interrupted{signal};
}

// --- helpers -----------------------------------------------------------------

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

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
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
std::string SectionName(const std::string& use) { return "moravane-cli-" + std::to_string(::getpid()) + "-" + use; }

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

// The source named by GUID or name. Both are looked up in the tree first,
// so that a source the project lacks is wrong usage, like a bad option.
moravane::Source FindSource(moravane::Project& project, const std::string& wanted) {
  const auto id = kelvex::utility::Guid::Parse(wanted);
  std::optional<kelvex::utility::Guid> found;
  int matches = 0;
  Walk(project.GetRootItem(), 0, [&](moravane::Item& item, int) {
    if (item.GetType() != moravane::kItemType1) return;
    if (id ? item.GetID() == *id : Narrow(item.GetName()) == wanted) {
      found = item.GetID();
      ++matches;
    }
  });
  if (matches == 0) {
    throw UsageError(id ? "the project has no source " + id->ToString()
                        : "the project has no source named '" + wanted + "'");
  }
  if (matches > 1)
    throw UsageError("the project has " + std::to_string(matches) + " sources named '" + wanted +
                     "'; give its GUID instead");
  return project.GetSource(*found);
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

// --- info, tree, probe, send-file --------------------------------------------

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

int Tree(const std::string& path, bool json) {
  Link link;
  moravane::Project project = link.server.OpenProject(AbsolutePath(path));
  if (!json) {
    std::printf("%s\n", Narrow(project.GetName()).c_str());
    Walk(project.GetRootItem(), 0, [](moravane::Item& item, int depth) {
      const bool source = item.GetType() == moravane::kItemType1;
      const bool bin = moravane::Container(item).IsLinked();
      std::printf("%*s%s  %s  %s\n", depth * 2, "", item.GetID().ToString().c_str(),
                  source ? "source" : (bin ? "bin   " : "item  "), Narrow(item.GetName()).c_str());
    });
  } else {
    // Nested objects; a child list closes when the walk comes back up.
    std::string out = "{\"project\": " + Json(Narrow(project.GetName())) + ", \"items\": [";
    int open = 0;
    bool emptyList = true;  // nothing yet in the innermost open list
    Walk(project.GetRootItem(), 0, [&](moravane::Item& item, int depth) {
      for (; open > depth; --open) {
        out += "]}";
        emptyList = false;
      }
      if (!emptyList) out += ", ";
      emptyList = true;
      const bool source = item.GetType() == moravane::kItemType1;
      const bool bin = moravane::Container(item).IsLinked();
      out += "{\"guid\": " + Json(item.GetID().ToString()) + ", \"kind\": \"" +
             (source ? "source" : (bin ? "bin" : "item")) + "\", \"name\": " + Json(Narrow(item.GetName())) +
             ", \"children\": [";
      open = depth + 1;
    });
    for (; open > 0; --open) out += "]}";
    std::printf("%s]}\n", out.c_str());
  }
  link.server.CloseProject(project);
  return 0;
}

int Probe(const std::string& path, const std::string& wanted, bool json) {
  Link link;
  moravane::Project project = link.server.OpenProject(AbsolutePath(path));
  moravane::Source source = FindSource(project, wanted);
  const kelvex::time::RatioTime duration = source.GetDuration();
  const double rate = source.GetFrameRate();
  const auto fraction = RateFraction(rate);
  const kelvex::geom::RectT<LONG> size = source.GetFrameSize();
  const kelvex::geom::Ratio aspect = source.GetPixelAspectRatio();
  const int depth = static_cast<int>(source.GetBitDepth());
  const long stamp = static_cast<long>(source.GetTimeStamp());
  const bool audio = source.HasAudio(), video = source.HasVideo();
  const long frames = FrameCount(duration, fraction);
  const std::string raw = video ? FfmpegRawInput(size.Width(), size.Height(), depth, fraction) : "";
  link.server.CloseProject(project);
  if (json) {
    std::printf(
        "{\"duration\": {\"value\": %d, \"scale\": %d, \"seconds\": %.9g}, \"frames\": %ld, "
        "\"rate\": {\"numerator\": %d, \"denominator\": %d, \"fps\": %.9g}, \"width\": %d, \"height\": %d, "
        "\"pixel_aspect\": {\"numerator\": %d, \"denominator\": %d}, \"bit_depth\": %d, \"time_stamp\": %ld, "
        "\"has_audio\": %s, \"has_video\": %s, \"ffmpeg_raw_input\": %s}\n",
        duration.value, duration.scale, duration.ToSeconds(), frames, fraction.first, fraction.second, rate,
        static_cast<int>(size.Width()), static_cast<int>(size.Height()), aspect.numerator, aspect.denominator, depth,
        stamp, audio ? "true" : "false", video ? "true" : "false", raw.empty() ? "null" : Json(raw).c_str());
    return 0;
  }
  std::printf("duration      %.6g s (%d/%d)\n", duration.ToSeconds(), duration.value, duration.scale);
  std::printf("frames        %ld (0 to %ld)\n", frames, frames - 1);
  std::printf("rate          %.6g fps (%d/%d)\n", rate, fraction.first, fraction.second);
  std::printf("size          %dx%d\n", static_cast<int>(size.Width()), static_cast<int>(size.Height()));
  std::printf("pixel aspect  %d:%d\n", aspect.numerator, aspect.denominator);
  std::printf("bit depth     %d\n", depth);
  std::printf("time stamp    %ld\n", stamp);
  std::printf("audio         %s\n", audio ? "yes" : "no");
  std::printf("video         %s\n", video ? "yes" : "no");
  if (!raw.empty()) std::printf("raw input     ffmpeg %s -i -\n", raw.c_str());
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

// --- register ----------------------------------------------------------------

// The reference server beside this program (an installed prefix), else the
// one of the build tree this program was built in.
std::string ServerExecutable() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    const std::filesystem::path sibling = self.parent_path() / "orra_linkserver_host";
    if (std::filesystem::exists(sibling, error)) return sibling.string();
  }
#ifdef MORAVANE_CLI_BUILD_SERVER
  if (std::filesystem::exists(MORAVANE_CLI_BUILD_SERVER, error)) return MORAVANE_CLI_BUILD_SERVER;
#endif
  return "";
}

int Register(bool remove) {
  const std::string server = ServerExecutable();
  if (server.empty()) throw UsageError("cannot find orra_linkserver_host beside this program");
  const char* flag = remove ? "--unregister" : "--register";
  std::fflush(stdout);
  ::execl(server.c_str(), server.c_str(), flag, static_cast<char*>(nullptr));
  throw UsageError("cannot run " + server + ": " + std::strerror(errno));
}

// --- render ------------------------------------------------------------------

struct RenderRequest {
  std::string project;
  std::string source;
  std::string frames;
  std::string format = "png";
  std::string output;
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
  std::string chroma = "444";
  std::string matrix = "auto";
  int pngLevel = 1;
  bool quiet = false;
};

struct FrameRange {
  long first = 0;
  std::optional<long> end;  // none: to the source's end
  long step = 1;
};

// "A:B" is frames A up to, not including, B; "A:B:STEP" every STEP-th of
// them; "A:" from A to the end; "N" frame N alone; "" the whole source.
FrameRange ParseFrames(const std::string& text) {
  if (text.empty()) return {};
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (std::size_t colon; (colon = text.find(':', from)) != std::string::npos; from = colon + 1) {
    parts.push_back(text.substr(from, colon - from));
  }
  parts.push_back(text.substr(from));
  auto number = [](const std::string& part, long& value) {
    if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos || part.size() > 9) return false;
    value = std::stol(part);
    return true;
  };
  FrameRange range;
  long end = 0;
  bool ok = parts.size() <= 3 && number(parts[0], range.first);
  if (ok && parts.size() == 1) range.end = range.first + 1;
  if (ok && parts.size() >= 2 && !parts[1].empty()) {
    ok = number(parts[1], end) && end > range.first;
    range.end = end;
  }
  if (ok && parts.size() == 3) ok = !parts[1].empty() && number(parts[2], range.step) && range.step >= 1;
  if (!ok) {
    throw UsageError("--frames takes A:B (frames A up to B, B excluded), A:B:STEP, A: (A to the end) or N, not '" +
                     text + "'");
  }
  return range;
}

int CeilDiv(int a, int b) { return (a + b - 1) / b; }

void CheckRenderRequest(const RenderRequest& r) {
  ParseFrames(r.frames);
  if (r.format != "png" && r.format != "y4m" && r.format != "raw") throw UsageError("--format is png, y4m or raw");
  if (r.width < 0 || r.height < 0) throw UsageError("--width and --height must not be negative");
  if (r.depth != 0 && r.depth != 8 && r.depth != 16 && r.depth != 32) {
    throw UsageError("--depth is 8, 16 or 32, not " + std::to_string(r.depth));
  }
  if (r.downsample.size() > 2 || std::any_of(r.downsample.begin(), r.downsample.end(), [](int f) { return f < 1; })) {
    throw UsageError("--downsample takes X or X,Y, each 1 or more");
  }
  if (!r.region.empty()) {
    const bool whole = std::all_of(r.region.begin(), r.region.end(), [](int v) { return v == 0; });
    if (r.region.size() != 4 ||
        (!whole && (r.region[0] < 0 || r.region[1] < 0 || r.region[2] <= r.region[0] || r.region[3] <= r.region[1]))) {
      throw UsageError("--region takes LEFT,TOP,RIGHT,BOTTOM with LEFT < RIGHT and TOP < BOTTOM");
    }
  }
  if (r.fieldOrder < 0 || r.fieldOrder > 2) throw UsageError("--field-order is 0, 1 or 2");
  if (r.rowBytes < 0) throw UsageError("--row-bytes must not be negative");
  if (r.chroma != "444" && r.chroma != "420") throw UsageError("--chroma is 444 or 420");
  if (r.matrix != "auto" && r.matrix != "bt601" && r.matrix != "bt709") {
    throw UsageError("--matrix is auto, bt601 or bt709");
  }
  if (r.pngLevel < 0 || r.pngLevel > 9) throw UsageError("--png-level is 0 to 9");
  if (r.format == "png" && r.output == "-") throw UsageError("PNG frames go to a folder, not to the standard output");
}

// One renderer with its own section: two of them let the server render the
// next frame while this program converts or encodes the current one.
struct Slot {
  moravane::Renderer renderer;
  moravane::VideoRenderOptions options;
  moravane::MemoryMappedFile section;
  std::string name;
  bool started = false;
};

void Configure(moravane::VideoRenderOptions& options, const RenderRequest& r, int downX, int downY) {
  options.SetChannelOrder(1);  // RGBA, the order PNG and the converter read
  options.SetBounds(r.width, r.height);
  if (r.depth != 0) options.SetBitDepth(r.depth);
  if (!r.downsample.empty()) options.SetDownsampleFactor(downX, downY);
  if (!r.region.empty()) options.SetRegionOfInterest({r.region[0], r.region[1], r.region[2], r.region[3]});
  options.SetLowQuality(r.lowQuality);
  options.SetRenderGuideLayers(r.guides);
  options.SetPreMultiply(r.premultiply ? 1 : 0);
  options.SetFieldOrder(r.fieldOrder);
  options.SetRowBytes(r.rowBytes);
}

// PNG files encoded on worker threads, at most kInFlight at a time, each
// from its own copy of the frame so that the section is free for the next
// render at once. Encoding is what costs; zlib runs on one thread per file.
class PngEncoders {
 public:
  static constexpr std::size_t kInFlight = 2;
  ~PngEncoders() { Drain(); }
  void Encode(const std::string& path, const cli::FrameView& frame, int level) {
    if (m_jobs.size() == kInFlight) Wait();
    Job job;
    const std::size_t row = static_cast<std::size_t>(frame.width) * 4 * (frame.depth / 8);
    job.pixels.resize(row * frame.height);
    for (int y = 0; y < frame.height; ++y) {
      std::memcpy(job.pixels.data() + row * y, frame.data + frame.rowBytes * y, row);
    }
    cli::FrameView copy = frame;
    copy.data = job.pixels.data();
    copy.rowBytes = row;
    job.done = std::async(std::launch::async, [path, copy, level] { cli::WritePng(path, copy, level); });
    m_jobs.push_back(std::move(job));
  }
  // Waits for every file; the first failure is thrown.
  void Finish() {
    while (!m_jobs.empty()) Wait();
  }
  // Waits for every file, failures ignored (an error is already unwinding).
  void Drain() {
    for (Job& job : m_jobs) {
      try {
        job.done.get();
      } catch (...) {
      }
    }
    m_jobs.clear();
  }

 private:
  struct Job {
    std::vector<std::uint8_t> pixels;
    std::future<void> done;
  };
  void Wait() {
    Job job = std::move(m_jobs.front());
    m_jobs.pop_front();
    job.done.get();
  }
  std::deque<Job> m_jobs;
};

int Render(const RenderRequest& request) {
  CheckRenderRequest(request);
  const FrameRange range = ParseFrames(request.frames);
  const std::string output = request.output.empty() ? (request.format == "png" ? "." : "-") : request.output;

  Link link;
  moravane::Project project = link.server.OpenProject(AbsolutePath(request.project));
  moravane::Source source = FindSource(project, request.source);
  if (!source.HasVideo()) throw UsageError("the source '" + request.source + "' has no video");
  const double rate = source.GetFrameRate();
  const auto [rateNumerator, rateDenominator] = RateFraction(rate);
  const kelvex::geom::RectT<LONG> frame = source.GetFrameSize();
  const long count = FrameCount(source.GetDuration(), {rateNumerator, rateDenominator});
  const long end = range.end.value_or(count);
  if (range.first >= count || end > count) {
    throw UsageError("frames " + std::to_string(range.first) + " to " + std::to_string(end - 1) +
                     " go beyond the source, which has " + std::to_string(count) + " frames (0 to " +
                     std::to_string(count - 1) + ")");
  }
  std::vector<long> numbers;
  for (long n = range.first; n < end; n += range.step) numbers.push_back(n);

  const int downX = request.downsample.empty() ? 1 : request.downsample[0];
  const int downY = request.downsample.size() < 2 ? downX : request.downsample[1];
  std::array<Slot, 2> slots;
  // Raw frames cost the host nothing to write: overlapping would only add
  // two thread wake-ups to every frame, so they render on this thread
  // (a deferred task runs when its result is asked for).
  const bool overlap = request.format != "raw" && numbers.size() > 1;
  const std::size_t used = overlap ? 2 : 1;
  const std::launch policy = overlap ? std::launch::async : std::launch::deferred;
  for (std::size_t i = 0; i < used; ++i) {
    slots[i].renderer = source.GetRenderer();
    slots[i].options = slots[i].renderer.CreateVideoRenderOptions();
    Configure(slots[i].options, request, downX, downY);
  }

  // The picture's size follows from the options as the server documents
  // them; the server's own figure for the memory is checked against it.
  const int depth = slots[0].options.GetBitDepth();
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
  const ULONGLONG needed = slots[0].options.GetMaxMemoryRequiredForFrame();
  if (needed != view.rowBytes * (view.height - 1) + tightRow) {
    throw UsageError("the server's frame of " + std::to_string(needed) + " bytes does not match " +
                     std::to_string(view.width) + "x" + std::to_string(view.height) + " at " + std::to_string(depth) +
                     " bits");
  }
  const ULONGLONG sectionSize = request.sectionSize != 0 ? request.sectionSize : needed;

  std::optional<cli::OutputFile> stream;
  std::optional<cli::Y4mWriter> y4m;
  if (request.format == "png") {
    std::error_code error;
    std::filesystem::create_directories(output, error);
    if (error) throw cli::OutputError("cannot create the folder '" + output + "': " + error.message());
  } else {
    stream.emplace(output);
  }
  if (request.format == "y4m") {
    cli::Y4mFormat format;
    format.width = view.width;
    format.height = view.height;
    format.rateNumerator = rateNumerator;
    format.rateDenominator = rateDenominator * static_cast<int>(range.step);
    format.interlace = "ptb"[request.fieldOrder];
    // The source's pixel aspect, stretched by an uneven downsampling.
    const kelvex::geom::Ratio aspect = source.GetPixelAspectRatio();
    long long aspectNumerator = aspect.numerator > 0 ? static_cast<long long>(aspect.numerator) * downX : downX;
    long long aspectDenominator = aspect.denominator > 0 ? static_cast<long long>(aspect.denominator) * downY : downY;
    const long long divisor = std::gcd(aspectNumerator, aspectDenominator);
    format.aspectNumerator = static_cast<int>(aspectNumerator / divisor);
    format.aspectDenominator = static_cast<int>(aspectDenominator / divisor);
    format.chroma420 = request.chroma == "420";
    format.sixteenBits = depth != 8;
    format.matrix = request.matrix == "bt709"   ? cli::ColourMatrix::kBt709
                    : request.matrix == "bt601" ? cli::ColourMatrix::kBt601
                                                : cli::DefaultMatrix(view.width, view.height);
    y4m.emplace(*stream, format);
  }

  for (std::size_t i = 0; i < used; ++i) {
    slots[i].name = SectionName("video" + std::to_string(i));
    slots[i].section.Init(true, slots[i].name, sectionSize);
  }
  auto renderInto = [&](Slot& slot, long number) {
    if (!slot.started) {
      slot.renderer.StartVideoRender(slot.options, slot.name, sectionSize);
      slot.started = true;
    }
    ULONGLONG written = 0;
    // Frame n starts at n / rate seconds: n·den / num as a RatioTime.
    const long long ticks = static_cast<long long>(number) * rateDenominator;
    if (ticks > 0x7FFFFFFF) throw UsageError("frame " + std::to_string(number) + " is too far for a 32-bit time");
    slot.renderer.RenderVideo({static_cast<std::int32_t>(ticks), rateNumerator}, &written);
  };
  Progress progress("render", static_cast<long>(numbers.size()), request.quiet);
  PngEncoders encoders;
  std::future<void> pending;
  auto finish = [&]() {
    encoders.Drain();
    // The first failure is the one to report; the renders end either way.
    // A deferred render has not run and is not run now.
    if (pending.valid() && pending.wait_for(std::chrono::seconds(0)) != std::future_status::deferred) {
      try {
        pending.get();
      } catch (...) {
      }
    }
    for (Slot& slot : slots) {
      if (!slot.started) continue;
      slot.started = false;
      try {
        slot.renderer.EndVideoRender();
      } catch (const moravane::LinkError&) {
      }
    }
  };
  try {
    pending = std::async(policy, renderInto, std::ref(slots[0]), numbers[0]);
    for (std::size_t k = 0; k < numbers.size(); ++k) {
      pending.get();
      CheckInterrupted();
      Slot& slot = slots[k % used];
      if (k + 1 < numbers.size()) {
        pending = std::async(policy, renderInto, std::ref(slots[(k + 1) % used]), numbers[k + 1]);
      }
      view.data = static_cast<const std::uint8_t*>(slot.section.GetAddress());
      if (y4m) {
        y4m->Write(view);
      } else if (stream) {
        cli::WriteRaw(*stream, view);
      } else {
        char file[32];
        std::snprintf(file, sizeof file, "%06ld.png", numbers[k]);
        encoders.Encode((std::filesystem::path(output) / (request.prefix + file)).string(), view, request.pngLevel);
      }
      progress.Update(static_cast<long>(k + 1));
    }
  } catch (...) {
    finish();
    throw;
  }
  try {
    encoders.Finish();
  } catch (...) {
    finish();
    throw;
  }
  for (Slot& slot : slots) {
    if (slot.started) slot.renderer.EndVideoRender();
    slot.started = false;
  }
  if (stream) stream->Commit();
  link.server.CloseProject(project);
  if (request.format == "png" && !request.quiet) {
    std::fprintf(stderr, "wrote %zu PNG files (%dx%d, %d bits) to %s\n", numbers.size(), view.width, view.height, depth,
                 output.c_str());
  }
  return 0;
}

// --- audio -------------------------------------------------------------------

struct AudioRequest {
  std::string project;
  std::string source;
  std::string output = "audio.wav";
  std::string format = "wav";
  std::optional<double> seconds;
  double start = 0;
  double rate = 48000;
  int channels = 2;
  std::string encoding = "int16";
  int bufferFrames = 4800;
  bool quiet = false;
};

void CheckAudioRequest(const AudioRequest& r) {
  if (r.seconds && !(*r.seconds > 0)) throw UsageError("--seconds must be above 0");
  if (!(r.start >= 0) || r.start * 1000 > 0x7FFFFFFF) throw UsageError("--start is 0 or more (at most 2147483 s)");
  if (!(r.rate >= 1 && r.rate <= 768000)) throw UsageError("--rate is 1 to 768000 samples per second");
  if (r.channels < 1 || r.channels > 64) throw UsageError("--channels is 1 to 64");
  if (r.encoding != "int16" && r.encoding != "float") throw UsageError("--encoding is int16 or float");
  if (r.format != "wav" && r.format != "raw") throw UsageError("--format is wav or raw");
  if (r.bufferFrames < 1 || r.bufferFrames > 10000000) throw UsageError("--buffer is 1 to 10000000 sample frames");
}

int Audio(const AudioRequest& request) {
  CheckAudioRequest(request);
  const bool floats = request.encoding == "float";
  const int bytesPerSample = floats ? 4 : 2;

  Link link;
  moravane::Project project = link.server.OpenProject(AbsolutePath(request.project));
  moravane::Source source = FindSource(project, request.source);
  if (!source.HasAudio()) throw UsageError("the source '" + request.source + "' has no audio");
  const double length = source.GetDuration().ToSeconds();
  if (request.start >= length) {
    throw UsageError("--start " + std::to_string(request.start) + " is at or past the source's end (" +
                     std::to_string(length) + " s)");
  }
  const double seconds = request.seconds.value_or(length - request.start);
  moravane::Renderer renderer = source.GetRenderer();
  moravane::AudioRenderOptions options = renderer.CreateAudioRenderOptions();
  options.SetSampleRate(request.rate);
  options.SetNumChannels(request.channels);
  options.SetEncoding(floats ? 1 : 0);
  options.SetBytesPerSample(bytesPerSample);

  const std::size_t frameBytes = static_cast<std::size_t>(request.channels) * bytesPerSample;
  const ULONGLONG sectionSize = static_cast<ULONGLONG>(request.bufferFrames) * frameBytes;
  moravane::MemoryMappedFile section;
  const std::string name = SectionName("audio");
  section.Init(true, name, sectionSize);
  const auto* data = static_cast<const std::uint8_t*>(section.GetAddress());

  cli::OutputFile file(request.output);
  cli::AudioWriter writer(
      file, request.format == "raw" ? cli::AudioWriter::Container::kRaw : cli::AudioWriter::Container::kWav,
      static_cast<int>(std::lround(request.rate)), request.channels, floats);
  const long long wanted = std::llround(seconds * request.rate);
  const long long startMs = std::llround(request.start * 1000);
  renderer.StartAudioRender({static_cast<std::int32_t>(startMs), 1000}, request.bufferFrames, options, name,
                            sectionSize);
  Progress progress("audio", static_cast<long>(wanted), request.quiet);
  long long done = 0;
  try {
    while (done < wanted) {
      CheckInterrupted();
      ULONGLONG written = 0;
      renderer.GetNextAudioBuffer(&written);
      if (written == 0) break;  // the source ended before the time asked for
      const long long frames = std::min<long long>(static_cast<long long>(written / frameBytes), wanted - done);
      writer.Append(data, static_cast<std::size_t>(frames) * frameBytes);
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
  writer.Close();
  file.Commit();
  link.server.CloseProject(project);
  if (!request.quiet) {
    std::fprintf(stderr, "wrote %lld sample frames (%.3f s, %d channels, %s) to %s\n", done, done / request.rate,
                 request.channels, request.encoding.c_str(), file.Name().c_str());
  }
  return 0;
}

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
      {REGDB_E_CLASSNOTREG, "the link server is not registered"},
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

// What a user can do about a link failure, when there is something to say.
const char* LinkErrorAdvice(HRESULT code) {
  static const HRESULT kNotRegistered = REGDB_E_CLASSNOTREG;
  if (code == kNotRegistered) {
    return "the link server is not registered for this user; register it with:\n"
           "  moravane-cli register";
  }
  return nullptr;
}

void PrintLinkError(const moravane::LinkError& error) {
  // Every code gets a text: the server's, else this program's own.
  std::string text = Narrow(error.GetErrorString());
  if (text.empty()) {
    const char* known = CodeText(static_cast<HRESULT>(error.GetError()));
    text = known != nullptr ? known : "no text for this code";
  }
  std::fprintf(stderr, "moravane-cli: link error 0x%08X: %s\n", static_cast<unsigned>(error.GetError()), text.c_str());
  if (const char* advice = LinkErrorAdvice(error.GetError())) std::fprintf(stderr, "moravane-cli: %s\n", advice);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"moravane-cli: use projects of the link server from the command line"};
  app.require_subcommand(1);
  app.set_version_flag("--version", MORAVANE_CLI_VERSION);
  app.footer(kExitCodes);
  bool quiet = false;
  app.add_flag("-q,--quiet", quiet, "No progress bar and no summary");
  auto subcommand = [&](const char* name, const char* description) {
    CLI::App* command = app.add_subcommand(name, description);
    command->fallthrough();  // global flags after the command too
    return command;
  };

  CLI::App* info = subcommand("info", "Server version, memory figures and project extension");
  CLI::App* registration = subcommand("register", "Register the link server beside this program for this user");
  CLI::App* unregistration = subcommand("unregister", "Remove the link server's registration for this user");

  std::string treeProject;
  bool treeJson = false;
  CLI::App* tree = subcommand("tree", "The item tree of a project: GUIDs, kinds and names");
  tree->add_option("PROJECT", treeProject, "Project file")->required();
  tree->add_flag("--json", treeJson, "As JSON (see docs/cli.md)");

  std::string probeProject, probeSource;
  bool probeJson = false;
  CLI::App* probe = subcommand("probe", "Duration, frames, rate, size, aspect and depth of a source");
  probe->add_option("PROJECT", probeProject, "Project file")->required();
  probe->add_option("-s,--source", probeSource, "Source GUID or name")->required();
  probe->add_flag("--json", probeJson, "As JSON (see docs/cli.md)");

  RenderRequest render;
  CLI::App* renderCommand = subcommand("render", "Render video frames to PNG files, a YUV4MPEG2 stream or raw frames");
  renderCommand->add_option("PROJECT", render.project, "Project file")->required();
  renderCommand->add_option("-s,--source", render.source, "Source GUID or name")->required();
  renderCommand->add_option("-f,--frames", render.frames,
                            "A:B frames A up to B (excluded), A:B:STEP every STEP-th, A: to the end, N one frame "
                            "(default: the whole source)");
  renderCommand->add_option("--format", render.format, "png (default), y4m or raw (RGBA as rendered)");
  renderCommand->add_option("-o,--output", render.output, "png: folder (default .); y4m, raw: file or - (default -)");
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
  renderCommand->add_option("--chroma", render.chroma, "y4m: 444 (default) or 420");
  renderCommand->add_option("--matrix", render.matrix,
                            "y4m: auto (default: bt709 from 1280x720 on, bt601 below), bt601 or bt709");
  renderCommand->add_option("--png-level", render.pngLevel, "PNG compression, 1 fast (default) to 9 small");

  AudioRequest audio;
  CLI::App* audioCommand = subcommand("audio", "Render audio to a WAV file, a WAV stream or raw PCM");
  audioCommand->add_option("PROJECT", audio.project, "Project file")->required();
  audioCommand->add_option("-s,--source", audio.source, "Source GUID or name")->required();
  audioCommand->add_option("--seconds", audio.seconds, "Length in seconds (default: to the source's end)");
  audioCommand->add_option("--start", audio.start, "Start time in seconds (default 0)");
  audioCommand->add_option("-o,--output", audio.output, "File, or - for the standard output (default audio.wav)");
  audioCommand->add_option("--format", audio.format, "wav (default) or raw (interleaved samples, no header)");
  audioCommand->add_option("--rate", audio.rate, "Sample rate (default 48000)");
  audioCommand->add_option("--channels", audio.channels, "Channels (default 2)");
  audioCommand->add_option("--encoding", audio.encoding, "int16 (default, little-endian) or float");
  audioCommand->add_option("--buffer", audio.bufferFrames, "Sample frames per buffer (default 4800)");

  std::string sendPath;
  CLI::App* send = subcommand("send-file", "Hand a file to the application");
  std::string sendProject;
  send->add_option("PATH", sendPath, "File")->required();
  send->add_option("-p,--project", sendProject, "Project to open first; the file goes to it");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // Help and version end well; every other parse error is wrong usage.
    return app.exit(error) == 0 ? 0 : kExitUsage;
  }
  render.quiet = audio.quiet = quiet;
  CatchSignals();

  try {
    if (*info) return Info();
    if (*registration) return Register(false);
    if (*unregistration) return Register(true);
    if (*tree) return Tree(treeProject, treeJson);
    if (*probe) return Probe(probeProject, probeSource, probeJson);
    if (*renderCommand) return Render(render);
    if (*audioCommand) return Audio(audio);
    if (*send) return SendFile(sendPath, sendProject);
  } catch (const moravane::LinkError& error) {
    PrintLinkError(error);
    return kExitLink;
  } catch (const UsageError& error) {
    std::fprintf(stderr, "moravane-cli: %s\n", error.what());
    return kExitUsage;
  } catch (const cli::OutputError& error) {
    std::fprintf(stderr, "moravane-cli: %s\n", error.what());
    return kExitOutput;
  } catch (const Interrupted& interrupted) {
    std::fprintf(stderr, "moravane-cli: interrupted; partial output removed\n");
    return 128 + interrupted.signal;
  }
  return kExitUsage;
}
