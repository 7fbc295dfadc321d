#include "fd/tri_geometry.hpp"

#include <cmath>

#include "fd/surface_kernels.hpp"

namespace vantrel {

namespace {

struct Orbit {
  double weight;
  std::array<double, 3> abc;
};

// Dunavant's degree-4 rule, orbit 1 first; each orbit expands into (a,b,c), (b,c,a), (c,a,b).
constexpr std::array<Orbit, 2> DUNAVANT_6 = {{
    {0.223381589678011, {0.10810301816807, 0.445948490915965, 0.445948490915965}},
    {0.109951743655322, {0.816847572980459, 0.091576213509771, 0.091576213509771}},
}};

}  // namespace

std::array<QuadraturePoint, 6> triangle_quadrature_6pt() {
  std::array<QuadraturePoint, 6> pts{};
  std::size_t k = 0;
  for (const Orbit& o : DUNAVANT_6) {
    for (int r = 0; r < 3; ++r) {
      pts[k].weight = o.weight;
      pts[k].bary = {o.abc[r % 3], o.abc[(r + 1) % 3], o.abc[(r + 2) % 3]};
      ++k;
    }
  }
  return pts;
}

FaceFrame face_geometry(const Vec3& p0, const Vec3& p1, const Vec3& p2) {
  const Vec3 e1 = sub3(p1, p0);
  const Vec3 e2 = sub3(p2, p0);
  FaceFrame f;
  f.n = normalize3(cross3(e1, e2));
  f.t1 = normalize3(e1);
  f.t2 = normalize3(cross3(f.n, f.t1));
  const std::array<const Vec3*, 3> p = {&p0, &p1, &p2};
  for (int k = 0; k < 3; ++k) {
    const Vec3 d = sub3(*p[k], p0);
    f.u[k] = dot3(f.t1, d);
    f.v[k] = dot3(f.t2, d);
  }
  return f;
}

std::array<std::array<double, 3>, 3> triangle_edge_lengths(const Vec3& a, const Vec3& b,
                                                           const Vec3& c) {
  std::array<std::array<double, 3>, 3> l{};
  for (int i = 0; i < 3; ++i) {
    for (int j = i; j < 3; ++j) {
      const double da = a[i] - a[j], db = b[i] - b[j], dc = c[i] - c[j];
      const double d = std::sqrt(da * da + db * db + dc * dc);
      l[i][j] = d;
      l[j][i] = d;
    }
  }
  return l;
}

}  // namespace vantrel
