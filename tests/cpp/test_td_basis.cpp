// Reference element of the DGTD operator: exact values at low order, and for every order the
// exactness of the mass matrix, the face weights and the derivative matrices on polynomials.
#include "td/dg_basis.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "test_helpers.hpp"

using namespace vantrel;
using vantrel::testing::stop_message;

namespace {

double sum(const std::vector<double>& v) {
  double s = 0;
  for (double x : v) s += x;
  return s;
}

double monomial(const Vec3& p, int a, int b, int c) {
  return std::pow(p[0], a) * std::pow(p[1], b) * std::pow(p[2], c);
}

}  // namespace

TEST(ReferenceElement, OrderOneValues) {
  const ReferenceElement r = new_reference_element(1);
  ASSERT_EQ(r.np, 4u);
  ASSERT_EQ(r.nfp, 3u);
  const std::vector<Vec3> nodes = {{0, 0, 0}, {0, 0, 1}, {0, 1, 0}, {1, 0, 0}};
  EXPECT_EQ(r.nodes, nodes);
  EXPECT_EQ(r.face_nodes[0], (std::vector<u64>{0, 2, 3}));
  EXPECT_EQ(r.face_nodes[1], (std::vector<u64>{0, 1, 2}));
  EXPECT_EQ(r.face_nodes[2], (std::vector<u64>{0, 1, 3}));
  EXPECT_EQ(r.face_nodes[3], (std::vector<u64>{1, 2, 3}));
  // Linear P1 mass of the reference tetrahedron: V/10 on the diagonal, V/20 off it (V = 1/6).
  for (u64 i = 0; i < 4; ++i)
    for (u64 j = 0; j < 4; ++j)
      EXPECT_NEAR(r.mass[i * 4 + j], i == j ? 1.0 / 60 : 1.0 / 120, 1e-15);
  for (u64 i = 0; i < 4; ++i) {
    const double* dr = &r.dr[i * 4];
    const double* ds = &r.ds[i * 4];
    const double* dt = &r.dt[i * 4];
    const double er[4] = {-1, 0, 0, 1}, es[4] = {-1, 0, 1, 0}, et[4] = {-1, 1, 0, 0};
    for (int j = 0; j < 4; ++j) {
      EXPECT_NEAR(dr[j], er[j], 1e-14);
      EXPECT_NEAR(ds[j], es[j], 1e-14);
      EXPECT_NEAR(dt[j], et[j], 1e-14);
    }
  }
  for (const auto& w : r.face_weights)
    for (double x : w) EXPECT_NEAR(x, 1.0 / 6, 1e-15);
  // Row 0 of lift: (6, 1, 1) on each of faces 0..2, (-4, -4, -4) on face 3.
  for (u64 f = 0; f < 4; ++f)
    for (u64 j = 0; j < 3; ++j) {
      const double want = f == 3 ? -4.0 : (j == 0 ? 6.0 : 1.0);
      EXPECT_NEAR(r.lift[(0 * 4 + f) * 3 + j], want, 1e-12) << "face " << f << " node " << j;
    }
}

TEST(ReferenceElement, OrderTwoAndThreeFaceWeights) {
  const ReferenceElement r2 = new_reference_element(2);
  EXPECT_EQ(r2.np, 10u);
  EXPECT_EQ(r2.nfp, 6u);
  EXPECT_EQ(r2.face_nodes[0], (std::vector<u64>{0, 3, 5, 6, 8, 9}));
  // Quadratic Lagrange on a triangle: corner weights vanish, edge midpoints carry area/3.
  for (u64 f = 0; f < 4; ++f)
    for (u64 j = 0; j < 6; ++j) {
      const Vec3& p = r2.nodes[r2.face_nodes[f][j]];
      const bool corner = (p[0] == 0 || p[0] == 1) && (p[1] == 0 || p[1] == 1) &&
                          (p[2] == 0 || p[2] == 1);
      EXPECT_NEAR(r2.face_weights[f][j], corner ? 0.0 : 1.0 / 6, 1e-14);
    }
  const ReferenceElement r3 = new_reference_element(3);
  EXPECT_EQ(r3.np, 20u);
  EXPECT_EQ(r3.nfp, 10u);
  // Cubic: 1/60 at corners, 3/80 at the other edge nodes, 9/40 at the centre.
  for (u64 f = 0; f < 4; ++f) {
    int corners = 0, edges = 0, centre = 0;
    for (double w : r3.face_weights[f]) {
      if (std::fabs(w - 1.0 / 60) < 1e-13) ++corners;
      else if (std::fabs(w - 3.0 / 80) < 1e-13) ++edges;
      else if (std::fabs(w - 9.0 / 40) < 1e-13) ++centre;
    }
    EXPECT_EQ(corners, 3);
    EXPECT_EQ(edges, 6);
    EXPECT_EQ(centre, 1);
  }
}

class ReferenceOrders : public ::testing::TestWithParam<int> {};

// The mass matrix integrates every product of polynomials of degree <= N exactly, each face
// weight list integrates constants over the reference triangle, and the derivative matrices
// differentiate every monomial of degree <= N exactly (up to the conditioning of equispaced
// nodes with a monomial basis, which grows with N).
TEST_P(ReferenceOrders, ExactOnPolynomials) {
  const int N = GetParam();
  const ReferenceElement r = new_reference_element(static_cast<u64>(N));
  const u64 np = r.np;
  const double tol = 1e-13 * std::pow(10.0, N / 2.0);
  EXPECT_NEAR(sum(r.mass), 1.0 / 6, tol);
  for (const auto& w : r.face_weights) EXPECT_NEAR(sum(w), 0.5, tol);

  // Corner nodes and face 1 = the nodes with i = 0, listed first.
  EXPECT_EQ(r.nodes[0], (Vec3{0, 0, 0}));
  EXPECT_EQ(r.nodes[N], (Vec3{0, 0, 1}));
  EXPECT_EQ(r.nodes[r.nfp - 1], (Vec3{0, 1, 0}));
  EXPECT_EQ(r.nodes[np - 1], (Vec3{1, 0, 0}));
  for (u64 j = 0; j < r.nfp; ++j) EXPECT_EQ(r.face_nodes[1][j], j);

  auto fact = [](int n) { double f = 1; for (int k = 2; k <= n; ++k) f *= k; return f; };
  std::vector<std::array<int, 3>> monos;
  for (int d = 0; d <= N; ++d)
    for (int a = 0; a <= d; ++a)
      for (int b = 0; b <= d - a; ++b) monos.push_back({a, b, d - a - b});
  std::vector<std::vector<double>> vals;
  for (const auto& m : monos) {
    std::vector<double> u(np);
    for (u64 i = 0; i < np; ++i) u[i] = monomial(r.nodes[i], m[0], m[1], m[2]);
    vals.push_back(u);
  }
  for (std::size_t p = 0; p < monos.size(); ++p) {
    // Derivatives: d/dr r^a s^b t^c = a r^(a-1) s^b t^c, sampled at the nodes.
    const std::vector<double>* D[3] = {&r.dr, &r.ds, &r.dt};
    for (int axis = 0; axis < 3; ++axis) {
      for (u64 i = 0; i < np; ++i) {
        double got = 0;
        for (u64 j = 0; j < np; ++j) got += (*D[axis])[i * np + j] * vals[p][j];
        auto e = monos[p];
        double want = 0;
        if (e[axis] > 0) {
          const int k = e[axis];
          e[axis] -= 1;
          want = k * monomial(r.nodes[i], e[0], e[1], e[2]);
        }
        ASSERT_NEAR(got, want, 1e3 * tol) << "N=" << N << " monomial " << p << " axis " << axis;
      }
    }
    // Mass: u^T M v = integral of r^A s^B t^C = A! B! C! / (A+B+C+3)!.
    for (std::size_t q = 0; q < monos.size(); ++q) {
      double got = 0;
      for (u64 i = 0; i < np; ++i)
        for (u64 j = 0; j < np; ++j) got += vals[p][i] * r.mass[i * np + j] * vals[q][j];
      const int A = monos[p][0] + monos[q][0], B = monos[p][1] + monos[q][1],
                C = monos[p][2] + monos[q][2];
      const double want = fact(A) * fact(B) * fact(C) / fact(A + B + C + 3);
      ASSERT_NEAR(got, want, tol) << "N=" << N << " pair " << p << "," << q;
    }
  }
  // mass * inv_mass = I.
  for (u64 i = 0; i < np; ++i)
    for (u64 j = 0; j < np; ++j) {
      double s = 0;
      for (u64 k = 0; k < np; ++k) s += r.mass[i * np + k] * r.inv_mass[k * np + j];
      ASSERT_NEAR(s, i == j ? 1.0 : 0.0, 1e3 * tol);
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, ReferenceOrders, ::testing::Values(1, 2, 3, 4, 5),
                         [](const auto& info) { return "N" + std::to_string(info.param); });

TEST(ReferenceElement, Stops) {
  EXPECT_EQ(stop_message([] { new_reference_element(0); }),
            "DG reference element needs order >= 1");
  EXPECT_EQ(stop_message([] { invert({0, 1, 0, 1}, 2); }), "singular matrix in invert()");
  EXPECT_EQ(invert({0, 1, 1, 0}, 2), (std::vector<double>{0, 1, 1, 0}));
  EXPECT_EQ(factorial(0), 1.0);
  EXPECT_EQ(factorial(5), 120.0);
  EXPECT_EQ(int_pow(0.0, 0), 1.0);
  EXPECT_EQ(int_pow(1.5, 3), 3.375);
}
