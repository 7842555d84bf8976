// The handle that every class standing for a link-server object builds on.
//
// A handle owns at most one reference on one interface of a server object;
// null means unlinked. Copies share the server object and each owns its own
// reference. Taking a reference by query and dropping it are dispatched like
// a remote call (on the communication thread unless free-threaded), because
// that is the apartment the interface belongs to; plain copies and
// GetUnknown/GetInterface add their reference on the calling thread. A handle
// has no lock: one handle is used by one thread at a time.
//
// The members are defined in the library and instantiated there for the nine
// handle classes only.
#pragma once

#include <comsupport/ComPtr.h>
#include <moravane/Export.h>

#include <objbase.h>
#include <oleauto.h>

namespace moravane {

template <class Interface, class Derived>
class MORAVANE_API BaseObject {
 public:
  BaseObject();
  // Links by querying `unknown` for Interface on the communication thread.
  // A null pointer or an object without the interface leaves the handle
  // unlinked; never throws a LinkError.
  explicit BaseObject(IUnknown* unknown);
  // Shares the other handle's object; the reference is added on this thread.
  BaseObject(const BaseObject& other);
  // A second handle on the other handle's object, queried on the
  // communication thread; never throws a LinkError.
  explicit BaseObject(Derived& other);
  // A linked handle releases its reference on the communication thread.
  virtual ~BaseObject();

  // Counted assignment on the calling thread.
  BaseObject& operator=(const BaseObject& other);
  // Copy and swap: the reference that this handle held is released on the
  // communication thread.
  Derived& operator=(Derived& other);

  // A new reference to the held interface (null when unlinked), taken on the
  // calling thread.
  comsupport::CComPtr<IUnknown> GetUnknown();
  bool IsLinked();
  // Releases the held interface on the communication thread; never throws a
  // LinkError. Unlinking an unlinked handle changes nothing.
  void UnLink();

 protected:
  // The held interface with a reference of its own, taken on the calling
  // thread; every executor reaches the server through it.
  comsupport::CComQIPtr<Interface> GetInterface();
  comsupport::CComQIPtr<Interface> GetInterface() const;

  void SetInterfaceExecutor(IUnknown* unknown);
  void UnLinkExecutor();

 private:
  comsupport::CComQIPtr<Interface> m_interface;
};

namespace detail {
// Reaches the protected parts of the handles for the library's executors:
// wrapping an object that the server returned, and lending a handle's
// interface to a remote call.
class HandleAccess;
}  // namespace detail

}  // namespace moravane
