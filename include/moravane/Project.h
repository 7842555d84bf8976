// A project that the link server has open: its name and path, its item tree
// and its sources.
#pragma once

#include <moravane/BaseObject.h>
#include <moravane/Types.h>

namespace moravane {

struct IProject2;
class Item;
class Source;

class MORAVANE_API Project_Base {
 public:
  Project_Base() {}
  Project_Base(const Project_Base&) {}
  Project_Base& operator=(const Project_Base&) { return *this; }
  virtual ~Project_Base() {}

  virtual WideString GetName() = 0;
  virtual WideString GetPath() = 0;
  virtual Source GetSource(const kelvex::utility::Guid& sourceId) = 0;
  virtual Item GetRootItem() = 0;
};

class MORAVANE_API Project : public Project_Base, public BaseObject<IProject2, Project> {
 public:
  Project();
  Project(const Project& other);
  Project& operator=(const Project& other);
  virtual ~Project();

  virtual WideString GetName() override;
  virtual WideString GetPath() override;
  virtual Source GetSource(const kelvex::utility::Guid& sourceId) override;
  virtual Item GetRootItem() override;

 protected:
  Project(comsupport::CComPtr<IUnknown> unknown);

  void GetNameExecutor(BSTR* name);
  void GetPathExecutor(BSTR* path);
  void GetSourceExecutor(const kelvex::utility::Guid& sourceId, Source* source);
  void GetRootItemExecutor(Item* item);

 private:
  friend class detail::HandleAccess;
};

}  // namespace moravane
