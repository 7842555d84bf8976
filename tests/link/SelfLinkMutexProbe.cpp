// The other process of the self-link tests: tries the named mutex that the
// tests made the self-link mutex, without waiting. Exit 0: taken (and given
// back), 1: held by someone else, 2: the wait failed.
#include <windows.h>

#include <string>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string narrow = argv[1];
  const std::u16string name(narrow.begin(), narrow.end());
  const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name.c_str());
  const DWORD wait = ::WaitForSingleObject(mutex, 0);
  if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ::ReleaseMutex(mutex);
  if (mutex != nullptr) ::CloseHandle(mutex);
  return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED ? 0 : wait == WAIT_TIMEOUT ? 1 : 2;
}
