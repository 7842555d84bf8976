// The renderer of a source: one video and one audio render at a time, each
// into the host's section.
#include "ObjectState.h"

namespace linkserver {
namespace objects {
namespace {

class RendererObject final : public ComObject<IRenderer2> {
 public:
  using Primary = IRenderer2;
  RendererObject(std::shared_ptr<ProjectState> project, const Node* source)
      : m_project(std::move(project)), m_source(source) {}

  HRESULT STDMETHODCALLTYPE CreateVideoRenderOptions(IUnknown** options, BSTR* e) override {
    return GuardCall(e, [&] {
      IUnknown*& out = OutParam(options, "options");
      m_project->CheckOpen();
      out = NewVideoOptions(m_project, m_source).Detach();
    });
  }
  HRESULT STDMETHODCALLTYPE CreateAudioRenderOptions(IUnknown** options, BSTR* e) override {
    return GuardCall(e, [&] {
      IUnknown*& out = OutParam(options, "options");
      m_project->CheckOpen();
      out = NewAudioOptions().Detach();
    });
  }

  HRESULT STDMETHODCALLTYPE StartVideoRender(IVideoRenderOptions2* options, BSTR sectionName, ULONGLONG sectionSize,
                                             BSTR* e) override {
    return GuardCall(e, [&] {
      std::lock_guard<std::mutex> lock(m_mutex);
      const SourceDesc& source = m_source->source;
      auto render = std::make_unique<VideoRender>();
      render->options = CheckStart(m_video != nullptr, source.HasVideo(), "a video", VideoOptionsOf(options));
      render->layout = ComputeLayout(render->options, source.width, source.height);
      render->stepSeconds = double(render->options.stepValue) / render->options.stepScale;
      if (sectionSize < render->layout.frameBytes) {
        FailArgument("the section of " + std::to_string(sectionSize) + " bytes is too small for a frame of " +
                     std::to_string(render->layout.frameBytes) + " bytes");
      }
      const std::u16string name = SectionName(sectionName);
      // The render counts as running from here, so that the still it loads
      // is cached under the temporary budget; a start that fails below ends
      // it with `render`.
      FrameCache& cache = m_project->server->cache;
      render->running.emplace(cache);
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
        render.writes.Write(render.layout.frameBytes, [&](bool streamed) {
          RenderFrame(*render.generator, render.layout, render.options, seconds, render.stepSeconds, streamed, frame);
        });
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
      // Stored while the render still runs, under the temporary budget; the
      // render ends with `render`.
      if (server.cacheFinalFrame.load() && !render->lastKey.empty()) {
        server.cache.StoreFinalFrame(render->lastKey, render->mapping->Data(), render->layout.frameBytes);
      }
    });
  }

  HRESULT STDMETHODCALLTYPE StartAudioRender(LONG timeValue, LONG timeScale, LONG samplesPerBuffer,
                                             IAudioRenderOptions2* options, BSTR sectionName, ULONGLONG sectionSize,
                                             BSTR* e) override {
    return GuardCall(e, [&] {
      std::lock_guard<std::mutex> lock(m_mutex);
      const SourceDesc& source = m_source->source;
      auto render = std::make_unique<AudioRender>();
      render->options = CheckStart(m_audio != nullptr, source.HasAudio(), "an audio", AudioOptionsOf(options));
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
      render->running.emplace(m_project->server->cache);
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
      m_audio.reset();  // ends the render
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
    FrameWriteChooser writes;
    std::optional<FrameCache::RunningRender> running;  // ends the render when the render goes
  };
  struct AudioRender {
    AudioOptions options;
    std::uint64_t frameBytes = 0;
    std::uint64_t framesPerBuffer = 0;
    std::int64_t next = 0;
    std::int64_t end = 0;
    std::unique_ptr<SectionMapping> mapping;
    std::optional<FrameCache::RunningRender> running;  // ends the render when the render goes
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

  // What a start call checks first, under m_mutex: the project is open, no
  // render of that kind runs, the source has that kind and the options given
  // are this server's. Returns those options. `render` is "a video" or
  // "an audio".
  template <class Options>
  Options CheckStart(bool running, bool sourceHasKind, const std::string& render, const std::optional<Options>& given) {
    const std::string kind = render.substr(render.find(' ') + 1);
    m_project->CheckOpen();
    if (running) FailState(render + " render is already running on this renderer; end it first");
    if (!sourceHasKind) FailArgument("the source '" + m_source->name + "' has no " + kind);
    if (!given) FailArgument("no " + kind + " render options of this server were given");
    return *given;
  }

  std::shared_ptr<ProjectState> m_project;
  const Node* m_source;
  std::mutex m_mutex;
  std::unique_ptr<VideoRender> m_video;
  std::unique_ptr<AudioRender> m_audio;
};

}  // namespace

Handed NewRenderer(std::shared_ptr<ProjectState> project, const Node* source) {
  return Handed::Adopt((new RendererObject(std::move(project), source))->Identity());
}

}  // namespace objects
}  // namespace linkserver
