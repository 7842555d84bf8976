#include <moravane/Source.h>

#include "objects/HandleCalls.h"

#include <moravane/Items.h>
#include <moravane/Renderer.h>

namespace moravane {

using detail::CallRemote;

MORAVANE_HANDLE_MEMBERS(Source, ISource2)
MORAVANE_HANDLE_ADOPTING(Source, ISource2)
Source::Source(Item& item) : Source_Base(item), BaseObject<ISource2, Source>(item.GetUnknown().p) {}

kelvex::time::RatioTime Source::GetDuration() { return detail::Call(this, &Source::GetDurationExecutor); }

kelvex::geom::Ratio Source::GetPixelAspectRatio() { return detail::Call(this, &Source::GetPixelAspectRatioExecutor); }

kelvex::geom::RectT<LONG> Source::GetFrameSize() { return detail::Call(this, &Source::GetFrameSizeExecutor); }

double Source::GetFrameRate() { return detail::Call(this, &Source::GetFrameRateExecutor); }

LONG Source::GetBitDepth() { return detail::Call(this, &Source::GetBitDepthExecutor); }

LONG Source::GetTimeStamp() { return detail::Call(this, &Source::GetTimeStampExecutor); }

bool Source::IsNewerThan(LONG timeStamp) { return detail::Call(this, &Source::IsNewerThanExecutor, timeStamp); }

bool Source::HasAudio() { return detail::Call(this, &Source::HasAudioExecutor); }

bool Source::HasVideo() { return detail::Call(this, &Source::HasVideoExecutor); }

Renderer Source::GetRenderer() { return detail::Call(this, &Source::GetRendererExecutor); }

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
  CallRemote(GetInterface(), &ISource2::IsNewerThan, timeStamp, detail::FlagResult(newer));
}

void Source::HasAudioExecutor(bool* hasAudio) {
  CallRemote(GetInterface(), &ISource2::HasAudio, detail::FlagResult(hasAudio));
}

void Source::HasVideoExecutor(bool* hasVideo) {
  CallRemote(GetInterface(), &ISource2::HasVideo, detail::FlagResult(hasVideo));
}

void Source::GetRendererExecutor(Renderer* renderer) {
  comsupport::CComPtr<IUnknown> returned;
  CallRemote(GetInterface(), &ISource2::GetRenderer, &returned);
  detail::TakeReturned(detail::ReturnForm::kStrict, returned.p, renderer);
}

}  // namespace moravane
