// The server's memory for frames: decoded stills of image sources and, when
// the host asks for it (CacheFinalFrame), the last frame of each finished
// video render. Procedural frames (bars, frame numbers, solids) are not
// kept: rendering them straight into the section is cheaper than copying
// them out of a cache.
//
// The cache is bounded by the host's two budgets: the temporary budget while
// at least one render runs, the idle-time budget otherwise. Whenever usage
// exceeds the budget in force the least recently used entries go. A render
// keeps its decoded still alive through a shared_ptr even if the cache drops
// it; usage counts only what the cache holds. Thread-safe.
#pragma once

#include "PngImage.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace linkserver {

class FrameCache {
 public:
  static constexpr std::uint64_t kDefaultIdleBudget = 64ull << 20;
  static constexpr std::uint64_t kDefaultTemporaryBudget = 512ull << 20;

  // The decoded still of `path`, from the cache or freshly read (and then
  // kept if the budget allows). Throws std::runtime_error if unreadable.
  std::shared_ptr<const PngImage> Image(const std::filesystem::path& path);

  // Final frames, keyed by the render's description and time.
  void StoreFinalFrame(const std::string& key, const std::byte* data, std::size_t bytes);
  // Copies a cached final frame of exactly `bytes` bytes; false if none.
  bool FetchFinalFrame(const std::string& key, std::byte* destination, std::size_t bytes);
  void DropFinalFrames();

  void SetIdleBudget(std::uint64_t bytes);
  void SetTemporaryBudget(std::uint64_t bytes);
  void Purge();

  // One running render: while any is held the temporary budget is in force.
  // Its destruction ends the render, on every path (an end call, a failed
  // start, a renderer released mid-render), so no start goes unpaired.
  class RunningRender {
   public:
    explicit RunningRender(FrameCache& cache);
    ~RunningRender();
    RunningRender(const RunningRender&) = delete;
    RunningRender& operator=(const RunningRender&) = delete;

   private:
    FrameCache& m_cache;
  };

  std::uint64_t Usage() const;
  std::uint64_t Hits() const;

 private:
  struct Entry {
    std::string key;
    std::shared_ptr<const void> payload;
    std::uint64_t bytes = 0;
  };
  std::uint64_t BudgetLocked() const { return m_activeRenders > 0 ? m_temporaryBudget : m_idleBudget; }
  void InsertLocked(Entry entry);
  void TrimLocked();
  std::shared_ptr<const void> LookupLocked(const std::string& key);

  mutable std::mutex m_mutex;
  std::list<Entry> m_entries;  // most recently used first
  std::map<std::string, std::list<Entry>::iterator> m_index;
  std::uint64_t m_usage = 0;
  std::uint64_t m_hits = 0;
  std::uint64_t m_idleBudget = kDefaultIdleBudget;
  std::uint64_t m_temporaryBudget = kDefaultTemporaryBudget;
  int m_activeRenders = 0;
};

// The largest still a project may show is kept while a render runs.
static_assert(kMaxStillPixels * 4 <= FrameCache::kDefaultTemporaryBudget, "a still at the limit would not be cached");

}  // namespace linkserver
