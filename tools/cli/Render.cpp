// The render command: video frames to PNG files, a YUV4MPEG2 stream, raw
// frames or NUT and Matroska with the sound, through two renderers that take
// turns.
#include "Cli.h"
#include "RenderAhead.h"
#ifdef MORAVANE_CLI_LIBAV
#include "Media.h"
#endif

#include <moravane/Host.h>
#include <moravane/MemoryMappedFile.h>
#include <moravane/RenderOptions.h>
#include <moravane/Renderer.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <future>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
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

// The pixel format asked for: --pix-fmt, else --chroma and --output-depth.
cli::PictureFormat PictureOf(const RenderRequest& r) {
  cli::PictureFormat picture;
  if (!r.pixFmt.empty()) {
    cli::ParsePixelFormat(r.pixFmt, picture.chroma, picture.bits);  // checked by CheckRenderRequest
    return picture;
  }
  picture.chroma = r.chroma == "444" ? cli::Chroma::k444 : r.chroma == "422" ? cli::Chroma::k422 : cli::Chroma::k420;
  picture.bits = r.outputDepth;
  return picture;
}

}  // namespace

int Render(const RenderRequest& request) {
  CheckRenderRequest(request);
  const std::string output = request.output.empty() ? (request.format == "png" ? "." : "-") : request.output;

  Link link;
#ifdef MORAVANE_CLI_LIBAV
  // FFmpeg's libraries take 60-75 ms to load (135 shared objects mapped
  // and relocated): they load while the project opens and the first frame
  // renders, not after. Only once the link stands: the loader holds its
  // lock throughout, and a thread started meanwhile waits for that lock
  // before it runs (its thread-local storage is set up under it), the
  // link's own threads among them.
  std::future<void> mediaLoaded;
  if (request.format == "nut" || request.format == "mkv") {
    mediaLoaded = std::async(std::launch::async, cli::LoadMediaModule);
  }
#endif
  moravane::Project project = link.server.OpenProject(AbsolutePath(request.project));
  moravane::Source source = FindSource(project, request.source);
  if (!source.HasVideo()) throw UsageError("the source '" + request.source + "' has no video");
  const double rate = source.GetFrameRate();
  const auto [rateNumerator, rateDenominator] = RateFraction(rate);
  const kelvex::geom::RectT<LONG> frame = source.GetFrameSize();
  // The frames and times selected (Selection.cpp); a selection the source
  // does not hold is wrong usage.
  const SelectedSpan span = SelectFrames(request.selection, source.GetDuration(), {rateNumerator, rateDenominator});
  std::vector<long> numbers;
  for (long n = span.first; n < span.end; n += span.step) numbers.push_back(n);

  const int downX = request.downsample.empty() ? 1 : request.downsample[0];
  const int downY = request.downsample.size() < 2 ? downX : request.downsample[1];
  std::array<Slot, 2> slots;
  // Raw frames cost the host nothing to write: overlapping would only add
  // two thread wake-ups to every frame, so they render on this thread.
  const bool overlap = request.format != "raw" && numbers.size() > 1;
  const std::size_t used = overlap ? 2 : 1;
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
    slot.renderer.RenderVideo(FrameStart(number, rateNum, rateDen), &written);
  };

  std::optional<cli::OutputFile> stream;
  std::optional<cli::Y4mWriter> y4m;
#ifdef MORAVANE_CLI_LIBAV
  std::unique_ptr<cli::MediaWriter> media;
  std::optional<cli::AudioTrack> track;  // after the writer: ends its render first
#endif
  if (request.format == "png") {
    std::error_code error;
    std::filesystem::create_directories(output, error);
    if (error) throw cli::OutputError("cannot create the folder '" + output + "': " + error.message());
  } else {
    stream.emplace(output);
  }
  // The first frame renders on this thread, before the writers: NUT's and
  // Matroska's wait for FFmpeg's libraries, which load meanwhile, and a
  // thread started during the load would wait for the loader (see above).
  // Every format starts its frames (and their -progress clock) from here
  // alike.
  renderInto(slots[0], numbers[0]);
  const bool container = request.format == "nut" || request.format == "mkv";
  if (request.format == "y4m" || container) {
    // The source's pixel aspect, stretched by an uneven downsampling.
    const kelvex::geom::Ratio aspect = source.GetPixelAspectRatio();
    long long aspectNumerator = aspect.numerator > 0 ? static_cast<long long>(aspect.numerator) * downX : downX;
    long long aspectDenominator = aspect.denominator > 0 ? static_cast<long long>(aspect.denominator) * downY : downY;
    const long long divisor = std::gcd(aspectNumerator, aspectDenominator);
    cli::PictureFormat picture = PictureOf(request);
    picture.interlaced = request.fieldOrder != 0;
    picture.matrix = request.matrix == "bt709"   ? cli::ColourMatrix::kBt709
                     : request.matrix == "bt601" ? cli::ColourMatrix::kBt601
                                                 : cli::DefaultMatrix(view.width, view.height);
    if (container) {
#ifdef MORAVANE_CLI_LIBAV
      cli::MediaFormat format;
      format.matroska = request.format == "mkv";
      format.ffv1 = request.codec == "ffv1";
      format.width = view.width;
      format.height = view.height;
      format.rateNumerator = rateNumerator;
      format.rateDenominator = rateDenominator * static_cast<int>(span.step);
      format.aspectNumerator = static_cast<int>(aspectNumerator / divisor);
      format.aspectDenominator = static_cast<int>(aspectDenominator / divisor);
      format.interlace = "ptb"[request.fieldOrder];
      format.picture = picture;
      // Sound and pictures start together, at the first frame's time. A
      // step makes a time-lapse whose frames no stretch of sound matches.
      if (source.HasAudio() && !request.noAudio && span.step != 1 && !request.quiet) {
        std::fprintf(stderr, "moravane-cli: a --frames step leaves the audio out (no sound matches a time-lapse)\n");
      }
      if (source.HasAudio() && !request.noAudio && span.step == 1) {
        format.sampleRate = static_cast<int>(std::lround(request.audioRate));
        format.channels = request.audioChannels;
        track.emplace(source, span.first, rateNumerator, rateDenominator, format.sampleRate, format.channels);
        track->RenderThrough(1);  // the first frame's, rendered above
      }
      media = cli::OpenMediaWriter(*stream, format);
#endif
    } else {
      cli::Y4mFormat format;
      format.width = view.width;
      format.height = view.height;
      format.rateNumerator = rateNumerator;
      format.rateDenominator = rateDenominator * static_cast<int>(span.step);
      format.interlace = "ptb"[request.fieldOrder];
      format.aspectNumerator = static_cast<int>(aspectNumerator / divisor);
      format.aspectDenominator = static_cast<int>(aspectDenominator / divisor);
      format.picture = picture;
      y4m.emplace(*stream, format);
    }
  }

  // Each frame written is STEP frames of the source's time.
  Progress progress("render", static_cast<long>(numbers.size()), static_cast<double>(span.step) * rateDen / rateNum,
                    true, request.progress, request.quiet);
  PngEncoders encoders;
  // On every way out the members end in reverse. The render ahead is last,
  // so that the render in flight (which fills a slot and renders the
  // sound's track) finishes first (one on no thread of its own never runs);
  // then the encoders drain, and each slot's render ends before its section
  // goes.
  RenderAhead ahead(overlap);
  for (std::size_t k = 0; k < numbers.size(); ++k) {
    ahead.Wait();  // frame k and its sound, rendered ahead (the first, above)
    CheckInterrupted();
#ifdef MORAVANE_CLI_LIBAV
    if (track) track->Collect();
#endif
    Slot& slot = slots[k % used];
    if (k + 1 < numbers.size()) {
      ahead.Start([&, k] {
        renderInto(slots[(k + 1) % used], numbers[k + 1]);
#ifdef MORAVANE_CLI_LIBAV
        if (track) track->RenderThrough(static_cast<long>(k + 2));
#endif
      });
    }
    view.data = static_cast<const std::uint8_t*>(slot.section.GetAddress());
    if (y4m) {
      y4m->Write(view);
#ifdef MORAVANE_CLI_LIBAV
    } else if (media) {
      media->WriteVideo(view);
      if (track) track->Through(static_cast<long>(k + 1), *media);
#endif
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
#ifdef MORAVANE_CLI_LIBAV
  if (track) track->End();
  if (media) media->Close();
#endif
  if (stream) stream->Commit();
  progress.Finish();
  link.server.CloseProject(project);
  if (request.format == "png" && !request.quiet) {
    std::fprintf(stderr, "wrote %zu PNG files (%dx%d, %d bits) to %s\n", numbers.size(), view.width, view.height, depth,
                 output.c_str());
  }
  return 0;
}

}  // namespace cli
