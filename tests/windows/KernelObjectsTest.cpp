// The library's kernel objects against Windows' own, with a second process:
// the host's shared memory file as the server opens it, and the self-link
// mutex that serialises link making across processes.
#include "module/Module.h"

#include <moravane/LinkError.h>
#include <moravane/MemoryMappedFile.h>
#include <moravane/Types.h>

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <thread>

namespace {

// Runs windows_kernel_child.exe (next to this program) and returns its exit
// code, or -1 when it could not be started or did not end in time.
DWORD RunChild(const std::wstring& arguments) {
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return static_cast<DWORD>(-1);
  std::wstring program(path, length);
  program.resize(program.find_last_of(L"\\/") + 1);
  program += L"windows_kernel_child.exe";
  std::wstring commandLine = L"\"" + program + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
    return static_cast<DWORD>(-1);
  }
  DWORD code = static_cast<DWORD>(-1);
  if (::WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return code;
}

std::string UniqueName(const char* what) {
  return std::string("Local\\moravane-test-") + what + "-" + std::to_string(::GetCurrentProcessId());
}

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

TEST(KernelObjects, SecondProcessOpensTheCreatedSectionAndWritesIntoTheView) {
  const std::string name = UniqueName("section");
  moravane::MemoryMappedFile file;
  file.Init(true, name, 4096);
  char* data = static_cast<char*>(file.GetAddress());
  std::memcpy(data, "host", 5);
  ASSERT_EQ(RunChild(L"section " + Wide(name)), 0u);
  EXPECT_STREQ(data + 16, "child");
  // A copy shares the view: the same address, the same bytes.
  moravane::MemoryMappedFile copy(file);
  EXPECT_EQ(copy.GetAddress(), file.GetAddress());
}

TEST(KernelObjects, SectionIsGoneOnceItsOnlyHolderLetsGo) {
  const std::string name = UniqueName("released");
  {
    moravane::MemoryMappedFile file;
    file.Init(true, name, 4096);
  }
  EXPECT_EQ(RunChild(L"section " + Wide(name)), 2u);
}

TEST(KernelObjects, OpeningMapsWhatAnotherHolderWrote) {
  const std::string name = UniqueName("opened");
  moravane::MemoryMappedFile creator;
  creator.Init(true, name, 65536);
  std::memcpy(static_cast<char*>(creator.GetAddress()) + 60000, "tail", 5);
  moravane::MemoryMappedFile opener;
  opener.Init(false, name, 65536);
  EXPECT_NE(opener.GetAddress(), creator.GetAddress());
  EXPECT_STREQ(static_cast<char*>(opener.GetAddress()) + 60000, "tail");
}

TEST(KernelObjects, OpeningAMissingSectionThrowsSharedMemoryFailed) {
  moravane::MemoryMappedFile file;
  try {
    file.Init(false, UniqueName("missing"), 4096);
    FAIL() << "no exception";
  } catch (const moravane::LinkError& error) {
    EXPECT_EQ(error.GetError(), moravane::kSharedMemoryFailed);
  }
  EXPECT_THROW(file.GetAddress(), moravane::LinkError);
}

TEST(KernelObjects, SelfLinkMutexIsOwnedByOneThreadAtATime) {
  HANDLE mutex = moravane::module::SelfLinkMutex();
  ASSERT_NE(mutex, nullptr);
  ASSERT_EQ(::WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  // Recursive for its owner.
  ASSERT_EQ(::WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  DWORD otherWait = 0;
  BOOL otherRelease = TRUE;
  DWORD otherError = 0;
  std::thread([&] {
    otherWait = ::WaitForSingleObject(mutex, 50);
    otherRelease = ::ReleaseMutex(mutex);
    otherError = ::GetLastError();
  }).join();
  EXPECT_EQ(otherWait, static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_FALSE(otherRelease);
  EXPECT_EQ(otherError, static_cast<DWORD>(ERROR_NOT_OWNER));
  EXPECT_TRUE(::ReleaseMutex(mutex));
  EXPECT_TRUE(::ReleaseMutex(mutex));
  EXPECT_FALSE(::ReleaseMutex(mutex));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
}

TEST(KernelObjects, SelfLinkMutexLeftByAnEndedProcessIsAbandoned) {
  HANDLE mutex = moravane::module::SelfLinkMutex();
  ASSERT_NE(mutex, nullptr);
  ASSERT_EQ(RunChild(L"abandon \"Moravane SelfLink Mutex\""), 0u);
  EXPECT_EQ(::WaitForSingleObject(mutex, 5000), static_cast<DWORD>(WAIT_ABANDONED));
  // The waiter owns it now; after release it is an ordinary free mutex.
  EXPECT_TRUE(::ReleaseMutex(mutex));
  EXPECT_EQ(::WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(::ReleaseMutex(mutex));
}

}  // namespace
