// Trace output of the support library. Tracing is off unless a process
// turns a category on; a TraceScope whose own flag is false never even asks.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace kelvex {
namespace debug {

// True when `category` traces at `level` (lower levels are more important).
bool TraceEnabled(const std::string& category, long level, bool checkEnvironment);
// Writes one already formatted line to the trace sink (standard error).
void Trace(const std::string& line);
// Turns tracing of `category` on up to `maxLevel` (negative: off).
void SetTraceLevel(const std::string& category, long maxLevel);

// A bracket that traces "Begin - text" when opened and "End - text" when
// closed, when its flag is set and its category is enabled. The text is
// given in parts and joined only when it will be written: a bracket that is
// switched off (the rule on the call path) allocates nothing.
class TraceScope {
 public:
  TraceScope(std::string_view category, long level, std::initializer_list<std::string_view> textParts, bool enabled);
  ~TraceScope();
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;

 private:
  void Write(const char* phase) const;

  std::string m_category;
  long m_level;
  std::string m_text;
  bool m_enabled;
};

}  // namespace debug
}  // namespace kelvex
