// The contract with the link server: its nine interfaces, their identifiers
// and the server class. The vtable layout is the contract: each interface
// derives from IUnknown (slots 0 to 2) and its own methods follow from slot
// 3 in the order declared here. Every method returns an HRESULT and takes as
// its last parameter the error-text out-parameter, which the caller sets to
// null and frees when the server fills it.
//
// Parameter conventions: 32-bit values are LONG (flags are 1 or 0), memory
// amounts and render values unsigned 64-bit, rates double, GUIDs by
// address. BSTR in-parameters are lent for the call; BSTR out-parameters
// belong to the caller. Objects come back as IUnknown** carrying one
// reference for the caller; interface pointers passed in are lent.
#pragma once

#include <comsupport/ComPtr.h>

#include <objbase.h>
#include <oleauto.h>

// The interfaces are template arguments of the exported handle classes;
// outside Windows their visibility bounds that of the instantiations, so
// they are declared with default visibility.
#if !defined(_WIN32)
#pragma GCC visibility push(default)
#endif

namespace moravane {

// Every interface of the contract, in one list: the identifiers below, the
// pointer traits and the proxy/stub tables are all generated from it.
#define MORAVANE_LINK_SERVER_INTERFACES(X) \
  X(IServer2)                              \
  X(IProject2)                             \
  X(IItem2)                                \
  X(IContainer2)                           \
  X(ISource2)                              \
  X(IRenderer2)                            \
  X(IVideoRenderOptions2)                  \
  X(IAudioRenderOptions2)                  \
  X(IOrraExtras2)

#define MORAVANE_DECLARE_IID(Interface) extern const IID IID_##Interface;
MORAVANE_LINK_SERVER_INTERFACES(MORAVANE_DECLARE_IID)
#undef MORAVANE_DECLARE_IID
// The link server's class, activated as a local server.
extern const CLSID CLSID_OrraLinkServer;

struct IServer2 : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetVersion(LONG* version, BSTR* errorText) = 0;                       // 3
  virtual HRESULT STDMETHODCALLTYPE GetMinimumMemoryRequirements(ULONGLONG* bytes, BSTR* errorText) = 0;  // 4
  virtual HRESULT STDMETHODCALLTYPE SetIdleTimeMemoryUsage(ULONGLONG bytes, BSTR* errorText) = 0;         // 5
  virtual HRESULT STDMETHODCALLTYPE SetTemporaryMemoryUsage(ULONGLONG bytes, BSTR* errorText) = 0;        // 6
  virtual HRESULT STDMETHODCALLTYPE GetCurrentMemoryUsage(ULONGLONG* bytes, BSTR* errorText) = 0;         // 7
  virtual HRESULT STDMETHODCALLTYPE PurgeMemory(BSTR* errorText) = 0;                                     // 8
  virtual HRESULT STDMETHODCALLTYPE CacheFinalFrame(LONG cache, BSTR* errorText) = 0;                     // 9
  virtual HRESULT STDMETHODCALLTYPE GetProjectExtension(BSTR* extension, BSTR* errorText) = 0;            // 10
  virtual HRESULT STDMETHODCALLTYPE OpenProject(BSTR path, IUnknown** project, BSTR* errorText) = 0;      // 11
  virtual HRESULT STDMETHODCALLTYPE OpenProjectShowSource(BSTR path, GUID* sourceId, IUnknown** project,  // 12
                                                          IUnknown** source, BSTR* errorText) = 0;
  virtual HRESULT STDMETHODCALLTYPE CloseProject(IUnknown* project, BSTR* errorText) = 0;                   // 13
  virtual HRESULT STDMETHODCALLTYPE CreateSource(BSTR path, LONG width, LONG height, LONG aspectNumerator,  // 14
                                                 LONG aspectDenominator, LONG durationValue, LONG durationScale,
                                                 double frameRate, IUnknown** project, IUnknown** source,
                                                 BSTR* errorText) = 0;

 protected:
  ~IServer2() = default;
};

struct IProject2 : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetName(BSTR* name, BSTR* errorText) = 0;                           // 3
  virtual HRESULT STDMETHODCALLTYPE GetPath(BSTR* path, BSTR* errorText) = 0;                           // 4
  virtual HRESULT STDMETHODCALLTYPE GetSource(GUID* sourceId, IUnknown** source, BSTR* errorText) = 0;  // 5
  virtual HRESULT STDMETHODCALLTYPE GetRootItem(IUnknown** item, BSTR* errorText) = 0;                  // 6

 protected:
  ~IProject2() = default;
};

struct IItem2 : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetName(BSTR* name, BSTR* errorText) = 0;               // 3
  virtual HRESULT STDMETHODCALLTYPE GetID(GUID* id, BSTR* errorText) = 0;                   // 4
  virtual HRESULT STDMETHODCALLTYPE GetParentItem(IUnknown** parent, BSTR* errorText) = 0;  // 5
  virtual HRESULT STDMETHODCALLTYPE GetType(LONG* type, BSTR* errorText) = 0;               // 6

 protected:
  ~IItem2() = default;
};

struct IContainer2 : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetFirstItem(IUnknown** first, BSTR* errorText) = 0;                   // 3
  virtual HRESULT STDMETHODCALLTYPE GetNextItem(IUnknown* current, IUnknown** next, BSTR* errorText) = 0;  // 4

 protected:
  ~IContainer2() = default;
};

struct ISource2 : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetDuration(LONG* value, LONG* scale, BSTR* errorText) = 0;                    // 3
  virtual HRESULT STDMETHODCALLTYPE GetPixelAspectRatio(LONG* numerator, LONG* denominator, BSTR* errorText) = 0;  // 4
  virtual HRESULT STDMETHODCALLTYPE GetFrameSize(LONG* width, LONG* height, BSTR* errorText) = 0;                  // 5
  virtual HRESULT STDMETHODCALLTYPE GetFrameRate(double* rate, BSTR* errorText) = 0;                               // 6
  virtual HRESULT STDMETHODCALLTYPE GetBitDepth(LONG* depth, BSTR* errorText) = 0;                                 // 7
  virtual HRESULT STDMETHODCALLTYPE GetTimeStamp(LONG* stamp, BSTR* errorText) = 0;                                // 8
  virtual HRESULT STDMETHODCALLTYPE IsNewerThan(LONG stamp, LONG* newer, BSTR* errorText) = 0;                     // 9
  virtual HRESULT STDMETHODCALLTYPE HasAudio(LONG* hasAudio, BSTR* errorText) = 0;                                 // 10
  virtual HRESULT STDMETHODCALLTYPE HasVideo(LONG* hasVideo, BSTR* errorText) = 0;                                 // 11
  virtual HRESULT STDMETHODCALLTYPE GetRenderer(IUnknown** renderer, BSTR* errorText) = 0;                         // 12

 protected:
  ~ISource2() = default;
};

struct IVideoRenderOptions2;
struct IAudioRenderOptions2;

struct IRenderer2 : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateVideoRenderOptions(IUnknown** options, BSTR* errorText) = 0;  // 3
  virtual HRESULT STDMETHODCALLTYPE CreateAudioRenderOptions(IUnknown** options, BSTR* errorText) = 0;  // 4
  virtual HRESULT STDMETHODCALLTYPE StartVideoRender(IVideoRenderOptions2* options, BSTR sectionName,   // 5
                                                     ULONGLONG sectionSize, BSTR* errorText) = 0;
  virtual HRESULT STDMETHODCALLTYPE RenderVideo(LONG timeValue, LONG timeScale, ULONGLONG* value,  // 6
                                                BSTR* errorText) = 0;
  virtual HRESULT STDMETHODCALLTYPE EndVideoRender(BSTR* errorText) = 0;                              // 7
  virtual HRESULT STDMETHODCALLTYPE StartAudioRender(LONG timeValue, LONG timeScale, LONG parameter,  // 8
                                                     IAudioRenderOptions2* options, BSTR sectionName,
                                                     ULONGLONG sectionSize, BSTR* errorText) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNextAudioBuffer(ULONGLONG* value, BSTR* errorText) = 0;  // 9
  virtual HRESULT STDMETHODCALLTYPE EndAudioRender(BSTR* errorText) = 0;                        // 10

 protected:
  ~IRenderer2() = default;
};

struct IVideoRenderOptions2 : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetLowQuality(LONG lowQuality, BSTR* errorText) = 0;               // 3
  virtual HRESULT STDMETHODCALLTYPE GetLowQuality(LONG* lowQuality, BSTR* errorText) = 0;              // 4
  virtual HRESULT STDMETHODCALLTYPE SetPreMultiply(LONG preMultiply, BSTR* errorText) = 0;             // 5
  virtual HRESULT STDMETHODCALLTYPE GetPreMultiply(LONG* preMultiply, BSTR* errorText) = 0;            // 6
  virtual HRESULT STDMETHODCALLTYPE SetFieldOrder(LONG fieldOrder, BSTR* errorText) = 0;               // 7
  virtual HRESULT STDMETHODCALLTYPE GetFieldOrder(LONG* fieldOrder, BSTR* errorText) = 0;              // 8
  virtual HRESULT STDMETHODCALLTYPE SetRegionOfInterest(LONG left, LONG top, LONG right, LONG bottom,  // 9
                                                        BSTR* errorText) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetRegionOfInterest(LONG* left, LONG* top, LONG* right, LONG* bottom,  // 10
                                                        BSTR* errorText) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetBitDepth(LONG bitDepth, BSTR* errorText) = 0;                      // 11
  virtual HRESULT STDMETHODCALLTYPE GetBitDepth(LONG* bitDepth, BSTR* errorText) = 0;                     // 12
  virtual HRESULT STDMETHODCALLTYPE SetChannelOrder(LONG channelOrder, BSTR* errorText) = 0;              // 13
  virtual HRESULT STDMETHODCALLTYPE GetChannelOrder(LONG* channelOrder, BSTR* errorText) = 0;             // 14
  virtual HRESULT STDMETHODCALLTYPE SetTimeStep(LONG value, LONG scale, BSTR* errorText) = 0;             // 15
  virtual HRESULT STDMETHODCALLTYPE GetTimeStep(LONG* value, LONG* scale, BSTR* errorText) = 0;           // 16
  virtual HRESULT STDMETHODCALLTYPE SetBounds(LONG width, LONG height, BSTR* errorText) = 0;              // 17
  virtual HRESULT STDMETHODCALLTYPE GetBounds(LONG* width, LONG* height, BSTR* errorText) = 0;            // 18
  virtual HRESULT STDMETHODCALLTYPE SetRowBytes(LONG rowBytes, BSTR* errorText) = 0;                      // 19
  virtual HRESULT STDMETHODCALLTYPE GetRowBytes(LONG* rowBytes, BSTR* errorText) = 0;                     // 20
  virtual HRESULT STDMETHODCALLTYPE SetDownsampleFactor(LONG x, LONG y, BSTR* errorText) = 0;             // 21
  virtual HRESULT STDMETHODCALLTYPE GetDownsampleFactor(LONG* x, LONG* y, BSTR* errorText) = 0;           // 22
  virtual HRESULT STDMETHODCALLTYPE SetRenderGuideLayers(LONG render, BSTR* errorText) = 0;               // 23
  virtual HRESULT STDMETHODCALLTYPE GetRenderGuideLayers(LONG* render, BSTR* errorText) = 0;              // 24
  virtual HRESULT STDMETHODCALLTYPE GetMaxMemoryRequiredForFrame(ULONGLONG* bytes, BSTR* errorText) = 0;  // 25

 protected:
  ~IVideoRenderOptions2() = default;
};

struct IAudioRenderOptions2 : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetSampleRate(double rate, BSTR* errorText) = 0;      // 3
  virtual HRESULT STDMETHODCALLTYPE GetSampleRate(double* rate, BSTR* errorText) = 0;     // 4
  virtual HRESULT STDMETHODCALLTYPE SetNumChannels(LONG channels, BSTR* errorText) = 0;   // 5
  virtual HRESULT STDMETHODCALLTYPE GetNumChannels(LONG* channels, BSTR* errorText) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE SetEncoding(LONG encoding, BSTR* errorText) = 0;      // 7
  virtual HRESULT STDMETHODCALLTYPE GetEncoding(LONG* encoding, BSTR* errorText) = 0;     // 8
  virtual HRESULT STDMETHODCALLTYPE SetBytesPerSample(LONG bytes, BSTR* errorText) = 0;   // 9
  virtual HRESULT STDMETHODCALLTYPE GetBytesPerSample(LONG* bytes, BSTR* errorText) = 0;  // 10

 protected:
  ~IAudioRenderOptions2() = default;
};

struct IOrraExtras2 : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SendFile(BSTR path, BSTR* errorText) = 0;  // 3
  virtual HRESULT STDMETHODCALLTYPE AnnounceSelfLink(BSTR* errorText) = 0;     // 4
  virtual HRESULT STDMETHODCALLTYPE WithdrawSelfLink(BSTR* errorText) = 0;     // 5

 protected:
  ~IOrraExtras2() = default;
};

}  // namespace moravane

#if !defined(_WIN32)
#pragma GCC visibility pop
#endif

namespace comsupport {

#define MORAVANE_INTERFACE_ID(Interface)                         \
  template <>                                                    \
  struct InterfaceTraits<moravane::Interface> {                  \
    static const IID& Id() { return moravane::IID_##Interface; } \
  };
MORAVANE_LINK_SERVER_INTERFACES(MORAVANE_INTERFACE_ID)
#undef MORAVANE_INTERFACE_ID

}  // namespace comsupport
