// The host's connection to the link server: version, memory settings, and
// the projects and sources it opens, creates and closes.
#pragma once

#include <moravane/BaseObject.h>
#include <moravane/Types.h>

namespace moravane {

struct IServer2;
class Project;
class Source;
class OrraServer;
class OrraSelfLink;

class MORAVANE_API Server_Base {
 public:
  Server_Base() {}
  Server_Base(const Server_Base&) {}
  Server_Base& operator=(const Server_Base&) { return *this; }
  virtual ~Server_Base() {}

  virtual LONG GetVersion() = 0;
  virtual ULONGLONG GetMinimumMemoryRequirements() = 0;
  virtual void SetIdleTimeMemoryUsage(ULONGLONG bytes) = 0;
  virtual void SetTemporaryMemoryUsage(ULONGLONG bytes) = 0;
  virtual ULONGLONG GetCurrentMemoryUsage() = 0;
  virtual void PurgeMemory() = 0;
  virtual void CacheFinalFrame(bool cache) = 0;
  virtual WideString GetProjectExtension() = 0;
  virtual void CreateSource(const WideString& path, const kelvex::geom::RectT<LONG>& frame,
                            const kelvex::geom::Ratio& pixelAspect, const kelvex::time::RatioTime& duration,
                            double frameRate, Project& project, Source& source) = 0;
  virtual Project OpenProject(const WideString& path) = 0;
  virtual Project OpenProjectShowSource(const WideString& path, const kelvex::utility::Guid& sourceId,
                                        Source& source) = 0;
  virtual void CloseProject(Project& project) = 0;
};

class MORAVANE_API Server : public Server_Base, public BaseObject<IServer2, Server> {
 public:
  Server();
  Server(const Server& other);
  Server& operator=(const Server& other);
  virtual ~Server();

  virtual LONG GetVersion() override;
  virtual ULONGLONG GetMinimumMemoryRequirements() override;
  virtual void SetIdleTimeMemoryUsage(ULONGLONG bytes) override;
  virtual void SetTemporaryMemoryUsage(ULONGLONG bytes) override;
  virtual ULONGLONG GetCurrentMemoryUsage() override;
  virtual void PurgeMemory() override;
  virtual void CacheFinalFrame(bool cache) override;
  virtual WideString GetProjectExtension() override;
  // Sends only the far corner of `frame` (its width and height for a frame
  // at the origin). On success `project` and `source` both hold what the
  // server returned before either is checked.
  virtual void CreateSource(const WideString& path, const kelvex::geom::RectT<LONG>& frame,
                            const kelvex::geom::Ratio& pixelAspect, const kelvex::time::RatioTime& duration,
                            double frameRate, Project& project, Source& source) override;
  virtual Project OpenProject(const WideString& path) override;
  virtual Project OpenProjectShowSource(const WideString& path, const kelvex::utility::Guid& sourceId,
                                        Source& source) override;
  // The project handle keeps its reference.
  virtual void CloseProject(Project& project) override;

 protected:
  // Links by query for the server interface; the link classes make their
  // Server this way.
  Server(comsupport::CComPtr<IUnknown> unknown);

  void GetVersionExecutor(LONG* version);
  void GetMinimumMemoryRequirementsExecutor(ULONGLONG* bytes);
  void SetIdleTimeMemoryUsageExecutor(ULONGLONG bytes);
  void SetTemporaryMemoryUsageExecutor(ULONGLONG bytes);
  void GetCurrentMemoryUsageExecutor(ULONGLONG* bytes);
  void PurgeMemoryExecutor();
  void CacheFinalFrameExecutor(bool cache);
  void GetProjectExtensionExecutor(BSTR* extension);
  void CreateSourceExecutor(BSTR path, const kelvex::geom::RectT<LONG>& frame, const kelvex::geom::Ratio& pixelAspect,
                            const kelvex::time::RatioTime& duration, double frameRate, Project* project,
                            Source* source);
  void OpenProjectExecutor(BSTR path, Project* project);
  void OpenProjectShowSourceExecutor(BSTR path, const kelvex::utility::Guid& sourceId, Project* project,
                                     Source* source);
  void CloseProjectExecutor(Project* project);

 private:
  friend class detail::HandleAccess;
  friend class OrraServer;
  friend class OrraSelfLink;
};

}  // namespace moravane
