/* The proxy/stub DLL's entry points (DllGetClassObject, DllCanUnloadNow,
 * and with REGISTER_PROXY_DLL DllMain, DllRegisterServer and
 * DllUnregisterServer), from the list that widl writes.
 *
 * The class of the DLL's factory, which registration writes as every
 * interface's ProxyStubClsid32, is the identifier of IServer2, the
 * contract's first interface. Left to itself, rpcproxy.h would take the
 * first entry of widl's stub list, which is sorted for lookup and so names
 * whichever interface happens to sort first. */
#define PROXY_CLSID IID_IServer2
#include <objbase.h>
#include <rpcproxy.h>
/* rpcproxy.h would declare it again, non-const, beside the header's. */
#undef CLSID_PSFACTORYBUFFER
#define CLSID_PSFACTORYBUFFER

#include "LinkServer.h"

#include "dlldata.c"
