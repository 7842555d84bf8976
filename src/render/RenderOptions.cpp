// Every setter sends its value at once and every getter asks the server:
// no option value is kept here. Flags go out as 1 or 0 and come back as a
// 32-bit flag tested against 0; rectangles and times go word by word in
// stored order. The getters that return a value directly let the server
// write straight into the public method's result.
#include <moravane/RenderOptions.h>

#include "objects/HandleCalls.h"

namespace moravane {

using detail::CallRemote;

MORAVANE_HANDLE_MEMBERS(VideoRenderOptions, IVideoRenderOptions2)
MORAVANE_HANDLE_ADOPTING(VideoRenderOptions, IVideoRenderOptions2)

void VideoRenderOptions::SetLowQuality(bool value) {
  detail::Call(this, &VideoRenderOptions::SetLowQualityExecutor, value);
}

bool VideoRenderOptions::GetLowQuality() { return detail::Call(this, &VideoRenderOptions::GetLowQualityExecutor); }

void VideoRenderOptions::SetPreMultiply(LONG value) {
  detail::Call(this, &VideoRenderOptions::SetPreMultiplyExecutor, value);
}

LONG VideoRenderOptions::GetPreMultiply() { return detail::Call(this, &VideoRenderOptions::GetPreMultiplyExecutor); }

void VideoRenderOptions::SetFieldOrder(LONG value) {
  detail::Call(this, &VideoRenderOptions::SetFieldOrderExecutor, value);
}

LONG VideoRenderOptions::GetFieldOrder() { return detail::Call(this, &VideoRenderOptions::GetFieldOrderExecutor); }

void VideoRenderOptions::SetRegionOfInterest(const kelvex::geom::RectT<LONG>& region) {
  detail::Call(this, &VideoRenderOptions::SetRegionOfInterestExecutor, region);
}

kelvex::geom::RectT<LONG> VideoRenderOptions::GetRegionOfInterest() {
  return detail::Call(this, &VideoRenderOptions::GetRegionOfInterestExecutor);
}

void VideoRenderOptions::SetBitDepth(LONG value) {
  detail::Call(this, &VideoRenderOptions::SetBitDepthExecutor, value);
}

LONG VideoRenderOptions::GetBitDepth() { return detail::Call(this, &VideoRenderOptions::GetBitDepthExecutor); }

void VideoRenderOptions::SetChannelOrder(LONG value) {
  detail::Call(this, &VideoRenderOptions::SetChannelOrderExecutor, value);
}

LONG VideoRenderOptions::GetChannelOrder() { return detail::Call(this, &VideoRenderOptions::GetChannelOrderExecutor); }

void VideoRenderOptions::SetTimeStep(const kelvex::time::RatioTime& step) {
  detail::Call(this, &VideoRenderOptions::SetTimeStepExecutor, step);
}

kelvex::time::RatioTime VideoRenderOptions::GetTimeStep() {
  return detail::Call(this, &VideoRenderOptions::GetTimeStepExecutor);
}

void VideoRenderOptions::SetBounds(LONG width, LONG height) {
  detail::Call(this, &VideoRenderOptions::SetBoundsExecutor, width, height);
}

void VideoRenderOptions::GetBounds(LONG& width, LONG& height) {
  detail::Call(this, &VideoRenderOptions::GetBoundsExecutor, &width, &height);
}

void VideoRenderOptions::SetRowBytes(LONG value) {
  detail::Call(this, &VideoRenderOptions::SetRowBytesExecutor, value);
}

LONG VideoRenderOptions::GetRowBytes() { return detail::Call(this, &VideoRenderOptions::GetRowBytesExecutor); }

void VideoRenderOptions::SetDownsampleFactor(LONG x, LONG y) {
  detail::Call(this, &VideoRenderOptions::SetDownsampleFactorExecutor, x, y);
}

void VideoRenderOptions::GetDownsampleFactor(LONG& x, LONG& y) {
  detail::Call(this, &VideoRenderOptions::GetDownsampleFactorExecutor, &x, &y);
}

void VideoRenderOptions::SetRenderGuideLayers(bool value) {
  detail::Call(this, &VideoRenderOptions::SetRenderGuideLayersExecutor, value);
}

bool VideoRenderOptions::GetRenderGuideLayers() {
  return detail::Call(this, &VideoRenderOptions::GetRenderGuideLayersExecutor);
}

ULONGLONG VideoRenderOptions::GetMaxMemoryRequiredForFrame() {
  return detail::Call(this, &VideoRenderOptions::GetMaxMemoryRequiredForFrameExecutor);
}

void VideoRenderOptions::SetLowQualityExecutor(bool value) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::SetLowQuality, detail::ToFlag(value));
}

void VideoRenderOptions::GetLowQualityExecutor(bool* value) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::GetLowQuality, detail::FlagResult(value));
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
  CallRemote(GetInterface(), &IVideoRenderOptions2::SetRenderGuideLayers, detail::ToFlag(value));
}

void VideoRenderOptions::GetRenderGuideLayersExecutor(bool* value) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::GetRenderGuideLayers, detail::FlagResult(value));
}

void VideoRenderOptions::GetMaxMemoryRequiredForFrameExecutor(ULONGLONG* value) {
  CallRemote(GetInterface(), &IVideoRenderOptions2::GetMaxMemoryRequiredForFrame, value);
}

MORAVANE_HANDLE_MEMBERS(AudioRenderOptions, IAudioRenderOptions2)
MORAVANE_HANDLE_ADOPTING(AudioRenderOptions, IAudioRenderOptions2)

void AudioRenderOptions::SetSampleRate(double value) {
  detail::Call(this, &AudioRenderOptions::SetSampleRateExecutor, value);
}

double AudioRenderOptions::GetSampleRate() { return detail::Call(this, &AudioRenderOptions::GetSampleRateExecutor); }

void AudioRenderOptions::SetNumChannels(LONG value) {
  detail::Call(this, &AudioRenderOptions::SetNumChannelsExecutor, value);
}

LONG AudioRenderOptions::GetNumChannels() { return detail::Call(this, &AudioRenderOptions::GetNumChannelsExecutor); }

void AudioRenderOptions::SetEncoding(LONG value) {
  detail::Call(this, &AudioRenderOptions::SetEncodingExecutor, value);
}

LONG AudioRenderOptions::GetEncoding() { return detail::Call(this, &AudioRenderOptions::GetEncodingExecutor); }

void AudioRenderOptions::SetBytesPerSample(LONG value) {
  detail::Call(this, &AudioRenderOptions::SetBytesPerSampleExecutor, value);
}

LONG AudioRenderOptions::GetBytesPerSample() {
  return detail::Call(this, &AudioRenderOptions::GetBytesPerSampleExecutor);
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
