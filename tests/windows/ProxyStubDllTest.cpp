// The contract's proxy/stub DLL (orra_linkserver_ps.dll, built by widl from
// the contract's IDL) as the system's COM finds it: its DllRegisterServer
// writes every interface's ProxyStubClsid32 the way an installer's regsvr32
// does, and DllUnregisterServer takes it all away again. The calls that
// go through its proxies and stubs are the end-to-end tests' (host and
// server in two processes, tests/e2e/WindowsE2eTest.cpp).
#include <contract/LinkServer.h>
#include <contract/LinkServerRows.h>

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

using namespace moravane;

namespace {

constexpr wchar_t kDllName[] = L"orra_linkserver_ps.dll";

using DllEntry = HRESULT(STDAPICALLTYPE*)();

// The proxy/stub DLL, loaded from beside this program as regsvr32 loads it.
HMODULE ProxyStubDll() {
  static const HMODULE dll = ::LoadLibraryW(kDllName);
  return dll;
}

HRESULT CallEntry(const char* name) {
  const FARPROC entry = ::GetProcAddress(ProxyStubDll(), name);
  if (entry == nullptr) return HRESULT_FROM_WIN32(::GetLastError());
  return reinterpret_cast<DllEntry>(reinterpret_cast<void*>(entry))();
}

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return text;
}

// The default value of HKEY_CLASSES_ROOT\<key>, or "(absent)".
std::wstring ClassesValue(const std::wstring& key, const wchar_t* name = nullptr) {
  wchar_t value[MAX_PATH * 2] = {};
  DWORD size = sizeof(value);
  const LSTATUS status = ::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size);
  return status == ERROR_SUCCESS ? std::wstring(value) : std::wstring(L"(absent)");
}

bool SameGuidText(const std::wstring& text, const GUID& expected) {
  GUID parsed{};
  return SUCCEEDED(::CLSIDFromString(text.c_str(), &parsed)) && IsEqualGUID(parsed, expected);
}

struct InterfaceEntry {
  const char* name;
  const IID* iid;
  int methods;
};

template <class... Rows>
std::vector<InterfaceEntry> EveryInterface(std::tuple<Rows...>*) {
  // The names in the order of MORAVANE_LINK_SERVER_INTERFACES, as are the rows.
#define MORAVANE_NAME(Interface) #Interface,
  const char* names[] = {MORAVANE_LINK_SERVER_INTERFACES(MORAVANE_NAME)};
#undef MORAVANE_NAME
  std::vector<InterfaceEntry> entries;
  int index = 0;
  ((entries.push_back(
       {names[index++], &comsupport::InterfaceTraits<typename Rows::Interface>::Id(), 3 + Rows::kMethodCount})),
   ...);
  return entries;
}

TEST(ProxyStubDll, RegistersEveryInterfaceOfTheContract) {
  ASSERT_NE(ProxyStubDll(), nullptr) << "cannot load " << kDllName;
  const std::vector<InterfaceEntry> interfaces = EveryInterface(static_cast<LinkServerRows*>(nullptr));
  ASSERT_EQ(interfaces.size(), 9u);
  // The factory's class: IServer2's identifier, for every interface.
  const std::wstring factoryKey = L"CLSID\\" + GuidText(IID_IServer2) + L"\\InProcServer32";

  ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  ASSERT_EQ(CallEntry("DllUnregisterServer"), S_OK);
  for (const InterfaceEntry& entry : interfaces)
    EXPECT_EQ(ClassesValue(L"Interface\\" + GuidText(*entry.iid)), L"(absent)") << entry.name;
  EXPECT_EQ(ClassesValue(factoryKey), L"(absent)");

  ASSERT_EQ(CallEntry("DllRegisterServer"), S_OK);
  for (const InterfaceEntry& entry : interfaces) {
    SCOPED_TRACE(entry.name);
    const std::wstring key = L"Interface\\" + GuidText(*entry.iid);
    EXPECT_EQ(ClassesValue(key), std::wstring(entry.name, entry.name + std::strlen(entry.name)));
    EXPECT_TRUE(SameGuidText(ClassesValue(key + L"\\ProxyStubClsid32"), IID_IServer2))
        << ClassesValue(key + L"\\ProxyStubClsid32");
    // The generated proxy's size against the contract's rows.
    EXPECT_EQ(ClassesValue(key + L"\\NumMethods"), std::to_wstring(entry.methods));
    CLSID found{};
    EXPECT_EQ(::CoGetPSClsid(*entry.iid, &found), S_OK);
    EXPECT_TRUE(IsEqualGUID(found, IID_IServer2));
  }
  wchar_t path[MAX_PATH] = {};
  ASSERT_NE(::GetModuleFileNameW(ProxyStubDll(), path, MAX_PATH), 0u);
  EXPECT_EQ(ClassesValue(factoryKey), path);
  EXPECT_EQ(ClassesValue(factoryKey, L"ThreadingModel"), L"Both");
  EXPECT_EQ(CallEntry("DllCanUnloadNow"), S_OK) << "no proxy or stub of it is alive";
  ::CoUninitialize();
}

}  // namespace
