#include <kelvex/Debug.h>
#include <kelvex/Threads.h>

#include <iostream>
#include <map>
#include <mutex>

namespace kelvex {
namespace debug {

namespace {

struct TraceSettings {
  std::mutex mutex;
  std::map<std::string, long, std::less<>> levels;
};

TraceSettings& Settings() {
  static TraceSettings* settings = new TraceSettings;  // outlives every static destructor that may trace
  return *settings;
}

}  // namespace

bool TraceEnabled(const std::string& category, long level, bool /*checkEnvironment*/) {
  TraceSettings& settings = Settings();
  std::lock_guard<std::mutex> lock(settings.mutex);
  auto found = settings.levels.find(category);
  return found != settings.levels.end() && level <= found->second;
}

void Trace(const std::string& line) {
  static std::mutex* outputMutex = new std::mutex;  // traces may come from exit handlers
  std::lock_guard<std::mutex> lock(*outputMutex);
  std::clog << line << std::flush;
}

void SetTraceLevel(const std::string& category, long maxLevel) {
  TraceSettings& settings = Settings();
  std::lock_guard<std::mutex> lock(settings.mutex);
  if (maxLevel < 0) {
    settings.levels.erase(category);
  } else {
    settings.levels[category] = maxLevel;
  }
}

TraceScope::TraceScope(std::string_view category, long level, std::initializer_list<std::string_view> textParts,
                       bool enabled)
    : m_category(category), m_level(level), m_enabled(enabled) {
  if (!m_enabled) return;
  for (std::string_view part : textParts) m_text.append(part);
  Write("Begin - ");
}

TraceScope::~TraceScope() {
  if (m_enabled) Write("End - ");
}

void TraceScope::Write(const char* phase) const {
  if (!TraceEnabled(m_category, m_level, true)) return;
  Trace("<" + std::to_string(threads::GetCurrentThreadID()) + "> <" + m_category + "> <" + std::to_string(m_level) +
        "> " + phase + m_text + "\r\n");
}

}  // namespace debug
}  // namespace kelvex
