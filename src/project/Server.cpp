#include <moravane/Server.h>

#include "objects/HandleCalls.h"

#include <moravane/Project.h>
#include <moravane/Source.h>

namespace moravane {

using boost::placeholders::_1;
using detail::CallRemote;

MORAVANE_HANDLE_MEMBERS(Server, IServer2)
MORAVANE_HANDLE_ADOPTING(Server, IServer2)

LONG Server::GetVersion() { return detail::Call(this, &Server::GetVersionExecutor); }

ULONGLONG Server::GetMinimumMemoryRequirements() {
  return detail::Call(this, &Server::GetMinimumMemoryRequirementsExecutor);
}

void Server::SetIdleTimeMemoryUsage(ULONGLONG bytes) {
  detail::Call(this, &Server::SetIdleTimeMemoryUsageExecutor, bytes);
}

void Server::SetTemporaryMemoryUsage(ULONGLONG bytes) {
  detail::Call(this, &Server::SetTemporaryMemoryUsageExecutor, bytes);
}

ULONGLONG Server::GetCurrentMemoryUsage() { return detail::Call(this, &Server::GetCurrentMemoryUsageExecutor); }

void Server::PurgeMemory() { detail::Call(this, &Server::PurgeMemoryExecutor); }

void Server::CacheFinalFrame(bool cache) { detail::Call(this, &Server::CacheFinalFrameExecutor, cache); }

WideString Server::GetProjectExtension() { return detail::Call(this, &Server::GetProjectExtensionExecutor); }

void Server::CreateSource(const WideString& path, const kelvex::geom::RectT<LONG>& frame,
                          const kelvex::geom::Ratio& pixelAspect, const kelvex::time::RatioTime& duration,
                          double frameRate, Project& project, Source& source) {
  detail::Call(this, &Server::CreateSourceExecutor, path, frame, pixelAspect, duration, frameRate, &project, &source);
}

Project Server::OpenProject(const WideString& path) { return detail::Call(this, &Server::OpenProjectExecutor, path); }

Project Server::OpenProjectShowSource(const WideString& path, const kelvex::utility::Guid& sourceId, Source& source) {
  // The executor fills the project before the source, as the server returns
  // them; the Guid is copied into the bound call.
  Project result;
  detail::Call(this, &Server::OpenProjectShowSourceExecutor, path, sourceId, &result, &source);
  return result;
}

void Server::CloseProject(Project& project) { detail::Call(this, &Server::CloseProjectExecutor, &project); }

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
  CallRemote(GetInterface(), &IServer2::CacheFinalFrame, detail::ToFlag(cache));
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
  detail::TakeReturnedPair(returnedProject.p, project, returnedSource.p, source);
}

void Server::OpenProjectExecutor(BSTR path, Project* project) {
  comsupport::CComPtr<IUnknown> returned;
  CallRemote(GetInterface(), &IServer2::OpenProject, path, &returned);
  detail::TakeReturned(detail::ReturnForm::kStrict, returned.p, project);
}

void Server::OpenProjectShowSourceExecutor(BSTR path, const kelvex::utility::Guid& sourceId, Project* project,
                                           Source* source) {
  GUID id = sourceId.GetGUID();
  comsupport::CComPtr<IUnknown> returnedProject;
  comsupport::CComPtr<IUnknown> returnedSource;
  CallRemote(GetInterface(), &IServer2::OpenProjectShowSource, path, &id, &returnedProject, &returnedSource);
  detail::TakeReturnedPair(returnedProject.p, project, returnedSource.p, source);
}

void Server::CloseProjectExecutor(Project* project) {
  const comsupport::CComPtr<IUnknown> lent = project->GetUnknown();
  CallRemote(GetInterface(), &IServer2::CloseProject, lent.p);
}

}  // namespace moravane
