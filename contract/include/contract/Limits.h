// What the link server accepts of render options: the one table that the
// reference server checks requests against and that a host may check its
// own by before anything reaches the server, so that the two never
// disagree on what is valid. Plain constants: a host includes this without
// linking anything of the contract's.
#pragma once

#include <cstdint>

namespace moravane::limits {

inline constexpr std::int32_t kMaxSide = 32768;         // bounds, region coordinates, a new source's size
inline constexpr std::int32_t kMaxDownsample = 64;      // each factor
inline constexpr std::int32_t kMaxChannels = 32;        // audio channels
inline constexpr double kMaxSampleRate = 768000;        // samples per second
inline constexpr std::int32_t kMaxTimeMs = 0x7FFFFFFF;  // a time in milliseconds as a 32-bit value

}  // namespace moravane::limits
