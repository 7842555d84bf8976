// The options of a video or audio render, held by the link server. The
// library stores no option value: every setter sends at once and every
// getter asks the server; ranges and defaults are the server's.
#pragma once

#include <moravane/BaseObject.h>
#include <moravane/Types.h>

namespace moravane {

struct IVideoRenderOptions2;
struct IAudioRenderOptions2;

class MORAVANE_API VideoRenderOptions_Base {
 public:
  VideoRenderOptions_Base() {}
  VideoRenderOptions_Base(const VideoRenderOptions_Base&) {}
  VideoRenderOptions_Base& operator=(const VideoRenderOptions_Base&) { return *this; }
  virtual ~VideoRenderOptions_Base() {}

  virtual void SetLowQuality(bool lowQuality) = 0;
  virtual bool GetLowQuality() = 0;
  virtual void SetPreMultiply(LONG preMultiply) = 0;
  virtual LONG GetPreMultiply() = 0;
  virtual void SetFieldOrder(LONG fieldOrder) = 0;
  virtual LONG GetFieldOrder() = 0;
  virtual void SetRegionOfInterest(const kelvex::geom::RectT<LONG>& region) = 0;
  virtual kelvex::geom::RectT<LONG> GetRegionOfInterest() = 0;
  virtual void SetBitDepth(LONG bitDepth) = 0;
  virtual LONG GetBitDepth() = 0;
  virtual void SetChannelOrder(LONG channelOrder) = 0;
  virtual LONG GetChannelOrder() = 0;
  virtual void SetTimeStep(const kelvex::time::RatioTime& step) = 0;
  virtual kelvex::time::RatioTime GetTimeStep() = 0;
  virtual void SetBounds(LONG width, LONG height) = 0;
  virtual void GetBounds(LONG& width, LONG& height) = 0;
  virtual void SetRowBytes(LONG rowBytes) = 0;
  virtual LONG GetRowBytes() = 0;
  virtual void SetDownsampleFactor(LONG x, LONG y) = 0;
  virtual void GetDownsampleFactor(LONG& x, LONG& y) = 0;
  virtual void SetRenderGuideLayers(bool render) = 0;
  virtual bool GetRenderGuideLayers() = 0;
  virtual ULONGLONG GetMaxMemoryRequiredForFrame() = 0;
};

class MORAVANE_API VideoRenderOptions : public VideoRenderOptions_Base,
                                        public BaseObject<IVideoRenderOptions2, VideoRenderOptions> {
 public:
  VideoRenderOptions();
  VideoRenderOptions(const VideoRenderOptions& other);
  VideoRenderOptions& operator=(const VideoRenderOptions& other);
  virtual ~VideoRenderOptions();

  virtual void SetLowQuality(bool lowQuality) override;
  virtual bool GetLowQuality() override;
  virtual void SetPreMultiply(LONG preMultiply) override;
  virtual LONG GetPreMultiply() override;
  virtual void SetFieldOrder(LONG fieldOrder) override;
  virtual LONG GetFieldOrder() override;
  virtual void SetRegionOfInterest(const kelvex::geom::RectT<LONG>& region) override;
  virtual kelvex::geom::RectT<LONG> GetRegionOfInterest() override;
  virtual void SetBitDepth(LONG bitDepth) override;
  virtual LONG GetBitDepth() override;
  virtual void SetChannelOrder(LONG channelOrder) override;
  virtual LONG GetChannelOrder() override;
  virtual void SetTimeStep(const kelvex::time::RatioTime& step) override;
  virtual kelvex::time::RatioTime GetTimeStep() override;
  virtual void SetBounds(LONG width, LONG height) override;
  // The server writes straight into the caller's variables, also when the
  // call then fails; the library does not initialise them.
  virtual void GetBounds(LONG& width, LONG& height) override;
  virtual void SetRowBytes(LONG rowBytes) override;
  virtual LONG GetRowBytes() override;
  virtual void SetDownsampleFactor(LONG x, LONG y) override;
  virtual void GetDownsampleFactor(LONG& x, LONG& y) override;
  virtual void SetRenderGuideLayers(bool render) override;
  virtual bool GetRenderGuideLayers() override;
  virtual ULONGLONG GetMaxMemoryRequiredForFrame() override;

 protected:
  VideoRenderOptions(comsupport::CComPtr<IUnknown> unknown);

  void SetLowQualityExecutor(bool lowQuality);
  void GetLowQualityExecutor(bool* lowQuality);
  void SetPreMultiplyExecutor(LONG preMultiply);
  void GetPreMultiplyExecutor(LONG* preMultiply);
  void SetFieldOrderExecutor(LONG fieldOrder);
  void GetFieldOrderExecutor(LONG* fieldOrder);
  void SetRegionOfInterestExecutor(const kelvex::geom::RectT<LONG>& region);
  void GetRegionOfInterestExecutor(kelvex::geom::RectT<LONG>* region);
  void SetBitDepthExecutor(LONG bitDepth);
  void GetBitDepthExecutor(LONG* bitDepth);
  void SetChannelOrderExecutor(LONG channelOrder);
  void GetChannelOrderExecutor(LONG* channelOrder);
  void SetTimeStepExecutor(const kelvex::time::RatioTime& step);
  void GetTimeStepExecutor(kelvex::time::RatioTime* step);
  void SetBoundsExecutor(LONG width, LONG height);
  void GetBoundsExecutor(LONG* width, LONG* height);
  void SetRowBytesExecutor(LONG rowBytes);
  void GetRowBytesExecutor(LONG* rowBytes);
  void SetDownsampleFactorExecutor(LONG x, LONG y);
  void GetDownsampleFactorExecutor(LONG* x, LONG* y);
  void SetRenderGuideLayersExecutor(bool render);
  void GetRenderGuideLayersExecutor(bool* render);
  void GetMaxMemoryRequiredForFrameExecutor(ULONGLONG* bytes);

 private:
  friend class detail::HandleAccess;
};

class MORAVANE_API AudioRenderOptions_Base {
 public:
  AudioRenderOptions_Base() {}
  AudioRenderOptions_Base(const AudioRenderOptions_Base&) {}
  AudioRenderOptions_Base& operator=(const AudioRenderOptions_Base&) { return *this; }
  virtual ~AudioRenderOptions_Base() {}

  virtual void SetSampleRate(double rate) = 0;
  virtual double GetSampleRate() = 0;
  virtual void SetNumChannels(LONG channels) = 0;
  virtual LONG GetNumChannels() = 0;
  virtual void SetEncoding(LONG encoding) = 0;
  virtual LONG GetEncoding() = 0;
  virtual void SetBytesPerSample(LONG bytes) = 0;
  virtual LONG GetBytesPerSample() = 0;
};

class MORAVANE_API AudioRenderOptions : public AudioRenderOptions_Base,
                                        public BaseObject<IAudioRenderOptions2, AudioRenderOptions> {
 public:
  AudioRenderOptions();
  AudioRenderOptions(const AudioRenderOptions& other);
  AudioRenderOptions& operator=(const AudioRenderOptions& other);
  virtual ~AudioRenderOptions();

  virtual void SetSampleRate(double rate) override;
  virtual double GetSampleRate() override;
  virtual void SetNumChannels(LONG channels) override;
  virtual LONG GetNumChannels() override;
  virtual void SetEncoding(LONG encoding) override;
  virtual LONG GetEncoding() override;
  virtual void SetBytesPerSample(LONG bytes) override;
  virtual LONG GetBytesPerSample() override;

 protected:
  AudioRenderOptions(comsupport::CComPtr<IUnknown> unknown);

  void SetSampleRateExecutor(double rate);
  void GetSampleRateExecutor(double* rate);
  void SetNumChannelsExecutor(LONG channels);
  void GetNumChannelsExecutor(LONG* channels);
  void SetEncodingExecutor(LONG encoding);
  void GetEncodingExecutor(LONG* encoding);
  void SetBytesPerSampleExecutor(LONG bytes);
  void GetBytesPerSampleExecutor(LONG* bytes);

 private:
  friend class detail::HandleAccess;
};

}  // namespace moravane
