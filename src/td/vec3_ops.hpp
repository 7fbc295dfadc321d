#pragma once
// Small 3-vector arithmetic of the time-domain set-up and queries.

#include "core/support.hpp"

namespace vantrel {

inline Vec3 sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
// (a x b)_x = a_y b_z - a_z b_y, and cyclically.
inline Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
// Summed x, then y, then z.
inline double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

}  // namespace vantrel
