#include "fd/tet_assembly.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <random>

#include "fd/basis.hpp"
#include "fd_elem_fixtures.hpp"
#include "test_helpers.hpp"

using namespace vantrel;
using vantrel::testing::stop_message;
using namespace vantrel::fdtest;

namespace {

const Tensor3 IDENTITY = {1, 0, 0, 0, 1, 0, 0, 0, 1};

Tensor3 diag(cplx a, cplx b, cplx c) { return {a, 0, 0, 0, b, 0, 0, 0, c}; }

ElementMatrices element(const Mesh& mesh, u64 t, const Tensor3& eps, const Tensor3& mu) {
  const FemBasis basis = build_basis(mesh);
  const auto table = build_barycentric_table();
  std::vector<Tensor3> e(mesh.tets.size(), eps), m(mesh.tets.size(), mu);
  const TetElementContext ctx{mesh, m, e, table, basis};
  ElementMatrices out;
  tet_element_matrices(ctx, t, out);
  return out;
}

const std::array<Vec3, 4> UNIT = {{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};

// A random complex tensor, symmetric or not, well conditioned.
Tensor3 random_tensor(std::mt19937& rng, bool symmetric) {
  std::uniform_real_distribution<double> u(-0.3, 0.3);
  Tensor3 m;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m[3 * i + j] = i == j ? cplx(2 + u(rng), u(rng)) : cplx(u(rng), u(rng));
  if (symmetric)
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < i; ++j) m[3 * i + j] = m[3 * j + i];
  return m;
}

Eigen::Matrix3cd to_eigen(const Tensor3& m) {
  Eigen::Matrix3cd e;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) e(i, j) = m[3 * i + j];
  return e;
}

// E and B by quadrature of the reference basis (definitions, product-rule curls).
void quadrature_matrices(const Mesh& mesh, u64 t, const Tensor3& eps, const Tensor3& mu,
                         Eigen::MatrixXcd& E, Eigen::MatrixXcd& B) {
  const auto fn = reference_functions(mesh, t);
  const Eigen::Matrix3cd eps_e = to_eigen(eps), mu_inv = to_eigen(mu).inverse();
  E = Eigen::MatrixXcd::Zero(20, 20);
  B = Eigen::MatrixXcd::Zero(20, 20);
  const auto& tn = mesh.tets[t];
  Eigen::Vector3d P[4];
  for (int i = 0; i < 4; ++i) P[i] = {mesh.nodes[tn[i]][0], mesh.nodes[tn[i]][1], mesh.nodes[tn[i]][2]};
  for (const auto& q : tet_rule()) {
    const Eigen::Vector3d x = P[0] + q.l[0] * (P[1] - P[0]) + q.l[1] * (P[2] - P[0]) + q.l[2] * (P[3] - P[0]);
    const Barycentric b = barycentric_at(mesh, t, x);
    const double w = q.w * 6.0 * b.volume;
    Eigen::Matrix<double, 3, 20> N, C;
    for (int i = 0; i < 20; ++i) {
      N.col(i) = ref_value(fn[i], b);
      C.col(i) = ref_curl(fn[i], b);
    }
    B += w * N.transpose().cast<cplx>() * eps_e * N.cast<cplx>();
    E += w * C.transpose().cast<cplx>() * mu_inv * C.cast<cplx>();
  }
}

bool is_face(int i) { return (i >= 6 && i < 10) || i >= 16; }

}  // namespace

TEST(BarycentricTable, ExactMomentsAndIndexCheck) {
  const auto T = build_barycentric_table();
  // ∫_unit-tet 1 = 1/6 (J = 1), ∫λ0 = 1/24, ∫λ0² = 1/60, ∫λ0λ1 = 1/120, ∫λ0²λ1² = 4/7! = 1/1260.
  EXPECT_DOUBLE_EQ(barycentric_integral(T, 0, 0, 0, 0, 1.0), 1.0 / 6.0);
  EXPECT_DOUBLE_EQ(barycentric_integral(T, 1, 0, 0, 0, 1.0), 1.0 / 24.0);
  EXPECT_DOUBLE_EQ(barycentric_integral(T, 1, 1, 0, 0, 1.0), 1.0 / 60.0);
  EXPECT_DOUBLE_EQ(barycentric_integral(T, 1, 2, 0, 0, 2.0), 2.0 / 120.0);
  EXPECT_DOUBLE_EQ(barycentric_integral(T, 1, 1, 2, 2, 1.0), 1.0 / 1260.0);
  EXPECT_DOUBLE_EQ(barycentric_integral(T, 4, 4, 4, 4, 1.0), 24.0 / 5040.0);
  EXPECT_DOUBLE_EQ(barycentric_integral(T, 2, 4, 3, 1, 1.0), 1.0 / 5040.0);
  EXPECT_EQ(stop_message([&] { barycentric_integral(T, 0, 5, 0, 0, 1.0); }),
            "index out of bounds: the len is 5 but the index is 5");
}

// The closed-form values of the unit tetrahedron with identity tensors.
struct UnitValue {
  const char* name;
  char matrix;
  int r, c;
  double value;
};
void PrintTo(const UnitValue& v, std::ostream* os) { *os << v.name; }
class UnitTetValues : public ::testing::TestWithParam<UnitValue> {};

TEST_P(UnitTetValues, MatchesExactFraction) {
  const auto& v = GetParam();
  static const ElementMatrices m = element(single_tet(UNIT), 0, IDENTITY, IDENTITY);
  const cplx got = (v.matrix == 'E' ? m.e : m.b)[20 * v.r + v.c];
  EXPECT_NEAR(got.real(), v.value, 1e-14 * std::fabs(v.value)) << v.name;  // a few roundings
  EXPECT_EQ(got.imag(), 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Exact, UnitTetValues,
    ::testing::Values(UnitValue{"E00", 'E', 0, 0, 3.0 / 10}, UnitValue{"E0_10", 'E', 0, 10, 3.0 / 20},
                      UnitValue{"E10_10", 'E', 10, 10, 3.0 / 10}, UnitValue{"E01", 'E', 0, 1, -3.0 / 20},
                      UnitValue{"E06", 'E', 0, 6, -1.0 / 20}, UnitValue{"E66", 'E', 6, 6, 2.0 / 15},
                      UnitValue{"E16_16", 'E', 16, 16, 2.0 / 15}, UnitValue{"E6_16", 'E', 6, 16, -11.0 / 120},
                      UnitValue{"B00", 'B', 0, 0, 1.0 / 105}, UnitValue{"B0_10", 'B', 0, 10, 2.0 / 315},
                      UnitValue{"B10_10", 'B', 10, 10, 11.0 / 630}, UnitValue{"B01", 'B', 0, 1, 1.0 / 280},
                      UnitValue{"B06", 'B', 0, 6, -1.0 / 420}, UnitValue{"B66", 'B', 6, 6, 1.0 / 252},
                      UnitValue{"B6_16", 'B', 6, 16, -1.0 / 315}),
    [](const auto& info) { return std::string(info.param.name); });

// Every entry against quadrature of the defining formulas, on random tetrahedra with random
// node order and full complex tensors. Non-symmetric tensors: the face-edge block is the
// transpose of the edge-face block, everything else is the plain bilinear form.
TEST(ElementMatrices, AgreeWithQuadratureOfDefinitions) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 12; ++trial) {
    const bool symmetric = trial % 2 == 0;
    std::array<u64, 4> order = {0, 1, 2, 3};
    std::shuffle(order.begin(), order.end(), rng);
    const Mesh mesh = single_tet(random_tet(rng), order);
    const Tensor3 eps = random_tensor(rng, symmetric), mu = random_tensor(rng, symmetric);
    const ElementMatrices m = element(mesh, 0, eps, mu);
    Eigen::MatrixXcd E, B;
    quadrature_matrices(mesh, 0, eps, mu, E, B);
    const double escale = E.cwiseAbs().maxCoeff(), bscale = B.cwiseAbs().maxCoeff();
    for (int i = 0; i < 20; ++i)
      for (int j = 0; j < 20; ++j) {
        const int si = (!symmetric && is_face(i) && !is_face(j)) ? j : i;
        const int sj = (!symmetric && is_face(i) && !is_face(j)) ? i : j;
        // Exact rule: the difference is rounding only.
        EXPECT_LT(std::abs(m.e[20 * i + j] - E(si, sj)), 1e-12 * escale) << trial << " E " << i << "," << j;
        EXPECT_LT(std::abs(m.b[20 * i + j] - B(si, sj)), 1e-12 * bscale) << trial << " B " << i << "," << j;
      }
  }
}

TEST(ElementMatrices, SymmetricTensorsGiveSymmetricBlocks) {
  std::mt19937 rng(11);
  const Mesh mesh = single_tet(random_tet(rng), {3, 0, 2, 1});
  const ElementMatrices m = element(mesh, 0, random_tensor(rng, true), random_tensor(rng, true));
  for (int r = 0; r < 20; ++r)
    for (int c = 0; c < 20; ++c) {
      EXPECT_EQ(m.e[20 * r + c], m.e[20 * c + r]);
      EXPECT_EQ(m.b[20 * r + c], m.b[20 * c + r]);
    }
}

// Relisting the same tetrahedron's nodes (same global numbers and coordinates) renumbers
// entities but names the same global functions: the (row, column) -> value maps agree.
TEST(ElementMatrices, IndependentOfStoredNodeOrder) {
  std::mt19937 rng(3);
  const auto pts = random_tet(rng);
  const Tensor3 eps = diag(2.0, 3.0, cplx(4.0, -0.5)), mu = diag(1.5, cplx(1.0, -0.2), 2.5);
  auto as_map = [&](const Mesh& mesh) {
    const FemBasis basis = build_basis(mesh);
    std::vector<Tensor3> e{eps}, m{mu};
    const ElementTriplets trip = assemble_tet_elements(mesh, basis, e, m);
    std::map<std::pair<DofKey, DofKey>, std::pair<cplx, cplx>> out;
    for (std::size_t k = 0; k < trip.size(); ++k)
      out[{dof_key(mesh, trip.rows[k]), dof_key(mesh, trip.cols[k])}] = {trip.e_vals[k], trip.b_vals[k]};
    return out;
  };
  const auto ref = as_map(single_tet(pts));
  ASSERT_EQ(ref.size(), 400u);
  for (std::array<u64, 4> order : {std::array<u64, 4>{1, 0, 2, 3}, {3, 2, 1, 0}, {2, 3, 0, 1}}) {
    const auto other = as_map(single_tet(pts, order));
    ASSERT_EQ(other.size(), 400u);
    for (const auto& [key, val] : ref) {
      const auto& o = other.at(key);
      EXPECT_NEAR(std::abs(o.first - val.first), 0.0, 1e-13 * (1 + std::abs(val.first)));
      EXPECT_NEAR(std::abs(o.second - val.second), 0.0, 1e-13 * (1 + std::abs(val.second)));
    }
  }
}

TEST(ElementMatrices, ScaleWithSizeAndStayRealForRealTensors) {
  std::mt19937 rng(5);
  auto pts = random_tet(rng);
  const Tensor3 eps = diag(2.0, 3.0, 4.0), mu = diag(1.5, 1.0, 2.5);
  const ElementMatrices a = element(single_tet(pts), 0, eps, mu);
  for (auto& p : pts)
    for (auto& x : p) x *= 2.0;
  const ElementMatrices b = element(single_tet(pts), 0, eps, mu);
  for (int k = 0; k < 400; ++k) {
    EXPECT_EQ(a.e[k].imag(), 0.0);
    EXPECT_EQ(a.b[k].imag(), 0.0);
    // E ~ length, B ~ length³ (powers of two: exact up to the rounding of the lengths).
    EXPECT_NEAR(b.e[k].real(), 2.0 * a.e[k].real(), 1e-13 * (1 + std::fabs(a.e[k].real())));
    EXPECT_NEAR(b.b[k].real(), 8.0 * a.b[k].real(), 1e-13 * (1 + std::fabs(a.b[k].real())));
  }
}

// ∇×∇φ = 0: the coefficients of ∇φ for a quadratic φ span the curl-curl null space, while B
// stays positive definite on them.
TEST(ElementMatrices, CurlCurlAnnihilatesGradientsOfQuadratics) {
  std::mt19937 rng(19);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int trial = 0; trial < 4; ++trial) {
    const Mesh mesh = single_tet(random_tet(rng), {2, 0, 3, 1});
    const auto fn = reference_functions(mesh, 0);
    // φ = c·x + xᵀ A x, ∇φ = c + (A + Aᵀ) x.
    Eigen::Vector3d c(u(rng), u(rng), u(rng));
    Eigen::Matrix3d A;
    for (int i = 0; i < 9; ++i) A(i / 3, i % 3) = u(rng);
    const Eigen::Matrix3d S = A + A.transpose();
    // Least-squares fit of ∇φ at 40 interior points (120 equations, 20 unknowns).
    Eigen::MatrixXd M(120, 20);
    Eigen::VectorXd rhs(120);
    const auto& tn = mesh.tets[0];
    std::uniform_real_distribution<double> l(0.0, 1.0);
    for (int s = 0; s < 40; ++s) {
      double w[4], sum = 0;
      for (double& x : w) sum += (x = l(rng));
      Eigen::Vector3d x = Eigen::Vector3d::Zero();
      for (int i = 0; i < 4; ++i)
        x += (w[i] / sum) * Eigen::Vector3d(mesh.nodes[tn[i]][0], mesh.nodes[tn[i]][1], mesh.nodes[tn[i]][2]);
      const Barycentric b = barycentric_at(mesh, 0, x);
      for (int i = 0; i < 20; ++i) M.block<3, 1>(3 * s, i) = ref_value(fn[i], b);
      rhs.segment<3>(3 * s) = c + S * x;
    }
    const Eigen::VectorXd coef = M.colPivHouseholderQr().solve(rhs);
    ASSERT_LT((M * coef - rhs).norm(), 1e-11 * rhs.norm()) << "gradient not in the span";

    const ElementMatrices m = element(mesh, 0, diag(2.0, 3.0, 4.0), diag(1.5, 1.0, 2.5));
    Eigen::MatrixXcd E(20, 20), B(20, 20);
    for (int k = 0; k < 400; ++k) {
      E(k / 20, k % 20) = m.e[k];
      B(k / 20, k % 20) = m.b[k];
    }
    const Eigen::VectorXcd v = coef.cast<cplx>();
    EXPECT_LT((E * v).norm(), 1e-12 * E.norm() * v.norm());
    EXPECT_GT((v.transpose() * B * v)(0).real(), 1e-3 * B.norm() * v.squaredNorm());
  }
}

TEST(Matinv3, InverseAndSingularMessages) {
  std::mt19937 rng(23);
  const Tensor3 m = random_tensor(rng, false);
  const Eigen::Matrix3cd prod = to_eigen(m) * to_eigen(matinv3(m));
  EXPECT_LT((prod - Eigen::Matrix3cd::Identity()).norm(), 1e-14);

  struct Case {
    Tensor3 t;
    const char* message;
  };
  const double nan = std::nan("");
  for (const Case& c : {Case{diag(1.0, 0.0, 2.0), "matinv3: singular 3x3 material tensor (|det| = 0.000e0)"},
                        Case{Tensor3{}, "matinv3: singular 3x3 material tensor (|det| = 0.000e0)"},
                        Case{diag(1e-11, 1e-11, cplx(0, 1e-11)), "matinv3: singular 3x3 material tensor (|det| = 1.000e-33)"},
                        Case{diag(1e-10, 1e-10, 1e-10), "matinv3: singular 3x3 material tensor (|det| = 1.000e-30)"},
                        Case{diag(nan, 1.0, 1.0), "matinv3: singular 3x3 material tensor (|det| = NaN)"}}) {
    EXPECT_EQ(stop_message([&] { matinv3(c.t); }), c.message);
  }
  EXPECT_NO_THROW(matinv3(diag(1e-10, 1e-10, 1.1e-10)));  // |det| = 1.1e-30 passes
}

TEST(ElementMatrices, ZeroPermittivityGivesZeroMassBlock) {
  const ElementMatrices m = element(single_tet(UNIT), 0, Tensor3{}, IDENTITY);
  for (int k = 0; k < 400; ++k) EXPECT_EQ(m.b[k], cplx(0.0));
  EXPECT_NE(m.e[0], cplx(0.0));
}

TEST(Assembly, EmptyAndSingleTetLayout) {
  const Mesh empty = build_topology({}, {});
  const ElementTriplets none = assemble_tet_elements(empty, build_basis(empty), {}, {});
  EXPECT_EQ(none.size(), 0u);
  EXPECT_EQ(none.e_vals.size(), 0u);

  const Mesh one = single_tet(UNIT);
  const FemBasis basis = build_basis(one);
  std::vector<Tensor3> t{IDENTITY};
  const ElementTriplets trip = assemble_tet_elements(one, basis, t, t);
  ASSERT_EQ(trip.size(), 400u);
  const ElementMatrices m = element(one, 0, IDENTITY, IDENTITY);
  for (int k = 0; k < 400; ++k) {
    EXPECT_EQ(trip.rows[k], basis.tet_dofs[0][k / 20]);
    EXPECT_EQ(trip.cols[k], basis.tet_dofs[0][k % 20]);
    EXPECT_EQ(trip.e_vals[k], m.e[k]);
    EXPECT_EQ(trip.b_vals[k], m.b[k]);
  }
}

TEST(Assembly, TwoTetsShareTheFaceUnknowns) {
  const Mesh mesh = build_topology({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}},
                                   {{0, 1, 2, 3}, {1, 2, 3, 4}});
  const FemBasis basis = build_basis(mesh);
  std::vector<Tensor3> t(2, IDENTITY);
  const ElementTriplets trip = assemble_tet_elements(mesh, basis, t, t);
  ASSERT_EQ(trip.size(), 800u);
  const u64 shared_face = mesh.find_face({1, 2, 3});
  std::vector<u64> shared(basis.face_dofs[shared_face].begin(), basis.face_dofs[shared_face].end());
  for (u64 dof : shared) {
    EXPECT_EQ(std::count(trip.rows.begin(), trip.rows.begin() + 400, dof), 20);
    EXPECT_EQ(std::count(trip.rows.begin() + 400, trip.rows.end(), dof), 20);
  }
}

// Each tetrahedron owns its 400 slots: the parallel result equals a serial kernel loop bit for bit.
TEST(Assembly, ParallelResultEqualsSerialLoop) {
  const Mesh mesh = box_mesh(7, 5, 4, {-0.3, 0.1, 0.0}, {1.0, 0.7, 0.5}, true);
  const FemBasis basis = build_basis(mesh);
  std::vector<Tensor3> eps(mesh.tets.size()), mu(mesh.tets.size());
  for (std::size_t t = 0; t < eps.size(); ++t) {
    eps[t] = diag(1.0 + 0.01 * t, 2.0, cplx(3.0, -0.1));
    mu[t] = diag(1.0, 1.0 + 0.001 * t, 1.0);
  }
  const ElementTriplets par = assemble_tet_elements(mesh, basis, eps, mu);
  const auto table = build_barycentric_table();
  const TetElementContext ctx{mesh, mu, eps, table, basis};
  std::vector<u64> r(400), c(400);
  std::vector<cplx> e(400), b(400);
  ASSERT_EQ(par.size(), 400 * mesh.tets.size());
  for (u64 t = 0; t < mesh.tets.size(); ++t) {
    tet_element_matrices(ctx, t, r, c, e, b);
    for (int k = 0; k < 400; ++k) {
      ASSERT_EQ(par.rows[400 * t + k], r[k]);
      ASSERT_EQ(par.cols[400 * t + k], c[k]);
      ASSERT_EQ(par.e_vals[400 * t + k], e[k]);
      ASSERT_EQ(par.b_vals[400 * t + k], b[k]);
    }
  }
}

TEST(Assembly, StopsInsideTheLoopReachTheCaller) {
  const Mesh mesh = box_mesh(3, 3, 3, {0, 0, 0}, {1, 1, 1});
  const FemBasis basis = build_basis(mesh);
  std::vector<Tensor3> eps(mesh.tets.size(), IDENTITY), mu(mesh.tets.size(), IDENTITY);
  mu[77] = Tensor3{};  // a tetrahedron no material covers
  EXPECT_EQ(stop_message([&] { assemble_tet_elements(mesh, basis, eps, mu); }),
            "matinv3: singular 3x3 material tensor (|det| = 0.000e0)");
  mu.pop_back();
  mu[77] = IDENTITY;
  EXPECT_EQ(stop_message([&] { assemble_tet_elements(mesh, basis, eps, mu); }),
            "index out of bounds: the len is 161 but the index is 161");
  const auto table = build_barycentric_table();
  const TetElementContext ctx{mesh, eps, eps, table, basis};
  std::vector<u64> r(399), c(400);
  std::vector<cplx> e(400), b(400);
  EXPECT_EQ(stop_message([&] { tet_element_matrices(ctx, 0, r, c, e, b); }),
            "index out of bounds: the len is 399 but the index is 399");
}
