#include <moravane/Project.h>

#include "objects/HandleCalls.h"

#include <moravane/Items.h>
#include <moravane/Source.h>

namespace moravane {

using detail::CallRemote;

MORAVANE_HANDLE_MEMBERS(Project, IProject2)
MORAVANE_HANDLE_ADOPTING(Project, IProject2)

WideString Project::GetName() { return detail::Call(this, &Project::GetNameExecutor); }

WideString Project::GetPath() { return detail::Call(this, &Project::GetPathExecutor); }

Source Project::GetSource(const kelvex::utility::Guid& sourceId) {
  return detail::Call(this, &Project::GetSourceExecutor, sourceId);
}

Item Project::GetRootItem() { return detail::Call(this, &Project::GetRootItemExecutor); }

void Project::GetNameExecutor(BSTR* name) { CallRemote(GetInterface(), &IProject2::GetName, name); }

void Project::GetPathExecutor(BSTR* path) { CallRemote(GetInterface(), &IProject2::GetPath, path); }

void Project::GetSourceExecutor(const kelvex::utility::Guid& sourceId, Source* source) {
  GUID id = sourceId.GetGUID();
  comsupport::CComPtr<IUnknown> returned;
  CallRemote(GetInterface(), &IProject2::GetSource, &id, &returned);
  detail::TakeReturned(detail::ReturnForm::kStrict, returned.p, source);
}

void Project::GetRootItemExecutor(Item* item) {
  comsupport::CComPtr<IUnknown> returned;
  CallRemote(GetInterface(), &IProject2::GetRootItem, &returned);
  detail::TakeReturned(detail::ReturnForm::kStrict, returned.p, item);
}

}  // namespace moravane
