// The render engine: what a frame or an audio buffer holds for given
// options, written straight into the caller's memory (a mapped section).
// Nothing here knows COM; the options objects (OptionsObjects.cpp) validate the
// call, maps the section and hands the address to RenderFrame/RenderAudio.
// docs/render-options.md documents every option and the data layout.
#pragma once

#include "PngImage.h"
#include "ProjectModel.h"

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace linkserver {

// Codes of the video options.
enum ChannelOrder : LONG { kBgra = 0, kRgba = 1, kArgb = 2 };
enum FieldOrder : LONG { kProgressive = 0, kUpperFirst = 1, kLowerFirst = 2 };
// Codes of the audio encoding.
enum AudioEncoding : LONG { kPcm16 = 0, kFloat32 = 1 };

struct VideoOptions {
  LONG lowQuality = 0;
  LONG preMultiply = 0;
  LONG fieldOrder = kProgressive;
  LONG roiLeft = 0, roiTop = 0, roiRight = 0, roiBottom = 0;  // all 0: the whole frame
  LONG bitDepth = 8;
  LONG channelOrder = kBgra;
  LONG stepValue = 1, stepScale = 25;      // one frame's duration; set from the source's rate
  LONG boundsWidth = 0, boundsHeight = 0;  // 0: the source's size
  LONG rowBytes = 0;                       // 0: rows packed tight
  LONG downsampleX = 1, downsampleY = 1;
  LONG guideLayers = 0;
};

struct AudioOptions {
  double sampleRate = 48000;
  LONG channels = 2;
  LONG encoding = kFloat32;
  LONG bytesPerSample = 4;
};

// Where a frame lands in the caller's memory, derived from the options and
// the source's frame size. Throws ServerError when the options cannot be
// honoured for this source.
struct FrameLayout {
  int frameWidth = 0, frameHeight = 0;           // the frame after bounds
  int left = 0, top = 0, right = 0, bottom = 0;  // region of interest in that frame
  int outWidth = 0, outHeight = 0;               // what is written
  int bytesPerChannel = 1;
  std::uint64_t tightRowBytes = 0;
  std::uint64_t rowBytes = 0;
  std::uint64_t frameBytes = 0;  // bytes from the first to the last written byte
};
FrameLayout ComputeLayout(const VideoOptions& options, int sourceWidth, int sourceHeight);

// Frame number shown at `seconds` by a source of `frameRate`, as the
// frame-number pattern encodes it.
std::int64_t FrameAtTime(double seconds, double frameRate);

// Fills rows of the frame with straight-alpha RGBA floats. One generator is
// made per render (it knows the frame size) and used from one thread.
class VideoGenerator {
 public:
  virtual ~VideoGenerator() = default;
  // `count` pixels of frame row `y` from column `x0`, sampled at `seconds`.
  virtual void Row(int y, int x0, int count, double seconds, float* rgba) const = 0;
  // Two rows with equal keys sampled at the same time are equal; the engine
  // copies instead of rendering again.
  virtual std::uint64_t RowKey(int y) const = 0;
};

// `image` must be set for image sources (the decoded still).
std::unique_ptr<VideoGenerator> MakeVideoGenerator(const SourceDesc& source, const FrameLayout& layout,
                                                   const VideoOptions& options, std::shared_ptr<const PngImage> image);

// Renders one frame at `seconds` into `destination` (layout.frameBytes
// writable bytes); bytes between rows (row padding) are left untouched.
// With `streamed`, rows go out through a staged copy with streaming stores
// (where the CPU has none, as ordinary stores): the same bytes either way.
void RenderFrame(const VideoGenerator& generator, const FrameLayout& layout, const VideoOptions& options,
                 double seconds, double stepSeconds, bool streamed, std::byte* destination);

// How frames reach their memory: with ordinary stores, or with streaming
// (non-temporal) stores where the CPU has them, which neither fetch a line
// before overwriting it nor leave it in this CPU's cache. Which is cheaper
// depends on where the host's reader runs, which the server cannot see:
// when the reader shares this CPU's cache the frame is best left there,
// when it reads on another CPU every ordinary store first takes its line
// back from the reader. So by default (kChosen) each render measures both
// and keeps the faster (FrameWriteChooser); tests and benchmarks force one
// way for the whole process.
enum class FrameWrites { kChosen, kOrdinary, kStreamed };
// Whether this CPU has streaming stores; where it has none, a streamed
// write is an ordinary one and the chooser never picks it.
bool HasStreamingStores();
FrameWrites GetFrameWrites();
void SetFrameWrites(FrameWrites writes);

// The choice for one render, frame by frame. A frame that fits this CPU's
// own cache is written normally. A larger one is written once each way
// after the first (whose time includes faulting the memory in), then the
// way with the smaller recent cost, and every kProbeEvery-th frame the
// other way, so that a move of the reader to another CPU, or back, is
// noticed within that many frames.
class FrameWriteChooser {
 public:
  static constexpr std::uint32_t kProbeEvery = 32;
  // With `canStream` false every frame is written with ordinary stores, as
  // on a CPU without streaming stores, whatever way the process forces.
  explicit FrameWriteChooser(bool canStream = HasStreamingStores()) : m_canStream(canStream) {}
  // Whether the next frame, of `frameBytes`, is to be streamed.
  bool Next(std::uint64_t frameBytes);
  // How long the frame that Next chose for took to render and write.
  void Took(double seconds);
  // Next, `render(streamed)`, then Took with its time.
  template <class Render>
  void Write(std::uint64_t frameBytes, Render&& render);

 private:
  double m_cost[2] = {0, 0};  // seconds a frame, ordinary and streamed; 0 until measured
  std::uint32_t m_frames = 0;
  bool m_canStream;
  bool m_streamed = false, m_measured = false, m_probe = false;
};

// One audio sample value (-1..1) of the source's audio at `seconds`.
double AudioSampleAt(const SourceDesc& source, double seconds);
// Writes `frames` interleaved sample frames starting at sample `first`.
void RenderAudio(const SourceDesc& source, const AudioOptions& options, std::int64_t first, std::int64_t frames,
                 std::byte* destination);

// Geometry of the frame-number pattern and the guides, shared with tests.
inline constexpr int kFrameNumberColumns = 8;
inline constexpr int kFrameNumberRows = 3;
inline constexpr int kFrameNumberBits = kFrameNumberColumns * kFrameNumberRows;

template <class Render>
void FrameWriteChooser::Write(std::uint64_t frameBytes, Render&& render) {
  const bool streamed = Next(frameBytes);
  const auto start = std::chrono::steady_clock::now();
  render(streamed);
  Took(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

}  // namespace linkserver
