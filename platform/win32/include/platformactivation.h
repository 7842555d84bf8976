// Where activation reaches beyond this process (not part of the Windows
// SDK). The class table of objbase.h serves the classes registered in this
// process; publishing a class to the user's other processes and activating
// one that lives in another process belong to the link engine, which
// installs itself here when it is linked into the program. Without it a
// local-server registration serves this process only and a class found
// nowhere here is not registered.
#pragma once

#include <objbase.h>

namespace platformactivation {

struct OutOfProcessClasses {
  // CoRegisterClassObject(..., CLSCTX_LOCAL_SERVER, ...): `cookie` is the
  // one the class table hands out; the factory is held until withdrawn.
  HRESULT (*publish)(DWORD cookie, REFCLSID clsid, IUnknown* factory, DWORD flags);
  // CoRevokeClassObject(cookie); unknown cookies are ignored.
  void (*withdraw)(DWORD cookie);
  // CoCreateInstance(..., CLSCTX_LOCAL_SERVER, ...) for a class that this
  // process does not register.
  HRESULT (*activate)(REFCLSID clsid, REFIID iid, void** object);
};

// `classes` must outlive the process (a constant of the engine).
void InstallOutOfProcessClasses(const OutOfProcessClasses* classes);

}  // namespace platformactivation
