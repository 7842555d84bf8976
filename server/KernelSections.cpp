// Kept apart from Sections.cpp so that in-process users, which never map a
// kernel section, do not need the kernel functions at link time.
#include "Sections.h"

#include "ServerError.h"

#include <comsupport/KernelHandle.h>
#include <comsupport/WideChars.h>

#include <windows.h>

namespace linkserver {

namespace {

// Owns the mapping handle and the view; both are released when the render
// that mapped them ends.
class KernelMapping final : public SectionMapping {
 public:
  KernelMapping(comsupport::UniqueHandle handle, comsupport::UniqueMappedView view)
      : m_handle(std::move(handle)), m_view(std::move(view)) {}
  std::byte* Data() const override { return static_cast<std::byte*>(m_view.Get()); }

 private:
  // Declared in this order so that the view is unmapped before the handle
  // is closed.
  comsupport::UniqueHandle m_handle;
  comsupport::UniqueMappedView m_view;
};

}  // namespace

std::unique_ptr<SectionMapping> KernelSections::Map(const std::u16string& name, std::uint64_t size) {
  comsupport::UniqueHandle handle(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, comsupport::AsOleChars(name.c_str())));
  if (!handle) {
    // The host chose to open what the server creates.
    handle.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                                    static_cast<DWORD>(size & 0xFFFFFFFFu), comsupport::AsOleChars(name.c_str())));
  }
  if (!handle) {
    Fail(HRESULT_FROM_WIN32(GetLastError()), "cannot open or create the section '" + SectionNameText(name) + "'");
  }
  comsupport::UniqueMappedView view(MapViewOfFile(handle.Get(), FILE_MAP_ALL_ACCESS, 0, 0, static_cast<SIZE_T>(size)));
  if (!view) {
    Fail(HRESULT_FROM_WIN32(GetLastError()),
         "cannot map " + std::to_string(size) + " bytes of the section '" + SectionNameText(name) + "'");
  }
  return std::make_unique<KernelMapping>(std::move(handle), std::move(view));
}

}  // namespace linkserver
