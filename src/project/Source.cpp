#include <moravane/Source.h>

#include "objects/HandleCalls.h"

#include <moravane/Items.h>
#include <moravane/Renderer.h>

namespace moravane {

using server::CallRemote;
using server::DispatchCall;

Source::Source() {}
Source::Source(const Source& other) : Source_Base(other), BaseObject<ISource2, Source>(other) {}
Source::Source(Item& item) : Source_Base(item), BaseObject<ISource2, Source>(item.GetUnknown().p) {}
Source::Source(comsupport::CComPtr<IUnknown> unknown) : BaseObject<ISource2, Source>(unknown.p) {}
Source::~Source() {}

Source& Source::operator=(const Source& other) {
  BaseObject<ISource2, Source>::operator=(other);
  return *this;
}

kelvex::time::RatioTime Source::GetDuration() {
  kelvex::time::RatioTime result;
  WideString errorText;
  DispatchCall(boost::bind(&Source::GetDurationExecutor, this, &result), errorText);
  return result;
}

kelvex::geom::Ratio Source::GetPixelAspectRatio() {
  kelvex::geom::Ratio result;
  WideString errorText;
  DispatchCall(boost::bind(&Source::GetPixelAspectRatioExecutor, this, &result), errorText);
  return result;
}

kelvex::geom::RectT<LONG> Source::GetFrameSize() {
  kelvex::geom::RectT<LONG> result;
  WideString errorText;
  DispatchCall(boost::bind(&Source::GetFrameSizeExecutor, this, &result), errorText);
  return result;
}

double Source::GetFrameRate() {
  double result = 0.0;
  WideString errorText;
  DispatchCall(boost::bind(&Source::GetFrameRateExecutor, this, &result), errorText);
  return result;
}

LONG Source::GetBitDepth() {
  LONG result = 0;
  WideString errorText;
  DispatchCall(boost::bind(&Source::GetBitDepthExecutor, this, &result), errorText);
  return result;
}

LONG Source::GetTimeStamp() {
  LONG result = 0;
  WideString errorText;
  DispatchCall(boost::bind(&Source::GetTimeStampExecutor, this, &result), errorText);
  return result;
}

bool Source::IsNewerThan(LONG timeStamp) {
  bool result = false;
  WideString errorText;
  DispatchCall(boost::bind(&Source::IsNewerThanExecutor, this, timeStamp, &result), errorText);
  return result;
}

bool Source::HasAudio() {
  bool result = false;
  WideString errorText;
  DispatchCall(boost::bind(&Source::HasAudioExecutor, this, &result), errorText);
  return result;
}

bool Source::HasVideo() {
  bool result = false;
  WideString errorText;
  DispatchCall(boost::bind(&Source::HasVideoExecutor, this, &result), errorText);
  return result;
}

Renderer Source::GetRenderer() {
  Renderer result;
  WideString errorText;
  DispatchCall(boost::bind(&Source::GetRendererExecutor, this, &result), errorText);
  return result;
}

void Source::GetDurationExecutor(kelvex::time::RatioTime* duration) {
  LONG a = 0;
  LONG b = 0;
  CallRemote(GetInterface(), &ISource2::GetDuration, &a, &b);
  *duration = kelvex::time::RatioTime(a, b);
}

void Source::GetPixelAspectRatioExecutor(kelvex::geom::Ratio* ratio) {
  LONG a = 0;
  LONG b = 0;
  CallRemote(GetInterface(), &ISource2::GetPixelAspectRatio, &a, &b);
  *ratio = kelvex::geom::Ratio(a, b);
}

void Source::GetFrameSizeExecutor(kelvex::geom::RectT<LONG>* frame) {
  LONG width = 0;
  LONG height = 0;
  CallRemote(GetInterface(), &ISource2::GetFrameSize, &width, &height);
  *frame = kelvex::geom::RectT<LONG>(0, 0, width, height);
}

void Source::GetFrameRateExecutor(double* rate) { CallRemote(GetInterface(), &ISource2::GetFrameRate, rate); }

void Source::GetBitDepthExecutor(LONG* depth) { CallRemote(GetInterface(), &ISource2::GetBitDepth, depth); }

void Source::GetTimeStampExecutor(LONG* stamp) { CallRemote(GetInterface(), &ISource2::GetTimeStamp, stamp); }

void Source::IsNewerThanExecutor(LONG timeStamp, bool* newer) {
  LONG flag = 0;
  CallRemote(GetInterface(), &ISource2::IsNewerThan, timeStamp, &flag);
  *newer = flag != 0;
}

void Source::HasAudioExecutor(bool* hasAudio) {
  LONG flag = 0;
  CallRemote(GetInterface(), &ISource2::HasAudio, &flag);
  *hasAudio = flag != 0;
}

void Source::HasVideoExecutor(bool* hasVideo) {
  LONG flag = 0;
  CallRemote(GetInterface(), &ISource2::HasVideo, &flag);
  *hasVideo = flag != 0;
}

void Source::GetRendererExecutor(Renderer* renderer) {
  comsupport::CComPtr<IUnknown> returned;
  CallRemote(GetInterface(), &ISource2::GetRenderer, &returned);
  server::TakeReturned(server::ReturnForm::kStrict, returned.p, renderer);
}

}  // namespace moravane
