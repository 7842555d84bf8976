#include <moravane/Project.h>

#include "objects/HandleCalls.h"

#include <moravane/Items.h>
#include <moravane/Source.h>

namespace moravane {

using detail::CallRemote;

Project::Project() {}
Project::Project(const Project& other) : Project_Base(other), BaseObject<IProject2, Project>(other) {}
Project::Project(comsupport::CComPtr<IUnknown> unknown) : BaseObject<IProject2, Project>(unknown.p) {}
Project::~Project() {}

Project& Project::operator=(const Project& other) {
  BaseObject<IProject2, Project>::operator=(other);
  return *this;
}

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
