#include "FrameCache.h"

#include <cstring>

namespace linkserver {

namespace {

std::string ImageKey(const std::filesystem::path& path) {
  std::error_code error;
  const auto written = std::filesystem::last_write_time(path, error);
  // The modification time is part of the key: a changed file is read again.
  return "image:" + std::to_string(error ? 0 : written.time_since_epoch().count()) + ":" + path.string();
}

}  // namespace

std::shared_ptr<const PngImage> FrameCache::Image(const std::filesystem::path& path) {
  const std::string key = ImageKey(path);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (auto found = LookupLocked(key)) return std::static_pointer_cast<const PngImage>(found);
  }
  // Decoding runs without the lock; if two renders race, both decode and
  // the second insertion replaces the first.
  auto image = std::make_shared<const PngImage>(ReadPng(path));
  std::lock_guard<std::mutex> lock(m_mutex);
  InsertLocked(Entry{key, image, image->Bytes()});
  return image;
}

void FrameCache::StoreFinalFrame(const std::string& key, const std::byte* data, std::size_t bytes) {
  auto copy = std::make_shared<std::vector<std::byte>>(data, data + bytes);
  std::lock_guard<std::mutex> lock(m_mutex);
  InsertLocked(Entry{"final:" + key, std::move(copy), bytes});
}

bool FrameCache::FetchFinalFrame(const std::string& key, std::byte* destination, std::size_t bytes) {
  std::shared_ptr<const std::vector<std::byte>> frame;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    frame = std::static_pointer_cast<const std::vector<std::byte>>(LookupLocked("final:" + key));
    if (!frame || frame->size() != bytes) return false;
    ++m_hits;
  }
  std::memcpy(destination, frame->data(), bytes);
  return true;
}

void FrameCache::DropFinalFrames() {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (auto it = m_entries.begin(); it != m_entries.end();) {
    if (it->key.rfind("final:", 0) == 0) {
      m_usage -= it->bytes;
      m_index.erase(it->key);
      it = m_entries.erase(it);
    } else {
      ++it;
    }
  }
}

void FrameCache::SetIdleBudget(std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_idleBudget = bytes;
  TrimLocked();
}

void FrameCache::SetTemporaryBudget(std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_temporaryBudget = bytes;
  TrimLocked();
}

FrameCache::RunningRender::RunningRender(FrameCache& cache) : m_cache(cache) {
  std::lock_guard<std::mutex> lock(m_cache.m_mutex);
  ++m_cache.m_activeRenders;
}

FrameCache::RunningRender::~RunningRender() {
  std::lock_guard<std::mutex> lock(m_cache.m_mutex);
  --m_cache.m_activeRenders;
  m_cache.TrimLocked();
}

void FrameCache::Purge() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_entries.clear();
  m_index.clear();
  m_usage = 0;
}

std::uint64_t FrameCache::Usage() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_usage;
}

std::uint64_t FrameCache::Hits() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_hits;
}

void FrameCache::InsertLocked(Entry entry) {
  if (auto old = m_index.find(entry.key); old != m_index.end()) {
    m_usage -= old->second->bytes;
    m_entries.erase(old->second);
    m_index.erase(old);
  }
  // An entry larger than the whole budget is not kept at all.
  if (entry.bytes > BudgetLocked()) return;
  m_usage += entry.bytes;
  m_entries.push_front(std::move(entry));
  m_index[m_entries.front().key] = m_entries.begin();
  TrimLocked();
}

void FrameCache::TrimLocked() {
  const std::uint64_t budget = BudgetLocked();
  while (m_usage > budget && !m_entries.empty()) {
    m_usage -= m_entries.back().bytes;
    m_index.erase(m_entries.back().key);
    m_entries.pop_back();
  }
}

std::shared_ptr<const void> FrameCache::LookupLocked(const std::string& key) {
  auto found = m_index.find(key);
  if (found == m_index.end()) return nullptr;
  m_entries.splice(m_entries.begin(), m_entries, found->second);
  return found->second->payload;
}

}  // namespace linkserver
