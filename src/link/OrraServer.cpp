#include <moravane/Link.h>

#include "marshalling/CommunicationThread.h"
#include "objects/HandleCalls.h"

namespace moravane {

OrraServer::OrraServer() { CommunicationThread::Instance(); }

OrraServer::OrraServer(const OrraServer& other) : OrraServer_Base(other), m_activation(other.m_activation) {}

OrraServer& OrraServer::operator=(const OrraServer& other) {
  // The copy takes its count on this thread; the reference that this object
  // held leaves with the copy, whose destructor releases it through UnLink,
  // where remote calls run. Self-assignment ends with the count unchanged.
  OrraServer swapped(other);
  m_activation.Swap(swapped.m_activation);
  return *this;
}

OrraServer::~OrraServer() {
  try {
    UnLink();
  } catch (...) {
    // The communication thread is stopping; the reference is dropped below,
    // on this thread.
  }
  m_activation.Release();
}

bool OrraServer::IsLinked() const { return m_activation.p != nullptr; }

void OrraServer::UnLink() { detail::DispatchUnchecked(boost::bind(&OrraServer::UnLinkExecutor, this)); }

Server OrraServer::CreateLink() { return detail::Call(this, &OrraServer::CreateLinkExecutor); }

void OrraServer::CreateLinkExecutor(Server* result) {
  // Linking again drops the object of the previous link first, so that a
  // second CreateLink neither leaks it nor keeps two links alive.
  UnLinkExecutor();
  const HRESULT hr = ::CoCreateInstance(CLSID_OrraLinkServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                        reinterpret_cast<void**>(&m_activation));
  if (FAILED(hr)) {
    // A failing activation leaves null; an out-value written anyway is not
    // ours to trust.
    m_activation.Detach();
    throw LinkError(static_cast<LONG>(hr));
  }
  {
    // The server handle takes a reference of its own (queried here, on the
    // thread that activated); the activation reference stays with us.
    const Server linked(m_activation);
    *result = linked;
  }
  if (!result->GetUnknown()) throw LinkError(static_cast<LONG>(E_NOINTERFACE));
}

void OrraServer::UnLinkExecutor() {
  IUnknown* held = m_activation.Detach();
  if (held != nullptr) held->Release();
}

}  // namespace moravane
