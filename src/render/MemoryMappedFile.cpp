#include <moravane/MemoryMappedFile.h>

#include <comsupport/KernelHandle.h>
#include <comsupport/WideChars.h>
#include <kelvex/Strings.h>

#include <cassert>
#include <mutex>
#include <unordered_map>

namespace moravane {

namespace {

// Copies of a MemoryMappedFile hold the same handle and view values. The
// owner of each value lives here with the number of objects that hold it;
// the last one to drop it closes the handle or unmaps the view. Keyed by the
// value: a handle or address is unique while it is held.
template <class Owner>
class SharedOwners {
 public:
  using Type = typename Owner::Type;

  // Registers a fresh value with one holder. If the registration cannot be
  // stored, `owner` releases the value and the allocation failure goes on.
  void Adopt(Owner owner) {
    const Type value = owner.Get();
    std::lock_guard<std::mutex> guard(m_lock);
    m_entries.emplace(value, Entry{std::move(owner), 1});
  }

  void Share(Type value) noexcept {
    std::lock_guard<std::mutex> guard(m_lock);
    auto found = m_entries.find(value);
    assert(found != m_entries.end());
    if (found != m_entries.end()) ++found->second.holders;
  }

  void Drop(Type value) noexcept {
    Owner last;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      auto found = m_entries.find(value);
      assert(found != m_entries.end());
      if (found == m_entries.end() || --found->second.holders > 0) return;
      last = std::move(found->second.owner);
      m_entries.erase(found);
    }
    // `last` closes or unmaps here, outside the lock.
  }

 private:
  struct Entry {
    Owner owner;
    long holders;
  };
  std::mutex m_lock;
  std::unordered_map<Type, Entry> m_entries;
};

// Never destroyed: a MemoryMappedFile with static storage duration may be
// destroyed after this translation unit's statics.
SharedOwners<comsupport::UniqueHandle>& Handles() {
  static auto* owners = new SharedOwners<comsupport::UniqueHandle>;
  return *owners;
}

SharedOwners<comsupport::UniqueMappedView>& Views() {
  static auto* owners = new SharedOwners<comsupport::UniqueMappedView>;
  return *owners;
}

}  // namespace

MemoryMappedFile::MemoryMappedFile() : m_mapping(nullptr), m_size(0), m_view(nullptr), m_create(false) {}

MemoryMappedFile::MemoryMappedFile(const MemoryMappedFile& other)
    : m_mapping(other.m_mapping),
      m_name(other.m_name),
      m_size(other.m_size),
      m_view(other.m_view),
      m_create(other.m_create) {
  if (m_mapping != nullptr) Handles().Share(m_mapping);
  if (m_view != nullptr) Views().Share(m_view);
}

MemoryMappedFile& MemoryMappedFile::operator=(const MemoryMappedFile& other) {
  if (this == &other) return *this;
  std::string name = other.m_name;  // the only step that can fail: nothing has changed yet
  if (other.m_mapping != nullptr) Handles().Share(other.m_mapping);
  if (other.m_view != nullptr) Views().Share(other.m_view);
  Reset();
  m_mapping = other.m_mapping;
  m_name = std::move(name);
  m_size = other.m_size;
  m_view = other.m_view;
  m_create = other.m_create;
  return *this;
}

MemoryMappedFile::~MemoryMappedFile() { Reset(); }

void MemoryMappedFile::Init(bool create, const std::string& name, ULONGLONG size) {
  Reset();
  try {
    m_name = name;
    m_size = size;
    m_create = create;
    try {
      Init();
    } catch (const LinkError&) {
      // One more attempt from scratch: a section that its last holder was
      // closing while we opened it can be there again a moment later.
      Reset();
      Init();
    }
  } catch (...) {
    Reset();
    throw;
  }
}

void MemoryMappedFile::Init() {
  if (m_view != nullptr) return;
  // UTF-16 code units; the cast only matters where WCHAR is wchar_t.
  const WideString wideName = kelvex::utility::AsciiToUTF16(m_name);
  // An opened section whose view was never mapped still holds its handle;
  // storing a new one over it would leak it.
  if (m_mapping != nullptr) {
    Handles().Drop(m_mapping);
    m_mapping = nullptr;
  }
  if (m_create) {
    HANDLE mapping =
        ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(m_size >> 32),
                             static_cast<DWORD>(m_size & 0xFFFFFFFFu), comsupport::AsOleChars(wideName.c_str()));
    if (mapping == nullptr) throw LinkError(kSharedMemoryFailed);
    Handles().Adopt(comsupport::UniqueHandle(mapping));
    m_mapping = mapping;
    // A failure here leaves the handle held; the public Init resets.
    void* view = ::MapViewOfFile(m_mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (view == nullptr) throw LinkError(kSharedMemoryFailed);
    Views().Adopt(comsupport::UniqueMappedView(view));
    m_view = view;
  } else {
    // No size: the whole existing section is mapped later.
    HANDLE mapping = ::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, comsupport::AsOleChars(wideName.c_str()));
    if (mapping == nullptr) throw LinkError(kSharedMemoryFailed);
    Handles().Adopt(comsupport::UniqueHandle(mapping));
    m_mapping = mapping;
  }
}

void* MemoryMappedFile::GetAddress() {
  // A created section is mapped by Init only: after Reset it stays without
  // an address until the next public Init.
  if (m_view == nullptr && !m_create && m_mapping != nullptr) {
    void* view = ::MapViewOfFile(m_mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (view != nullptr) {
      Views().Adopt(comsupport::UniqueMappedView(view));
      m_view = view;
    }
  }
  if (m_view == nullptr) throw LinkError(kSharedMemoryFailed);
  return m_view;
}

void MemoryMappedFile::Reset() {
  if (m_view != nullptr) {
    Views().Drop(m_view);
    m_view = nullptr;
  }
  if (m_mapping != nullptr) {
    Handles().Drop(m_mapping);
    m_mapping = nullptr;
  }
}

}  // namespace moravane
