// The render options objects: the values a render takes as a whole when it
// starts, each change checked and applied as a whole.
#include "ObjectState.h"

namespace linkserver {
namespace objects {
namespace {

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
      const std::string region = "the region of interest (" + std::to_string(l) + ", " + std::to_string(t) + ", " +
                                 std::to_string(r) + ", " + std::to_string(b) + ")";
      if (!whole && (l < 0 || t < 0 || r > kMaxSide || b > kMaxSide)) {
        FailArgument(region + " is out of range: each coordinate is 0 to " + std::to_string(kMaxSide));
      }
      if (!whole && (r <= l || b <= t)) {
        FailArgument(region + " is not a non-empty rectangle with left < right and top < bottom");
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
    return GetPair(e, {value, "value"}, &VideoOptions::stepValue, {scale, "scale"}, &VideoOptions::stepScale);
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
    return GetPair(e, {width, "width"}, &VideoOptions::boundsWidth, {height, "height"}, &VideoOptions::boundsHeight);
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
    return GetPair(e, {x, "x"}, &VideoOptions::downsampleX, {y, "y"}, &VideoOptions::downsampleY);
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
  // Two values of one snapshot, so that they always belong together.
  struct Named {
    LONG* address;
    const char* name;
  };
  HRESULT GetPair(BSTR* e, Named first, LONG VideoOptions::*firstField, Named second, LONG VideoOptions::*secondField) {
    return GuardCall(e, [&] {
      LONG& firstValue = OutParam(first.address, first.name);
      LONG& secondValue = OutParam(second.address, second.name);
      const VideoOptions o = Snapshot();
      firstValue = o.*firstField, secondValue = o.*secondField;
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
      if (v < 1 || v > kMaxChannels) {
        FailArgument("channel count " + std::to_string(v) + " is out of range (1 to " + std::to_string(kMaxChannels) +
                     ")");
      }
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

}  // namespace

Handed NewVideoOptions(std::shared_ptr<ProjectState> project, const Node* source) {
  return Handed::Adopt((new VideoOptionsObject(std::move(project), source))->Identity());
}

Handed NewAudioOptions() { return Handed::Adopt((new AudioOptionsObject())->Identity()); }

std::optional<VideoOptions> VideoOptionsOf(IUnknown* options) {
  auto impl = Implementation<VideoOptionsObject>(options, IID_VideoOptionsImplementation);
  return impl ? std::optional<VideoOptions>(impl->Snapshot()) : std::nullopt;
}

std::optional<AudioOptions> AudioOptionsOf(IUnknown* options) {
  auto impl = Implementation<AudioOptionsObject>(options, IID_AudioOptionsImplementation);
  return impl ? std::optional<AudioOptions>(impl->Snapshot()) : std::nullopt;
}

}  // namespace objects
}  // namespace linkserver
