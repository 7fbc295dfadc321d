#pragma once
// Affine map of one tetrahedron onto the reference element: x = vertex0 + jac * xi.

#include <array>

#include "core/support.hpp"

namespace vantrel {

struct GeomFactors {
  Vec3 vertex0{};                        // local vertex 0
  std::array<double, 9> jac{};           // row-major; column j = vertex j+1 - vertex0
  std::array<double, 9> inv_jac{};       // row k = grad of reference coordinate k (r, s, t)
  double det_j = 0.0;                    // signed determinant of jac
  double volume = 0.0;                   // |det_j| / 6
};

// Factors of the tetrahedron with vertices p0..p3 in local order. No check of det against 0.
GeomFactors geom_factors(const Vec3& p0, const Vec3& p1, const Vec3& p2, const Vec3& p3);

// vertex0 + jac * xi, each component summed in column order.
Vec3 affine_map(const GeomFactors& g, const Vec3& xi);

}  // namespace vantrel
