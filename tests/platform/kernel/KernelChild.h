// What the kernel-object tests and their second process share: a byte
// pattern that differs for every offset and seed, so that a section read
// in another process proves that every byte arrived, and the system's wide
// characters.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

inline unsigned char PatternByte(std::uint64_t offset, unsigned seed) {
  const std::uint64_t x = offset * 0x9E3779B97F4A7C15ull + seed;
  return static_cast<unsigned char>(x ^ (x >> 29));
}

inline void FillPattern(unsigned char* bytes, std::uint64_t size, unsigned seed) {
  for (std::uint64_t i = 0; i < size; ++i) bytes[i] = PatternByte(i, seed);
}

inline bool MatchesPattern(const unsigned char* bytes, std::uint64_t size, unsigned seed) {
  for (std::uint64_t i = 0; i < size; ++i)
    if (bytes[i] != PatternByte(i, seed)) return false;
  return true;
}

inline LPCWSTR AsWide(const std::u16string& text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }
