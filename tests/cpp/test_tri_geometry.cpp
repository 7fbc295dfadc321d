#include "fd/tri_geometry.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "fd/surface_kernels.hpp"

using namespace vantrel;

namespace {

double factorial(int n) { return n <= 1 ? 1.0 : n * factorial(n - 1); }

void expect_vec(const Vec3& got, const Vec3& want, double tol = 1e-15) {
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(got[i], want[i], tol) << "component " << i;
}

}  // namespace

TEST(Quadrature, SixPointRuleTable) {
  const auto q = triangle_quadrature_6pt();
  double sum = 0.0;
  for (const auto& p : q) sum += p.weight;
  EXPECT_NEAR(sum, 1.0, 1e-15);
  EXPECT_EQ(q[0].bary[0], 0.10810301816807);
  EXPECT_EQ(q[1].bary[2], 0.10810301816807);  // cyclic rotation (b, c, a)
  EXPECT_EQ(q[4].bary[2], 0.816847572980459);
  EXPECT_EQ(q[5].bary[1], 0.816847572980459);
  EXPECT_EQ(q[3].weight, 0.109951743655322);
}

TEST(Quadrature, ExactForDegreeFour) {
  // integral over a triangle of l0^a l1^b l2^c = 2A a! b! c!/(a+b+c+2)!, every degree <= 4
  const auto q = triangle_quadrature_6pt();
  for (int a = 0; a <= 4; ++a) {
    for (int b = 0; a + b <= 4; ++b) {
      for (int c = 0; a + b + c <= 4; ++c) {
        double sum = 0.0;
        for (const auto& p : q) {
          sum += p.weight * std::pow(p.bary[0], a) * std::pow(p.bary[1], b) * std::pow(p.bary[2], c);
        }
        const double want = 2.0 * factorial(a) * factorial(b) * factorial(c) / factorial(a + b + c + 2);
        EXPECT_NEAR(sum, want, 1e-14) << a << b << c;  // tabulated weights carry 15 digits
      }
    }
  }
  // The face (0,0,0), (1,0,0), (0,1,0): A * sum w x y = 1/24
  double xy = 0.0;
  for (const auto& p : q) xy += p.weight * p.bary[1] * p.bary[2];
  EXPECT_NEAR(0.5 * xy, 1.0 / 24.0, 1e-15);
}

TEST(FaceGeometry, FrameAndLocalCoordinates) {
  const FaceFrame f = face_geometry({0, 0, 0}, {2, 0, 0}, {0, 3, 0});
  expect_vec(f.t1, {1, 0, 0});
  expect_vec(f.n, {0, 0, 1});
  expect_vec(f.t2, {0, 1, 0});
  expect_vec(f.u, {0, 2, 0});
  expect_vec(f.v, {0, 0, 3});

  const FaceFrame g = face_geometry({0, 0, 0}, {0, 3, 0}, {2, 0, 0});
  expect_vec(g.n, {0, 0, -1});
  expect_vec(g.t1, {0, 1, 0});
  expect_vec(g.t2, {1, 0, 0});
  expect_vec(g.u, {0, 3, 0});
  expect_vec(g.v, {0, 0, 2});

  // A tilted face: (t1, t2, n) orthonormal and right-handed, v2 > 0.
  const FaceFrame h = face_geometry({1, 2, 3}, {2, 2.5, 3.2}, {0.7, 3, 4});
  expect_vec(cross3(h.t1, h.t2), h.n);
  EXPECT_NEAR(dot3(h.t1, h.t2), 0.0, 1e-15);
  EXPECT_GT(h.v[2], 0.0);
  EXPECT_NEAR(h.v[1], 0.0, 1e-15);
}

TEST(FaceGeometry, EdgeLengths) {
  const auto l = triangle_edge_lengths({0, 2, 0}, {0, 0, 3}, {0, 0, 0});
  const double s13 = std::sqrt(13.0);
  const double want[3][3] = {{0, 2, 3}, {2, 0, s13}, {3, s13, 0}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_DOUBLE_EQ(l[i][j], want[i][j]);
}

TEST(SurfaceKernels, QuadratureSumIsBilinear) {
  const auto q = triangle_quadrature_6pt();
  Real6 w{};
  double wsum = 0.0;
  for (int k = 0; k < 6; ++k) wsum += (w[k] = q[k].weight);
  Sampled6 one, jj;
  one.fill({1.0, 0.0});
  jj.fill({0.0, 1.0});
  EXPECT_NEAR(quadrature_sum6(one, one, w).real(), 1.0, 1e-15);
  const cplx s = quadrature_sum6(jj, jj, w);  // no conjugation: j*j = -1
  EXPECT_EQ(s, cplx(-wsum, 0.0));
}

TEST(SurfaceKernels, ReferenceEdge) {
  // f = 1 - s - t, g = s: curl(f W) = -3 f and div(f W) = f + 2 g
  const AffinePair p{1.0, 0.0, -1.0, 1.0, -1.0, 0.0};
  const Real6 s{0.1, 0.2, 0.3, 0.0, 0.5, 0.25}, t{0.1, 0.5, 0.2, 0.0, 0.1, 0.7};
  const Sampled6 c1 = surface_curl_first(p, s, t), d1 = surface_div_first(p, s, t);
  const Sampled6 c2 = edge_curl_second(p, s, t);
  for (int k = 0; k < 6; ++k) {
    const double f = 1.0 - s[k] - t[k], g = s[k];
    EXPECT_DOUBLE_EQ(c1[k].real(), -3.0 * f);
    EXPECT_DOUBLE_EQ(c2[k].real(), -3.0 * g);
    EXPECT_NEAR(d1[k].real(), f + 2.0 * g, 1e-15);
    EXPECT_EQ(c1[k].imag(), 0.0);
  }
}

TEST(SurfaceKernels, CurlAndDivergenceOfTheVectorField) {
  // lambda_a W and lambda_b W with W = g grad f - f grad g for a general affine pair, against
  // central differences of the vector field (quadratic, so differences are exact to rounding).
  const AffinePair p{0.3, -0.2, 0.8, -0.5, 0.4, 1.1};
  const auto field = [&](bool second, double s, double t) -> std::array<double, 2> {
    const double f = p.f0 + p.f_s * s + p.f_t * t, g = p.g0 + p.g_s * s + p.g_t * t;
    const double w0 = g * p.f_s - f * p.g_s, w1 = g * p.f_t - f * p.g_t;
    const double lam = second ? g : f;
    return {lam * w0, lam * w1};
  };
  const Real6 s{0.1, 0.2, -0.3, 0.0, 0.5, 0.25}, t{0.1, 0.5, 0.2, 0.0, -0.1, 0.7};
  const double h = 1e-3;
  for (bool second : {false, true}) {
    const Sampled6 curl = second ? surface_curl_second(p, s, t) : surface_curl_first(p, s, t);
    const Sampled6 div = second ? edge_div_second(p, s, t) : edge_div_first(p, s, t);
    for (int k = 0; k < 6; ++k) {
      const auto xp = field(second, s[k] + h, t[k]), xm = field(second, s[k] - h, t[k]);
      const auto yp = field(second, s[k], t[k] + h), ym = field(second, s[k], t[k] - h);
      const double dvx_ds = (xp[1] - xm[1]) / (2 * h), dvs_dt = (yp[0] - ym[0]) / (2 * h);
      const double dvs_ds = (xp[0] - xm[0]) / (2 * h), dvt_dt = (yp[1] - ym[1]) / (2 * h);
      EXPECT_NEAR(curl[k].real(), dvx_ds - dvs_dt, 1e-9) << "curl, point " << k;
      EXPECT_NEAR(div[k].real(), dvs_ds + dvt_dt, 1e-9) << "div, point " << k;
    }
  }
}

TEST(SurfaceKernels, LocalVertexPlacement) {
  const std::array<u64, 4> tet = {42, 7, 19, 3};
  const std::array<std::array<u64, 2>, 6> edges = {
      {{7, 42}, {19, 42}, {3, 42}, {7, 19}, {3, 7}, {3, 19}}};
  const auto e = edge_local_vertices(tet, edges);
  EXPECT_EQ(e[0], (std::array<u64, 2>{1, 0}));
  EXPECT_EQ(e[4], (std::array<u64, 2>{3, 1}));
  const std::array<std::array<u64, 3>, 4> faces = {{{7, 19, 42}, {3, 19, 42}, {3, 7, 42}, {3, 7, 99}}};
  const auto f = face_local_vertices(tet, faces);
  EXPECT_EQ(f[0], (std::array<u64, 3>{1, 2, 0}));
  EXPECT_EQ(f[3], (std::array<u64, 3>{3, 1, 0}));  // a node not in the tet leaves 0
  const Vec3 n = normalize3({3, 0, 4});
  EXPECT_DOUBLE_EQ(n[0], 0.6);
  EXPECT_TRUE(std::isnan(normalize3({0, 0, 0})[0]));
}
