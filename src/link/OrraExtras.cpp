#include <moravane/OrraExtras.h>

#include "objects/HandleCalls.h"

#include <moravane/Server.h>

namespace moravane {

MORAVANE_HANDLE_MEMBERS(OrraExtras, IOrraExtras2)
OrraExtras::OrraExtras(Server& server)
    : OrraExtras_Base(server), BaseObject<IOrraExtras2, OrraExtras>(server.GetUnknown().p) {}

void OrraExtras::SendFile(const WideString& path) { detail::Call(this, &OrraExtras::SendFileExecutor, path); }

void OrraExtras::SendFileExecutor(BSTR path) { detail::CallRemote(GetInterface(), &IOrraExtras2::SendFile, path); }

}  // namespace moravane
