#include <kelvex/Config.h>

namespace kelvex {
namespace config {

std::string FormatKey(const std::string& key, const ReplacementValue& r1, const ReplacementValue& r2,
                      const ReplacementValue& r3, const ReplacementValue& r4) {
  const std::string::size_type equals = key.find('=');
  const std::string text = equals == std::string::npos ? key : key.substr(equals + 1);
  const ReplacementValue* values[] = {&r1, &r2, &r3, &r4};
  std::string result;
  for (std::string::size_type i = 0; i < text.size(); ++i) {
    if (text[i] == '^' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '4') {
      result += values[text[i + 1] - '1']->GetText();
      ++i;
    } else {
      result += text[i];
    }
  }
  return result;
}

void ThrowError(long errorLevel, const std::string& key, long module, long code, bool raise, const ReplacementValue& r1,
                const ReplacementValue& r2, const ReplacementValue& r3, const ReplacementValue& r4) {
  if (!raise) return;
  throw LocalizedError(errorLevel, key, FormatKey(key, r1, r2, r3, r4), module, code);
}

}  // namespace config
}  // namespace kelvex
