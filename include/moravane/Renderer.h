// The renderer of a source: creates render options, starts, drives and ends
// video and audio renders whose data the server writes into a named section
// of shared memory. It keeps no state; the server alone knows whether a
// render is running.
#pragma once

#include <moravane/BaseObject.h>
#include <moravane/Types.h>

#include <string>

namespace moravane {

struct IRenderer2;
class VideoRenderOptions;
class AudioRenderOptions;

class MORAVANE_API Renderer_Base {
 public:
  Renderer_Base() {}
  Renderer_Base(const Renderer_Base&) {}
  Renderer_Base& operator=(const Renderer_Base&) { return *this; }
  virtual ~Renderer_Base() {}

  virtual VideoRenderOptions CreateVideoRenderOptions() = 0;
  virtual AudioRenderOptions CreateAudioRenderOptions() = 0;
  virtual void StartVideoRender(VideoRenderOptions& options, const std::string& sectionName, ULONGLONG sectionSize) = 0;
  virtual void RenderVideo(const kelvex::time::RatioTime& time, ULONGLONG* value) = 0;
  virtual void EndVideoRender() = 0;
  virtual void StartAudioRender(const kelvex::time::RatioTime& time, LONG parameter, AudioRenderOptions& options,
                                const std::string& sectionName, ULONGLONG sectionSize) = 0;
  virtual void GetNextAudioBuffer(ULONGLONG* value) = 0;
  virtual void EndAudioRender() = 0;
};

class MORAVANE_API Renderer : public Renderer_Base, public BaseObject<IRenderer2, Renderer> {
 public:
  Renderer();
  Renderer(const Renderer& other);
  Renderer& operator=(const Renderer& other);
  virtual ~Renderer();

  virtual VideoRenderOptions CreateVideoRenderOptions() override;
  virtual AudioRenderOptions CreateAudioRenderOptions() override;
  // The section name is widened with the calling thread's ANSI code page;
  // the library never opens the section itself.
  virtual void StartVideoRender(VideoRenderOptions& options, const std::string& sectionName,
                                ULONGLONG sectionSize) override;
  // The server writes *value; the library neither initialises nor reads it.
  virtual void RenderVideo(const kelvex::time::RatioTime& time, ULONGLONG* value) override;
  virtual void EndVideoRender() override;
  virtual void StartAudioRender(const kelvex::time::RatioTime& time, LONG parameter, AudioRenderOptions& options,
                                const std::string& sectionName, ULONGLONG sectionSize) override;
  virtual void GetNextAudioBuffer(ULONGLONG* value) override;
  virtual void EndAudioRender() override;

 protected:
  Renderer(comsupport::CComPtr<IUnknown> unknown);

  // Virtual so that the public operations, which bind them as pointers to
  // virtual members, run a derived class's override.
  virtual void CreateVideoRenderOptionsExecutor(VideoRenderOptions* options);
  virtual void CreateAudioRenderOptionsExecutor(AudioRenderOptions* options);
  virtual void StartVideoRenderExecutor(VideoRenderOptions* options, BSTR const sectionName, ULONGLONG sectionSize);
  virtual void RenderVideoExecutor(const kelvex::time::RatioTime& time, ULONGLONG* value);
  virtual void EndVideoRenderExecutor();
  virtual void StartAudioRenderExecutor(const kelvex::time::RatioTime& time, LONG parameter,
                                        AudioRenderOptions* options, BSTR const sectionName, ULONGLONG sectionSize);
  virtual void GetNextAudioBufferExecutor(ULONGLONG* value);
  virtual void EndAudioRenderExecutor();

 private:
  friend class detail::HandleAccess;
};

}  // namespace moravane
