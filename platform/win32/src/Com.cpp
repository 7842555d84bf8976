// COM apartment bookkeeping and the well-known interface identifiers.
// Calls between objects of one process are direct, so an apartment here is
// only the per-thread initialisation count that Windows keeps.
#include <objbase.h>

extern "C" const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
extern "C" const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

struct Apartment {
  int initCount = 0;
  DWORD model = 0;
};
thread_local Apartment t_apartment;

}  // namespace

extern "C" {

HRESULT STDAPICALLTYPE CoInitializeEx(LPVOID /*reserved*/, DWORD coInit) {
  // A non-null reserved argument is ignored, as Windows ignores it.
  const DWORD model = coInit & COINIT_APARTMENTTHREADED;
  Apartment& apartment = t_apartment;
  if (apartment.initCount > 0) {
    if (apartment.model != model) return RPC_E_CHANGED_MODE;
    ++apartment.initCount;
    return S_FALSE;
  }
  apartment.model = model;
  apartment.initCount = 1;
  return S_OK;
}

void STDAPICALLTYPE CoUninitialize(void) {
  Apartment& apartment = t_apartment;
  if (apartment.initCount > 0) --apartment.initCount;
}

}  // extern "C"
