// A host's view of the library: this program links the shared library
// (moravane.dll through its import library on Windows), so every class and
// function used here must be exported, and a LinkError thrown by library
// code must be caught by its type across the module boundary.
#include <comsupport/WideChars.h>
#include <moravane/Link.h>
#include <moravane/LinkError.h>
#include <moravane/ThreadedState.h>

#include <gtest/gtest.h>

#include <windows.h>

namespace {

TEST(ExportedInterface, LinkErrorIsUsableFromAHost) {
  const moravane::WideString text = kelvex::utility::AsciiToUTF16("lost");
  moravane::LinkError assigned(E_FAIL);
  assigned = moravane::LinkError(moravane::LinkError(text, moravane::kNoRemoteObject));
  EXPECT_EQ(assigned.GetError(), moravane::kNoRemoteObject);
  EXPECT_EQ(assigned.GetErrorString(), text);
  EXPECT_TRUE(assigned.ShouldReconnect());
  EXPECT_EQ(moravane::LinkError(text).GetError(), 0);
  try {
    throw assigned;
  } catch (const std::exception& caught) {
    // The type information comes from the library: the cast works only if
    // the host and the library agree on it.
    EXPECT_NE(dynamic_cast<const moravane::LinkError*>(&caught), nullptr);
    EXPECT_STREQ(caught.what(), "");
  }
}

TEST(ExportedInterface, FreeThreadedSettingIsTheLibrarys) {
  EXPECT_FALSE(moravane::ThreadedState::GetFreeThreaded()) << "off when the library is loaded";
  moravane::ThreadedState::SetFreeThreaded(true);
  EXPECT_TRUE(moravane::ThreadedState::GetFreeThreaded());
  moravane::ThreadedState::SetFreeThreaded(false);
}

// The library's static set-up creates the self-link mutex when the library
// is loaded, before the host has called anything of it.
TEST(ExportedInterface, SelfLinkMutexExistsOnceTheLibraryIsLoaded) {
  ::SetLastError(ERROR_SUCCESS);
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, comsupport::AsOleChars(u"Moravane SelfLink Mutex"));
  const DWORD error = ::GetLastError();
  ASSERT_NE(mutex, nullptr);
  ::CloseHandle(mutex);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

#if defined(_WIN32)
// In a Wine prefix no link server is registered. The communication thread
// that this starts lives in moravane.dll and is still running when the
// program ends: the process must end regardless (the DLL's detach waits
// for nothing of the library's).
TEST(ExportedInterface, FailedActivationReachesTheHostAsLinkError) {
  moravane::OrraServer link;
  try {
    link.CreateLink();
    FAIL() << "a link server is registered in this prefix";
  } catch (const moravane::LinkError& error) {
    EXPECT_EQ(error.GetError(), static_cast<LONG>(REGDB_E_CLASSNOTREG));
    EXPECT_TRUE(error.GetErrorString().empty());
  }
  EXPECT_FALSE(link.IsLinked());
}
#endif

}  // namespace
