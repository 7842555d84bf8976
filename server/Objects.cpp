// The COM objects of the reference link server. Ownership: every object
// holds shared_ptrs to the state it needs (server, project), never raw
// pointers to other COM objects, so releasing objects in any order is safe.
// Threads: each object's mutable state has its own mutex; a project's tree
// is guarded by the project's mutex (SendFile may add to it while others
// walk it).
#include "LinkServer.h"

#include "ComObject.h"
#include "ProjectFormat.h"
#include "Render.h"
#include "ServerError.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <optional>
#include <vector>

namespace linkserver {

namespace detail {
std::atomic<std::int64_t> g_liveObjects{0};
}

using namespace moravane;

namespace {

// Private identities: asking one of our objects for these IIDs answers the
// object itself, so the server can recognise the objects it is handed back
// (options in a start call, the current item in GetNextItem, a project to
// close) and refuse foreign ones.
const IID IID_ProjectImplementation = {0x6A1C0E52, 0x3B7D, 0x4F0A, {0x9E, 0x21, 0x5C, 0x44, 0x0B, 0x8D, 0x71, 0x01}};
const IID IID_ItemImplementation = {0x6A1C0E52, 0x3B7D, 0x4F0A, {0x9E, 0x21, 0x5C, 0x44, 0x0B, 0x8D, 0x71, 0x02}};
const IID IID_VideoOptionsImplementation = {
    0x6A1C0E52, 0x3B7D, 0x4F0A, {0x9E, 0x21, 0x5C, 0x44, 0x0B, 0x8D, 0x71, 0x03}};
const IID IID_AudioOptionsImplementation = {
    0x6A1C0E52, 0x3B7D, 0x4F0A, {0x9E, 0x21, 0x5C, 0x44, 0x0B, 0x8D, 0x71, 0x04}};
const IID IID_ServerImplementation = {0x6A1C0E52, 0x3B7D, 0x4F0A, {0x9E, 0x21, 0x5C, 0x44, 0x0B, 0x8D, 0x71, 0x05}};

constexpr LONG kMaxSide = 32768;
constexpr LONG kMaxDownsample = 64;
constexpr LONG kMaxChannels = 32;
constexpr double kMaxSampleRate = 768000;

// Our object behind `unknown`, with one reference, or null if it is not one
// of ours of that class.
template <class T>
comsupport::CComPtr<T> Implementation(IUnknown* unknown, const IID& iid) {
  if (unknown == nullptr) return nullptr;
  void* raw = nullptr;
  if (FAILED(unknown->QueryInterface(iid, &raw)) || raw == nullptr) return nullptr;
  auto* primary = static_cast<typename T::Primary*>(static_cast<IUnknown*>(raw));
  return comsupport::CComPtr<T>::Adopt(static_cast<T*>(primary));
}

// A reference that is handed to the caller only once every object of a
// call exists; released if the call fails before.
using Handed = comsupport::CComPtr<IUnknown>;

std::string SecondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g s", seconds);
  return text;
}

double TimeSeconds(LONG value, LONG scale, const char* what) {
  if (scale <= 0) FailArgument(std::string("the ") + what + " scale must be positive, found " + std::to_string(scale));
  return double(value) / scale;
}

struct ProjectState;

struct ServerState {
  std::shared_ptr<SectionProvider> sections;
  FrameCache cache;
  std::atomic<bool> cacheFinalFrame{false};

  std::mutex mutex;                                       // guards what follows
  std::vector<std::weak_ptr<ProjectState>> openProjects;  // in opening order
  int selfLinks = 0;

  std::vector<std::shared_ptr<ProjectState>> OpenProjects() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::shared_ptr<ProjectState>> result;
    for (const auto& weak : openProjects) {
      if (auto project = weak.lock()) result.push_back(project);
    }
    return result;
  }
};

struct ProjectState {
  std::shared_ptr<ServerState> server;
  std::filesystem::path path;
  ProjectModel model;
  mutable std::mutex mutex;  // guards the children of every node
  std::atomic<bool> closed{false};

  void CheckOpen() const {
    if (closed.load()) FailState("the project '" + model.name + "' has been closed");
  }
};

// ---------------------------------------------------------------- options

// The options of a render. A render takes them as a whole when it starts, and
// a change is checked and applied as a whole, so that one that fails leaves
// the options as they were.
template <class Interface, class Options>
class OptionsObject : public ComObject<Interface> {
 public:
  Options Snapshot() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_options;
  }

 protected:
  template <class Change>
  HRESULT Set(BSTR* e, Change&& change) {
    return GuardCall(e, [&] {
      std::lock_guard<std::mutex> lock(m_mutex);
      Options updated = m_options;
      change(updated);
      m_options = updated;
    });
  }

  Options m_options;  // the derived constructor sets the defaults; then only under m_mutex

 private:
  mutable std::mutex m_mutex;
};

class VideoOptionsObject final : public OptionsObject<IVideoRenderOptions2, VideoOptions> {
 public:
  using Primary = IVideoRenderOptions2;
  VideoOptionsObject(std::shared_ptr<ProjectState> project, const Node* source)
      : m_project(std::move(project)), m_source(source) {
    const SourceDesc& desc = source->source;
    m_options.bitDepth = desc.bitDepth;
    // The default step is one frame of the source: 1000 / (rate * 1000) s.
    m_options.stepValue = 1000;
    m_options.stepScale = static_cast<LONG>(std::clamp(std::llround(desc.frameRate * 1000), 1ll, 2147483647ll));
  }

  HRESULT STDMETHODCALLTYPE SetLowQuality(LONG v, BSTR* e) override {
    return Set(e, [&](VideoOptions& o) { o.lowQuality = v != 0; });
  }
  HRESULT STDMETHODCALLTYPE GetLowQuality(LONG* v, BSTR* e) override { return Get(e, v, &VideoOptions::lowQuality); }
  HRESULT STDMETHODCALLTYPE SetPreMultiply(LONG v, BSTR* e) override {
    return Set(e, [&](VideoOptions& o) {
      if (v != 0 && v != 1)
        FailArgument("pre-multiply must be 0 (straight) or 1 (pre-multiplied), found " + std::to_string(v));
      o.preMultiply = v;
    });
  }
  HRESULT STDMETHODCALLTYPE GetPreMultiply(LONG* v, BSTR* e) override { return Get(e, v, &VideoOptions::preMultiply); }
  HRESULT STDMETHODCALLTYPE SetFieldOrder(LONG v, BSTR* e) override {
    return Set(e, [&](VideoOptions& o) {
      if (v < kProgressive || v > kLowerFirst) {
        FailArgument("field order must be 0 (progressive), 1 (upper first) or 2 (lower first), found " +
                     std::to_string(v));
      }
      o.fieldOrder = v;
    });
  }
  HRESULT STDMETHODCALLTYPE GetFieldOrder(LONG* v, BSTR* e) override { return Get(e, v, &VideoOptions::fieldOrder); }
  HRESULT STDMETHODCALLTYPE SetRegionOfInterest(LONG l, LONG t, LONG r, LONG b, BSTR* e) override {
    return Set(e, [&](VideoOptions& o) {
      const bool whole = l == 0 && t == 0 && r == 0 && b == 0;
      if (!whole && (l < 0 || t < 0 || r <= l || b <= t || r > kMaxSide || b > kMaxSide)) {
        FailArgument("the region of interest (" + std::to_string(l) + ", " + std::to_string(t) + ", " +
                     std::to_string(r) + ", " + std::to_string(b) +
                     ") is not a non-empty rectangle with left < right and top < bottom");
      }
      o.roiLeft = l, o.roiTop = t, o.roiRight = r, o.roiBottom = b;
    });
  }
  HRESULT STDMETHODCALLTYPE GetRegionOfInterest(LONG* l, LONG* t, LONG* r, LONG* b, BSTR* e) override {
    return GuardCall(e, [&] {
      LONG& left = OutParam(l, "left");
      LONG& top = OutParam(t, "top");
      LONG& right = OutParam(r, "right");
      LONG& bottom = OutParam(b, "bottom");
      const VideoOptions o = Snapshot();
      left = o.roiLeft, top = o.roiTop, right = o.roiRight, bottom = o.roiBottom;
    });
  }
  HRESULT STDMETHODCALLTYPE SetBitDepth(LONG v, BSTR* e) override {
    return Set(e, [&](VideoOptions& o) {
      if (v != 8 && v != 16 && v != 32) FailArgument("bit depth must be 8, 16 or 32, found " + std::to_string(v));
      o.bitDepth = v;
    });
  }
  HRESULT STDMETHODCALLTYPE GetBitDepth(LONG* v, BSTR* e) override { return Get(e, v, &VideoOptions::bitDepth); }
  HRESULT STDMETHODCALLTYPE SetChannelOrder(LONG v, BSTR* e) override {
    return Set(e, [&](VideoOptions& o) {
      if (v < kBgra || v > kArgb)
        FailArgument("channel order must be 0 (BGRA), 1 (RGBA) or 2 (ARGB), found " + std::to_string(v));
      o.channelOrder = v;
    });
  }
  HRESULT STDMETHODCALLTYPE GetChannelOrder(LONG* v, BSTR* e) override {
    return Get(e, v, &VideoOptions::channelOrder);
  }
  HRESULT STDMETHODCALLTYPE SetTimeStep(LONG value, LONG scale, BSTR* e) override {
    return Set(e, [&](VideoOptions& o) {
      if (value <= 0 || scale <= 0) {
        FailArgument("the time step " + std::to_string(value) + "/" + std::to_string(scale) +
                     " is not a positive duration");
      }
      o.stepValue = value, o.stepScale = scale;
    });
  }
  HRESULT STDMETHODCALLTYPE GetTimeStep(LONG* value, LONG* scale, BSTR* e) override {
    return GuardCall(e, [&] {
      LONG& v = OutParam(value, "value");
      LONG& s = OutParam(scale, "scale");
      const VideoOptions o = Snapshot();
      v = o.stepValue, s = o.stepScale;
    });
  }
  HRESULT STDMETHODCALLTYPE SetBounds(LONG width, LONG height, BSTR* e) override {
    return Set(e, [&](VideoOptions& o) {
      if (width < 0 || height < 0 || width > kMaxSide || height > kMaxSide) {
        FailArgument("bounds " + std::to_string(width) + "x" + std::to_string(height) +
                     " are out of range (0 for the source's size, else 1 to 32768)");
      }
      o.boundsWidth = width, o.boundsHeight = height;
    });
  }
  HRESULT STDMETHODCALLTYPE GetBounds(LONG* width, LONG* height, BSTR* e) override {
    return GuardCall(e, [&] {
      LONG& w = OutParam(width, "width");
      LONG& h = OutParam(height, "height");
      const VideoOptions o = Snapshot();
      w = o.boundsWidth, h = o.boundsHeight;
    });
  }
  HRESULT STDMETHODCALLTYPE SetRowBytes(LONG v, BSTR* e) override {
    return Set(e, [&](VideoOptions& o) {
      if (v < 0) FailArgument("row bytes must be 0 (tight rows) or positive, found " + std::to_string(v));
      o.rowBytes = v;
    });
  }
  HRESULT STDMETHODCALLTYPE GetRowBytes(LONG* v, BSTR* e) override { return Get(e, v, &VideoOptions::rowBytes); }
  HRESULT STDMETHODCALLTYPE SetDownsampleFactor(LONG x, LONG y, BSTR* e) override {
    return Set(e, [&](VideoOptions& o) {
      if (x < 1 || y < 1 || x > kMaxDownsample || y > kMaxDownsample) {
        FailArgument("downsample factor " + std::to_string(x) + "x" + std::to_string(y) + " is out of range (1 to 64)");
      }
      o.downsampleX = x, o.downsampleY = y;
    });
  }
  HRESULT STDMETHODCALLTYPE GetDownsampleFactor(LONG* x, LONG* y, BSTR* e) override {
    return GuardCall(e, [&] {
      LONG& ox = OutParam(x, "x");
      LONG& oy = OutParam(y, "y");
      const VideoOptions o = Snapshot();
      ox = o.downsampleX, oy = o.downsampleY;
    });
  }
  HRESULT STDMETHODCALLTYPE SetRenderGuideLayers(LONG v, BSTR* e) override {
    return Set(e, [&](VideoOptions& o) { o.guideLayers = v != 0; });
  }
  HRESULT STDMETHODCALLTYPE GetRenderGuideLayers(LONG* v, BSTR* e) override {
    return Get(e, v, &VideoOptions::guideLayers);
  }
  HRESULT STDMETHODCALLTYPE GetMaxMemoryRequiredForFrame(ULONGLONG* bytes, BSTR* e) override {
    return GuardCall(e, [&] {
      ULONGLONG& out = OutParam(bytes, "bytes");
      m_project->CheckOpen();
      if (!m_source->source.HasVideo()) FailArgument("the source '" + m_source->name + "' has no video");
      out = ComputeLayout(Snapshot(), m_source->source.width, m_source->source.height).frameBytes;
    });
  }

 protected:
  IUnknown* Find(REFIID iid) override {
    if (IsEqualIID(iid, IID_IVideoRenderOptions2) || IsEqualIID(iid, IID_VideoOptionsImplementation)) {
      return Identity();
    }
    return nullptr;
  }

 private:
  HRESULT Get(BSTR* e, LONG* out, LONG VideoOptions::*field) {
    return GuardCall(e, [&] {
      LONG& value = OutParam(out, "value");
      value = Snapshot().*field;
    });
  }

  std::shared_ptr<ProjectState> m_project;
  const Node* m_source;
};

class AudioOptionsObject final : public OptionsObject<IAudioRenderOptions2, AudioOptions> {
 public:
  using Primary = IAudioRenderOptions2;

  HRESULT STDMETHODCALLTYPE SetSampleRate(double rate, BSTR* e) override {
    return Set(e, [&](AudioOptions& o) {
      if (!(rate >= 1 && rate <= kMaxSampleRate)) {
        FailArgument("sample rate " + std::to_string(rate) + " is out of range (1 to 768000 Hz)");
      }
      o.sampleRate = rate;
    });
  }
  HRESULT STDMETHODCALLTYPE GetSampleRate(double* rate, BSTR* e) override {
    return GuardCall(e, [&] { OutParam(rate, "rate") = Snapshot().sampleRate; });
  }
  HRESULT STDMETHODCALLTYPE SetNumChannels(LONG v, BSTR* e) override {
    return Set(e, [&](AudioOptions& o) {
      if (v < 1 || v > kMaxChannels) FailArgument("channel count " + std::to_string(v) + " is out of range (1 to 32)");
      o.channels = v;
    });
  }
  HRESULT STDMETHODCALLTYPE GetNumChannels(LONG* v, BSTR* e) override {
    return GuardCall(e, [&] { OutParam(v, "channels") = Snapshot().channels; });
  }
  HRESULT STDMETHODCALLTYPE SetEncoding(LONG v, BSTR* e) override {
    return Set(e, [&](AudioOptions& o) {
      if (v != kPcm16 && v != kFloat32) {
        FailArgument("encoding must be 0 (16-bit integer) or 1 (32-bit float), found " + std::to_string(v));
      }
      o.encoding = v;
    });
  }
  HRESULT STDMETHODCALLTYPE GetEncoding(LONG* v, BSTR* e) override {
    return GuardCall(e, [&] { OutParam(v, "encoding") = Snapshot().encoding; });
  }
  HRESULT STDMETHODCALLTYPE SetBytesPerSample(LONG v, BSTR* e) override {
    return Set(e, [&](AudioOptions& o) {
      if (v != 2 && v != 4) FailArgument("bytes per sample must be 2 or 4, found " + std::to_string(v));
      o.bytesPerSample = v;
    });
  }
  HRESULT STDMETHODCALLTYPE GetBytesPerSample(LONG* v, BSTR* e) override {
    return GuardCall(e, [&] { OutParam(v, "bytes") = Snapshot().bytesPerSample; });
  }

 protected:
  IUnknown* Find(REFIID iid) override {
    if (IsEqualIID(iid, IID_IAudioRenderOptions2) || IsEqualIID(iid, IID_AudioOptionsImplementation)) {
      return Identity();
    }
    return nullptr;
  }
};

// ---------------------------------------------------------------- renderer

class RendererObject final : public ComObject<IRenderer2> {
 public:
  using Primary = IRenderer2;
  RendererObject(std::shared_ptr<ProjectState> project, const Node* source)
      : m_project(std::move(project)), m_source(source) {}
  ~RendererObject() override {
    // A host that releases the renderer mid-render ends the render.
    if (m_video) m_project->server->cache.RenderEnded();
    if (m_audio) m_project->server->cache.RenderEnded();
  }

  HRESULT STDMETHODCALLTYPE CreateVideoRenderOptions(IUnknown** options, BSTR* e) override {
    return GuardCall(e, [&] {
      IUnknown*& out = OutParam(options, "options");
      m_project->CheckOpen();
      out = (new VideoOptionsObject(m_project, m_source))->Identity();
    });
  }
  HRESULT STDMETHODCALLTYPE CreateAudioRenderOptions(IUnknown** options, BSTR* e) override {
    return GuardCall(e, [&] {
      IUnknown*& out = OutParam(options, "options");
      m_project->CheckOpen();
      out = (new AudioOptionsObject())->Identity();
    });
  }

  HRESULT STDMETHODCALLTYPE StartVideoRender(IVideoRenderOptions2* options, BSTR sectionName, ULONGLONG sectionSize,
                                             BSTR* e) override {
    return GuardCall(e, [&] {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_project->CheckOpen();
      if (m_video) FailState("a video render is already running on this renderer; end it first");
      const SourceDesc& source = m_source->source;
      if (!source.HasVideo()) FailArgument("the source '" + m_source->name + "' has no video");
      auto impl = Implementation<VideoOptionsObject>(options, IID_VideoOptionsImplementation);
      if (!impl) FailArgument("no video render options of this server were given");
      auto render = std::make_unique<VideoRender>();
      render->options = impl->Snapshot();
      render->layout = ComputeLayout(render->options, source.width, source.height);
      render->stepSeconds = double(render->options.stepValue) / render->options.stepScale;
      if (sectionSize < render->layout.frameBytes) {
        FailArgument("the section of " + std::to_string(sectionSize) + " bytes is too small for a frame of " +
                     std::to_string(render->layout.frameBytes) + " bytes");
      }
      const std::u16string name = SectionName(sectionName);
      // The render counts as running from here, so that the still it loads
      // is cached under the temporary budget.
      FrameCache& cache = m_project->server->cache;
      cache.RenderStarted();
      try {
        std::shared_ptr<const PngImage> image;
        if (source.video.kind == VideoKind::kImage) {
          try {
            image = cache.Image(source.video.imagePath);
          } catch (const std::runtime_error& error) {
            Fail(E_FAIL, error.what());
          }
        }
        render->generator = MakeVideoGenerator(source, render->layout, render->options, std::move(image));
        render->mapping = m_project->server->sections->Map(name, sectionSize);
        render->keyPrefix = RenderKey(render->options);
      } catch (...) {
        cache.RenderEnded();
        throw;
      }
      m_video = std::move(render);
    });
  }

  HRESULT STDMETHODCALLTYPE RenderVideo(LONG timeValue, LONG timeScale, ULONGLONG* value, BSTR* e) override {
    return GuardCall(e, [&] {
      ULONGLONG& written = OutParam(value, "value");
      std::lock_guard<std::mutex> lock(m_mutex);
      if (!m_video) FailState("no video render is running; call StartVideoRender first");
      m_project->CheckOpen();
      const double seconds = TimeSeconds(timeValue, timeScale, "time");
      const double duration = m_source->source.DurationSeconds();
      if (seconds < 0 || seconds >= duration) {
        FailArgument("time " + SecondsText(seconds) + " lies outside the source's duration of " +
                     SecondsText(duration));
      }
      VideoRender& render = *m_video;
      std::byte* frame = render.mapping->Data();
      const std::string key = render.keyPrefix + std::to_string(timeValue) + "/" + std::to_string(timeScale);
      ServerState& server = *m_project->server;
      if (!(server.cacheFinalFrame.load() && server.cache.FetchFinalFrame(key, frame, render.layout.frameBytes))) {
        RenderFrame(*render.generator, render.layout, render.options, seconds, render.stepSeconds, frame);
      }
      render.lastKey = key;
      written = render.layout.frameBytes;
    });
  }

  HRESULT STDMETHODCALLTYPE EndVideoRender(BSTR* e) override {
    return GuardCall(e, [&] {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (!m_video) FailState("no video render is running; EndVideoRender needs a StartVideoRender first");
      std::unique_ptr<VideoRender> render = std::move(m_video);
      ServerState& server = *m_project->server;
      if (server.cacheFinalFrame.load() && !render->lastKey.empty()) {
        server.cache.StoreFinalFrame(render->lastKey, render->mapping->Data(), render->layout.frameBytes);
      }
      server.cache.RenderEnded();
    });
  }

  HRESULT STDMETHODCALLTYPE StartAudioRender(LONG timeValue, LONG timeScale, LONG samplesPerBuffer,
                                             IAudioRenderOptions2* options, BSTR sectionName, ULONGLONG sectionSize,
                                             BSTR* e) override {
    return GuardCall(e, [&] {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_project->CheckOpen();
      if (m_audio) FailState("an audio render is already running on this renderer; end it first");
      const SourceDesc& source = m_source->source;
      if (!source.HasAudio()) FailArgument("the source '" + m_source->name + "' has no audio");
      auto impl = Implementation<AudioOptionsObject>(options, IID_AudioOptionsImplementation);
      if (!impl) FailArgument("no audio render options of this server were given");
      auto render = std::make_unique<AudioRender>();
      render->options = impl->Snapshot();
      const AudioOptions& o = render->options;
      const LONG expectedBytes = o.encoding == kPcm16 ? 2 : 4;
      if (o.bytesPerSample != expectedBytes) {
        FailArgument("bytes per sample " + std::to_string(o.bytesPerSample) + " does not agree with encoding " +
                     std::to_string(o.encoding) + ", which takes " + std::to_string(expectedBytes));
      }
      const double seconds = TimeSeconds(timeValue, timeScale, "time");
      const double duration = source.DurationSeconds();
      if (seconds < 0 || seconds > duration) {
        FailArgument("time " + SecondsText(seconds) + " lies outside the source's duration of " +
                     SecondsText(duration));
      }
      if (samplesPerBuffer < 0) {
        FailArgument("samples per buffer must be 0 (as many as fit) or positive, found " +
                     std::to_string(samplesPerBuffer));
      }
      render->frameBytes = std::uint64_t(o.channels) * std::uint64_t(o.bytesPerSample);
      render->framesPerBuffer =
          samplesPerBuffer != 0 ? std::uint64_t(samplesPerBuffer) : sectionSize / render->frameBytes;
      if (render->framesPerBuffer == 0 || render->framesPerBuffer * render->frameBytes > sectionSize) {
        FailArgument("the section of " + std::to_string(sectionSize) + " bytes is too small for a buffer of " +
                     std::to_string(std::max<std::uint64_t>(render->framesPerBuffer, 1) * render->frameBytes) +
                     " bytes");
      }
      render->next = std::llround(seconds * o.sampleRate);
      render->end = std::llround(duration * o.sampleRate);
      render->mapping = m_project->server->sections->Map(SectionName(sectionName), sectionSize);
      m_project->server->cache.RenderStarted();
      m_audio = std::move(render);
    });
  }

  HRESULT STDMETHODCALLTYPE GetNextAudioBuffer(ULONGLONG* value, BSTR* e) override {
    return GuardCall(e, [&] {
      ULONGLONG& written = OutParam(value, "value");
      std::lock_guard<std::mutex> lock(m_mutex);
      if (!m_audio) FailState("no audio render is running; call StartAudioRender first");
      m_project->CheckOpen();
      AudioRender& render = *m_audio;
      const std::int64_t frames =
          std::min<std::int64_t>(render.framesPerBuffer, std::max<std::int64_t>(0, render.end - render.next));
      RenderAudio(m_source->source, render.options, render.next, frames, render.mapping->Data());
      render.next += frames;
      written = std::uint64_t(frames) * render.frameBytes;
    });
  }

  HRESULT STDMETHODCALLTYPE EndAudioRender(BSTR* e) override {
    return GuardCall(e, [&] {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (!m_audio) FailState("no audio render is running; EndAudioRender needs a StartAudioRender first");
      m_audio.reset();
      m_project->server->cache.RenderEnded();
    });
  }

 protected:
  IUnknown* Find(REFIID iid) override { return IsEqualIID(iid, IID_IRenderer2) ? Identity() : nullptr; }

 private:
  struct VideoRender {
    VideoOptions options;
    FrameLayout layout;
    double stepSeconds = 0;
    std::unique_ptr<VideoGenerator> generator;
    std::unique_ptr<SectionMapping> mapping;
    std::string keyPrefix;
    std::string lastKey;
  };
  struct AudioRender {
    AudioOptions options;
    std::uint64_t frameBytes = 0;
    std::uint64_t framesPerBuffer = 0;
    std::int64_t next = 0;
    std::int64_t end = 0;
    std::unique_ptr<SectionMapping> mapping;
  };

  static std::u16string SectionName(BSTR name) {
    if (name == nullptr || SysStringLen(name) == 0) FailArgument("the section name is empty");
    return std::u16string(name, name + SysStringLen(name));
  }

  // Identifies the frames of one source under one set of options, for the
  // final-frame cache.
  std::string RenderKey(const VideoOptions& o) const {
    std::string key = m_project->path.string() + "|" + GuidText(m_source->id);
    for (LONG v : {o.lowQuality, o.preMultiply, o.fieldOrder, o.roiLeft, o.roiTop, o.roiRight, o.roiBottom, o.bitDepth,
                   o.channelOrder, o.stepValue, o.stepScale, o.boundsWidth, o.boundsHeight, o.rowBytes, o.downsampleX,
                   o.downsampleY, o.guideLayers}) {
      key += "|" + std::to_string(v);
    }
    return key + "@";
  }

  std::shared_ptr<ProjectState> m_project;
  const Node* m_source;
  std::mutex m_mutex;
  std::unique_ptr<VideoRender> m_video;
  std::unique_ptr<AudioRender> m_audio;
};

// ---------------------------------------------------------------- items

class ItemObject final : public ComObject<IItem2, IContainer2, ISource2> {
 public:
  using Primary = IItem2;
  ItemObject(std::shared_ptr<ProjectState> project, Node* node) : m_project(std::move(project)), m_node(node) {}

  static IUnknown* New(const std::shared_ptr<ProjectState>& project, Node* node) {
    return node == nullptr ? nullptr : (new ItemObject(project, node))->Identity();
  }
  Node* GetNode() const { return m_node; }

  // IItem2
  HRESULT STDMETHODCALLTYPE GetName(BSTR* name, BSTR* e) override {
    return Call(e, [&] { OutParam(name, "name") = NewBstr(m_node->name); });
  }
  HRESULT STDMETHODCALLTYPE GetID(GUID* id, BSTR* e) override {
    return Call(e, [&] { OutParam(id, "id") = m_node->id; });
  }
  HRESULT STDMETHODCALLTYPE GetParentItem(IUnknown** parent, BSTR* e) override {
    return Call(e, [&] { OutParam(parent, "parent") = New(m_project, m_node->parent); });
  }
  HRESULT STDMETHODCALLTYPE GetType(LONG* type, BSTR* e) override {
    return Call(e, [&] {
      OutParam(type, "type") =
          static_cast<LONG>(m_node->kind == NodeKind::kSource ? ItemTypeCode::kSource : ItemTypeCode::kPlainOrBin);
    });
  }

  // IContainer2
  HRESULT STDMETHODCALLTYPE GetFirstItem(IUnknown** first, BSTR* e) override {
    return Call(e, [&] {
      IUnknown*& out = OutParam(first, "first");
      std::lock_guard<std::mutex> lock(m_project->mutex);
      out = m_node->children.empty() ? nullptr : New(m_project, m_node->children.front().get());
    });
  }
  HRESULT STDMETHODCALLTYPE GetNextItem(IUnknown* current, IUnknown** next, BSTR* e) override {
    return Call(e, [&] {
      IUnknown*& out = OutParam(next, "next");
      if (current == nullptr) FailArgument("GetNextItem needs the current item; none was given");
      auto item = Implementation<ItemObject>(current, IID_ItemImplementation);
      if (!item) FailArgument("the current item is not an item of this server");
      std::lock_guard<std::mutex> lock(m_project->mutex);
      const auto& children = m_node->children;
      auto at = std::find_if(children.begin(), children.end(),
                             [&](const std::unique_ptr<Node>& child) { return child.get() == item->GetNode(); });
      if (at == children.end()) {
        FailArgument("the item '" + item->GetNode()->name + "' is not in the bin '" + m_node->name + "'");
      }
      ++at;
      out = at == children.end() ? nullptr : New(m_project, at->get());
    });
  }

  // ISource2
  HRESULT STDMETHODCALLTYPE GetDuration(LONG* value, LONG* scale, BSTR* e) override {
    return Call(e, [&] {
      LONG& v = OutParam(value, "value");
      LONG& s = OutParam(scale, "scale");
      v = m_node->source.durationValue, s = m_node->source.durationScale;
    });
  }
  HRESULT STDMETHODCALLTYPE GetPixelAspectRatio(LONG* numerator, LONG* denominator, BSTR* e) override {
    return Call(e, [&] {
      LONG& n = OutParam(numerator, "numerator");
      LONG& d = OutParam(denominator, "denominator");
      n = m_node->source.aspectNumerator, d = m_node->source.aspectDenominator;
    });
  }
  HRESULT STDMETHODCALLTYPE GetFrameSize(LONG* width, LONG* height, BSTR* e) override {
    return Call(e, [&] {
      LONG& w = OutParam(width, "width");
      LONG& h = OutParam(height, "height");
      w = m_node->source.width, h = m_node->source.height;
    });
  }
  HRESULT STDMETHODCALLTYPE GetFrameRate(double* rate, BSTR* e) override {
    return Call(e, [&] { OutParam(rate, "rate") = m_node->source.frameRate; });
  }
  HRESULT STDMETHODCALLTYPE GetBitDepth(LONG* depth, BSTR* e) override {
    return Call(e, [&] { OutParam(depth, "depth") = m_node->source.bitDepth; });
  }
  HRESULT STDMETHODCALLTYPE GetTimeStamp(LONG* stamp, BSTR* e) override {
    return Call(e, [&] { OutParam(stamp, "stamp") = m_node->source.timeStamp; });
  }
  HRESULT STDMETHODCALLTYPE IsNewerThan(LONG stamp, LONG* newer, BSTR* e) override {
    return Call(e, [&] { OutParam(newer, "newer") = m_node->source.timeStamp > stamp ? 1 : 0; });
  }
  HRESULT STDMETHODCALLTYPE HasAudio(LONG* hasAudio, BSTR* e) override {
    return Call(e, [&] { OutParam(hasAudio, "hasAudio") = m_node->source.HasAudio() ? 1 : 0; });
  }
  HRESULT STDMETHODCALLTYPE HasVideo(LONG* hasVideo, BSTR* e) override {
    return Call(e, [&] { OutParam(hasVideo, "hasVideo") = m_node->source.HasVideo() ? 1 : 0; });
  }
  HRESULT STDMETHODCALLTYPE GetRenderer(IUnknown** renderer, BSTR* e) override {
    return Call(e, [&] { OutParam(renderer, "renderer") = (new RendererObject(m_project, m_node))->Identity(); });
  }

 protected:
  IUnknown* Find(REFIID iid) override {
    if (IsEqualIID(iid, IID_IItem2) || IsEqualIID(iid, IID_ItemImplementation)) return Identity();
    if (IsEqualIID(iid, IID_IContainer2) && m_node->kind == NodeKind::kBin) return static_cast<IContainer2*>(this);
    if (IsEqualIID(iid, IID_ISource2) && m_node->kind == NodeKind::kSource) return static_cast<ISource2*>(this);
    return nullptr;
  }

 private:
  template <class Body>
  HRESULT Call(BSTR* e, Body&& body) {
    return GuardCall(e, [&] {
      m_project->CheckOpen();
      body();
    });
  }

  std::shared_ptr<ProjectState> m_project;
  Node* m_node;
};

// ---------------------------------------------------------------- project

class ProjectObject final : public ComObject<IProject2> {
 public:
  using Primary = IProject2;
  explicit ProjectObject(std::shared_ptr<ProjectState> state) : m_state(std::move(state)) {}
  const std::shared_ptr<ProjectState>& State() const { return m_state; }

  HRESULT STDMETHODCALLTYPE GetName(BSTR* name, BSTR* e) override {
    return Call(e, [&] { OutParam(name, "name") = NewBstr(m_state->model.name); });
  }
  HRESULT STDMETHODCALLTYPE GetPath(BSTR* path, BSTR* e) override {
    return Call(e, [&] { OutParam(path, "path") = NewBstr(m_state->path.string()); });
  }
  HRESULT STDMETHODCALLTYPE GetSource(GUID* sourceId, IUnknown** source, BSTR* e) override {
    return Call(e, [&] {
      IUnknown*& out = OutParam(source, "source");
      if (sourceId == nullptr) FailArgument("no source GUID was given");
      out = ItemObject::New(m_state, FindSource(m_state, *sourceId));
    });
  }
  HRESULT STDMETHODCALLTYPE GetRootItem(IUnknown** item, BSTR* e) override {
    return Call(e, [&] { OutParam(item, "item") = ItemObject::New(m_state, m_state->model.root.get()); });
  }

  static Node* FindSource(const std::shared_ptr<ProjectState>& state, const GUID& id) {
    std::lock_guard<std::mutex> lock(state->mutex);
    Node* node = state->model.Find(id);
    if (node == nullptr) {
      FailArgument("the project '" + state->model.name + "' holds no item with GUID " + GuidText(id));
    }
    if (node->kind != NodeKind::kSource) {
      FailArgument("the item '" + node->name + "' (" + GuidText(id) + ") is not a source");
    }
    return node;
  }

 protected:
  IUnknown* Find(REFIID iid) override {
    return IsEqualIID(iid, IID_IProject2) || IsEqualIID(iid, IID_ProjectImplementation) ? Identity() : nullptr;
  }

 private:
  template <class Body>
  HRESULT Call(BSTR* e, Body&& body) {
    return GuardCall(e, [&] {
      m_state->CheckOpen();
      body();
    });
  }

  std::shared_ptr<ProjectState> m_state;
};

// ---------------------------------------------------------------- server

class ServerObject final : public ComObject<IServer2, IOrraExtras2> {
 public:
  using Primary = IServer2;
  explicit ServerObject(std::shared_ptr<SectionProvider> sections) : m_state(std::make_shared<ServerState>()) {
    m_state->sections = std::move(sections);
  }

  ServerInspection Inspect() {
    ServerInspection result;
    result.cache = &m_state->cache;
    result.openProjects = static_cast<int>(m_state->OpenProjects().size());
    std::lock_guard<std::mutex> lock(m_state->mutex);
    result.selfLinks = m_state->selfLinks;
    return result;
  }

  // IServer2
  HRESULT STDMETHODCALLTYPE GetVersion(LONG* version, BSTR* e) override {
    return GuardCall(e, [&] { OutParam(version, "version") = kServerVersion; });
  }
  HRESULT STDMETHODCALLTYPE GetMinimumMemoryRequirements(ULONGLONG* bytes, BSTR* e) override {
    return GuardCall(e, [&] {
      ULONGLONG& out = OutParam(bytes, "bytes");
      // A render of an image source needs its decoded still in memory; the
      // largest of them among the open projects is the least the server
      // can work with.
      std::uint64_t largest = 0;
      for (const auto& project : m_state->OpenProjects()) {
        std::lock_guard<std::mutex> lock(project->mutex);
        std::vector<const Node*> pending{project->model.root.get()};
        while (!pending.empty()) {
          const Node* node = pending.back();
          pending.pop_back();
          if (node->kind == NodeKind::kSource && node->source.video.kind == VideoKind::kImage) {
            largest = std::max<std::uint64_t>(largest, std::uint64_t(node->source.width) * node->source.height * 4);
          }
          for (const auto& child : node->children) pending.push_back(child.get());
        }
      }
      out = largest;
    });
  }
  HRESULT STDMETHODCALLTYPE SetIdleTimeMemoryUsage(ULONGLONG bytes, BSTR* e) override {
    return GuardCall(e, [&] { m_state->cache.SetIdleBudget(bytes); });
  }
  HRESULT STDMETHODCALLTYPE SetTemporaryMemoryUsage(ULONGLONG bytes, BSTR* e) override {
    return GuardCall(e, [&] { m_state->cache.SetTemporaryBudget(bytes); });
  }
  HRESULT STDMETHODCALLTYPE GetCurrentMemoryUsage(ULONGLONG* bytes, BSTR* e) override {
    return GuardCall(e, [&] { OutParam(bytes, "bytes") = m_state->cache.Usage(); });
  }
  HRESULT STDMETHODCALLTYPE PurgeMemory(BSTR* e) override {
    return GuardCall(e, [&] { m_state->cache.Purge(); });
  }
  HRESULT STDMETHODCALLTYPE CacheFinalFrame(LONG cache, BSTR* e) override {
    return GuardCall(e, [&] {
      m_state->cacheFinalFrame.store(cache != 0);
      if (cache == 0) m_state->cache.DropFinalFrames();
    });
  }
  HRESULT STDMETHODCALLTYPE GetProjectExtension(BSTR* extension, BSTR* e) override {
    return GuardCall(e, [&] { OutParam(extension, "extension") = NewBstr(kProjectExtension); });
  }
  HRESULT STDMETHODCALLTYPE OpenProject(BSTR path, IUnknown** project, BSTR* e) override {
    return GuardCall(e, [&] {
      IUnknown*& out = OutParam(project, "project");
      out = (new ProjectObject(Open(FromBstr(path))))->Identity();
    });
  }
  HRESULT STDMETHODCALLTYPE OpenProjectShowSource(BSTR path, GUID* sourceId, IUnknown** project, IUnknown** source,
                                                  BSTR* e) override {
    return GuardCall(e, [&] {
      IUnknown*& projectOut = OutParam(project, "project");
      IUnknown*& sourceOut = OutParam(source, "source");
      if (sourceId == nullptr) FailArgument("no source GUID was given");
      std::shared_ptr<ProjectState> state = Open(FromBstr(path));
      Handed projectRef, sourceRef;
      try {
        sourceRef.Attach(ItemObject::New(state, ProjectObject::FindSource(state, *sourceId)));
        projectRef.Attach((new ProjectObject(state))->Identity());
      } catch (...) {
        Forget(state);
        throw;
      }
      projectOut = projectRef.Detach();
      sourceOut = sourceRef.Detach();
    });
  }
  HRESULT STDMETHODCALLTYPE CloseProject(IUnknown* project, BSTR* e) override {
    return GuardCall(e, [&] {
      if (project == nullptr) FailArgument("CloseProject needs a project; none was given");
      auto impl = Implementation<ProjectObject>(project, IID_ProjectImplementation);
      if (!impl) FailArgument("the object given to CloseProject is not a project of this server");
      if (impl->State()->server != m_state) FailArgument("the project was opened by another server");
      if (impl->State()->closed.exchange(true)) {
        FailState("the project '" + impl->State()->model.name + "' is already closed");
      }
      Forget(impl->State());
    });
  }
  HRESULT STDMETHODCALLTYPE CreateSource(BSTR path, LONG width, LONG height, LONG aspectNumerator,
                                         LONG aspectDenominator, LONG durationValue, LONG durationScale,
                                         double frameRate, IUnknown** project, IUnknown** source, BSTR* e) override {
    return GuardCall(e, [&] {
      IUnknown*& projectOut = OutParam(project, "project");
      IUnknown*& sourceOut = OutParam(source, "source");
      const std::filesystem::path file = CheckedPath(FromBstr(path));
      if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) {
        FailArgument("frame size " + std::to_string(width) + "x" + std::to_string(height) +
                     " is out of range (1 to 32768)");
      }
      if (aspectNumerator < 1 || aspectDenominator < 1) {
        FailArgument("pixel aspect ratio " + std::to_string(aspectNumerator) + ":" + std::to_string(aspectDenominator) +
                     " must have two positive words");
      }
      if (durationValue < 1 || durationScale < 1) {
        FailArgument("duration " + std::to_string(durationValue) + "/" + std::to_string(durationScale) +
                     " must have two positive words");
      }
      if (!(frameRate > 0 && frameRate <= 1000)) {
        FailArgument("frame rate " + std::to_string(frameRate) + " is out of range (above 0, at most 1000)");
      }
      ProjectModel model;
      model.name = file.stem().string();
      model.root = std::make_unique<Node>();
      model.root->kind = NodeKind::kBin;
      model.root->name = model.name;
      model.root->id = NewGuid();
      auto node = std::make_unique<Node>();
      node->kind = NodeKind::kSource;
      node->name = model.name;
      node->id = NewGuid();
      SourceDesc& desc = node->source;
      desc.width = width, desc.height = height;
      desc.aspectNumerator = aspectNumerator, desc.aspectDenominator = aspectDenominator;
      desc.durationValue = durationValue, desc.durationScale = durationScale;
      desc.frameRate = frameRate;
      desc.video.kind = VideoKind::kFrameNumber;
      const GUID sourceId = node->id;
      model.root->AddChild(std::move(node));
      try {
        WriteNewProjectFile(file, model);
      } catch (const std::runtime_error& error) {
        Fail(std::filesystem::exists(file) ? HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS) : E_FAIL, error.what());
      }
      std::shared_ptr<ProjectState> state = Open(file.string());
      Handed sourceRef = Handed::Adopt(ItemObject::New(state, ProjectObject::FindSource(state, sourceId)));
      Handed projectRef = Handed::Adopt((new ProjectObject(state))->Identity());
      projectOut = projectRef.Detach();
      sourceOut = sourceRef.Detach();
    });
  }

  // IOrraExtras2
  HRESULT STDMETHODCALLTYPE SendFile(BSTR path, BSTR* e) override {
    return GuardCall(e, [&] {
      const std::string text = FromBstr(path);
      if (text.empty()) FailArgument("SendFile needs a file path; the path is empty");
      const std::filesystem::path file = std::filesystem::absolute(text).lexically_normal();
      std::error_code error;
      if (!std::filesystem::exists(file, error)) {
        Fail(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "cannot take '" + text + "': no such file");
      }
      if (!std::filesystem::is_regular_file(file, error)) FailArgument("cannot take '" + text + "': it is not a file");
      if (!LooksLikePng(file)) {
        FailArgument("cannot take '" + text + "': only PNG images can be added to a project, and this is none");
      }
      std::vector<std::shared_ptr<ProjectState>> open = m_state->OpenProjects();
      if (open.empty()) FailState("no project is open to receive '" + text + "'");
      PngSize size;
      try {
        size = ReadPngSize(file);
      } catch (const std::runtime_error& failure) {
        Fail(E_FAIL, failure.what());
      }
      auto node = std::make_unique<Node>();
      node->kind = NodeKind::kSource;
      node->name = file.stem().string();
      node->id = NewGuid();
      SourceDesc& desc = node->source;
      desc.width = static_cast<std::int32_t>(size.width);
      desc.height = static_cast<std::int32_t>(size.height);
      desc.frameRate = 25;
      desc.durationValue = 250, desc.durationScale = 25;  // ten seconds of the still
      const auto written = std::filesystem::last_write_time(file, error);
      const auto secondsSinceEpoch =
          std::chrono::duration_cast<std::chrono::seconds>(std::chrono::file_clock::to_sys(written).time_since_epoch())
              .count();
      desc.timeStamp = static_cast<std::int32_t>(std::clamp<long long>(secondsSinceEpoch, 0, INT32_MAX));
      desc.video.kind = VideoKind::kImage;
      desc.video.imageText = file.string();
      desc.video.imagePath = file;
      // The newest open project receives the file; its file on disk is not
      // rewritten.
      const std::shared_ptr<ProjectState>& target = open.back();
      std::lock_guard<std::mutex> lock(target->mutex);
      target->model.root->AddChild(std::move(node));
    });
  }
  HRESULT STDMETHODCALLTYPE AnnounceSelfLink(BSTR* e) override {
    return GuardCall(e, [&] {
      std::lock_guard<std::mutex> lock(m_state->mutex);
      ++m_state->selfLinks;
    });
  }
  HRESULT STDMETHODCALLTYPE WithdrawSelfLink(BSTR* e) override {
    return GuardCall(e, [&] {
      std::lock_guard<std::mutex> lock(m_state->mutex);
      if (m_state->selfLinks == 0) FailState("no self link has been announced, so none can be withdrawn");
      --m_state->selfLinks;
    });
  }

 protected:
  IUnknown* Find(REFIID iid) override {
    if (IsEqualIID(iid, IID_IServer2) || IsEqualIID(iid, IID_ServerImplementation)) return Identity();
    if (IsEqualIID(iid, IID_IOrraExtras2)) return static_cast<IOrraExtras2*>(this);
    return nullptr;
  }

 private:
  static std::filesystem::path CheckedPath(const std::string& text) {
    if (text.empty()) FailArgument("the project path is empty");
    return std::filesystem::absolute(text).lexically_normal();
  }

  std::shared_ptr<ProjectState> Open(const std::string& text) {
    const std::filesystem::path file = CheckedPath(text);
    auto state = std::make_shared<ProjectState>();
    state->server = m_state;
    state->path = file;
    try {
      state->model = LoadProjectFile(file);
    } catch (const ProjectFormatError& error) {
      std::error_code ignored;
      Fail(std::filesystem::exists(file, ignored) ? E_FAIL : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), error.what());
    }
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->openProjects.push_back(state);
    return state;
  }

  void Forget(const std::shared_ptr<ProjectState>& state) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    auto& open = m_state->openProjects;
    open.erase(std::remove_if(open.begin(), open.end(),
                              [&](const std::weak_ptr<ProjectState>& weak) {
                                auto held = weak.lock();
                                return !held || held == state;
                              }),
               open.end());
  }

  std::shared_ptr<ServerState> m_state;
};

}  // namespace

IServer2* CreateLinkServer(std::shared_ptr<SectionProvider> sections) { return new ServerObject(std::move(sections)); }

std::int64_t LiveObjectCount() { return detail::g_liveObjects.load(); }

ServerInspection InspectServer(IUnknown* server) {
  auto impl = Implementation<ServerObject>(server, IID_ServerImplementation);
  return impl ? impl->Inspect() : ServerInspection{};
}

}  // namespace linkserver
