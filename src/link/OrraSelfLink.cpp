#include <moravane/Link.h>

#include "module/Module.h"
#include "objects/HandleCalls.h"

#include <comsupport/Bstr.h>
#include <comsupport/KernelHandle.h>
#include <moravane/ThreadedState.h>

namespace moravane {

namespace {

// The only server version that a self link accepts.
constexpr LONG kSelfLinkVersion = 7;

// The server's extras interface, queried afresh for each announcement or
// withdrawal and never kept; null when the server offers none.
comsupport::CComQIPtr<IOrraExtras2> ExtrasOf(Server& server) {
  const comsupport::CComPtr<IUnknown> unknown = server.GetUnknown();
  return comsupport::CComQIPtr<IOrraExtras2>(unknown.p);
}

}  // namespace

OrraSelfLink::OrraSelfLink() {
  // From here on, for the rest of the process, every remote call runs on the
  // thread that makes it: this construction's included.
  ThreadedState::SetFreeThreaded(true);

  WideString errorText;
  LONG outcome = E_FAIL;
  const HANDLE mutex = module::SelfLinkMutex();
  const DWORD wait = ::WaitForSingleObject(mutex, INFINITE);
  if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
    // Given back on every way out, also when CreateLink or GetVersion throws.
    const comsupport::MutexOwnership owned(mutex);
    // An abandoned mutex means a process died while linking: this attempt
    // fails, but the mutex does not stay ours.
    if (wait == WAIT_OBJECT_0) {
      m_server = m_link.CreateLink();
      if (m_server.IsLinked() && m_server.GetVersion() == kSelfLinkVersion) {
        outcome = detail::ExecuteInPlace(boost::bind(&OrraSelfLink::CreateLinkExecutor, this), errorText);
      }
    }
  }
  // On a throw the members unlink as they are destroyed; nothing was
  // announced, so nothing is withdrawn.
  CheckCallResult(outcome, errorText);
}

OrraSelfLink::OrraSelfLink(const OrraSelfLink&) : OrraSelfLink_Base() {}

OrraSelfLink& OrraSelfLink::operator=(const OrraSelfLink& other) {
  m_link = other.m_link;
  m_server = other.m_server;
  return *this;
}

OrraSelfLink::~OrraSelfLink() {
  WideString errorText;
  try {
    detail::ExecuteInPlace(boost::bind(&OrraSelfLink::UnLinkExecutor, this), errorText);
  } catch (...) {
    // A failed withdrawal is no reason to fail the host's tear-down.
  }
}

Server& OrraSelfLink::GetMoraVane() { return m_server; }

void OrraSelfLink::CreateLinkExecutor() {
  const comsupport::CComQIPtr<IOrraExtras2> extras = ExtrasOf(m_server);
  // A version-7 server offers the extras; one that does not cannot take the
  // announcement, and the link is refused rather than left unannounced.
  if (!extras) throw LinkError(static_cast<LONG>(E_NOINTERFACE));
  detail::CallRemote(extras, &IOrraExtras2::AnnounceSelfLink);
}

void OrraSelfLink::UnLinkExecutor() {
  if (!m_server.IsLinked()) return;
  const comsupport::CComQIPtr<IOrraExtras2> extras = ExtrasOf(m_server);
  if (extras) {
    BSTR ignored = nullptr;
    extras->WithdrawSelfLink(&ignored);
    const comsupport::UniqueBstr freed(ignored);
  }
  m_server.UnLink();
}

}  // namespace moravane
