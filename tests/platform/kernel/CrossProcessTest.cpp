// Sections and mutexes shared with another process (a helper started with
// fork+exec): byte-for-byte sharing, lifetime across processes, clean-up
// after a crash, and mutex abandonment.
#include "support/ChildProcess.h"
#include "KernelTestSupport.h"
#include "PatternBytes.h"
#include "module/Module.h"

#include <comsupport/KernelHandle.h>

#include <filesystem>

namespace {

using comsupport::UniqueHandle;
using comsupport::UniqueMappedView;

const std::string kChild = KERNEL_CHILD_PATH;

class CrossProcess : public KernelObjectTest {};

TEST_F(CrossProcess, SectionCreatedHereIsReadThereByteForByte) {
  constexpr std::uint64_t kSize = 1920 * 1080 * 4 + 123;  // a frame, not a multiple of the page size
  const std::string name = UniqueNarrowName("frame");
  UniqueHandle section(
      ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSize, Widen(name).c_str()));
  ASSERT_TRUE(section);
  UniqueMappedView view(::MapViewOfFile(section.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_TRUE(view);
  FillPattern(static_cast<unsigned char*>(view.Get()), kSize, 7);

  ChildProcess same({kChild, "check-section", name, std::to_string(kSize), "7"});
  EXPECT_EQ(0, same.Wait());
  ChildProcess other({kChild, "check-section", name, std::to_string(kSize), "8"});
  EXPECT_EQ(3, other.Wait()) << "the check must notice a different pattern";
}

TEST_F(CrossProcess, SectionCreatedThereLivesWhileAnyProcessHoldsIt) {
  constexpr std::uint64_t kSize = 200000;
  const std::string name = UniqueNarrowName("lifetime");
  const std::u16string wide = Widen(name);
  ChildProcess creator({kChild, "create-section", name, std::to_string(kSize), "3"});
  ASSERT_EQ("ready", creator.ReadLine());

  UniqueHandle opened(::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, wide.c_str()));
  ASSERT_TRUE(opened);
  UniqueMappedView view(::MapViewOfFile(opened.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_TRUE(view);
  EXPECT_TRUE(MatchesPattern(static_cast<const unsigned char*>(view.Get()), kSize, 3));

  // The creator closes its handle and ends; ours keeps the name.
  creator.CloseInput();
  EXPECT_EQ(0, creator.Wait());
  EXPECT_TRUE(ObjectFileExists(wide));
  ChildProcess reader({kChild, "check-section", name, std::to_string(kSize), "3"});
  EXPECT_EQ(0, reader.Wait());

  opened.Reset();
  EXPECT_FALSE(ObjectFileExists(wide));
  EXPECT_EQ(nullptr, ::OpenFileMappingW(FILE_MAP_READ, FALSE, wide.c_str()));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, ::GetLastError());
  EXPECT_TRUE(MatchesPattern(static_cast<const unsigned char*>(view.Get()), kSize, 3)) << "the view stays valid";
}

TEST_F(CrossProcess, ProcessEndingWithOpenHandlesLeavesNoNames) {
  const std::string name = UniqueNarrowName("exit-holding");
  ChildProcess creator({kChild, "create-section", name, "4096", "1", "exit-holding"});
  ASSERT_EQ("ready", creator.ReadLine());
  creator.CloseInput();
  EXPECT_EQ(0, creator.Wait());
  EXPECT_FALSE(ObjectFileExists(Widen(name))) << "left behind although the process ended normally";
}

TEST_F(CrossProcess, SectionOfAKilledCreatorIsReclaimedOnNextUse) {
  const std::string name = UniqueNarrowName("killed");
  const std::u16string wide = Widen(name);
  {
    ChildProcess creator({kChild, "create-section", name, "4096", "1"});
    ASSERT_EQ("ready", creator.ReadLine());
    creator.Kill();
  }
  EXPECT_EQ(nullptr, ::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, wide.c_str()));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, ::GetLastError());
  EXPECT_FALSE(ObjectFileExists(wide)) << "no stale entry may stay behind";

  // Creating the name again after a crash makes a fresh section.
  {
    ChildProcess creator({kChild, "create-section", name, "4096", "1"});
    ASSERT_EQ("ready", creator.ReadLine());
    creator.Kill();
  }
  ::SetLastError(ERROR_INVALID_PARAMETER);
  UniqueHandle fresh(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, wide.c_str()));
  ASSERT_TRUE(fresh);
  EXPECT_EQ(ERROR_SUCCESS, ::GetLastError());
}

TEST_F(CrossProcess, SweepReclaimsEveryAbandonedObject) {
  const std::string sectionName = UniqueNarrowName("swept");
  const std::string mutexName = UniqueNarrowName("swept");
  {
    ChildProcess creator({kChild, "create-section", sectionName, "4096", "1"});
    ChildProcess holder({kChild, "hold-mutex", mutexName});
    ASSERT_EQ("ready", creator.ReadLine());
    ASSERT_EQ("owned 0", holder.ReadLine());
    creator.Kill();
    holder.Kill();
  }
  // Other processes of the user sweep too (every process does at its first
  // use of the namespace), so only the outcome is certain, not who swept.
  platformdebug::ReclaimAbandonedKernelObjects();
  EXPECT_FALSE(ObjectFileExists(Widen(sectionName)));
  EXPECT_FALSE(ObjectFileExists(Widen(mutexName)));
}

TEST_F(CrossProcess, SelfLinkMutexSerialisesProcesses) {
  HANDLE selfLink = moravane::module::SelfLinkMutex();
  ASSERT_NE(nullptr, selfLink);
  {
    // The module's handle is the named mutex of the user's namespace.
    UniqueHandle same(::CreateMutexW(nullptr, FALSE, u"Moravane SelfLink Mutex"));
    ASSERT_TRUE(same);
    EXPECT_EQ(ERROR_ALREADY_EXISTS, ::GetLastError());
  }
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(selfLink, INFINITE));
  // The other process asks for the mutex by its name, so a module that
  // opened another name lets it in.
  ChildProcess other({kChild, "hold-mutex", "Moravane SelfLink Mutex"});
  EXPECT_EQ("", other.ReadLine(300)) << "the other process got in while we held the mutex";
  ASSERT_TRUE(::ReleaseMutex(selfLink));
  ASSERT_EQ("owned 0", other.ReadLine());
  EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(selfLink, 50));
  other.WriteLine("release");
  ASSERT_EQ("released", other.ReadLine());
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(selfLink, 5000));
  EXPECT_TRUE(::ReleaseMutex(selfLink));
}

TEST_F(CrossProcess, ProcessKilledWhileOwningAbandonsTheMutex) {
  // A name of its own: abandoning the self-link mutex itself would disturb
  // other processes of the user that load the library.
  const std::string name = UniqueNarrowName("abandoned");
  UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, Widen(name).c_str()));
  ASSERT_TRUE(mutex);
  ChildProcess owner({kChild, "hold-mutex", name});
  ASSERT_EQ("owned 0", owner.ReadLine());
  EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(mutex.Get(), 0));
  owner.Kill();
  EXPECT_EQ(WAIT_ABANDONED, ::WaitForSingleObject(mutex.Get(), INFINITE));
  // We own it now: another process has to wait for us.
  ChildProcess next({kChild, "hold-mutex", name});
  EXPECT_EQ("", next.ReadLine(200));
  EXPECT_TRUE(::ReleaseMutex(mutex.Get()));
  EXPECT_EQ("owned 0", next.ReadLine());
}

TEST_F(CrossProcess, AnotherUserCannotSeeOurObjects) {
  if (::geteuid() != 0) GTEST_SKIP() << "switching users needs root";
  // A shared root like /dev/shm, but one this test can remove again.
  char pattern[] = "/tmp/moravane-users-XXXXXX";
  ASSERT_NE(nullptr, ::mkdtemp(pattern));
  const std::string root = pattern;
  ::chmod(root.c_str(), 01777);
  platformdebug::SetKernelNamespaceRoot(root);
  const std::string name = UniqueNarrowName("private");
  {
    UniqueHandle section(
        ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, Widen(name).c_str()));
    ASSERT_TRUE(section);
    std::string fileName;
    ASSERT_TRUE(platformdebug::EncodeKernelObjectName(Widen(name).c_str(), &fileName));
    const std::string path = platformdebug::KernelNamespaceDirectory() + "/" + fileName;
    ChildProcess stranger({kChild, "open-as-user", "65534", root, name, path});
    EXPECT_EQ(std::to_string(ERROR_FILE_NOT_FOUND), stranger.ReadLine()) << "the stranger has a namespace of its own";
    EXPECT_EQ(std::to_string(EACCES), stranger.ReadLine()) << "and cannot reach into ours";
    EXPECT_EQ(0, stranger.Wait());
    struct stat st;
    ASSERT_EQ(0, ::stat((root + "/moravane-0").c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777);
  }
  platformdebug::SetKernelNamespaceRoot("");
  std::filesystem::remove_all(root);
}

}  // namespace
