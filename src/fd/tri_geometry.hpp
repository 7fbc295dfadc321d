#pragma once
// Geometry of a triangular face and the six-point quadrature rule used by every surface integral.

#include <array>

#include "core/support.hpp"

namespace vantrel {

// One point of a triangle rule: x = l0*P0 + l1*P1 + l2*P2, and the integral of f over a face of
// area A is A * sum(weight * f(x)); the weights sum to 1 (0.999999999999999 in f64).
struct QuadraturePoint {
  double weight = 0.0;
  std::array<double, 3> bary{};
};

// The degree-4 six-point symmetric rule of Dunavant: two orbits of three cyclic rotations.
std::array<QuadraturePoint, 6> triangle_quadrature_6pt();

// Local frame of a face: (t1, t2, n) right-handed, P0 at the local origin, u_k and v_k the
// in-plane coordinates of vertex k (u0 = v0 = v1 = 0, v2 > 0 for a non-degenerate face).
struct FaceFrame {
  Vec3 t1{}, t2{}, n{};
  Vec3 u{}, v{};
};

// n = unit((P1-P0) x (P2-P0)), t1 = unit(P1-P0), t2 = unit(n x t1). A degenerate face gives
// NaN or infinite values (no zero-length test).
FaceFrame face_geometry(const Vec3& p0, const Vec3& p1, const Vec3& p2);

// Distances between the three vertices whose coordinates are (a_i, b_i, c_i); entry [i][j].
std::array<std::array<double, 3>, 3> triangle_edge_lengths(const Vec3& a, const Vec3& b,
                                                           const Vec3& c);

inline Vec3 sub3(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline double dot3(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline Vec3 cross3(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

}  // namespace vantrel
