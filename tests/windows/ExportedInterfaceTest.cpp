// A host's view of the library: this program links the shared library
// (moravane.dll through its import library on Windows), so every class and
// function used here must be exported, and a LinkError thrown by library
// code must be caught by its type across the module boundary.
#include <moravane/LinkError.h>
#include <moravane/ThreadedState.h>

#include <gtest/gtest.h>

namespace {

TEST(ExportedInterface, LinkErrorIsUsableFromAHost) {
  const moravane::WideString text = kelvex::utility::AsciiToUTF16("lost");
  moravane::LinkError error(text, moravane::kNoRemoteObject);
  moravane::LinkError copy(error);
  moravane::LinkError assigned(E_FAIL);
  assigned = copy;
  EXPECT_EQ(assigned.GetError(), moravane::kNoRemoteObject);
  EXPECT_EQ(assigned.GetErrorString(), text);
  EXPECT_TRUE(assigned.ShouldReconnect());
  EXPECT_STREQ(assigned.what(), "");
  EXPECT_EQ(moravane::LinkError(text).GetError(), 0);
  try {
    throw assigned;
  } catch (const std::exception& caught) {
    // The type information comes from the library: the cast works only if
    // the host and the library agree on it.
    EXPECT_NE(dynamic_cast<const moravane::LinkError*>(&caught), nullptr);
  }
}

TEST(ExportedInterface, FreeThreadedSettingIsTheLibrarys) {
  EXPECT_FALSE(moravane::ThreadedState::GetFreeThreaded()) << "off when the library is loaded";
  moravane::ThreadedState::SetFreeThreaded(true);
  EXPECT_TRUE(moravane::ThreadedState::GetFreeThreaded());
  moravane::ThreadedState::SetFreeThreaded(false);
  EXPECT_FALSE(moravane::ThreadedState::GetFreeThreaded());
}

}  // namespace
