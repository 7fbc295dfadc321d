// Surface terms against their definitions, and the sweep's fixed matrix pattern.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>

#include "fd/ports.hpp"
#include "fd/surface_kernels.hpp"
#include "fd/surface_terms.hpp"
#include "fd/sweep.hpp"
#include "fd/tri_geometry.hpp"
#include "fd_elem_fixtures.hpp"

namespace vantrel {
namespace {

// A mesh of one tetrahedron whose face 0 is the triangle p0, p1, p2 (ascending node ids).
Mesh one_tet(const Vec3& p0, const Vec3& p1, const Vec3& p2) {
  const Vec3 apex{0.3 * (p0[0] + p1[0] + p2[0]) + 0.1, 0.3 * (p0[1] + p1[1] + p2[1]) - 0.2,
                  0.3 * (p0[2] + p1[2] + p2[2]) + 0.7};
  return build_topology({p0, p1, p2, apex}, {{{0, 1, 2, 3}}});
}

u64 face_of(const Mesh& m, u64 a, u64 b, u64 c) { return m.find_face({a, b, c}); }

// The eight tangential functions at barycentric point l, from their definitions, in 3-D.
std::array<Vec3, 8> face_functions(const FaceLocal& fl, const std::array<double, 3>& l) {
  // grad l_k in 3-D: G_k / (2A) in (t1, t2)
  std::array<Vec3, 3> g{};
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 3; ++i)
      g[k][i] = (fl.g[k][0] * fl.t1[i] + fl.g[k][1] * fl.t2[i]) / (2 * fl.area);
  auto w = [&](int a, int b, double s) {  // s * (l_b grad l_a - l_a grad l_b)
    Vec3 v;
    for (int i = 0; i < 3; ++i) v[i] = s * (l[b] * g[a][i] - l[a] * g[b][i]);
    return v;
  };
  const auto& L = fl.len;
  return {w(0, 1, L[0][1] * l[0]), w(1, 2, L[1][2] * l[1]), w(0, 2, L[0][2] * l[0]),
          w(2, 0, L[0][2] * l[1]), w(0, 1, L[0][1] * l[1]), w(1, 2, L[1][2] * l[2]),
          w(0, 2, L[0][2] * l[2]), w(0, 1, L[0][1] * l[2])};
}

TEST(SurfaceTerms, IntegralTableGivesExactFaceIntegrals) {
  const FaceIntegralTable t = build_face_integral_table();
  EXPECT_DOUBLE_EQ(t.at(0, 0, 0, 0), 1.0);        // area
  EXPECT_DOUBLE_EQ(t.at(1, 0, 0, 0), 1.0 / 3.0);  // int l0 = A/3
  EXPECT_DOUBLE_EQ(t.at(1, 1, 0, 0), 1.0 / 6.0);  // int l0^2 = A/6
  EXPECT_DOUBLE_EQ(t.at(1, 2, 0, 0), 1.0 / 12.0);
  EXPECT_DOUBLE_EQ(t.at(1, 2, 3, 3), 2.0 * 2.0 / 720.0);  // 2 * 1! 1! 2! / 6!
}

TEST(SurfaceTerms, ClosedFormMassMatchesQuadratureOfTheFunctions) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int trial = 0; trial < 5; ++trial) {
    const Mesh m = one_tet({u(rng), u(rng), u(rng)}, {2 + u(rng), u(rng), u(rng)},
                           {u(rng), 2 + u(rng), 0.5 * u(rng)});
    const FaceLocal fl = face_local(m, face_of(m, 0, 1, 2));
    const auto raw = face_mass_raw(fl, build_face_integral_table());
    const double scale = 1.0 / ((2 * fl.area) * (2 * fl.area));
    // N_r . N_c is a polynomial of degree 4: the six-point rule integrates it exactly
    std::array<double, 64> quad{};
    for (const QuadraturePoint& q : triangle_quadrature_6pt()) {
      const auto n = face_functions(fl, q.bary);
      for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) quad[8 * r + c] += fl.area * q.weight * dot3(n[r], n[c]);
    }
    for (int k = 0; k < 64; ++k) EXPECT_NEAR(raw[k] * scale, quad[k], 1e-13 * (1 + std::abs(quad[k])));
  }
}

TEST(SurfaceTerms, SecondOrderEdgeRowsMatchTheSurfaceKernels) {
  const Mesh m = one_tet({0.0, 0.0, 0.0}, {0.02, 0.001, 0.0}, {0.004, 0.015, 0.002});
  const FaceLocal fl = face_local(m, face_of(m, 0, 1, 2));
  const auto q = face_abc2_matrix(fl);
  const auto rule = triangle_quadrature_6pt();
  Real6 xi{}, eta{}, w{};
  for (int k = 0; k < 6; ++k) {
    const auto& l = rule[k].bary;
    xi[k] = l[0] * fl.xi[0] + l[1] * fl.xi[1] + l[2] * fl.xi[2];
    eta[k] = l[0] * fl.eta[0] + l[1] * fl.eta[1] + l[2] * fl.eta[2];
    w[k] = rule[k].weight;
  }
  // l_k = alpha + beta xi + gamma eta from G_k / (2A)
  const double two_a = 2 * fl.area;
  auto affine = [&](int k) {
    const double b = fl.g[k][0] / two_a, c = fl.g[k][1] / two_a;
    return std::array<double, 3>{(k == 0 ? 1.0 : 0.0) - b * fl.xi[0] - c * fl.eta[0], b, c};
  };
  const std::array<std::array<int, 2>, 3> edges = {{{0, 1}, {1, 2}, {0, 2}}};
  std::array<Sampled6, 8> curl{}, div{};
  std::array<double, 8> len{};
  for (int e = 0; e < 3; ++e) {
    const auto fa = affine(edges[e][0]), fb = affine(edges[e][1]);
    const AffinePair p{fa[0], fb[0], fa[1], fb[1], fa[2], fb[2]};
    curl[e] = edge_curl_first(p, xi, eta);
    curl[e + 4] = edge_curl_second(p, xi, eta);
    div[e] = edge_div_first(p, xi, eta);
    div[e + 4] = edge_div_second(p, xi, eta);
    len[e] = len[e + 4] = fl.len[edges[e][0]][edges[e][1]];
  }
  for (int r : {0, 1, 2, 4, 5, 6})
    for (int c : {0, 1, 2, 4, 5, 6}) {
      const cplx expected =
          fl.area * len[r] * len[c] * (quadrature_sum6(curl[r], curl[c], w) - quadrature_sum6(div[r], div[c], w));
      EXPECT_NEAR(q[8 * r + c], expected.real(), 1e-9 * (1 + std::abs(expected.real()))) << r << "," << c;
    }
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) EXPECT_NEAR(q[8 * r + c], q[8 * c + r], 1e-9 * (1 + std::abs(q[8 * r + c])));
}

// A boundary whose coefficient is exactly zero below a wavenumber: its slots are exactly zero at
// the first frequency of a sweep and not at the next.
class SwitchingBoundary final : public Port {
 public:
  explicit SwitchingBoundary(double k_on) : k_on_(k_on) {}
  cplx robin_coefficient(double k0) const override { return k0 < k_on_ ? cplx(0.0, 0.0) : cplx(0.0, k0); }

 private:
  double k_on_;
};

TEST(Sweep, ZeroSurfaceSlotsKeepTheFactorisedPattern) {
  const double a = 22.86e-3, b = 10.16e-3, len = 20e-3;
  const Mesh mesh = fdtest::box_mesh(4, 2, 4, {0, 0, 0}, {a, b, len});
  const FemBasis basis = build_basis(mesh);
  std::vector<u64> port_in, port_out, walls;
  for (u64 f = 0; f < mesh.faces.size(); ++f) {
    if (mesh.face_tets[f][1] != NO_TET) continue;
    double zmin = 1e9, zmax = -1e9;
    for (u64 n : mesh.faces[f]) zmin = std::min(zmin, mesh.nodes[n][2]), zmax = std::max(zmax, mesh.nodes[n][2]);
    if (zmax < 1e-12) port_in.push_back(f);
    else if (zmin > len - 1e-12) port_out.push_back(f);
    else walls.push_back(f);
  }
  const PortAperture ap = build_port_frame(mesh, port_in);
  RectangularPort rect(1, 0, a, b, ap.frame, 1, 1.0, 1.0);
  const double f1 = 9e9, f2 = 11e9;
  SwitchingBoundary end(2 * 3.141592653589793 * 10e9 / 299792458.0);
  const std::vector<const Port*> ports = {&rect, &end};
  const std::vector<std::vector<u64>> faces = {port_in, port_out};
  setenv("VANTREL_SOLVER", "faer", 1);
  const auto both = solve_sweep(mesh, basis, ports, faces, walls, {f1, f2}, nullptr, nullptr);
  const auto alone = solve_sweep(mesh, basis, ports, faces, walls, {f2}, nullptr, nullptr);
  unsetenv("VANTREL_SOLVER");
  ASSERT_EQ(both.size(), 2u);
  const auto& x = both[1].solutions.at(0);
  const auto& y = alone[0].solutions.at(0);
  double diff = 0, norm = 0;
  for (std::size_t i = 0; i < x.size(); ++i) diff += std::norm(x[i] - y[i]), norm += std::norm(y[i]);
  EXPECT_LT(std::sqrt(diff / norm), 1e-10);
  EXPECT_GT(norm, 0.0);
}

TEST(Sweep, EveryUnknownOnAConductorGivesAZeroField) {
  const Mesh mesh = fdtest::single_tet({{{0, 0, 0}, {1e-2, 0, 0}, {0, 1e-2, 0}, {0, 0, 1e-2}}});
  const FemBasis basis = build_basis(mesh);
  std::vector<u64> all(mesh.faces.size());
  for (u64 f = 0; f < all.size(); ++f) all[f] = f;
  AbcBoundary abc(1, U'B');
  const auto out = solve_sweep(mesh, basis, {&abc}, {{0}}, all, {1e10, 2e10}, nullptr, nullptr);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_TRUE(out[0].solutions.empty());
  EXPECT_EQ(out[1].n_dofs, 20u);
}

TEST(Sweep, RefusesFrequenciesThatAreNotPositiveAndFinite) {
  for (double f : {0.0, -1.0, std::nan(""), HUGE_VAL})
    EXPECT_THROW(check_frequencies({1e9, f}), Error);
  EXPECT_NO_THROW(check_frequencies({1e9, 2e9}));
}

}  // namespace
}  // namespace vantrel
