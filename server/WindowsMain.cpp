// The reference link server as a Windows local server (main.cpp is the same
// process elsewhere).
//
//   orra_linkserver_host -Embedding   started by COM for an activation:
//                                     publishes the server's class and ends
//                                     when the last of its objects is gone
//   orra_linkserver_host              the same, started by hand
//   orra_linkserver_host --register   points the class's LocalServer32 at
//                                     this executable, then exits
//   orra_linkserver_host --unregister removes that registration
//
// Every COM object of the server holds the process (CoAddRefServerProcess
// when it is made, CoReleaseServerProcess when it goes). When the count
// comes back to zero, COM stops handing out the class object and the main
// thread revokes it and ends the process; an activation arriving after that
// starts a new server.
//
// The registration goes where the system's activation reads it: per user
// (HKCU\Software\Classes) when the system merges that into the classes
// root, as Windows does, else for the machine (HKLM\Software\Classes).
// docs/windows.md says why both exist.
#include "HostProcess.h"
#include "LinkServer.h"
#include "Sections.h"

#include <objbase.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>

namespace {

// Set when the count of the server's objects has come back to zero.
HANDLE g_lastObjectGone = nullptr;
std::atomic<bool> g_everCreated{false};
// How long a server started for an activation waits for its first object.
constexpr DWORD kFirstClientWaitMs = 30000;

void AcquireProcess() {
  g_everCreated = true;
  CoAddRefServerProcess();
}
void ReleaseProcess() {
  if (CoReleaseServerProcess() == 0) SetEvent(g_lastObjectGone);
}

std::wstring ClassKeyPath() {
  wchar_t text[40] = {};
  StringFromGUID2(moravane::CLSID_OrraLinkServer, text, 40);
  return std::wstring(L"CLSID\\") + text;
}

std::wstring SelfPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::wstring();
    if (length < path.size()) return path.substr(0, length);
    path.resize(path.size() * 2);
  }
}

LSTATUS WriteString(HKEY root, const std::wstring& key, const std::wstring& value) {
  HKEY handle = nullptr;
  LSTATUS status =
      RegCreateKeyExW(root, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &handle, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  return status;
}

// Whether the system merges per-user classes into the classes root, as
// Windows does: a probe key written under HKCU\Software\Classes must show
// there. (Comparing the class's own entry would be fooled by an equal one
// left for the machine.)
bool PerUserClassesHonoured() {
  const std::wstring probe = L"moravane.registration-probe." + std::to_wstring(GetCurrentProcessId());
  if (WriteString(HKEY_CURRENT_USER, L"Software\\Classes\\" + probe, L"probe") != ERROR_SUCCESS) return false;
  HKEY seen = nullptr;
  const bool honoured = RegOpenKeyExW(HKEY_CLASSES_ROOT, probe.c_str(), 0, KEY_READ, &seen) == ERROR_SUCCESS;
  if (seen != nullptr) RegCloseKey(seen);
  RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\Classes\\" + probe).c_str());
  return honoured;
}

std::string Narrow(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string result(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, result.data(), size, nullptr, nullptr);
  return result;
}

int Register() {
  const std::wstring self = SelfPath();
  if (self.empty()) {
    std::fprintf(stderr, "orra_linkserver_host: cannot find the path of this executable\n");
    return 1;
  }
  const std::wstring server = L"\"" + self + L"\"";
  const std::wstring key = ClassKeyPath(), localServer = key + L"\\LocalServer32";
  if (PerUserClassesHonoured()) {
    const std::wstring perUser = L"Software\\Classes\\" + key;
    LSTATUS status = WriteString(HKEY_CURRENT_USER, perUser, L"Orra link server");
    if (status == ERROR_SUCCESS) status = WriteString(HKEY_CURRENT_USER, perUser + L"\\LocalServer32", server);
    if (status != ERROR_SUCCESS) {
      std::fprintf(stderr, "orra_linkserver_host: cannot write HKEY_CURRENT_USER\\%s (error %ld)\n",
                   Narrow(perUser).c_str(), static_cast<long>(status));
      return 1;
    }
    std::printf("registered HKEY_CURRENT_USER\\Software\\Classes\\%s\n  -> %s\n", Narrow(localServer).c_str(),
                Narrow(self).c_str());
    return 0;
  }
  // The system reads classes for the machine only.
  const std::wstring machine = L"Software\\Classes\\" + key;
  LSTATUS status = WriteString(HKEY_LOCAL_MACHINE, machine, L"Orra link server");
  if (status == ERROR_SUCCESS) status = WriteString(HKEY_LOCAL_MACHINE, machine + L"\\LocalServer32", server);
  if (status != ERROR_SUCCESS) {
    std::fprintf(stderr,
                 "orra_linkserver_host: this system reads local servers for the machine only, and "
                 "HKEY_LOCAL_MACHINE\\Software\\Classes\\%s cannot be written (error %ld)\n",
                 Narrow(localServer).c_str(), static_cast<long>(status));
    return 1;
  }
  std::printf("registered HKEY_LOCAL_MACHINE\\Software\\Classes\\%s\n  -> %s\n", Narrow(localServer).c_str(),
              Narrow(self).c_str());
  return 0;
}

int Unregister() {
  const std::wstring key = L"Software\\Classes\\" + ClassKeyPath();
  int failures = 0;
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    const LSTATUS status = RegDeleteTreeW(root, key.c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
      std::fprintf(stderr, "orra_linkserver_host: cannot remove %s\\%s (error %ld)\n",
                   root == HKEY_CURRENT_USER ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE", Narrow(key).c_str(),
                   static_cast<long>(status));
      ++failures;
    }
  }
  if (failures == 0) std::printf("unregistered %s\n", Narrow(ClassKeyPath()).c_str());
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  using linkserver::host::Command;
  const linkserver::host::CommandLine line = linkserver::host::ReadCommandLine(
      argc, argv, [](const std::string& argument, int&) { return "unknown argument '" + argument + "'"; });
  if (line.command == Command::kRegister) return Register();
  if (line.command == Command::kUnregister) return Unregister();
  if (line.command == Command::kUsage)
    return linkserver::host::Usage(line.problem, "[-Embedding] | --register | --unregister");
  const bool embedding = line.embedding;

  g_lastObjectGone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (g_lastObjectGone == nullptr || FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
    std::fprintf(stderr, "orra_linkserver_host: cannot start COM\n");
    return 1;
  }
  linkserver::SetObjectHold({AcquireProcess, ReleaseProcess});
  static linkserver::host::ServerClass factory(
      linkserver::host::MakeServer{std::make_shared<linkserver::KernelSections>(), &g_everCreated});
  DWORD cookie = 0;
  if (!linkserver::host::Publish(factory, cookie)) {
    CoUninitialize();
    return 1;
  }
  // The calls arrive on COM's own threads; this one only waits for the end.
  for (;;) {
    const DWORD waited = WaitForSingleObject(g_lastObjectGone, embedding ? kFirstClientWaitMs : INFINITE);
    if (waited == WAIT_OBJECT_0 || !g_everCreated) break;
  }
  CoRevokeClassObject(cookie);
  CoUninitialize();
  std::fflush(stdout);
  std::fflush(stderr);
  return 0;
}
