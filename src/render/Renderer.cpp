#include <moravane/Renderer.h>

#include "objects/HandleCalls.h"

#include <moravane/RenderOptions.h>

namespace moravane {

using detail::CallRemote;

MORAVANE_HANDLE_MEMBERS(Renderer, IRenderer2)
MORAVANE_HANDLE_ADOPTING(Renderer, IRenderer2)

// The executors are bound as pointers to virtual members: the call runs
// through the object's virtual table, so a derived class's override is the
// one that runs on the communication thread.

VideoRenderOptions Renderer::CreateVideoRenderOptions() {
  return detail::Call<detail::ResultCheck::kLinked>(this, &Renderer::CreateVideoRenderOptionsExecutor);
}

AudioRenderOptions Renderer::CreateAudioRenderOptions() {
  return detail::Call<detail::ResultCheck::kLinked>(this, &Renderer::CreateAudioRenderOptionsExecutor);
}

void Renderer::StartVideoRender(VideoRenderOptions& options, const std::string& sectionName, ULONGLONG sectionSize) {
  detail::Call(this, &Renderer::StartVideoRenderExecutor, &options, sectionName, sectionSize);
}

void Renderer::RenderVideo(const kelvex::time::RatioTime& time, ULONGLONG* value) {
  detail::Call(this, &Renderer::RenderVideoExecutor, time, value);
}

void Renderer::EndVideoRender() { detail::Call(this, &Renderer::EndVideoRenderExecutor); }

void Renderer::StartAudioRender(const kelvex::time::RatioTime& time, LONG parameter, AudioRenderOptions& options,
                                const std::string& sectionName, ULONGLONG sectionSize) {
  detail::Call(this, &Renderer::StartAudioRenderExecutor, time, parameter, &options, sectionName, sectionSize);
}

void Renderer::GetNextAudioBuffer(ULONGLONG* value) {
  detail::Call(this, &Renderer::GetNextAudioBufferExecutor, value);
}

void Renderer::EndAudioRender() { detail::Call(this, &Renderer::EndAudioRenderExecutor); }

void Renderer::CreateVideoRenderOptionsExecutor(VideoRenderOptions* options) {
  comsupport::CComPtr<IUnknown> returned;
  CallRemote(GetInterface(), &IRenderer2::CreateVideoRenderOptions, &returned);
  detail::TakeReturned(detail::ReturnForm::kTestedByCaller, returned.p, options);
}

void Renderer::CreateAudioRenderOptionsExecutor(AudioRenderOptions* options) {
  comsupport::CComPtr<IUnknown> returned;
  CallRemote(GetInterface(), &IRenderer2::CreateAudioRenderOptions, &returned);
  detail::TakeReturned(detail::ReturnForm::kTestedByCaller, returned.p, options);
}

void Renderer::StartVideoRenderExecutor(VideoRenderOptions* options, BSTR const sectionName, ULONGLONG sectionSize) {
  // An empty options handle sends a null interface; the server judges it.
  const comsupport::CComQIPtr<IVideoRenderOptions2> lent = detail::HandleAccess::InterfaceOf(*options);
  CallRemote(GetInterface(), &IRenderer2::StartVideoRender, lent.p, sectionName, sectionSize);
}

void Renderer::RenderVideoExecutor(const kelvex::time::RatioTime& time, ULONGLONG* value) {
  CallRemote(GetInterface(), &IRenderer2::RenderVideo, time.value, time.scale, value);
}

void Renderer::EndVideoRenderExecutor() { CallRemote(GetInterface(), &IRenderer2::EndVideoRender); }

void Renderer::StartAudioRenderExecutor(const kelvex::time::RatioTime& time, LONG parameter,
                                        AudioRenderOptions* options, BSTR const sectionName, ULONGLONG sectionSize) {
  const comsupport::CComQIPtr<IAudioRenderOptions2> lent = detail::HandleAccess::InterfaceOf(*options);
  CallRemote(GetInterface(), &IRenderer2::StartAudioRender, time.value, time.scale, parameter, lent.p, sectionName,
             sectionSize);
}

void Renderer::GetNextAudioBufferExecutor(ULONGLONG* value) {
  CallRemote(GetInterface(), &IRenderer2::GetNextAudioBuffer, value);
}

void Renderer::EndAudioRenderExecutor() { CallRemote(GetInterface(), &IRenderer2::EndAudioRender); }

}  // namespace moravane
