// The shared memory file: creation and opening with their second attempt,
// lazy mapping, reset, and copies that share one handle and view. The
// fixture checks that every handle and view is given back.
#include "platform/kernel/KernelTestSupport.h"

#include <moravane/MemoryMappedFile.h>

#include <comsupport/KernelHandle.h>

#include <functional>

namespace moravane {
namespace {

using platformdebug::LiveKernelHandleCount;
using platformdebug::LiveMappedViewCount;

// Reaches the protected Init, which maps the recorded name again.
class ReopenableFile : public MemoryMappedFile {
 public:
  using MemoryMappedFile::Init;
};

using MemoryMappedFileTest = KernelObjectTest;

// The code of the LinkError that `call` throws (0 if none).
LONG ErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const LinkError& error) {
    EXPECT_TRUE(error.GetErrorString().empty()) << "shared memory failures carry no text";
    return error.GetError();
  }
  return 0;
}

unsigned char* Bytes(MemoryMappedFile& file) { return static_cast<unsigned char*>(file.GetAddress()); }
// The live kernel handles and mapped views of the process.
auto Live() { return std::make_pair(LiveKernelHandleCount(), LiveMappedViewCount()); }

TEST_F(MemoryMappedFileTest, CreateMapsAtOnceOpenMapsTheWholeSectionOnFirstUse) {
  constexpr ULONGLONG kSize = 3 * 65536 + 5;
  const std::string name = UniqueNarrowName("caf\xC3\xA9");
  const auto views = LiveMappedViewCount();
  MemoryMappedFile empty, creator, opener;
  EXPECT_EQ(kSharedMemoryFailed, ErrorOf([&] { empty.GetAddress(); }));
  creator.Init(true, name, kSize);
  EXPECT_EQ(views + 1, LiveMappedViewCount());
  const std::u16string wide = Widen(name.substr(0, name.size() - 2)) + u"\u00e9";
  EXPECT_TRUE(comsupport::UniqueHandle(::OpenFileMappingW(FILE_MAP_READ, FALSE, wide.c_str())))
      << "the name is widened from UTF-8 and passed without prefix";
  opener.Init(false, name, 1);  // the size plays no part in opening
  EXPECT_EQ(views + 1, LiveMappedViewCount()) << "opening maps nothing yet";
  unsigned char* address = Bytes(opener);
  EXPECT_EQ(address, Bytes(opener)) << "mapped once";
  EXPECT_EQ(views + 2, LiveMappedViewCount());
  address[kSize - 1] = 0x3C;
  EXPECT_EQ(0x3C, Bytes(creator)[kSize - 1]);
}

TEST_F(MemoryMappedFileTest, FailuresAreRetriedOnceThenLeaveTheObjectEmpty) {
  for (int row = 0; row < 4; ++row) {
    const auto inject = row < 2 ? platformdebug::FailNextFileMappingCreations : platformdebug::FailNextMapViews;
    const int failures = row % 2 == 0 ? 1 : 3;
    SCOPED_TRACE(std::to_string(failures) + (inject == platformdebug::FailNextMapViews ? " mapping" : " creation"));
    const std::string name = UniqueNarrowName("retry");
    MemoryMappedFile file;
    inject(failures);
    const bool succeeds = failures == 1;
    EXPECT_EQ(succeeds ? 0 : kSharedMemoryFailed, ErrorOf([&] { file.Init(true, name, 4096); }));
    EXPECT_EQ(succeeds ? 0 : kSharedMemoryFailed, ErrorOf([&] { file.GetAddress(); }));
    EXPECT_EQ(succeeds, ObjectFileExists(Widen(name))) << "a half-made section is closed";
    // The third injected failure is still pending: no third attempt ran.
    comsupport::UniqueHandle probe(
        ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr));
    comsupport::UniqueMappedView view(probe ? ::MapViewOfFile(probe.Get(), FILE_MAP_READ, 0, 0, 0) : nullptr);
    const bool third = inject == platformdebug::FailNextMapViews ? probe && !view : !probe;
    EXPECT_EQ(third, !succeeds);
    platformdebug::FailNextFileMappingCreations(0);
    platformdebug::FailNextMapViews(0);
  }
  // Opening a missing name fails likewise; a failed lazy mapping keeps the handle.
  MemoryMappedFile absent, creator, opener;
  EXPECT_EQ(kSharedMemoryFailed, ErrorOf([&] { absent.Init(false, UniqueNarrowName("absent"), 4096); }));
  const std::string name = UniqueNarrowName("lazy");
  creator.Init(true, name, 4096);
  opener.Init(false, name, 4096);
  platformdebug::FailNextMapViews(1);
  EXPECT_EQ(kSharedMemoryFailed, ErrorOf([&] { opener.GetAddress(); }));
  EXPECT_NE(nullptr, opener.GetAddress());
}

TEST_F(MemoryMappedFileTest, ResetDropsTheAddressButKeepsTheName) {
  for (const bool create : {true, false}) {
    SCOPED_TRACE(create ? "created" : "opened");
    const std::string name = UniqueNarrowName("reset");
    MemoryMappedFile keeper;
    keeper.Init(true, name, 4096);
    Bytes(keeper)[0] = 0x42;
    ReopenableFile file;
    file.Init(create, name, 4096);
    file.GetAddress();
    const auto [handles, views] = Live();
    file.Reset();
    EXPECT_EQ(std::make_pair(handles - 1, views - 1), Live());
    EXPECT_EQ(kSharedMemoryFailed, ErrorOf([&] { file.GetAddress(); }));
    file.Init();  // the protected Init: same name, size and flag
    EXPECT_EQ(0x42, Bytes(file)[0]);
    file.Init();  // does nothing while mapped
    EXPECT_EQ(std::make_pair(handles, views), Live());
  }
}

// Copies of a created section share its handle and view; copies of an
// opened one share the handle and map their own view; the last holder to let
// go closes the section.
TEST_F(MemoryMappedFileTest, CopiesShareHandleAndViewUntilTheLastLetsGo) {
  const std::string name = UniqueNarrowName("copies");
  const std::string dropped = UniqueNarrowName("dropped");
  const auto [handles, views] = Live();
  auto original = std::make_unique<MemoryMappedFile>();
  original->Init(true, dropped, 4096);
  original->Init(true, name, 4096);
  EXPECT_FALSE(ObjectFileExists(Widen(dropped))) << "a second Init drops the first section";
  MemoryMappedFile copy(*original), assigned, opener;
  assigned.Init(true, dropped, 4096);
  assigned = *original;
  EXPECT_FALSE(ObjectFileExists(Widen(dropped))) << "assignment releases what the target held";
  EXPECT_EQ(Bytes(*original), Bytes(copy));
  EXPECT_EQ(Bytes(*original), Bytes(assigned));
  EXPECT_EQ(std::make_pair(handles + 1, views + 1), Live());

  opener.Init(false, name, 4096);
  MemoryMappedFile openerCopy(opener);
  EXPECT_NE(Bytes(opener), Bytes(openerCopy));
  MemoryMappedFile later(openerCopy);
  EXPECT_EQ(Bytes(openerCopy), Bytes(later));
  EXPECT_EQ(views + 3, LiveMappedViewCount());
  opener = later = openerCopy = MemoryMappedFile();

  original.reset();
  copy.Reset();
  Bytes(assigned)[4095] = 9;  // still mapped
  assigned = assigned;
  EXPECT_TRUE(ObjectFileExists(Widen(name)));
  assigned = MemoryMappedFile();
  EXPECT_EQ(std::make_pair(handles, views), Live());
  EXPECT_FALSE(ObjectFileExists(Widen(name)));
}

}  // namespace
}  // namespace moravane
