#pragma once
// Small 3-vector arithmetic of the time-domain set-up and queries.

#include <algorithm>
#include <cmath>

#include "core/support.hpp"

namespace vantrel {

inline Vec3 sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
// (a x b)_x = a_y b_z - a_z b_y, and cyclically.
inline Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
// Summed x, then y, then z.
inline double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

inline bool finite3(const Vec3& a) {
  return std::isfinite(a[0]) && std::isfinite(a[1]) && std::isfinite(a[2]);
}

inline double max_abs(const Vec3& a) {
  return std::max({std::fabs(a[0]), std::fabs(a[1]), std::fabs(a[2])});
}

// Euclidean length and direction of a finite vector. Divided by its largest component first, the
// squares stay in [0, 3]: no overflow for components up to the largest double, no underflow for
// tiny ones. The zero vector gives length 0 and a zero direction; the length alone is +inf when it
// exceeds the largest double, the direction stays a unit vector.
struct LengthAndDirection {
  double length;
  Vec3 unit;
};
inline LengthAndDirection length_and_direction(const Vec3& a) {
  const double s = max_abs(a);
  if (s == 0.0) return {0.0, {0.0, 0.0, 0.0}};
  const Vec3 b{a[0] / s, a[1] / s, a[2] / s};
  const double n = std::sqrt(dot(b, b));
  return {s * n, {b[0] / n, b[1] / n, b[2] / n}};
}

}  // namespace vantrel
