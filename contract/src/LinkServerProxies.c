/* The proxies and stubs that widl writes from LinkServer.idl, compiled here
 * rather than on their own: MinGW's <unknwn.h> declares IUnknown's proxy
 * functions (exported by rpcrt4) only for C++, and the generated tables
 * refer to them from C. */
#include <objbase.h>

HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);

#include "LinkServer_p.c"
