// A byte pattern that differs for every offset and seed, so that a section
// read back in another process proves every byte arrived.
#pragma once

#include <cstddef>
#include <cstdint>

inline unsigned char PatternByte(std::uint64_t offset, unsigned seed) {
  std::uint64_t x = offset * 0x9E3779B97F4A7C15ull + seed;
  x ^= x >> 29;
  return static_cast<unsigned char>(x);
}

inline void FillPattern(unsigned char* bytes, std::uint64_t size, unsigned seed) {
  for (std::uint64_t i = 0; i < size; ++i) bytes[i] = PatternByte(i, seed);
}

inline bool MatchesPattern(const unsigned char* bytes, std::uint64_t size, unsigned seed) {
  for (std::uint64_t i = 0; i < size; ++i)
    if (bytes[i] != PatternByte(i, seed)) return false;
  return true;
}
