#include "fd/interp.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>

#include "fd/basis.hpp"
#include "fd/free_dofs.hpp"
#include "fd/ports.hpp"
#include "fd/tet_assembly.hpp"
#include "fd_elem_fixtures.hpp"
#include "test_helpers.hpp"

using namespace vantrel;
using vantrel::testing::stop_message;
using namespace vantrel::fdtest;

namespace {

Eigen::Vector3d ev(const Vec3& v) { return {v[0], v[1], v[2]}; }
Vec3 vv(const Eigen::Vector3d& v) { return {v[0], v[1], v[2]}; }

Eigen::Vector3cd cev(const CVec3& v) { return {v[0], v[1], v[2]}; }

// A random point inside tetrahedron t (positive barycentric weights).
Vec3 inside(const Mesh& mesh, u64 t, std::mt19937& rng) {
  std::uniform_real_distribution<double> u(0.05, 1.0);
  double w[4], sum = 0;
  for (double& x : w) sum += (x = u(rng));
  Eigen::Vector3d p = Eigen::Vector3d::Zero();
  for (int i = 0; i < 4; ++i) p += (w[i] / sum) * ev(mesh.nodes[mesh.tets[t][i]]);
  return vv(p);
}

// Coefficients of a real field f in tetrahedron t by least squares at 40 points, written into
// the global vector at the tetrahedron's unknowns. Returns the fit residual (relative).
double fit_field(const Mesh& mesh, const FemBasis& basis, u64 t,
                 const std::function<Eigen::Vector3d(const Eigen::Vector3d&)>& f,
                 std::vector<cplx>& solution, std::mt19937& rng) {
  const auto fn = reference_functions(mesh, t);
  Eigen::MatrixXd M(120, 20);
  Eigen::VectorXd rhs(120);
  for (int s = 0; s < 40; ++s) {
    const Eigen::Vector3d x = ev(inside(mesh, t, rng));
    const Barycentric b = barycentric_at(mesh, t, x);
    for (int i = 0; i < 20; ++i) M.block<3, 1>(3 * s, i) = ref_value(fn[i], b);
    rhs.segment<3>(3 * s) = f(x);
  }
  const Eigen::VectorXd c = M.colPivHouseholderQr().solve(rhs);
  for (int i = 0; i < 20; ++i) solution[basis.tet_dofs[t][i]] = c[i];
  return (M * c - rhs).norm() / std::max(rhs.norm(), 1e-300);
}

}  // namespace

// eval_field_at_point against the definitions, for random coefficients, node orders and
// orientations; the curl against central differences of the field.
TEST(Interp, FieldAndCurlMatchTheBasisDefinitions) {
  std::mt19937 rng(31);
  std::normal_distribution<double> n(0.0, 1.0);
  for (int trial = 0; trial < 6; ++trial) {
    std::array<u64, 4> order = {0, 1, 2, 3};
    std::shuffle(order.begin(), order.end(), rng);
    const Mesh mesh = single_tet(random_tet(rng), order);
    const FemBasis basis = build_basis(mesh);
    std::vector<cplx> sol(basis.n_dofs);
    for (auto& c : sol) c = {n(rng), n(rng)};
    const auto fn = reference_functions(mesh, 0);
    for (int s = 0; s < 5; ++s) {
      const Vec3 p = inside(mesh, 0, rng);
      const Barycentric b = barycentric_at(mesh, 0, ev(p));
      Eigen::Vector3cd e_ref = Eigen::Vector3cd::Zero(), c_ref = Eigen::Vector3cd::Zero();
      for (int i = 0; i < 20; ++i) {
        e_ref += sol[basis.tet_dofs[0][i]] * ref_value(fn[i], b).cast<cplx>();
        c_ref += sol[basis.tet_dofs[0][i]] * ref_curl(fn[i], b).cast<cplx>();
      }
      const Eigen::Vector3cd e = cev(eval_field_at_point(basis, mesh, sol, 0, p));
      const Eigen::Vector3cd c = cev(eval_curl_at_point(basis, mesh, sol, 0, p));
      EXPECT_LT((e - e_ref).norm(), 1e-12 * e_ref.norm());
      EXPECT_LT((c - c_ref).norm(), 1e-12 * c_ref.norm());
      // Central differences: O(h²) truncation on a quadratic field is exact up to rounding.
      const double h = 1e-4;
      Eigen::Matrix3cd jac;
      for (int k = 0; k < 3; ++k) {
        Vec3 pp = p, pm = p;
        pp[k] += h, pm[k] -= h;
        jac.col(k) = (cev(eval_field_at_point(basis, mesh, sol, 0, pp)) -
                      cev(eval_field_at_point(basis, mesh, sol, 0, pm))) / (2 * h);
      }
      const Eigen::Vector3cd curl_fd(jac(2, 1) - jac(1, 2), jac(0, 2) - jac(2, 0), jac(1, 0) - jac(0, 1));
      EXPECT_LT((c - curl_fd).norm(), 1e-7 * c.norm());
    }
  }
}

// A constant and a linear field, fitted tetrahedron by tetrahedron into one global vector, are
// reproduced everywhere: shared unknowns get the same value from both sides, so the numbering
// and orientation agree across the mesh. The curl of the linear field is the analytic one.
TEST(Interp, GlobalFieldReproducesConstantAndLinearFields) {
  std::mt19937 rng(41);
  const Mesh mesh = box_mesh(3, 2, 2, {-0.5, -0.25, 0.1}, {1.0, 0.6, 0.4}, true);
  const FemBasis basis = build_basis(mesh);
  const TetGrid grid = build_tet_grid(mesh);
  const Eigen::Vector3d e0(0.3, -1.2, 0.7);
  Eigen::Matrix3d A;
  A << 0.2, -1.0, 0.5, 1.3, 0.1, -0.4, 0.0, 0.8, -0.6;
  // curl(A x) = (A32 − A23, A13 − A31, A21 − A12).
  const Eigen::Vector3d curl_a(A(2, 1) - A(1, 2), A(0, 2) - A(2, 0), A(1, 0) - A(0, 1));
  struct Case {
    const char* name;
    std::function<Eigen::Vector3d(const Eigen::Vector3d&)> f;
    Eigen::Vector3d curl;
  };
  for (const Case& c : {Case{"constant", [&](const Eigen::Vector3d&) { return e0; }, Eigen::Vector3d::Zero()},
                        Case{"linear", [&](const Eigen::Vector3d& x) { Eigen::Vector3d r = e0 + A * x; return r; }, curl_a}}) {
    std::vector<cplx> sol(basis.n_dofs);
    // Fit in reverse order, so that each shared unknown ends with the value of its lowest tet.
    for (u64 t = mesh.tets.size(); t-- > 0;) ASSERT_LT(fit_field(mesh, basis, t, c.f, sol, rng), 1e-12) << c.name;
    const FieldSampler sampler{grid, mesh, basis, sol};
    for (int s = 0; s < 200; ++s) {
      const u64 t = rng() % mesh.tets.size();
      const Vec3 p = inside(mesh, t, rng);
      const Eigen::Vector3cd want = c.f(ev(p)).cast<cplx>();
      EXPECT_LT((cev(sampler(p)) - want).norm(), 1e-12) << c.name;
      EXPECT_LT((cev(eval_field_at_point(basis, mesh, sol, t, p)) - want).norm(), 1e-12) << c.name;
      EXPECT_LT((cev(eval_curl_at_point(basis, mesh, sol, t, p)) - c.curl.cast<cplx>()).norm(), 1e-11) << c.name;
    }
  }
}

// The tangential trace of the tetrahedron's functions on each face equals that face's eight
// surface functions (local frame of the face, ascending nodes P0 < P1 < P2):
//   rows e = 0..2 (edges (0,1), (1,2), (0,2)): L_ab λa W_ab; rows 4..6: L_ab λb W_ab;
//   row 3: L02 λ1 (λ0∇λ2 − λ2∇λ0); row 7: L01 λ2 (λ1∇λ0 − λ0∇λ1); with ∇λk = G_k/(2A).
// Unknowns that do not belong to the face have zero tangential trace there.
TEST(Interp, TangentialTraceEqualsFaceFunctions) {
  std::mt19937 rng(43);
  const Mesh mesh = box_mesh(2, 2, 1, {0.0, 0.0, 0.0}, {1.0, 0.8, 0.5}, true);
  const FemBasis basis = build_basis(mesh);
  for (u64 t = 0; t < mesh.tets.size(); ++t) {
    for (int lf = 0; lf < 4; ++lf) {
      const u64 f = mesh.tet_faces[t][lf];
      Eigen::Vector3d P[3];
      for (int k = 0; k < 3; ++k) P[k] = ev(mesh.nodes[mesh.faces[f][k]]);
      const Eigen::Vector3d t1 = (P[1] - P[0]).normalized();
      const Eigen::Vector3d nrm = (P[1] - P[0]).cross(P[2] - P[0]).normalized();
      const Eigen::Vector3d t2 = nrm.cross(t1).normalized();
      double xi[3], eta[3];
      for (int k = 0; k < 3; ++k) xi[k] = (P[k] - P[0]).dot(t1), eta[k] = (P[k] - P[0]).dot(t2);
      const double A = std::fabs((xi[0] - xi[2]) * (eta[1] - eta[0]) - (xi[0] - xi[1]) * (eta[2] - eta[0])) / 2;
      const double G[3][2] = {{eta[1] - eta[2], xi[2] - xi[1]}, {eta[2] - eta[0], xi[0] - xi[2]}, {eta[0] - eta[1], xi[1] - xi[0]}};
      Eigen::Vector3d grad[3];
      for (int k = 0; k < 3; ++k) grad[k] = (G[k][0] * t1 + G[k][1] * t2) / (2 * A);
      auto L = [&](int a, int b) { return (P[a] - P[b]).norm(); };
      const int EDGES[3][2] = {{0, 1}, {1, 2}, {0, 2}};
      std::uniform_real_distribution<double> u(0.05, 1.0);
      for (int s = 0; s < 3; ++s) {
        double lam[3], sum = 0;
        for (double& x : lam) sum += (x = u(rng));
        for (double& x : lam) x /= sum;
        const Eigen::Vector3d x = lam[0] * P[0] + lam[1] * P[1] + lam[2] * P[2];
        Eigen::Vector3d surf[8];
        for (int e = 0; e < 3; ++e) {
          const int a = EDGES[e][0], b = EDGES[e][1];
          const Eigen::Vector3d w = lam[b] * grad[a] - lam[a] * grad[b];
          surf[e] = L(a, b) * lam[a] * w;
          surf[e + 4] = L(a, b) * lam[b] * w;
        }
        surf[3] = L(0, 2) * lam[1] * (lam[0] * grad[2] - lam[2] * grad[0]);
        surf[7] = L(0, 1) * lam[2] * (lam[1] * grad[0] - lam[0] * grad[1]);
        for (int i = 0; i < 20; ++i) {
          const u64 dof = basis.tet_dofs[t][i];
          std::vector<cplx> sol(basis.n_dofs, 0.0);
          sol[dof] = 1.0;
          const Eigen::Vector3d v = cev(eval_field_at_point(basis, mesh, sol, t, vv(x))).real();
          const Eigen::Vector3d tangential = v - v.dot(nrm) * nrm;
          Eigen::Vector3d want = Eigen::Vector3d::Zero();
          for (int r = 0; r < 8; ++r)
            if (basis.face_dofs[f][r] == dof) want = surf[r];
          EXPECT_LT((tangential - want).norm(), 1e-12) << "tet " << t << " face " << lf << " fn " << i;
        }
      }
    }
  }
}

// Negative orientation in storage changes nothing: the same global functions at the same point.
TEST(Interp, StoredOrientationDoesNotMatter) {
  std::mt19937 rng(47);
  std::normal_distribution<double> n(0.0, 1.0);
  const auto pts = random_tet(rng);
  const Mesh a = single_tet(pts, {0, 1, 2, 3}), b = single_tet(pts, {0, 2, 1, 3});
  const FemBasis ba = build_basis(a), bb = build_basis(b);
  std::vector<cplx> sa(ba.n_dofs), sb(bb.n_dofs);
  std::map<DofKey, cplx> by_key;
  for (u64 i = 0; i < ba.n_dofs; ++i) by_key[dof_key(a, i)] = sa[i] = {n(rng), n(rng)};
  for (u64 i = 0; i < bb.n_dofs; ++i) sb[i] = by_key.at(dof_key(b, i));
  for (int s = 0; s < 5; ++s) {
    const Vec3 p = inside(a, 0, rng);
    const auto ea = cev(eval_field_at_point(ba, a, sa, 0, p)), eb = cev(eval_field_at_point(bb, b, sb, 0, p));
    const auto ca = cev(eval_curl_at_point(ba, a, sa, 0, p)), cb = cev(eval_curl_at_point(bb, b, sb, 0, p));
    EXPECT_LT((ea - eb).norm(), 1e-13 * ea.norm());
    EXPECT_LT((ca - cb).norm(), 1e-13 * ca.norm());
  }
}

// At node P_i only functions whose leading factor holds λ_i contribute (edge functions of the
// first kind at their lower node, of the second kind at their higher node).
TEST(Interp, AtANodeOnlyItsLeadingFunctionsContribute) {
  const Mesh mesh = single_tet({{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}, {2, 0, 3, 1});
  const FemBasis basis = build_basis(mesh);
  const TetLocalOrder lo = tet_local_order(mesh, 0);
  for (int node = 0; node < 4; ++node) {
    const Vec3 p = mesh.nodes[mesh.tets[0][node]];
    for (int i = 0; i < 20; ++i) {
      std::vector<cplx> sol(basis.n_dofs, 0.0);
      sol[basis.tet_dofs[0][i]] = 1.0;
      const double mag = cev(eval_field_at_point(basis, mesh, sol, 0, p)).norm();
      bool leading = false;
      if (i < 6) leading = lo.edge[i][0] == node;
      else if (i >= 10 && i < 16) leading = lo.edge[i - 10][1] == node;
      EXPECT_EQ(mag > 1e-12, leading) << "node " << node << " fn " << i;
    }
  }
}

TEST(Interp, ShortSolutionAndBadTetStop) {
  const Mesh mesh = single_tet({{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}});
  const FemBasis basis = build_basis(mesh);
  std::vector<cplx> sol(basis.n_dofs - 1);
  EXPECT_EQ(stop_message([&] { eval_field_at_point(basis, mesh, sol, 0, {0.1, 0.1, 0.1}); }),
            "index out of bounds: the len is 19 but the index is 19");
  sol.resize(basis.n_dofs);
  EXPECT_EQ(stop_message([&] { eval_curl_at_point(basis, mesh, sol, 1, {0.1, 0.1, 0.1}); }),
            "index out of bounds: the len is 1 but the index is 1");
}

TEST(PointLocation, ToleranceDegenerateAndNaN) {
  const Mesh mesh = build_topology({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 0}},
                                   {{0, 1, 2, 3}, {0, 1, 2, 4}});  // the second is flat
  EXPECT_TRUE(point_in_tet(mesh, 0, {0.25, 0.25, 0.25}));
  EXPECT_TRUE(point_in_tet(mesh, 0, {-5e-9, 0.2, 0.2}));   // λ1 = −5e-9, inside the tolerance
  EXPECT_FALSE(point_in_tet(mesh, 0, {-2e-8, 0.2, 0.2}));
  EXPECT_TRUE(point_in_tet(mesh, 0, {0.5, 0.5, 5e-9}));     // λ1+λ2+λ3 = 1 + 5e-9
  EXPECT_FALSE(point_in_tet(mesh, 0, {0.5, 0.5, 2e-8}));
  EXPECT_FALSE(point_in_tet(mesh, 1, {0.2, 0.2, 0.0}));     // |det| < 1e-30 holds nothing
  EXPECT_FALSE(point_in_tet(mesh, 0, {std::nan(""), 0.1, 0.1}));
  const TetGrid grid = build_tet_grid(mesh);
  EXPECT_EQ(locate_tet(grid, mesh, {std::nan(""), 0.1, 0.1}), std::nullopt);
}

TEST(PointLocation, GridKeysAndCellSize) {
  const Mesh mesh = box_mesh(4, 4, 4, {-1, -1, -1}, {2, 2, 2});
  const TetGrid grid = build_tet_grid(mesh);
  // 384 tets: h = diagonal / ∛384.
  EXPECT_DOUBLE_EQ(grid.cell_size, std::sqrt(12.0) / std::cbrt(384.0));
  EXPECT_EQ(cell_key(grid, {-0.5 * grid.cell_size, 0.0, 2.5 * grid.cell_size}), (CellKey{-1, 0, 2}));
  EXPECT_EQ(cell_key(grid, {1e300, -1e300, std::nan("")}),
            (CellKey{std::numeric_limits<i32>::max(), std::numeric_limits<i32>::min(), 0}));
  std::size_t filed = 0;
  for (const auto& [key, list] : grid.cells) {
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
    filed += list.size();
  }
  EXPECT_EQ(filed, mesh.tets.size());
  // Fewer than 8 tets: cells of half the diagonal.
  const Mesh one = single_tet({{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}});
  EXPECT_DOUBLE_EQ(build_tet_grid(one).cell_size, std::sqrt(3.0) / 2.0);
}

TEST(PointLocation, FindsContainingTetAndFallsBackToTheFullScan) {
  std::mt19937 rng(53);
  const Mesh mesh = box_mesh(5, 4, 3, {-1.0, -0.5, -2.0}, {2.0, 1.0, 1.5}, true);
  const TetGrid grid = build_tet_grid(mesh);
  for (int s = 0; s < 300; ++s) {
    const u64 t = rng() % mesh.tets.size();
    const Vec3 p = inside(mesh, t, rng);
    const auto found = locate_tet(grid, mesh, p);
    ASSERT_TRUE(found.has_value());
    EXPECT_TRUE(point_in_tet(mesh, *found, p));
  }
  // Outside the mesh: nothing, and the sampler gives the zero field.
  EXPECT_EQ(locate_tet(grid, mesh, {5.0, 0.0, 0.0}), std::nullopt);
  const FemBasis basis = build_basis(mesh);
  std::vector<cplx> ones(basis.n_dofs, 1.0);
  const FieldSampler sampler{grid, mesh, basis, ones};
  EXPECT_EQ(sampler({5.0, 0.0, 0.0}), (CVec3{}));
  // A grid whose cells hold nothing near the point: the scan in ascending order decides, so a
  // point on a shared face goes to the lower tetrahedron.
  TetGrid empty_cells;
  empty_cells.cell_size = 1e-3;
  u64 shared = 0;
  while (mesh.face_tets[shared][1] == NO_TET) ++shared;
  Vec3 c{0, 0, 0};
  for (u64 n : mesh.faces[shared])
    for (int k = 0; k < 3; ++k) c[k] += mesh.nodes[n][k] / 3.0;
  EXPECT_EQ(locate_tet(empty_cells, mesh, c), mesh.face_tets[shared][0]);
}

// A long sliver next to small tetrahedra: a point near the sliver's far end lies more than one
// cell from the sliver's centroid, so only the full scan finds it.
TEST(PointLocation, FarCentroidNeedsTheFallback) {
  std::vector<Vec3> nodes = {{0, 0, 0}, {0.1, 0, 0}, {0, 0.1, 0}, {0, 0, 0.1}, {100, 0, 0}};
  std::vector<std::array<u64, 4>> tets = {{0, 1, 2, 3}};
  for (int i = 0; i < 100; ++i) {  // small tetrahedra spread along y: cells of about 30
    const u64 b = nodes.size();
    const double y = 2.0 + 1.0 * i;
    nodes.push_back({0, y, 0}), nodes.push_back({1, y, 0}), nodes.push_back({0, y + 1, 0}), nodes.push_back({0, y, 1});
    tets.push_back({b, b + 1, b + 2, b + 3});
  }
  tets.push_back({1, 4, 2, 3});  // the sliver from x = 0.1 to x = 100
  const Mesh mesh = build_topology(nodes, tets);
  const TetGrid grid = build_tet_grid(mesh);
  const Vec3 p{99.0, 0.0002, 0.0002};
  const CellKey kp = cell_key(grid, p);
  Vec3 c{0, 0, 0};
  for (u64 n : mesh.tets.back())
    for (int k = 0; k < 3; ++k) c[k] += 0.25 * mesh.nodes[n][k];
  ASSERT_GT(std::abs(cell_key(grid, c)[0] - kp[0]), 1);
  EXPECT_EQ(locate_tet(grid, mesh, p), mesh.tets.size() - 1);
}

// Lumped port on the face x = 0 of a box, direction +z: one line per aperture node on the
// bottom edge z = z_min; a constant field E0·ẑ gives V = E0·h on every line.
TEST(LumpedLines, VoltageOfAConstantFieldAlongEveryLine) {
  std::mt19937 rng(59);
  const Mesh mesh = box_mesh(2, 3, 2, {0.0, -0.3, 0.2}, {0.5, 0.6, 0.4});
  const FemBasis basis = build_basis(mesh);
  std::vector<u64> port;
  for (u64 f = 0; f < mesh.faces.size(); ++f) {
    bool on = true;
    for (u64 n : mesh.faces[f]) on = on && mesh.nodes[n][0] == 0.0;
    if (on) port.push_back(f);
  }
  ASSERT_EQ(port.size(), 12u);
  const double h = 0.4;
  const auto lines = lumped_integration_lines(mesh, port, {0.0, 0.0, 1.0}, h);
  ASSERT_EQ(lines.size(), 4u);  // the four nodes y = −0.3 .. 0.3 at z = 0.2

  std::vector<cplx> sol(basis.n_dofs);
  const Eigen::Vector3d e0(0.0, 0.0, 3.0);
  for (u64 t = 0; t < mesh.tets.size(); ++t)
    fit_field(mesh, basis, t, [&](const Eigen::Vector3d&) { return e0; }, sol, rng);
  const TetGrid grid = build_tet_grid(mesh);
  const FieldSampler sampler{grid, mesh, basis, sol};
  for (const auto& line : lines) EXPECT_NEAR(std::abs(integrate_line_voltage(sampler, line) - 3.0 * h), 0.0, 1e-12);
  // A line leaving the mesh collects nothing outside it.
  const std::vector<Vec3> half_out = {{0.25, 0.0, 0.4}, {0.25, 0.0, 0.6}, {0.25, 0.0, 0.8}, {0.25, 0.0, 1.0}};
  EXPECT_NEAR(std::abs(integrate_line_voltage(sampler, half_out) - 3.0 * 0.2), 0.0, 1e-12);
}
