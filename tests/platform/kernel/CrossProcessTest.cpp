// Sections and mutexes shared with a second process (kernel_child): our
// platform layer's here, the system's on Windows, where every case that
// both have must hold alike.
#include "KernelChild.h"
#include "module/Module.h"

#include <comsupport/KernelHandle.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#ifndef _WIN32
#include "KernelTestSupport.h"
#include "support/ChildProcess.h"

#include <sys/wait.h>
#endif

namespace {

using comsupport::UniqueHandle;
using comsupport::UniqueMappedView;

#ifdef _WIN32
using Fixture = ::testing::Test;

std::string UniqueNarrowName(const std::string& tag) {
  static int counter = 0;
  return "moravane-test-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(counter++) + "-" + tag;
}
#else
using Fixture = KernelObjectTest;
#endif

// Runs the second process to its end and returns its exit code.
int RunChild(const std::string& arguments) {
#ifdef _WIN32
  char path[MAX_PATH];
  const std::string self(path, ::GetModuleFileNameA(nullptr, path, MAX_PATH));
  return std::system((self.substr(0, self.find_last_of("\\/") + 1) + "kernel_child.exe " + arguments).c_str());
#else
  const int status = std::system((std::string(KERNEL_CHILD_PATH) + " " + arguments).c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

class CrossProcess : public Fixture {};

TEST_F(CrossProcess, SectionIsSharedByteForByteUntilItsLastHolderLetsGo) {
  constexpr std::uint64_t kSize = 1920 * 1080 * 4 + 123;  // a frame, not a multiple of the page size
  const std::string name = UniqueNarrowName("frame"), size = std::to_string(kSize);
  UniqueHandle section(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSize,
                                            AsWide(std::u16string(name.begin(), name.end()))));
  ASSERT_TRUE(section);
  {
    UniqueMappedView view(::MapViewOfFile(section.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_TRUE(view);
    FillPattern(static_cast<unsigned char*>(view.Get()), kSize, 7);
  }
  EXPECT_EQ(0, RunChild("check-section " + name + " " + size + " 7"));
  EXPECT_EQ(3, RunChild("check-section " + name + " " + size + " 8")) << "the check must notice another pattern";
  section.Reset();
  EXPECT_EQ(2, RunChild("check-section " + name + " " + size + " 7"));
}

// The other process asks for the mutex by its name: the module must have
// opened that very name.
TEST_F(CrossProcess, SelfLinkMutexIsTheNamedMutexOfEveryProcess) {
  HANDLE selfLink = moravane::module::SelfLinkMutex();
  ASSERT_NE(nullptr, selfLink);
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(selfLink, INFINITE));
  EXPECT_EQ(4, RunChild("try-mutex \"Moravane SelfLink Mutex\" 200")) << "got in while we held it";
  ASSERT_TRUE(::ReleaseMutex(selfLink));
  EXPECT_EQ(0, RunChild("try-mutex \"Moravane SelfLink Mutex\" 20000"));
}

// A name of its own: abandoning the self-link mutex would disturb other
// processes of the user that load the library.
TEST_F(CrossProcess, MutexOfAnOwnerThatEndedIsAbandonedToTheNextWaiter) {
  const std::string name = UniqueNarrowName("abandoned");
  UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, AsWide(std::u16string(name.begin(), name.end()))));
  ASSERT_TRUE(mutex);
  ASSERT_EQ(0, RunChild("abandon-mutex " + name));
  EXPECT_EQ(WAIT_ABANDONED, ::WaitForSingleObject(mutex.Get(), 5000));
  EXPECT_EQ(4, RunChild("try-mutex " + name + " 200")) << "we own it now";
  EXPECT_TRUE(::ReleaseMutex(mutex.Get()));
  EXPECT_FALSE(::ReleaseMutex(mutex.Get())) << "owned once, whatever the dead owner's depth";
  EXPECT_EQ(0, RunChild("try-mutex " + name + " 20000"));
}

#ifndef _WIN32
// Our platform layer keeps names in files: a process that ends, normally or
// not, must leave none behind that nobody holds, and none that we hold.
TEST_F(CrossProcess, SectionOutlivesACreatorThatEndsWhileWeHoldIt) {
  const std::string name = UniqueNarrowName("lifetime");
  ChildProcess creator({KERNEL_CHILD_PATH, "create-section", name, "200000", "3", "exit-holding"});
  ASSERT_EQ("ready", creator.ReadLine());
  UniqueHandle opened(::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, AsWide(Widen(name))));
  ASSERT_TRUE(opened);
  UniqueMappedView view(::MapViewOfFile(opened.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
  creator.CloseInput();
  EXPECT_EQ(0, creator.Wait());
  EXPECT_TRUE(ObjectFileExists(Widen(name)));
  EXPECT_EQ(0, RunChild("check-section " + name + " 200000 3"));
  opened.Reset();
  EXPECT_FALSE(ObjectFileExists(Widen(name)));
  EXPECT_TRUE(MatchesPattern(static_cast<const unsigned char*>(view.Get()), 200000, 3)) << "the view stays valid";
}

TEST_F(CrossProcess, ObjectsOfAKilledProcessAreReclaimed) {
  const std::string name = UniqueNarrowName("killed"), mutexName = UniqueNarrowName("swept");
  for (const bool create : {true, false}) {
    {
      ChildProcess creator({KERNEL_CHILD_PATH, "create-section", name, "4096", "1"});
      ASSERT_EQ("ready", creator.ReadLine());
      creator.Kill();
    }
    ::SetLastError(ERROR_INVALID_PARAMETER);
    if (create) {
      UniqueHandle fresh(
          ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, AsWide(Widen(name))));
      EXPECT_TRUE(fresh);
      EXPECT_EQ(ERROR_SUCCESS, ::GetLastError()) << "the dead creator's section was taken over";
    } else {
      EXPECT_EQ(nullptr, ::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, AsWide(Widen(name))));
      EXPECT_EQ(ERROR_FILE_NOT_FOUND, ::GetLastError());
    }
    EXPECT_FALSE(ObjectFileExists(Widen(name)));
  }
  // Every process of the user sweeps at its first use of the namespace, so
  // only the outcome is certain, not who swept.
  ASSERT_EQ(0, RunChild("abandon-mutex " + mutexName));
  platformdebug::ReclaimAbandonedKernelObjects();
  EXPECT_FALSE(ObjectFileExists(Widen(mutexName)));
}
#endif

}  // namespace
