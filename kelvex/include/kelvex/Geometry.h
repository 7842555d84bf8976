// Plane geometry of the support library: a ratio of two 32-bit words (a
// pixel aspect ratio of `numerator`:`denominator`) and a rectangle given by
// its near corner (left, top) and far corner (right, bottom), the far corner
// excluded. A frame size is a rectangle at the origin: (0, 0, width, height).
#pragma once

#include <cstdint>

namespace kelvex {
namespace geom {

struct Ratio {
  std::int32_t numerator = 0;
  std::int32_t denominator = 0;

  Ratio() = default;
  Ratio(std::int32_t numerator, std::int32_t denominator) : numerator(numerator), denominator(denominator) {}

  friend bool operator==(const Ratio& a, const Ratio& b) {
    return a.numerator == b.numerator && a.denominator == b.denominator;
  }
  friend bool operator!=(const Ratio& a, const Ratio& b) { return !(a == b); }
};

static_assert(sizeof(Ratio) == 8, "two 32-bit words");

template <class T>
struct RectT {
  T left = 0;
  T top = 0;
  T right = 0;
  T bottom = 0;

  RectT() = default;
  RectT(T left, T top, T right, T bottom) : left(left), top(top), right(right), bottom(bottom) {}

  T Width() const { return right - left; }
  T Height() const { return bottom - top; }
  bool IsEmpty() const { return right <= left || bottom <= top; }

  friend bool operator==(const RectT& a, const RectT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
  }
  friend bool operator!=(const RectT& a, const RectT& b) { return !(a == b); }
};

}  // namespace geom
}  // namespace kelvex
