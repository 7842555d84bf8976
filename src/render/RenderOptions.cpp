// Every setter sends its value at once and every getter asks the server:
// no option value is kept here. Flags go out as 1 or 0 and come back as a
// 32-bit flag tested against 0; rectangles and times go word by word in
// stored order. The getters that return a value directly let the server
// write straight into the public method's result.
#include <moravane/RenderOptions.h>

#include "objects/HandleCalls.h"

namespace moravane {

using server::CallRemote;
using server::DispatchCall;

VideoRenderOptions::VideoRenderOptions() {}
VideoRenderOptions::VideoRenderOptions(const VideoRenderOptions& other)
    : VideoRenderOptions_Base(other), BaseObject<IVideoRenderOptions2, VideoRenderOptions>(other) {}
VideoRenderOptions::VideoRenderOptions(comsupport::CComPtr<IUnknown> unknown)
    : BaseObject<IVideoRenderOptions2, VideoRenderOptions>(unknown.p) {}
VideoRenderOptions::~VideoRenderOptions() {}

VideoRenderOptions& VideoRenderOptions::operator=(const VideoRenderOptions& other) {
  BaseObject<IVideoRenderOptions2, VideoRenderOptions>::operator=(other);
  return *this;
}

void VideoRenderOptions::SetLowQuality(bool value) {
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::SetLowQualityExecutor, this, value), errorText);
}

bool VideoRenderOptions::GetLowQuality() {
  bool result = false;
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::GetLowQualityExecutor, this, &result), errorText);
  return result;
}

void VideoRenderOptions::SetPreMultiply(LONG value) {
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::SetPreMultiplyExecutor, this, value), errorText);
}

LONG VideoRenderOptions::GetPreMultiply() {
  LONG result = 0;
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::GetPreMultiplyExecutor, this, &result), errorText);
  return result;
}

void VideoRenderOptions::SetFieldOrder(LONG value) {
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::SetFieldOrderExecutor, this, value), errorText);
}

LONG VideoRenderOptions::GetFieldOrder() {
  LONG result = 0;
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::GetFieldOrderExecutor, this, &result), errorText);
  return result;
}

void VideoRenderOptions::SetRegionOfInterest(const kelvex::geom::RectT<LONG>& region) {
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::SetRegionOfInterestExecutor, this, region), errorText);
}

kelvex::geom::RectT<LONG> VideoRenderOptions::GetRegionOfInterest() {
  kelvex::geom::RectT<LONG> result;
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::GetRegionOfInterestExecutor, this, &result), errorText);
  return result;
}

void VideoRenderOptions::SetBitDepth(LONG value) {
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::SetBitDepthExecutor, this, value), errorText);
}

LONG VideoRenderOptions::GetBitDepth() {
  LONG result = 0;
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::GetBitDepthExecutor, this, &result), errorText);
  return result;
}

void VideoRenderOptions::SetChannelOrder(LONG value) {
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::SetChannelOrderExecutor, this, value), errorText);
}

LONG VideoRenderOptions::GetChannelOrder() {
  LONG result = 0;
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::GetChannelOrderExecutor, this, &result), errorText);
  return result;
}

void VideoRenderOptions::SetTimeStep(const kelvex::time::RatioTime& step) {
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::SetTimeStepExecutor, this, step), errorText);
}

kelvex::time::RatioTime VideoRenderOptions::GetTimeStep() {
  kelvex::time::RatioTime result;
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::GetTimeStepExecutor, this, &result), errorText);
  return result;
}

void VideoRenderOptions::SetBounds(LONG width, LONG height) {
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::SetBoundsExecutor, this, width, height), errorText);
}

void VideoRenderOptions::GetBounds(LONG& width, LONG& height) {
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::GetBoundsExecutor, this, &width, &height), errorText);
}

void VideoRenderOptions::SetRowBytes(LONG value) {
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::SetRowBytesExecutor, this, value), errorText);
}

LONG VideoRenderOptions::GetRowBytes() {
  LONG result = 0;
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::GetRowBytesExecutor, this, &result), errorText);
  return result;
}

void VideoRenderOptions::SetDownsampleFactor(LONG x, LONG y) {
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::SetDownsampleFactorExecutor, this, x, y), errorText);
}

void VideoRenderOptions::GetDownsampleFactor(LONG& x, LONG& y) {
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::GetDownsampleFactorExecutor, this, &x, &y), errorText);
}

void VideoRenderOptions::SetRenderGuideLayers(bool value) {
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::SetRenderGuideLayersExecutor, this, value), errorText);
}

bool VideoRenderOptions::GetRenderGuideLayers() {
  bool result = false;
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::GetRenderGuideLayersExecutor, this, &result), errorText);
  return result;
}

ULONGLONG VideoRenderOptions::GetMaxMemoryRequiredForFrame() {
  ULONGLONG result = 0;
  WideString errorText;
  DispatchCall(boost::bind(&VideoRenderOptions::GetMaxMemoryRequiredForFrameExecutor, this, &result), errorText);
  return result;
}

void VideoRenderOptions::SetLowQualityExecutor(bool value) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::SetLowQuality, server::ToFlag(value));
}

void VideoRenderOptions::GetLowQualityExecutor(bool* value) {
  LONG flag = 0;
  CallRemote(GetInterface(), &IVideoRenderOptions2::GetLowQuality, &flag);
  *value = flag != 0;
}

void VideoRenderOptions::SetPreMultiplyExecutor(LONG value) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::SetPreMultiply, value);
}

void VideoRenderOptions::GetPreMultiplyExecutor(LONG* value) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::GetPreMultiply, value);
}

void VideoRenderOptions::SetFieldOrderExecutor(LONG value) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::SetFieldOrder, value);
}

void VideoRenderOptions::GetFieldOrderExecutor(LONG* value) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::GetFieldOrder, value);
}

void VideoRenderOptions::SetRegionOfInterestExecutor(const kelvex::geom::RectT<LONG>& region) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::SetRegionOfInterest, region.left, region.top, region.right,
             region.bottom);
}

void VideoRenderOptions::GetRegionOfInterestExecutor(kelvex::geom::RectT<LONG>* region) {
  LONG left = 0;
  LONG top = 0;
  LONG right = 0;
  LONG bottom = 0;
  CallRemote(GetInterface(), &IVideoRenderOptions2::GetRegionOfInterest, &left, &top, &right, &bottom);
  *region = kelvex::geom::RectT<LONG>(left, top, right, bottom);
}

void VideoRenderOptions::SetBitDepthExecutor(LONG value) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::SetBitDepth, value);
}

void VideoRenderOptions::GetBitDepthExecutor(LONG* value) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::GetBitDepth, value);
}

void VideoRenderOptions::SetChannelOrderExecutor(LONG value) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::SetChannelOrder, value);
}

void VideoRenderOptions::GetChannelOrderExecutor(LONG* value) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::GetChannelOrder, value);
}

void VideoRenderOptions::SetTimeStepExecutor(const kelvex::time::RatioTime& step) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::SetTimeStep, step.value, step.scale);
}

void VideoRenderOptions::GetTimeStepExecutor(kelvex::time::RatioTime* step) {
  LONG value = 0;
  LONG scale = 0;
  CallRemote(GetInterface(), &IVideoRenderOptions2::GetTimeStep, &value, &scale);
  *step = kelvex::time::RatioTime(value, scale);
}

void VideoRenderOptions::SetBoundsExecutor(LONG width, LONG height) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::SetBounds, width, height);
}

void VideoRenderOptions::GetBoundsExecutor(LONG* width, LONG* height) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::GetBounds, width, height);
}

void VideoRenderOptions::SetRowBytesExecutor(LONG value) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::SetRowBytes, value);
}

void VideoRenderOptions::GetRowBytesExecutor(LONG* value) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::GetRowBytes, value);
}

void VideoRenderOptions::SetDownsampleFactorExecutor(LONG x, LONG y) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::SetDownsampleFactor, x, y);
}

void VideoRenderOptions::GetDownsampleFactorExecutor(LONG* x, LONG* y) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::GetDownsampleFactor, x, y);
}

void VideoRenderOptions::SetRenderGuideLayersExecutor(bool value) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::SetRenderGuideLayers, server::ToFlag(value));
}

void VideoRenderOptions::GetRenderGuideLayersExecutor(bool* value) {
  LONG flag = 0;
  CallRemote(GetInterface(), &IVideoRenderOptions2::GetRenderGuideLayers, &flag);
  *value = flag != 0;
}

void VideoRenderOptions::GetMaxMemoryRequiredForFrameExecutor(ULONGLONG* value) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::GetMaxMemoryRequiredForFrame, value);
}

AudioRenderOptions::AudioRenderOptions() {}
AudioRenderOptions::AudioRenderOptions(const AudioRenderOptions& other)
    : AudioRenderOptions_Base(other), BaseObject<IAudioRenderOptions2, AudioRenderOptions>(other) {}
AudioRenderOptions::AudioRenderOptions(comsupport::CComPtr<IUnknown> unknown)
    : BaseObject<IAudioRenderOptions2, AudioRenderOptions>(unknown.p) {}
AudioRenderOptions::~AudioRenderOptions() {}

AudioRenderOptions& AudioRenderOptions::operator=(const AudioRenderOptions& other) {
  BaseObject<IAudioRenderOptions2, AudioRenderOptions>::operator=(other);
  return *this;
}

void AudioRenderOptions::SetSampleRate(double value) {
  WideString errorText;
  DispatchCall(boost::bind(&AudioRenderOptions::SetSampleRateExecutor, this, value), errorText);
}

double AudioRenderOptions::GetSampleRate() {
  double result = 0.0;
  WideString errorText;
  DispatchCall(boost::bind(&AudioRenderOptions::GetSampleRateExecutor, this, &result), errorText);
  return result;
}

void AudioRenderOptions::SetNumChannels(LONG value) {
  WideString errorText;
  DispatchCall(boost::bind(&AudioRenderOptions::SetNumChannelsExecutor, this, value), errorText);
}

LONG AudioRenderOptions::GetNumChannels() {
  LONG result = 0;
  WideString errorText;
  DispatchCall(boost::bind(&AudioRenderOptions::GetNumChannelsExecutor, this, &result), errorText);
  return result;
}

void AudioRenderOptions::SetEncoding(LONG value) {
  WideString errorText;
  DispatchCall(boost::bind(&AudioRenderOptions::SetEncodingExecutor, this, value), errorText);
}

LONG AudioRenderOptions::GetEncoding() {
  LONG result = 0;
  WideString errorText;
  DispatchCall(boost::bind(&AudioRenderOptions::GetEncodingExecutor, this, &result), errorText);
  return result;
}

void AudioRenderOptions::SetBytesPerSample(LONG value) {
  WideString errorText;
  DispatchCall(boost::bind(&AudioRenderOptions::SetBytesPerSampleExecutor, this, value), errorText);
}

LONG AudioRenderOptions::GetBytesPerSample() {
  LONG result = 0;
  WideString errorText;
  DispatchCall(boost::bind(&AudioRenderOptions::GetBytesPerSampleExecutor, this, &result), errorText);
  return result;
}

void AudioRenderOptions::SetSampleRateExecutor(double value) {
  CallRemote(GetInterface(), &IAudioRenderOptions2::SetSampleRate, value);
}

void AudioRenderOptions::GetSampleRateExecutor(double* value) {
  CallRemote(GetInterface(), &IAudioRenderOptions2::GetSampleRate, value);
}

void AudioRenderOptions::SetNumChannelsExecutor(LONG value) {
  CallRemote(GetInterface(), &IAudioRenderOptions2::SetNumChannels, value);
}

void AudioRenderOptions::GetNumChannelsExecutor(LONG* value) {
  CallRemote(GetInterface(), &IAudioRenderOptions2::GetNumChannels, value);
}

void AudioRenderOptions::SetEncodingExecutor(LONG value) {
  CallRemote(GetInterface(), &IAudioRenderOptions2::SetEncoding, value);
}

void AudioRenderOptions::GetEncodingExecutor(LONG* value) {
  CallRemote(GetInterface(), &IAudioRenderOptions2::GetEncoding, value);
}

void AudioRenderOptions::SetBytesPerSampleExecutor(LONG value) {
  CallRemote(GetInterface(), &IAudioRenderOptions2::SetBytesPerSample, value);
}

void AudioRenderOptions::GetBytesPerSampleExecutor(LONG* value) {
  CallRemote(GetInterface(), &IAudioRenderOptions2::GetBytesPerSample, value);
}

}  // namespace moravane
