// A time as a ratio of two 32-bit words: `value` ticks of 1/`scale` second.
// (1001, 30000) is one frame of 29.97 fps video; (48000, 48000) one second.
// It crosses to the link server as its two words, in this order.
#pragma once

#include <cstdint>

namespace kelvex {
namespace time {

struct RatioTime {
  std::int32_t value = 0;
  std::int32_t scale = 0;

  RatioTime() = default;
  RatioTime(std::int32_t value, std::int32_t scale) : value(value), scale(scale) {}

  double ToSeconds() const { return scale == 0 ? 0.0 : static_cast<double>(value) / scale; }
  friend bool operator==(const RatioTime& a, const RatioTime& b) { return a.value == b.value && a.scale == b.scale; }
  friend bool operator!=(const RatioTime& a, const RatioTime& b) { return !(a == b); }
};

static_assert(sizeof(RatioTime) == 8, "two 32-bit words");

}  // namespace time
}  // namespace kelvex
