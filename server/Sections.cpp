#include "Sections.h"

#include "ServerError.h"

#include <kelvex/Strings.h>

namespace linkserver {

std::string SectionNameText(const std::u16string& name) {
  return kelvex::utility::UTF16ToUTF8(kelvex::utility::UTF16String(name.begin(), name.end()));
}

namespace {

class BorrowedMapping final : public SectionMapping {
 public:
  explicit BorrowedMapping(void* data) : m_data(static_cast<std::byte*>(data)) {}
  std::byte* Data() const override { return m_data; }

 private:
  std::byte* m_data;
};

}  // namespace

void InProcessSections::Register(const std::u16string& name, void* data, std::uint64_t size) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_blocks[name] = Block{data, size};
}

void InProcessSections::Unregister(const std::u16string& name) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_blocks.erase(name);
}

std::unique_ptr<SectionMapping> InProcessSections::Map(const std::u16string& name, std::uint64_t size) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_blocks.find(name);
  if (found == m_blocks.end()) Fail(E_INVALIDARG, "there is no section named '" + SectionNameText(name) + "'");
  if (found->second.size < size) {
    Fail(E_INVALIDARG, "the section '" + SectionNameText(name) + "' holds " + std::to_string(found->second.size) +
                           " bytes, fewer than the " + std::to_string(size) + " announced");
  }
  return std::make_unique<BorrowedMapping>(found->second.data);
}

}  // namespace linkserver
