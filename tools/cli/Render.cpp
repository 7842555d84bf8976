// The render command: video frames to PNG files, a YUV4MPEG2 stream or raw
// frames, through two renderers that take turns.
#include "Cli.h"

#include <moravane/Host.h>
#include <moravane/MemoryMappedFile.h>
#include <moravane/RenderOptions.h>
#include <moravane/Renderer.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <future>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

namespace cli {

namespace {

// One renderer with its own section: two of them let the server render the
// next frame while this program converts or encodes the current one.
struct Slot {
  moravane::Renderer renderer;
  moravane::VideoRenderOptions options;
  moravane::MemoryMappedFile section;
  std::string name;
  // Last, so that the render ends before its section goes.
  std::optional<moravane::host::ScopedRender> render;
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

}  // namespace

int Render(const RenderRequest& request) {
  CheckRenderRequest(request);
  const moravane::host::FrameRange range = ParseFrames(request.frames);
  const std::string output = request.output.empty() ? (request.format == "png" ? "." : "-") : request.output;

  Link link;
  moravane::Project project = link.server.OpenProject(AbsolutePath(request.project));
  moravane::Source source = FindSource(project, request.source);
  if (!source.HasVideo()) throw UsageError("the source '" + request.source + "' has no video");
  const double rate = source.GetFrameRate();
  const auto [rateNumerator, rateDenominator] = RateFraction(rate);
  const kelvex::geom::RectT<LONG> frame = source.GetFrameSize();
  const long count = FrameCount(source.GetDuration(), {rateNumerator, rateDenominator});
  // A range the source does not hold is a RequestError: wrong usage.
  const moravane::host::FrameSpan span = moravane::host::ResolveFrameRange(range, count);
  std::vector<long> numbers;
  for (long n = span.first; n < span.end; n += span.step) numbers.push_back(n);

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
  const moravane::host::FrameLayout layout = moravane::host::FrameLayoutOf(slots[0].options, frame);
  const int depth = layout.depth;
  cli::FrameView view{nullptr, layout.width, layout.height, depth, layout.rowBytes};
  const ULONGLONG sectionSize = request.sectionSize != 0 ? request.sectionSize : layout.frameBytes;

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
    format.rateDenominator = rateDenominator * static_cast<int>(span.step);
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
  // Named for the lambda below: a structured binding cannot be captured
  // before C++20's relaxation, which not every compiler of ours has.
  const int rateNum = rateNumerator, rateDen = rateDenominator;
  auto renderInto = [&](Slot& slot, long number) {
    if (!slot.render) {
      slot.render.emplace(moravane::host::ScopedRender::Video(slot.renderer, slot.options, slot.name, sectionSize));
    }
    ULONGLONG written = 0;
    // Frame n starts at n / rate seconds: n·den / num as a RatioTime.
    const long long ticks = static_cast<long long>(number) * rateDen;
    if (ticks > 0x7FFFFFFF) throw UsageError("frame " + std::to_string(number) + " is too far for a 32-bit time");
    slot.renderer.RenderVideo({static_cast<std::int32_t>(ticks), rateNum}, &written);
  };
  // On every way out the members end in reverse: the pending render is
  // waited for (a deferred one never runs), the encoders drain, and each
  // slot's render ends before its section goes.
  Progress progress("render", static_cast<long>(numbers.size()), request.quiet);
  PngEncoders encoders;
  std::future<void> pending = std::async(policy, renderInto, std::ref(slots[0]), numbers[0]);
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
  encoders.Finish();
  for (Slot& slot : slots) {
    if (slot.render) slot.render->End();
  }
  if (stream) stream->Commit();
  link.server.CloseProject(project);
  if (request.format == "png" && !request.quiet) {
    std::fprintf(stderr, "wrote %zu PNG files (%dx%d, %d bits) to %s\n", numbers.size(), view.width, view.height, depth,
                 output.c_str());
  }
  return 0;
}

}  // namespace cli
