#include <moravane/Renderer.h>

#include "objects/HandleCalls.h"

#include <moravane/RenderOptions.h>

namespace moravane {

using server::CallRemote;
using server::DispatchCall;

Renderer::Renderer() {}
Renderer::Renderer(const Renderer& other) : Renderer_Base(other), BaseObject<IRenderer2, Renderer>(other) {}
Renderer::Renderer(comsupport::CComPtr<IUnknown> unknown) : BaseObject<IRenderer2, Renderer>(unknown.p) {}
Renderer::~Renderer() {}

Renderer& Renderer::operator=(const Renderer& other) {
  BaseObject<IRenderer2, Renderer>::operator=(other);
  return *this;
}

// The executors are bound as pointers to virtual members: the call runs
// through the object's virtual table, so a derived class's override is the
// one that runs on the communication thread.

VideoRenderOptions Renderer::CreateVideoRenderOptions() {
  VideoRenderOptions result;
  WideString errorText;
  DispatchCall(boost::bind(&Renderer::CreateVideoRenderOptionsExecutor, this, &result), errorText);
  // Checked here, on the calling thread, after the call has come back.
  server::RequireLinked(result);
  return result;
}

AudioRenderOptions Renderer::CreateAudioRenderOptions() {
  AudioRenderOptions result;
  WideString errorText;
  DispatchCall(boost::bind(&Renderer::CreateAudioRenderOptionsExecutor, this, &result), errorText);
  server::RequireLinked(result);
  return result;
}

void Renderer::StartVideoRender(VideoRenderOptions& options, const std::string& sectionName, ULONGLONG sectionSize) {
  const server::BstrArgument name(sectionName);
  WideString errorText;
  DispatchCall(boost::bind(&Renderer::StartVideoRenderExecutor, this, &options, name.Get(), sectionSize), errorText);
}

void Renderer::RenderVideo(const kelvex::time::RatioTime& time, ULONGLONG* value) {
  WideString errorText;
  DispatchCall(boost::bind(&Renderer::RenderVideoExecutor, this, time, value), errorText);
}

void Renderer::EndVideoRender() {
  WideString errorText;
  DispatchCall(boost::bind(&Renderer::EndVideoRenderExecutor, this), errorText);
}

void Renderer::StartAudioRender(const kelvex::time::RatioTime& time, LONG parameter, AudioRenderOptions& options,
                                const std::string& sectionName, ULONGLONG sectionSize) {
  const server::BstrArgument name(sectionName);
  WideString errorText;
  DispatchCall(
      boost::bind(&Renderer::StartAudioRenderExecutor, this, time, parameter, &options, name.Get(), sectionSize),
      errorText);
}

void Renderer::GetNextAudioBuffer(ULONGLONG* value) {
  WideString errorText;
  DispatchCall(boost::bind(&Renderer::GetNextAudioBufferExecutor, this, value), errorText);
}

void Renderer::EndAudioRender() {
  WideString errorText;
  DispatchCall(boost::bind(&Renderer::EndAudioRenderExecutor, this), errorText);
}

void Renderer::CreateVideoRenderOptionsExecutor(VideoRenderOptions* options) {
  comsupport::CComPtr<IUnknown> returned;
  CallRemote(GetInterface(), &IRenderer2::CreateVideoRenderOptions, &returned);
  server::TakeReturned(server::ReturnForm::kTestedByCaller, returned.p, options);
}

void Renderer::CreateAudioRenderOptionsExecutor(AudioRenderOptions* options) {
  comsupport::CComPtr<IUnknown> returned;
  CallRemote(GetInterface(), &IRenderer2::CreateAudioRenderOptions, &returned);
  server::TakeReturned(server::ReturnForm::kTestedByCaller, returned.p, options);
}

void Renderer::StartVideoRenderExecutor(VideoRenderOptions* options, BSTR const sectionName, ULONGLONG sectionSize) {
  // An empty options handle sends a null interface; the server judges it.
  const comsupport::CComQIPtr<IVideoRenderOptions2> lent = server::HandleAccess::InterfaceOf(*options);
  CallRemote(GetInterface(), &IRenderer2::StartVideoRender, lent.p, sectionName, sectionSize);
}

void Renderer::RenderVideoExecutor(const kelvex::time::RatioTime& time, ULONGLONG* value) {
  CallRemote(GetInterface(), &IRenderer2::RenderVideo, time.value, time.scale, value);
}

void Renderer::EndVideoRenderExecutor() { CallRemote(GetInterface(), &IRenderer2::EndVideoRender); }

void Renderer::StartAudioRenderExecutor(const kelvex::time::RatioTime& time, LONG parameter,
                                        AudioRenderOptions* options, BSTR const sectionName, ULONGLONG sectionSize) {
  const comsupport::CComQIPtr<IAudioRenderOptions2> lent = server::HandleAccess::InterfaceOf(*options);
  CallRemote(GetInterface(), &IRenderer2::StartAudioRender, time.value, time.scale, parameter, lent.p, sectionName,
             sectionSize);
}

void Renderer::GetNextAudioBufferExecutor(ULONGLONG* value) {
  CallRemote(GetInterface(), &IRenderer2::GetNextAudioBuffer, value);
}

void Renderer::EndAudioRenderExecutor() { CallRemote(GetInterface(), &IRenderer2::EndAudioRender); }

}  // namespace moravane
