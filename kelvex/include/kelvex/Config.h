// Localised errors of the support library. An error is named by a key of the
// form "$$$/path/Name=Default text"; the text after '=' is used as is, with
// ^1 to ^4 replaced by the replacement values.
#pragma once

#include <stdexcept>
#include <string>

namespace kelvex {
namespace config {

class ReplacementValue {
 public:
  ReplacementValue() = default;
  ReplacementValue(const std::string& text) : m_text(text), m_set(true) {}
  ReplacementValue(long number) : m_text(std::to_string(number)), m_set(true) {}
  const std::string& GetText() const { return m_text; }
  bool IsSet() const { return m_set; }

 private:
  std::string m_text;
  bool m_set = false;
};

class LocalizedError : public std::runtime_error {
 public:
  LocalizedError(long errorLevel, const std::string& key, const std::string& text, long module, long code)
      : std::runtime_error(text), m_errorLevel(errorLevel), m_key(key), m_module(module), m_code(code) {}
  long GetErrorLevel() const { return m_errorLevel; }
  const std::string& GetKey() const { return m_key; }
  long GetModule() const { return m_module; }
  long GetCode() const { return m_code; }

 private:
  long m_errorLevel;
  std::string m_key;
  long m_module;
  long m_code;
};

// Builds the error's text from `key` and the replacements; throws a
// LocalizedError when `raise` is true, otherwise returns.
void ThrowError(long errorLevel, const std::string& key, long module, long code, bool raise,
                const ReplacementValue& r1 = ReplacementValue(), const ReplacementValue& r2 = ReplacementValue(),
                const ReplacementValue& r3 = ReplacementValue(), const ReplacementValue& r4 = ReplacementValue());

// The default text of a key with its replacements applied.
std::string FormatKey(const std::string& key, const ReplacementValue& r1 = ReplacementValue(),
                      const ReplacementValue& r2 = ReplacementValue(), const ReplacementValue& r3 = ReplacementValue(),
                      const ReplacementValue& r4 = ReplacementValue());

}  // namespace config
}  // namespace kelvex
