#include <moravane/BaseObject.h>

#include "marshalling/Dispatch.h"
#include <contract/LinkServer.h>

#include <moravane/Items.h>
#include <moravane/OrraExtras.h>
#include <moravane/Project.h>
#include <moravane/RenderOptions.h>
#include <moravane/Renderer.h>
#include <moravane/Server.h>
#include <moravane/Source.h>

#include <boost/bind/bind.hpp>

namespace moravane {

template <class Interface, class Derived>
BaseObject<Interface, Derived>::BaseObject() {}

template <class Interface, class Derived>
BaseObject<Interface, Derived>::BaseObject(IUnknown* unknown) {
  // Dispatched even for a null pointer: the outcome is the same, and the
  // handle's set-up always takes the same road.
  detail::DispatchUnchecked(boost::bind(&BaseObject::SetInterfaceExecutor, this, unknown));
}

template <class Interface, class Derived>
BaseObject<Interface, Derived>::BaseObject(const BaseObject& other) : m_interface(other.m_interface) {}

template <class Interface, class Derived>
BaseObject<Interface, Derived>::BaseObject(Derived& other) {
  // The deferred call carries its own reference on the other handle's
  // interface, so the object stays alive until the query has been made even
  // if the other handle is unlinked meanwhile; it is dropped with the call.
  const comsupport::CComPtr<Interface> lent(static_cast<BaseObject&>(other).m_interface.p);
  detail::DispatchUnchecked(boost::bind(&BaseObject::SetInterfaceExecutor, this, lent));
}

template <class Interface, class Derived>
BaseObject<Interface, Derived>::~BaseObject() {
  if (m_interface) {
    try {
      UnLink();
    } catch (...) {
      // The stop signal of the communication thread: the reference is
      // dropped below on this thread instead, and destruction ends quietly.
    }
  }
  m_interface.Release();
}

template <class Interface, class Derived>
BaseObject<Interface, Derived>& BaseObject<Interface, Derived>::operator=(const BaseObject& other) {
  m_interface = other.m_interface;
  return *this;
}

template <class Interface, class Derived>
Derived& BaseObject<Interface, Derived>::operator=(Derived& other) {
  Derived previous(other);
  BaseObject& swapped = previous;
  const comsupport::CComQIPtr<Interface> held = m_interface;
  m_interface = swapped.m_interface;
  swapped.m_interface = held;
  Derived& self = dynamic_cast<Derived&>(*this);
  // `previous` now holds the old interface; its destructor releases it on
  // the communication thread.
  return self;
}

template <class Interface, class Derived>
comsupport::CComPtr<IUnknown> BaseObject<Interface, Derived>::GetUnknown() {
  return comsupport::CComPtr<IUnknown>(m_interface.p);
}

template <class Interface, class Derived>
bool BaseObject<Interface, Derived>::IsLinked() {
  return m_interface.p != nullptr;
}

template <class Interface, class Derived>
void BaseObject<Interface, Derived>::UnLink() {
  detail::DispatchUnchecked(boost::bind(&BaseObject::UnLinkExecutor, this));
}

template <class Interface, class Derived>
comsupport::CComQIPtr<Interface> BaseObject<Interface, Derived>::GetInterface() {
  return m_interface;
}

template <class Interface, class Derived>
comsupport::CComQIPtr<Interface> BaseObject<Interface, Derived>::GetInterface() const {
  return m_interface;
}

template <class Interface, class Derived>
void BaseObject<Interface, Derived>::SetInterfaceExecutor(IUnknown* unknown) {
  const comsupport::CComPtr<IUnknown> keep(unknown);
  if (unknown == static_cast<IUnknown*>(m_interface.p)) return;
  Interface* previous = m_interface.Detach();
  if (unknown != nullptr) {
    // A failed query leaves the pointer null; its result is not needed.
    unknown->QueryInterface(comsupport::InterfaceTraits<Interface>::Id(), reinterpret_cast<void**>(&m_interface.p));
  }
  if (previous != nullptr) previous->Release();
}

template <class Interface, class Derived>
void BaseObject<Interface, Derived>::UnLinkExecutor() {
  m_interface.Release();
}

// The class template carries MORAVANE_API, so on Windows these instantiations
// are exported from the DLL with every member; hosts import them (the member
// definitions are not in the header, so a host never instantiates its own).
template class BaseObject<IServer2, Server>;
template class BaseObject<IProject2, Project>;
template class BaseObject<IItem2, Item>;
template class BaseObject<IContainer2, Container>;
template class BaseObject<ISource2, Source>;
template class BaseObject<IRenderer2, Renderer>;
template class BaseObject<IVideoRenderOptions2, VideoRenderOptions>;
template class BaseObject<IAudioRenderOptions2, AudioRenderOptions>;
template class BaseObject<IOrraExtras2, OrraExtras>;

}  // namespace moravane
