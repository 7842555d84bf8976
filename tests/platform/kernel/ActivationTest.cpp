// Class registration and activation within one process.
#include "support/PrivateUserFolders.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <atomic>
#include <memory>

namespace {

const CLSID kClass = {0x1B2C3D4E, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x01}};
const CLSID kOtherClass = {0x1B2C3D4E, 0x0002, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x02}};
const IID IID_IThing = {0x1B2C3D4E, 0x0003, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x03}};

// A counted object that answers IUnknown and IThing.
struct Thing : IUnknown {
  std::atomic<ULONG> refs{1};
  static std::atomic<int> live;
  Thing() { ++live; }
  virtual ~Thing() { --live; }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IThing)) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    *object = this;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs;
    if (left == 0) delete this;
    return left;
  }
};
std::atomic<int> Thing::live{0};

// A factory on the stack whose references the tests count.
struct Factory : IClassFactory {
  std::atomic<ULONG> refs{1};
  HRESULT failWith = S_OK;
  int created = 0;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    *object = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if (FAILED(failWith)) return failWith;
    Thing* thing = new Thing;
    const HRESULT hr = thing->QueryInterface(riid, object);
    thing->Release();
    if (SUCCEEDED(hr)) ++created;
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

class Activation : public ::testing::Test {
 protected:
  // A class registered as a local server is published to every process of
  // the user, and these tests run as parallel processes: each publishes
  // where no other process looks, or one would activate another's class.
  static void SetUpTestSuite() {
    s_folders = std::make_unique<testsupport::PrivateUserFolders>();
    ASSERT_TRUE(s_folders->Ready());
  }
  static void TearDownTestSuite() { s_folders.reset(); }
  void TearDown() override {
    EXPECT_EQ(1u, factory.refs.load()) << "the factory's count must be back at its baseline";
    EXPECT_EQ(0, Thing::live.load());
  }
  Factory factory;
  static std::unique_ptr<testsupport::PrivateUserFolders> s_folders;
};
std::unique_ptr<testsupport::PrivateUserFolders> Activation::s_folders;

TEST_F(Activation, UnregisteredClassIsReportedAndOutPointerCleared) {
  void* object = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(REGDB_E_CLASSNOTREG, ::CoCreateInstance(kClass, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &object));
  EXPECT_EQ(nullptr, object);
  EXPECT_EQ(E_POINTER, ::CoCreateInstance(kClass, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, nullptr));
}

TEST_F(Activation, RegisteredFactoryServesUntilRevoked) {
  DWORD cookie = 0;
  ASSERT_EQ(S_OK, ::CoRegisterClassObject(kClass, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie));
  EXPECT_NE(0u, cookie);
  // The registration holds a reference, and so does its publication to the
  // other processes of the user.
  const ULONG registered = factory.refs.load();
  EXPECT_GE(registered, 2u) << "registration holds a reference";

  for (int i = 0; i < 2; ++i) {
    IUnknown* object = nullptr;
    ASSERT_EQ(S_OK,
              ::CoCreateInstance(kClass, nullptr, CLSCTX_LOCAL_SERVER, IID_IThing, reinterpret_cast<void**>(&object)));
    ASSERT_NE(nullptr, object);
    EXPECT_EQ(1, Thing::live.load());
    object->Release();
  }
  EXPECT_EQ(2, factory.created);
  EXPECT_EQ(registered, factory.refs.load()) << "activation gave back its reference";

  void* object = nullptr;
  EXPECT_EQ(REGDB_E_CLASSNOTREG, ::CoCreateInstance(kOtherClass, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &object));
  EXPECT_EQ(REGDB_E_CLASSNOTREG, ::CoCreateInstance(kClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object));

  EXPECT_EQ(S_OK, ::CoRevokeClassObject(cookie));
  EXPECT_EQ(1u, factory.refs.load());
  EXPECT_EQ(REGDB_E_CLASSNOTREG, ::CoCreateInstance(kClass, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &object));
  EXPECT_EQ(E_INVALIDARG, ::CoRevokeClassObject(cookie));
}

TEST_F(Activation, FailuresOfTheFactoryReachTheCaller) {
  DWORD cookie = 0;
  ASSERT_EQ(S_OK, ::CoRegisterClassObject(kClass, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie));
  const IID IID_Unknown = {0x1B2C3D4E, 0x0009, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x09}};
  struct Case {
    const char* what;
    HRESULT failWith;
    const IID* iid;
    bool aggregate;
    HRESULT expected;
  } cases[] = {
      {"factory fails", E_OUTOFMEMORY, &IID_IUnknown, false, E_OUTOFMEMORY},
      {"interface not offered", S_OK, &IID_Unknown, false, E_NOINTERFACE},
      {"aggregation refused", S_OK, &IID_IUnknown, true, CLASS_E_NOAGGREGATION},
  };
  Thing outer;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    factory.failWith = c.failWith;
    void* object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(c.expected,
              ::CoCreateInstance(kClass, c.aggregate ? &outer : nullptr, CLSCTX_LOCAL_SERVER, *c.iid, &object));
    EXPECT_EQ(nullptr, object);
  }
  EXPECT_EQ(S_OK, ::CoRevokeClassObject(cookie));
  EXPECT_EQ(1, Thing::live.load()) << "only the outer object is alive";
}

TEST_F(Activation, SingleUseServesOnceAndBadArgumentsAreRefused) {
  DWORD cookie = 0;
  ASSERT_EQ(S_OK, ::CoRegisterClassObject(kClass, &factory, CLSCTX_LOCAL_SERVER, REGCLS_SINGLEUSE, &cookie));
  IUnknown* object = nullptr;
  ASSERT_EQ(S_OK, ::CoCreateInstance(kClass, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&object)));
  object->Release();
  EXPECT_EQ(REGDB_E_CLASSNOTREG,
            ::CoCreateInstance(kClass, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&object)));
  EXPECT_EQ(S_OK, ::CoRevokeClassObject(cookie));

  DWORD unused = 7;
  EXPECT_EQ(E_INVALIDARG, ::CoRegisterClassObject(kClass, nullptr, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &unused));
  EXPECT_EQ(0u, unused);
  EXPECT_EQ(E_INVALIDARG, ::CoRegisterClassObject(kClass, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, nullptr));
}

}  // namespace
