#include <moravane/Server.h>

#include "objects/HandleCalls.h"

#include <moravane/Project.h>
#include <moravane/Source.h>

namespace moravane {

using boost::placeholders::_1;
using server::CallRemote;
using server::DispatchCall;

Server::Server() {}
Server::Server(const Server& other) : Server_Base(other), BaseObject<IServer2, Server>(other) {}
Server::Server(comsupport::CComPtr<IUnknown> unknown) : BaseObject<IServer2, Server>(unknown.p) {}
Server::~Server() {}

Server& Server::operator=(const Server& other) {
  BaseObject<IServer2, Server>::operator=(other);
  return *this;
}

LONG Server::GetVersion() {
  LONG result = 0;
  WideString errorText;
  DispatchCall(boost::bind(&Server::GetVersionExecutor, this, &result), errorText);
  return result;
}

ULONGLONG Server::GetMinimumMemoryRequirements() {
  ULONGLONG result = 0;
  WideString errorText;
  DispatchCall(boost::bind(&Server::GetMinimumMemoryRequirementsExecutor, this, &result), errorText);
  return result;
}

void Server::SetIdleTimeMemoryUsage(ULONGLONG bytes) {
  WideString errorText;
  DispatchCall(boost::bind(&Server::SetIdleTimeMemoryUsageExecutor, this, bytes), errorText);
}

void Server::SetTemporaryMemoryUsage(ULONGLONG bytes) {
  WideString errorText;
  DispatchCall(boost::bind(&Server::SetTemporaryMemoryUsageExecutor, this, bytes), errorText);
}

ULONGLONG Server::GetCurrentMemoryUsage() {
  ULONGLONG result = 0;
  WideString errorText;
  DispatchCall(boost::bind(&Server::GetCurrentMemoryUsageExecutor, this, &result), errorText);
  return result;
}

void Server::PurgeMemory() {
  WideString errorText;
  DispatchCall(boost::bind(&Server::PurgeMemoryExecutor, this), errorText);
}

void Server::CacheFinalFrame(bool cache) {
  WideString errorText;
  DispatchCall(boost::bind(&Server::CacheFinalFrameExecutor, this, cache), errorText);
}

WideString Server::GetProjectExtension() { return server::CallForString(this, &Server::GetProjectExtensionExecutor); }

void Server::CreateSource(const WideString& path, const kelvex::geom::RectT<LONG>& frame,
                          const kelvex::geom::Ratio& pixelAspect, const kelvex::time::RatioTime& duration,
                          double frameRate, Project& project, Source& source) {
  const server::BstrArgument pathArgument(path);
  WideString errorText;
  DispatchCall(boost::bind(&Server::CreateSourceExecutor, this, pathArgument.Get(), frame, pixelAspect, duration,
                           frameRate, &project, &source),
               errorText);
}

Project Server::OpenProject(const WideString& path) {
  const server::BstrArgument pathArgument(path);
  Project result;
  WideString errorText;
  DispatchCall(boost::bind(&Server::OpenProjectExecutor, this, pathArgument.Get(), &result), errorText);
  return result;
}

Project Server::OpenProjectShowSource(const WideString& path, const kelvex::utility::Guid& sourceId, Source& source) {
  const server::BstrArgument pathArgument(path);
  Project result;
  WideString errorText;
  // The Guid is copied into the bound call and lives until the dispatch ends.
  DispatchCall(
      boost::bind(&Server::OpenProjectShowSourceExecutor, this, pathArgument.Get(), sourceId, &result, &source),
      errorText);
  return result;
}

void Server::CloseProject(Project& project) {
  WideString errorText;
  DispatchCall(boost::bind(&Server::CloseProjectExecutor, this, &project), errorText);
}

void Server::GetVersionExecutor(LONG* version) { CallRemote(GetInterface(), &IServer2::GetVersion, version); }

void Server::GetMinimumMemoryRequirementsExecutor(ULONGLONG* bytes) {
  CallRemote(GetInterface(), &IServer2::GetMinimumMemoryRequirements, bytes);
}

void Server::SetIdleTimeMemoryUsageExecutor(ULONGLONG bytes) {
  CallRemote(GetInterface(), &IServer2::SetIdleTimeMemoryUsage, bytes);
}

void Server::SetTemporaryMemoryUsageExecutor(ULONGLONG bytes) {
  CallRemote(GetInterface(), &IServer2::SetTemporaryMemoryUsage, bytes);
}

void Server::GetCurrentMemoryUsageExecutor(ULONGLONG* bytes) {
  CallRemote(GetInterface(), &IServer2::GetCurrentMemoryUsage, bytes);
}

void Server::PurgeMemoryExecutor() { CallRemote(GetInterface(), &IServer2::PurgeMemory); }

void Server::CacheFinalFrameExecutor(bool cache) {
  CallRemote(GetInterface(), &IServer2::CacheFinalFrame, server::ToFlag(cache));
}

void Server::GetProjectExtensionExecutor(BSTR* extension) {
  CallRemote(GetInterface(), &IServer2::GetProjectExtension, extension);
}

void Server::CreateSourceExecutor(BSTR path, const kelvex::geom::RectT<LONG>& frame,
                                  const kelvex::geom::Ratio& pixelAspect, const kelvex::time::RatioTime& duration,
                                  double frameRate, Project* project, Source* source) {
  comsupport::CComPtr<IUnknown> returnedProject;
  comsupport::CComPtr<IUnknown> returnedSource;
  CallRemote(GetInterface(), &IServer2::CreateSource, path, frame.right, frame.bottom, pixelAspect.numerator,
             pixelAspect.denominator, duration.value, duration.scale, frameRate, &returnedProject, &returnedSource);
  server::TakeReturnedPair(returnedProject.p, project, returnedSource.p, source);
}

void Server::OpenProjectExecutor(BSTR path, Project* project) {
  comsupport::CComPtr<IUnknown> returned;
  CallRemote(GetInterface(), &IServer2::OpenProject, path, &returned);
  server::TakeReturned(server::ReturnForm::kStrict, returned.p, project);
}

void Server::OpenProjectShowSourceExecutor(BSTR path, const kelvex::utility::Guid& sourceId, Project* project,
                                           Source* source) {
  GUID id = sourceId.GetGUID();
  comsupport::CComPtr<IUnknown> returnedProject;
  comsupport::CComPtr<IUnknown> returnedSource;
  CallRemote(GetInterface(), &IServer2::OpenProjectShowSource, path, &id, &returnedProject, &returnedSource);
  server::TakeReturnedPair(returnedProject.p, project, returnedSource.p, source);
}

void Server::CloseProjectExecutor(Project* project) {
  const comsupport::CComPtr<IUnknown> lent = project->GetUnknown();
  CallRemote(GetInterface(), &IServer2::CloseProject, lent.p);
}

}  // namespace moravane
