#include "td/geom_factors.hpp"

#include <cmath>

namespace vantrel {

GeomFactors geom_factors(const Vec3& p0, const Vec3& p1, const Vec3& p2, const Vec3& p3) {
  const Vec3 a{p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]};
  const Vec3 b{p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]};
  const Vec3 c{p3[0] - p0[0], p3[1] - p0[1], p3[2] - p0[2]};
  GeomFactors g;
  g.vertex0 = p0;
  g.jac = {a[0], b[0], c[0], a[1], b[1], c[1], a[2], b[2], c[2]};
  const double det = a[0] * (b[1] * c[2] - b[2] * c[1]) - b[0] * (a[1] * c[2] - a[2] * c[1]) +
                     c[0] * (a[1] * b[2] - a[2] * b[1]);
  const double inv = 1.0 / det;
  // Rows: (b x c), (c x a), (a x b), each over det: the gradients of r, s, t.
  g.inv_jac = {(b[1] * c[2] - b[2] * c[1]) * inv, (b[2] * c[0] - b[0] * c[2]) * inv,
               (b[0] * c[1] - b[1] * c[0]) * inv, (c[1] * a[2] - c[2] * a[1]) * inv,
               (c[2] * a[0] - c[0] * a[2]) * inv, (c[0] * a[1] - c[1] * a[0]) * inv,
               (a[1] * b[2] - a[2] * b[1]) * inv, (a[2] * b[0] - a[0] * b[2]) * inv,
               (a[0] * b[1] - a[1] * b[0]) * inv};
  g.det_j = det;
  g.volume = std::fabs(det) / 6.0;
  return g;
}

Vec3 affine_map(const GeomFactors& g, const Vec3& xi) {
  Vec3 x;
  for (int i = 0; i < 3; ++i) {
    double s = 0.0;
    for (int j = 0; j < 3; ++j) s += g.jac[3 * i + j] * xi[j];
    x[i] = g.vertex0[i] + s;
  }
  return x;
}

}  // namespace vantrel
