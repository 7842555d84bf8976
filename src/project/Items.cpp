#include <moravane/Items.h>

#include "objects/HandleCalls.h"

#include <moravane/Source.h>

namespace moravane {

using detail::CallRemote;

MORAVANE_HANDLE_MEMBERS(Item, IItem2)
MORAVANE_HANDLE_ADOPTING(Item, IItem2)
// The other handle's reference lent for the query is dropped when the
// constructor ends.
Item::Item(Source& source) : Item_Base(source), BaseObject<IItem2, Item>(source.GetUnknown().p) {}
Item::Item(Container& container) : Item_Base(container), BaseObject<IItem2, Item>(container.GetUnknown().p) {}

WideString Item::GetName() { return detail::Call(this, &Item::GetNameExecutor); }

kelvex::utility::Guid Item::GetID() { return detail::Call(this, &Item::GetIDExecutor); }

ItemType Item::GetType() { return detail::Call(this, &Item::GetTypeExecutor); }

Item Item::GetParentItem() { return detail::Call(this, &Item::GetParentItemExecutor); }

void Item::GetNameExecutor(BSTR* name) { CallRemote(GetInterface(), &IItem2::GetName, name); }

void Item::GetIDExecutor(kelvex::utility::Guid* id) {
  GUID received = {};
  CallRemote(GetInterface(), &IItem2::GetID, &received);
  *id = kelvex::utility::Guid(received);
}

void Item::GetTypeExecutor(ItemType* type) {
  LONG code = 0;
  CallRemote(GetInterface(), &IItem2::GetType, &code);
  *type = code == 1 ? kItemType1 : kItemType0;
}

void Item::GetParentItemExecutor(Item* parent) {
  comsupport::CComPtr<IUnknown> returned;
  CallRemote(GetInterface(), &IItem2::GetParentItem, &returned);
  detail::TakeReturned(detail::ReturnForm::kLenient, returned.p, parent);
}

MORAVANE_HANDLE_MEMBERS(Container, IContainer2)
Container::Container(Item& item) : Container_Base(item), BaseObject<IContainer2, Container>(item.GetUnknown().p) {}

Item Container::GetFirstItem() { return detail::Call(this, &Container::GetFirstItemExecutor); }

Item Container::GetNextItem(Item& current) { return detail::Call(this, &Container::GetNextItemExecutor, &current); }

void Container::GetFirstItemExecutor(Item* first) {
  comsupport::CComPtr<IUnknown> returned;
  CallRemote(GetInterface(), &IContainer2::GetFirstItem, &returned);
  detail::TakeReturned(detail::ReturnForm::kLenient, returned.p, first);
}

void Container::GetNextItemExecutor(Item* current, Item* next) {
  // The server is told the current child; an unlinked one goes as null.
  const comsupport::CComQIPtr<IItem2> lent = detail::HandleAccess::InterfaceOf(*current);
  comsupport::CComPtr<IUnknown> returned;
  CallRemote(GetInterface(), &IContainer2::GetNextItem, static_cast<IUnknown*>(lent.p), &returned);
  detail::TakeReturned(detail::ReturnForm::kLenient, returned.p, next);
}

bool NextChild(Container& container, Item& child, Container& childContainer) {
  bool found = false;
  WideString errorText;
  // One deferred call: the executor of GetFirstItem or GetNextItem, then
  // the query for the child's container, in place; the handles' previous
  // references go here too, so a child's last one reaches the server from
  // this thread.
  detail::DispatchCall(
      [&] {
        Item next;
        if (child.IsLinked()) {
          container.GetNextItemExecutor(&child, &next);
        } else {
          container.GetFirstItemExecutor(&next);
        }
        Container nextContainer = next.IsLinked() ? Container(next) : Container();
        childContainer = nextContainer;
        child = next;
        found = child.IsLinked();
      },
      errorText);
  return found;
}

}  // namespace moravane
