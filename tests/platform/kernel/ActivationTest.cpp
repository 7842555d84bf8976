// Class objects registered in this process and the activations they serve.
#include "support/PrivateUserFolders.h"

#include <gtest/gtest.h>
#include <objbase.h>

namespace {

const CLSID kClass = {0x1B2C3D4E, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x01}};
const IID kOtherIid = {0x1B2C3D4E, 0x0009, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x09}};

// A factory that makes itself: its count shows every reference taken.
struct Factory : IClassFactory {
  ULONG refs = 1;
  HRESULT failWith = S_OK;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    *object = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory) ? this : nullptr;
    if (*object == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return FAILED(failWith) ? failWith : QueryInterface(iid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

// A class registered as a local server is published to every process of
// the user: these tests publish where no other process looks.
TEST(Activation, ServesWhatTheFactoryAnswersAndClearsTheOutPointerOnFailure) {
  testsupport::PrivateUserFolders folders;
  ASSERT_TRUE(folders.Ready());
  Factory factory, outer;
  void* object = &factory;
  EXPECT_EQ(REGDB_E_CLASSNOTREG, ::CoCreateInstance(kClass, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &object));
  EXPECT_EQ(nullptr, object);
  EXPECT_EQ(E_POINTER, ::CoCreateInstance(kClass, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, nullptr));
  DWORD cookie = 7;
  EXPECT_EQ(E_INVALIDARG, ::CoRegisterClassObject(kClass, nullptr, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie));
  EXPECT_EQ(0u, cookie);
  ASSERT_EQ(S_OK, ::CoRegisterClassObject(kClass, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie));
  const ULONG registered = factory.refs;
  const struct {
    HRESULT failWith;
    const IID* iid;
    IUnknown* outer;
    DWORD context;
    HRESULT expected;
  } cases[] = {{S_OK, &IID_IClassFactory, nullptr, CLSCTX_LOCAL_SERVER, S_OK},
               {E_OUTOFMEMORY, &IID_IUnknown, nullptr, CLSCTX_LOCAL_SERVER, E_OUTOFMEMORY},
               {S_OK, &kOtherIid, nullptr, CLSCTX_LOCAL_SERVER, E_NOINTERFACE},
               {S_OK, &IID_IUnknown, &outer, CLSCTX_LOCAL_SERVER, CLASS_E_NOAGGREGATION},
               {S_OK, &IID_IUnknown, nullptr, CLSCTX_INPROC_SERVER, REGDB_E_CLASSNOTREG}};
  for (const auto& c : cases) {
    factory.failWith = c.failWith;
    object = &outer;
    EXPECT_EQ(c.expected, ::CoCreateInstance(kClass, c.outer, c.context, *c.iid, &object));
    EXPECT_EQ(object, SUCCEEDED(c.expected) ? &factory : nullptr);
    if (object != nullptr) factory.Release();
    EXPECT_EQ(registered, factory.refs) << "activation must give back its references";
  }
  EXPECT_EQ(S_OK, ::CoRevokeClassObject(cookie));
  EXPECT_EQ(1u, factory.refs);
}

}  // namespace
