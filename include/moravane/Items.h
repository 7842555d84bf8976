// The item tree of a project: an Item names one node, a Container walks the
// children of a node that has them. Items, containers and sources convert
// into one another by asking the same server object for another interface.
#pragma once

#include <moravane/BaseObject.h>
#include <moravane/Types.h>

namespace moravane {

struct IItem2;
struct IContainer2;
class Item;
class Container;
class Source;

// The server's type code of an item. The library passes code 1 through and
// maps every other code to 0; what the codes stand for is the server's.
enum ItemType : LONG {
  kItemType0 = 0,
  kItemType1 = 1,
};

class MORAVANE_API Item_Base {
 public:
  Item_Base() {}
  Item_Base(const Item_Base&) {}
  Item_Base(Container&) {}
  Item_Base(Source&) {}
  Item_Base& operator=(const Item_Base&) { return *this; }
  virtual ~Item_Base() {}

  virtual WideString GetName() = 0;
  virtual kelvex::utility::Guid GetID() = 0;
  virtual ItemType GetType() = 0;
  virtual Item GetParentItem() = 0;
};

class MORAVANE_API Item : public Item_Base, public BaseObject<IItem2, Item> {
 public:
  Item();
  Item(const Item& other);
  // The same server object seen as an item; unlinked when it is none.
  Item(Source& source);
  Item(Container& container);
  Item& operator=(const Item& other);
  virtual ~Item();

  virtual WideString GetName() override;
  virtual kelvex::utility::Guid GetID() override;
  virtual ItemType GetType() override;
  // Unlinked when the server returns no parent.
  virtual Item GetParentItem() override;

 protected:
  Item(comsupport::CComPtr<IUnknown> unknown);

  void GetNameExecutor(BSTR* name);
  void GetIDExecutor(kelvex::utility::Guid* id);
  void GetTypeExecutor(ItemType* type);
  void GetParentItemExecutor(Item* parent);

 private:
  friend class detail::HandleAccess;
};

class MORAVANE_API Container_Base {
 public:
  Container_Base() {}
  Container_Base(const Container_Base&) {}
  Container_Base(Item&) {}
  Container_Base& operator=(const Container_Base&) { return *this; }
  virtual ~Container_Base() {}

  virtual Item GetFirstItem() = 0;
  virtual Item GetNextItem(Item& current) = 0;
};

// Walk: GetFirstItem, then GetNextItem(current) while the result is linked.
// The library keeps no position; the server is told the current child.
class MORAVANE_API Container : public Container_Base, public BaseObject<IContainer2, Container> {
 public:
  Container();
  Container(const Container& other);
  // The item's server object seen as a container; unlinked when it is none.
  Container(Item& item);
  Container& operator=(const Container& other);
  virtual ~Container();

  virtual Item GetFirstItem() override;
  virtual Item GetNextItem(Item& current) override;

 private:
  friend class detail::HandleAccess;
  // A walk's step runs GetFirstItem's or GetNextItem's executor.
  friend MORAVANE_API bool NextChild(Container& container, Item& child, Container& childContainer);

  void GetFirstItemExecutor(Item* first);
  void GetNextItemExecutor(Item* current, Item* next);
};

// A walk's step through the children of `container`, in one call to the
// communication thread: `child` becomes the first child when it is
// unlinked, else the child after it, and `childContainer` that child seen
// as a container (unlinked when it is none). After the last child both are
// unlinked and the result is false. Its remote calls are those of
// GetFirstItem or GetNextItem, Container(Item&) and the release of the
// previous child; made one by one from the host's thread, each would wait
// for the communication thread on its own. Failures raise LinkError as
// GetNextItem does and leave both handles as they were.
MORAVANE_API bool NextChild(Container& container, Item& child, Container& childContainer);

}  // namespace moravane
