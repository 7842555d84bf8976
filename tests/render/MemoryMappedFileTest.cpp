// The shared memory file: creation and opening with their second attempt,
// lazy mapping, reset, and copies that share one handle and view.
#include "platform/kernel/KernelTestSupport.h"

#include <moravane/MemoryMappedFile.h>

#include <comsupport/KernelHandle.h>

#include <functional>

namespace moravane {
namespace {

using comsupport::UniqueHandle;

// Reaches the protected Init, which maps the recorded name again.
class ReopenableFile : public MemoryMappedFile {
 public:
  using MemoryMappedFile::Init;
};

class MemoryMappedFileTest : public KernelObjectTest {
 protected:
  void TearDown() override {
    platformdebug::FailNextFileMappingCreations(0);
    platformdebug::FailNextMapViews(0);
    KernelObjectTest::TearDown();
  }
};

// Runs `call` and returns the code of the LinkError it throws (0 if none).
LONG ErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const LinkError& error) {
    EXPECT_TRUE(error.GetErrorString().empty()) << "shared memory failures carry no text";
    return error.GetError();
  }
  return 0;
}

TEST_F(MemoryMappedFileTest, EmptyObjectHasNoAddress) {
  MemoryMappedFile file;
  EXPECT_EQ(kSharedMemoryFailed, ErrorOf([&] { file.GetAddress(); }));
  file.Reset();
  EXPECT_EQ(kSharedMemoryFailed, ErrorOf([&] { file.GetAddress(); }));
}

TEST_F(MemoryMappedFileTest, CreateMapsAtOnceOpenMapsOnFirstUse) {
  const std::string name = UniqueNarrowName("mmf");
  const auto handles = platformdebug::LiveKernelHandleCount();
  const auto views = platformdebug::LiveMappedViewCount();

  MemoryMappedFile creator;
  creator.Init(true, name, 4096);
  EXPECT_EQ(handles + 1, platformdebug::LiveKernelHandleCount());
  EXPECT_EQ(views + 1, platformdebug::LiveMappedViewCount());

  MemoryMappedFile opener;
  opener.Init(false, name, 4096);
  EXPECT_EQ(handles + 2, platformdebug::LiveKernelHandleCount());
  EXPECT_EQ(views + 1, platformdebug::LiveMappedViewCount()) << "opening maps nothing yet";
  void* address = opener.GetAddress();
  EXPECT_EQ(views + 2, platformdebug::LiveMappedViewCount());
  EXPECT_EQ(address, opener.GetAddress()) << "mapped once";

  static_cast<unsigned char*>(creator.GetAddress())[4095] = 0xA5;
  EXPECT_EQ(0xA5, static_cast<unsigned char*>(address)[4095]);
}

TEST_F(MemoryMappedFileTest, NamesAreWidenedAndPassedWithoutPrefix) {
  const std::string name = UniqueNarrowName("caf\xC3\xA9");
  MemoryMappedFile file;
  file.Init(true, name, 4096);
  std::u16string wide = Widen(name.substr(0, name.size() - 2)) + u"\u00e9";
  UniqueHandle same(::OpenFileMappingW(FILE_MAP_READ, FALSE, wide.c_str()));
  EXPECT_TRUE(same);
}

TEST_F(MemoryMappedFileTest, OpenUsesTheWholeExistingSection) {
  constexpr ULONGLONG kSize = 3 * 65536 + 5;
  const std::string name = UniqueNarrowName("whole");
  MemoryMappedFile creator;
  creator.Init(true, name, kSize);
  MemoryMappedFile opener;
  opener.Init(false, name, 1);  // the size plays no part in opening
  static_cast<unsigned char*>(opener.GetAddress())[kSize - 1] = 0x3C;
  EXPECT_EQ(0x3C, static_cast<unsigned char*>(creator.GetAddress())[kSize - 1]);
}

TEST_F(MemoryMappedFileTest, FailuresAreRetriedOnceThenLeaveTheObjectEmpty) {
  struct Case {
    const char* what;
    bool create;
    void (*inject)(int);
    int failures;
    bool succeeds;
  } cases[] = {
      {"creation fails once", true, platformdebug::FailNextFileMappingCreations, 1, true},
      {"creation keeps failing", true, platformdebug::FailNextFileMappingCreations, 3, false},
      {"mapping the created section fails once", true, platformdebug::FailNextMapViews, 1, true},
      {"mapping the created section keeps failing", true, platformdebug::FailNextMapViews, 3, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = UniqueNarrowName("retry");
    const auto handles = platformdebug::LiveKernelHandleCount();
    const auto views = platformdebug::LiveMappedViewCount();
    MemoryMappedFile file;
    c.inject(c.failures);
    const LONG error = ErrorOf([&] { file.Init(c.create, name, 4096); });
    if (c.succeeds) {
      EXPECT_EQ(0, error);
      EXPECT_NE(nullptr, file.GetAddress());
    } else {
      EXPECT_EQ(kSharedMemoryFailed, error);
      EXPECT_EQ(handles, platformdebug::LiveKernelHandleCount());
      EXPECT_EQ(views, platformdebug::LiveMappedViewCount());
      EXPECT_FALSE(ObjectFileExists(Widen(name))) << "the half-made section was closed";
      EXPECT_EQ(kSharedMemoryFailed, ErrorOf([&] { file.GetAddress(); }));
    }
    if (!c.succeeds) {
      // The third injected failure is still pending: no third attempt ran.
      UniqueHandle probe(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr));
      if (c.inject == platformdebug::FailNextMapViews) {
        ASSERT_TRUE(probe);
        EXPECT_EQ(nullptr, ::MapViewOfFile(probe.Get(), FILE_MAP_READ, 0, 0, 0));
      } else {
        EXPECT_FALSE(probe);
      }
    }
    platformdebug::FailNextFileMappingCreations(0);
    platformdebug::FailNextMapViews(0);
  }
}

TEST_F(MemoryMappedFileTest, OpeningAMissingNameThrowsAndHoldsNothing) {
  const auto handles = platformdebug::LiveKernelHandleCount();
  MemoryMappedFile file;
  EXPECT_EQ(kSharedMemoryFailed, ErrorOf([&] { file.Init(false, UniqueNarrowName("absent"), 4096); }));
  EXPECT_EQ(handles, platformdebug::LiveKernelHandleCount());
  EXPECT_EQ(kSharedMemoryFailed, ErrorOf([&] { file.GetAddress(); }));
}

TEST_F(MemoryMappedFileTest, FailedLazyMappingLeavesTheObjectUnchanged) {
  const std::string name = UniqueNarrowName("lazy");
  MemoryMappedFile creator;
  creator.Init(true, name, 4096);
  MemoryMappedFile opener;
  opener.Init(false, name, 4096);
  platformdebug::FailNextMapViews(1);
  EXPECT_EQ(kSharedMemoryFailed, ErrorOf([&] { opener.GetAddress(); }));
  EXPECT_NE(nullptr, opener.GetAddress()) << "the handle is still held";
}

TEST_F(MemoryMappedFileTest, ResetDropsTheAddressButKeepsTheName) {
  for (const bool create : {true, false}) {
    SCOPED_TRACE(create ? "created" : "opened");
    const std::string name = UniqueNarrowName("reset");
    MemoryMappedFile keeper;
    keeper.Init(true, name, 4096);
    static_cast<unsigned char*>(keeper.GetAddress())[0] = 0x42;

    ReopenableFile file;
    file.Init(create, name, 4096);
    file.GetAddress();
    const auto handles = platformdebug::LiveKernelHandleCount();
    const auto views = platformdebug::LiveMappedViewCount();
    file.Reset();
    EXPECT_EQ(handles - 1, platformdebug::LiveKernelHandleCount());
    EXPECT_EQ(views - 1, platformdebug::LiveMappedViewCount());
    EXPECT_EQ(kSharedMemoryFailed, ErrorOf([&] { file.GetAddress(); }));

    file.Init();  // the protected Init: same name, size and flag
    EXPECT_EQ(0x42, static_cast<unsigned char*>(file.GetAddress())[0]);
    file.Init();  // does nothing while mapped
    EXPECT_EQ(handles, platformdebug::LiveKernelHandleCount());
    EXPECT_EQ(views, platformdebug::LiveMappedViewCount());
  }
}

TEST_F(MemoryMappedFileTest, SecondInitDropsTheFirstSection) {
  const std::string first = UniqueNarrowName("first");
  const std::string second = UniqueNarrowName("second");
  const auto handles = platformdebug::LiveKernelHandleCount();
  MemoryMappedFile file;
  file.Init(true, first, 4096);
  file.Init(true, second, 8192);
  EXPECT_FALSE(ObjectFileExists(Widen(first)));
  EXPECT_TRUE(ObjectFileExists(Widen(second)));
  EXPECT_EQ(handles + 1, platformdebug::LiveKernelHandleCount());
  static_cast<unsigned char*>(file.GetAddress())[8191] = 1;
}

TEST_F(MemoryMappedFileTest, CopiesShareHandleAndViewUntilTheLastLetsGo) {
  const std::string name = UniqueNarrowName("copies");
  const auto handles = platformdebug::LiveKernelHandleCount();
  const auto views = platformdebug::LiveMappedViewCount();
  auto original = std::make_unique<MemoryMappedFile>();
  original->Init(true, name, 4096);
  void* address = original->GetAddress();

  MemoryMappedFile copy(*original);
  MemoryMappedFile assigned;
  const std::string dropped = UniqueNarrowName("dropped");
  assigned.Init(true, dropped, 4096);
  assigned = *original;
  EXPECT_FALSE(ObjectFileExists(Widen(dropped))) << "assignment released what the target held";
  EXPECT_EQ(address, copy.GetAddress());
  EXPECT_EQ(address, assigned.GetAddress());
  EXPECT_EQ(handles + 1, platformdebug::LiveKernelHandleCount()) << "copies do not duplicate the handle";
  EXPECT_EQ(views + 1, platformdebug::LiveMappedViewCount());

  original.reset();
  copy.Reset();
  EXPECT_TRUE(ObjectFileExists(Widen(name)));
  static_cast<unsigned char*>(assigned.GetAddress())[4095] = 9;  // still mapped
  assigned = assigned;
  EXPECT_EQ(handles + 1, platformdebug::LiveKernelHandleCount());

  assigned = MemoryMappedFile();
  EXPECT_EQ(handles, platformdebug::LiveKernelHandleCount());
  EXPECT_EQ(views, platformdebug::LiveMappedViewCount());
  EXPECT_FALSE(ObjectFileExists(Widen(name)));
}

TEST_F(MemoryMappedFileTest, CopiesOfAnOpenedSectionMapTheirOwnViews) {
  const std::string name = UniqueNarrowName("opened-copies");
  MemoryMappedFile creator;
  creator.Init(true, name, 4096);
  const auto views = platformdebug::LiveMappedViewCount();
  MemoryMappedFile opener;
  opener.Init(false, name, 4096);
  MemoryMappedFile copy(opener);  // shares the handle, no view yet
  void* a = opener.GetAddress();
  void* b = copy.GetAddress();
  EXPECT_NE(a, b);
  EXPECT_EQ(views + 2, platformdebug::LiveMappedViewCount());
  MemoryMappedFile later(copy);
  EXPECT_EQ(b, later.GetAddress());
  EXPECT_EQ(views + 2, platformdebug::LiveMappedViewCount());
}

}  // namespace
}  // namespace moravane
