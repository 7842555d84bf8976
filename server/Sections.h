// Access to the host's named section of shared memory, behind a seam: the
// renderer asks a SectionProvider to map the section named in a start call
// and writes frames or audio straight into the mapping.
//
// KernelSections maps real kernel sections: it opens the section by name
// and, when the host expects the server to create it (no section of that
// name exists yet), creates it with the announced size. InProcessSections
// lends plain memory registered by the caller, for hosts and tests in the
// same process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace linkserver {

// A section's name as UTF-8, for error texts.
std::string SectionNameText(const std::u16string& name);

class SectionMapping {
 public:
  virtual ~SectionMapping() = default;
  virtual std::byte* Data() const = 0;
};

class SectionProvider {
 public:
  virtual ~SectionProvider() = default;
  // Maps at least `size` bytes of the section `name`. Throws ServerError
  // with a message naming the section when it cannot.
  virtual std::unique_ptr<SectionMapping> Map(const std::u16string& name, std::uint64_t size) = 0;
};

class InProcessSections final : public SectionProvider {
 public:
  // The memory stays the caller's; it must outlive every render using it.
  void Register(const std::u16string& name, void* data, std::uint64_t size);
  void Unregister(const std::u16string& name);
  std::unique_ptr<SectionMapping> Map(const std::u16string& name, std::uint64_t size) override;

 private:
  struct Block {
    void* data;
    std::uint64_t size;
  };
  std::mutex m_mutex;
  std::map<std::u16string, Block> m_blocks;
};

class KernelSections final : public SectionProvider {
 public:
  std::unique_ptr<SectionMapping> Map(const std::u16string& name, std::uint64_t size) override;
};

}  // namespace linkserver
