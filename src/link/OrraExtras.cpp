#include <moravane/OrraExtras.h>

#include "objects/HandleCalls.h"

#include <moravane/Server.h>

namespace moravane {

OrraExtras::OrraExtras() {}
OrraExtras::OrraExtras(Server& server)
    : OrraExtras_Base(server), BaseObject<IOrraExtras2, OrraExtras>(server.GetUnknown().p) {}
OrraExtras::OrraExtras(const OrraExtras& other) : OrraExtras_Base(other), BaseObject<IOrraExtras2, OrraExtras>(other) {}
OrraExtras::~OrraExtras() {}

OrraExtras& OrraExtras::operator=(const OrraExtras& other) {
  BaseObject<IOrraExtras2, OrraExtras>::operator=(other);
  return *this;
}

void OrraExtras::SendFile(const WideString& path) { detail::Call(this, &OrraExtras::SendFileExecutor, path); }

void OrraExtras::SendFileExecutor(BSTR path) { detail::CallRemote(GetInterface(), &IOrraExtras2::SendFile, path); }

}  // namespace moravane
