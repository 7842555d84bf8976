#include <moravane/Link.h>
#include <moravane/ThreadedState.h>

#include "marshalling/Dispatch.h"
#include "module/Module.h"
#include "objects/LinkServer.h"

#include <comsupport/Bstr.h>

#include <boost/bind/bind.hpp>

namespace moravane {

namespace {

constexpr LONG kSelfLinkVersion = 7;

// Releases the self-link mutex on every way out of the linking steps.
class MutexOwnership {
 public:
  explicit MutexOwnership(HANDLE mutex) : m_mutex(mutex) {}
  ~MutexOwnership() { ::ReleaseMutex(m_mutex); }
  MutexOwnership(const MutexOwnership&) = delete;
  MutexOwnership& operator=(const MutexOwnership&) = delete;

 private:
  HANDLE m_mutex;
};

comsupport::CComQIPtr<IOrraExtras2> ExtrasOf(Server& server) {
  comsupport::CComPtr<IUnknown> unknown = server.GetUnknown();
  return comsupport::CComQIPtr<IOrraExtras2>(static_cast<IUnknown*>(unknown));
}

}  // namespace

OrraSelfLink_Base::OrraSelfLink_Base() = default;
OrraSelfLink_Base::OrraSelfLink_Base(const OrraSelfLink_Base&) = default;
OrraSelfLink_Base& OrraSelfLink_Base::operator=(const OrraSelfLink_Base&) = default;
OrraSelfLink_Base::~OrraSelfLink_Base() = default;

OrraSelfLink::OrraSelfLink() {
  // From here on every call of the process runs on its caller's thread,
  // whatever becomes of this construction.
  ThreadedState::SetFreeThreaded(true);
  WideString errorText;
  LONG outcome = E_FAIL;
  const HANDLE mutex = module::SelfLinkMutex();
  const DWORD wait = ::WaitForSingleObject(mutex, INFINITE);
  if (wait == WAIT_OBJECT_0) {
    MutexOwnership ownership(mutex);
    m_server = m_link.CreateLink();
    if (m_server.IsLinked() && m_server.GetVersion() == kSelfLinkVersion) {
      outcome = server::ExecuteInPlace(boost::bind(&OrraSelfLink::CreateLinkExecutor, this), errorText);
    }
  } else if (wait == WAIT_ABANDONED) {
    // A process died while linking. The wait made us the owner; the
    // construction fails all the same, but the mutex must not stay held.
    ::ReleaseMutex(mutex);
  }
  // On a throw the members are destroyed as in any failed construction
  // (the server handle releases, the factory unlinks); nothing is withdrawn.
  CheckCallResult(outcome, errorText);
}

OrraSelfLink::OrraSelfLink(const OrraSelfLink& other) : OrraSelfLink_Base() { (void)other; }

OrraSelfLink& OrraSelfLink::operator=(const OrraSelfLink& other) {
  m_link = other.m_link;
  m_server = other.m_server;
  return *this;
}

OrraSelfLink::~OrraSelfLink() {
  // A failed withdrawal is dropped: the link goes away regardless.
  WideString errorText;
  server::ExecuteInPlace(boost::bind(&OrraSelfLink::UnLinkExecutor, this), errorText);
}

Server& OrraSelfLink::GetMoraVane() { return m_server; }

void OrraSelfLink::CreateLinkExecutor() {
  comsupport::CComQIPtr<IOrraExtras2> extras = ExtrasOf(m_server);
  // A version 7 server offers the extras; one that does not cannot be
  // announced to.
  if (!extras) throw LinkError(E_NOINTERFACE);
  BSTR errorText = nullptr;
  const HRESULT hr = extras->AnnounceSelfLink(&errorText);
  CheckServerResult(hr, errorText);
}

void OrraSelfLink::UnLinkExecutor() {
  if (!m_server.IsLinked()) return;
  comsupport::CComQIPtr<IOrraExtras2> extras = ExtrasOf(m_server);
  if (extras) {
    comsupport::UniqueBstr errorText;
    extras->WithdrawSelfLink(errorText.Put());  // result ignored; the text is freed unread
  }
  m_server.UnLink();
}

}  // namespace moravane
