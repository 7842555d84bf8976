#include <moravane/Link.h>

#include "marshalling/Dispatch.h"
#include "objects/LinkServer.h"

#include <boost/bind/bind.hpp>

namespace moravane {

OrraServer_Base::OrraServer_Base() = default;
OrraServer_Base::OrraServer_Base(const OrraServer_Base&) = default;
OrraServer_Base& OrraServer_Base::operator=(const OrraServer_Base&) = default;
OrraServer_Base::~OrraServer_Base() = default;

OrraServer::OrraServer() { CommunicationThread::Instance(); }

OrraServer::OrraServer(const OrraServer& other) : OrraServer_Base(other), m_activation(other.m_activation) {}

OrraServer& OrraServer::operator=(const OrraServer& other) {
  // Copy and swap: the reference this object held ends up in the temporary,
  // whose destructor releases it through UnLink on the communication thread.
  OrraServer temporary(other);
  m_activation.Swap(temporary.m_activation);
  return *this;
}

OrraServer::~OrraServer() {
  try {
    UnLink();
  } catch (int) {
    // The idle lock's stop signal: nothing serves calls any more; the
    // reference is dropped below on this thread instead.
  }
  m_activation.Release();
}

bool OrraServer::IsLinked() const { return m_activation != nullptr; }

void OrraServer::UnLink() { server::DispatchUnchecked(boost::bind(&OrraServer::UnLinkExecutor, this)); }

Server OrraServer::CreateLink() {
  Server result;
  WideString errorText;
  server::DispatchCall(boost::bind(&OrraServer::CreateLinkExecutor, this, &result), errorText);
  return result;
}

void OrraServer::CreateLinkExecutor(Server* result) {
  // Activating again while linked would overwrite the held reference; drop
  // it first so that it is not leaked.
  m_activation.Release();
  const HRESULT hr = ::CoCreateInstance(CLSID_OrraLinkServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                        reinterpret_cast<void**>(&m_activation));
  if (FAILED(hr)) throw LinkError(hr);
  {
    // The strict object return rule, except that the activation reference
    // stays with this factory.
    Server temporary{comsupport::CComPtr<IUnknown>(m_activation)};
    *result = temporary;
  }
  if (!result->GetUnknown()) throw LinkError(E_NOINTERFACE);
}

void OrraServer::UnLinkExecutor() {
  IUnknown* held = m_activation.Detach();  // the field is null before the release runs
  if (held != nullptr) held->Release();
}

}  // namespace moravane
