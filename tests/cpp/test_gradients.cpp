// The gradient fields of the second-order scalar space inside the vector element space: local
// expansions against the analytic gradients, the global matrix G (consistent across elements,
// curl-free, in the null space of E), the conductor and component rules for its columns, and
// K = GᵀBG.
#include "fd/gradients.hpp"

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "fd/interp.hpp"
#include "fd/sweep.hpp"
#include "fd_elem_fixtures.hpp"

namespace vantrel {
namespace {

using fdtest::barycentric_at;
using fdtest::box_mesh;

Eigen::Vector3cd cev(const CVec3& v) { return {v[0], v[1], v[2]}; }

Vec3 point_in(const Mesh& mesh, u64 t, std::mt19937& rng) {
  std::uniform_real_distribution<double> u(0.05, 1.0);
  double w[4], s = 0.0;
  for (double& x : w) s += (x = u(rng));
  Vec3 p{0.0, 0.0, 0.0};
  for (int i = 0; i < 4; ++i)
    for (int c = 0; c < 3; ++c) p[c] += w[i] / s * mesh.nodes[mesh.tets[t][i]][c];
  return p;
}

// ∇φ_s at p for local scalar s of tetrahedron t: ∇λi, or λb∇λa + λa∇λb for local edge (a, b).
Eigen::Vector3d scalar_gradient(const Mesh& mesh, u64 t, int s, const Vec3& p) {
  const auto b = barycentric_at(mesh, t, {p[0], p[1], p[2]});
  if (s < 4) return b.grad[s];
  const int a = LOCAL_EDGES[s - 4][0], c = LOCAL_EDGES[s - 4][1];
  return b.lam[c] * b.grad[a] + b.lam[a] * b.grad[c];
}

// A box of n x n x n cells with jittered interior nodes, tetrahedra stored in both orientations.
Mesh jittered_box(int cells = 2) {
  const Mesh box = box_mesh(cells, cells, cells, {0.0, 0.0, 0.0}, {1.0, 0.8, 0.6}, true);
  std::vector<Vec3> nodes = box.nodes;
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-0.08, 0.08);
  for (Vec3& p : nodes) {
    const bool inside = p[0] > 0 && p[0] < 1.0 && p[1] > 0 && p[1] < 0.8 && p[2] > 0 && p[2] < 0.6;
    if (inside)
      for (double& x : p) x += u(rng);
  }
  return build_topology(std::move(nodes), box.tets);
}

std::vector<u64> boundary_faces(const Mesh& mesh) {
  std::vector<u64> out;
  for (u64 f = 0; f < mesh.faces.size(); ++f)
    if (mesh.face_tets[f][1] == NO_TET) out.push_back(f);
  return out;
}

struct Assembled {
  FemBasis basis;
  ElementTriplets el;
  FreeElementSystem sys;
  std::vector<u64> local_of;
};

Assembled assemble(const Mesh& mesh, const std::vector<u64>& pec, cplx eps = 1.0) {
  Assembled a;
  a.basis = build_basis(mesh);
  Tensor3 e{}, one{};
  for (int i = 0; i < 3; ++i) {
    e[4 * i] = eps;
    one[4 * i] = 1.0;
  }
  const std::vector<Tensor3> eps_t(mesh.tets.size(), e), mu_t(mesh.tets.size(), one);
  a.el = assemble_tet_elements(mesh, a.basis, eps_t, mu_t);
  a.sys = merge_free_elements(mesh, a.basis, pec, a.el);
  a.local_of.assign(a.basis.n_dofs, NONE_U64);
  for (u64 l = 0; l < a.sys.free.size(); ++l) a.local_of[a.sys.free[l]] = l;
  return a;
}

// Column j of G as a coefficient vector over all unknowns.
std::vector<cplx> column(const GradientMatrix& g, const Assembled& a, u64 j) {
  std::vector<cplx> full(a.basis.n_dofs, cplx(0.0, 0.0));
  for (u64 k = g.col_start[j]; k < g.col_start[j + 1]; ++k) full[a.sys.free[g.col_rows[k]]] = g.col_vals[k];
  return full;
}

// y = M x for a merged free matrix (both triangles stored).
std::vector<cplx> free_product(const FreeElementSystem& sys, const std::vector<cplx>& vals,
                               const std::vector<cplx>& x) {
  std::vector<cplx> y(sys.free.size(), cplx(0.0, 0.0));
  for (std::size_t k = 0; k < sys.rows.size(); ++k) y[sys.rows[k]] += vals[k] * x[sys.cols[k]];
  return y;
}

// max |E x| / max |x| over the free unknowns for a field given on all unknowns.
double e_over_x(const Assembled& a, const std::vector<cplx>& full) {
  std::vector<cplx> free_x(a.sys.free.size());
  for (u64 l = 0; l < free_x.size(); ++l) free_x[l] = full[a.sys.free[l]];
  const std::vector<cplx> ex = free_product(a.sys, a.sys.e, free_x);
  double ne = 0.0, nx = 0.0;
  for (u64 l = 0; l < ex.size(); ++l) {
    ne = std::max(ne, std::abs(ex[l]));
    nx = std::max(nx, std::abs(free_x[l]));
  }
  return ne / nx;
}

TEST(LocalGradients, ExpansionEqualsTheAnalyticGradient) {
  // Every node order of random tetrahedra, so that each edge and face orientation occurs.
  std::mt19937 rng(3);
  for (int trial = 0; trial < 6; ++trial) {
    const auto p = fdtest::random_tet(rng);
    std::array<u64, 4> order = {0, 1, 2, 3};
    do {
      const Mesh mesh = fdtest::single_tet(p, order);
      const FemBasis basis = build_basis(mesh);
      const LocalGradients c = tet_local_gradients(mesh, 0);
      for (int s = 0; s < N_LOCAL_SCALARS; ++s) {
        std::vector<cplx> sol(basis.n_dofs, cplx(0.0, 0.0));
        for (int i = 0; i < 20; ++i) sol[basis.tet_dofs[0][i]] = c[i][s];
        for (int q = 0; q < 4; ++q) {
          const Vec3 x = point_in(mesh, 0, rng);
          const Eigen::Vector3d want = scalar_gradient(mesh, 0, s, x);
          EXPECT_LT((cev(eval_field_at_point(basis, mesh, sol, 0, x)) - want.cast<cplx>()).norm(),
                    1e-11 * (1.0 + want.norm()))
              << "scalar " << s;
          EXPECT_LT(cev(eval_curl_at_point(basis, mesh, sol, 0, x)).norm(), 1e-10 * (1.0 + want.norm()));
        }
      }
    } while (std::next_permutation(order.begin(), order.end()));
  }
}

TEST(GradientSystem, ColumnsAreGlobalCurlFreeFieldsInTheNullSpaceOfE) {
  const Mesh mesh = jittered_box();
  const Assembled a = assemble(mesh, {});
  const GradientSystem gs = build_gradient_system(mesh, a.basis, {}, a.local_of, a.el);
  // No conductor: every node and edge but one node (the constant has no gradient).
  EXPECT_EQ(gs.g.n_cols, mesh.nodes.size() - 1 + mesh.edges.size());
  std::mt19937 rng(5);
  double worst_field = 0.0, worst_e = 0.0;
  for (u64 j = 0; j < gs.g.n_cols; j += 7) {
    const std::vector<cplx> full = column(gs.g, a, j);
    // The same field in every tetrahedron: φ's global gradient, whichever element wrote the
    // shared unknowns. Which scalar column j is: the one whose gradient matches at one point.
    for (u64 t = 0; t < mesh.tets.size(); ++t) {
      const Vec3 x = point_in(mesh, t, rng);
      Eigen::Vector3d want = Eigen::Vector3d::Zero();
      for (int s = 0; s < N_LOCAL_SCALARS; ++s) {
        const u64 scalar = s < 4 ? mesh.tets[t][s] : mesh.nodes.size() + mesh.tet_edges[t][s - 4];
        // columns: nodes 1.. (node 0 grounded), then edges
        const u64 col = scalar == 0 ? NONE_U64 : scalar - 1;
        if (col == j) want += scalar_gradient(mesh, t, s, x);
      }
      worst_field = std::max(worst_field, (cev(eval_field_at_point(a.basis, mesh, full, t, x)) -
                                           want.cast<cplx>()).norm());
    }
    worst_e = std::max(worst_e, e_over_x(a, full));
  }
  EXPECT_LT(worst_field, 1e-10);
  EXPECT_LT(worst_e, 1e-12);  // |E g| against entries of E of order 1: rounding only
}

TEST(GradientSystem, ConductorsFixTheirScalarsAndFloatingPiecesGetOneColumn) {
  // Outer walls, plus a floating conductor: the faces opposite the centre node in every
  // tetrahedron that holds it form a closed surface that touches no wall.
  const Mesh mesh = jittered_box(4);
  std::vector<u64> walls = boundary_faces(mesh);
  u64 centre = NONE_U64;
  for (u64 v = 0; v < mesh.nodes.size(); ++v) {
    const Vec3& p = mesh.nodes[v];
    if (std::fabs(p[0] - 0.5) < 0.1 && std::fabs(p[1] - 0.4) < 0.1 && std::fabs(p[2] - 0.3) < 0.1) centre = v;
  }
  ASSERT_NE(centre, NONE_U64);
  std::vector<u64> shell;
  for (u64 t = 0; t < mesh.tets.size(); ++t)
    for (int f = 0; f < 4; ++f)
      if (mesh.tets[t][FACE_OPPOSITE_VERTEX[f]] == centre) shell.push_back(mesh.tet_faces[t][f]);
  std::set<u64> shell_nodes, shell_edges, wall_nodes, wall_edges;
  for (u64 f : shell) {
    for (u64 v : mesh.faces[f]) shell_nodes.insert(v);
    for (u64 e : mesh.face_edges[f]) shell_edges.insert(e);
  }
  for (u64 f : walls) {
    for (u64 v : mesh.faces[f]) wall_nodes.insert(v);
    for (u64 e : mesh.face_edges[f]) wall_edges.insert(e);
  }
  ASSERT_TRUE(std::none_of(shell_nodes.begin(), shell_nodes.end(), [&](u64 v) { return wall_nodes.count(v); }));
  std::vector<u64> pec = walls;
  pec.insert(pec.end(), shell.begin(), shell.end());
  const Assembled a = assemble(mesh, pec);
  const GradientSystem gs = build_gradient_system(mesh, a.basis, pec, a.local_of, a.el);
  // Free nodes and edges, plus one column for the shell (the walls are the reference).
  const u64 free_nodes = mesh.nodes.size() - wall_nodes.size() - shell_nodes.size();
  const u64 free_edges = mesh.edges.size() - wall_edges.size() - shell_edges.size();
  EXPECT_EQ(gs.g.n_cols, free_nodes + free_edges + 1);
  // The shell's column is the gradient of a field that is 1 on the shell and 0 on the walls:
  // curl-free, so E annihilates it; its tangential trace on every conductor face is zero, so it
  // has no entry on a constrained unknown by construction (rows are free unknowns only) and the
  // full field, evaluated, matches the element gradients.
  const u64 j = gs.g.n_cols - 1;
  const std::vector<cplx> full = column(gs.g, a, j);
  double nx = 0.0;
  for (const cplx& v : full) nx = std::max(nx, std::abs(v));
  EXPECT_GT(nx, 0.1);
  EXPECT_LT(e_over_x(a, full), 1e-12);
  std::mt19937 rng(9);
  for (u64 t = 0; t < mesh.tets.size(); ++t) {
    const Vec3 x = point_in(mesh, t, rng);
    Eigen::Vector3d want = Eigen::Vector3d::Zero();
    for (int s = 0; s < 4; ++s)
      if (shell_nodes.count(mesh.tets[t][s])) want += scalar_gradient(mesh, t, s, x);
    EXPECT_LT((cev(eval_field_at_point(a.basis, mesh, full, t, x)) - want.cast<cplx>()).norm(), 1e-10);
  }
}

TEST(GradientSystem, KIsGtBGAndProjectionLeavesNoGradient) {
  const Mesh mesh = jittered_box();
  const std::vector<u64> pec = boundary_faces(mesh);
  for (cplx eps : {cplx(2.2, 0.0), cplx(2.2, -0.3)}) {
    Assembled a = assemble(mesh, pec, eps);
    GradientSystem gs = build_gradient_system(mesh, a.basis, pec, a.local_of, a.el);
    EXPECT_EQ(gs.real, eps.imag() == 0.0);
    const u64 nc = gs.g.n_cols, n = a.sys.free.size();
    // K from the element blocks against Gᵀ (B G) from the merged matrices
    Eigen::MatrixXcd k = Eigen::MatrixXcd::Zero(nc, nc), gtbg(nc, nc);
    for (std::size_t q = 0; q < gs.k_rows.size(); ++q) k(gs.k_rows[q], gs.k_cols[q]) += gs.k_vals[q];
    for (u64 j = 0; j < nc; ++j) {
      std::vector<cplx> gj(n, cplx(0.0, 0.0));
      for (u64 q = gs.g.col_start[j]; q < gs.g.col_start[j + 1]; ++q) gj[gs.g.col_rows[q]] = gs.g.col_vals[q];
      const std::vector<cplx> bgj = free_product(a.sys, a.sys.b, gj);
      const std::vector<cplx> col = gradient_transpose_apply<cplx>(gs.g, bgj);
      for (u64 i = 0; i < nc; ++i) gtbg(i, j) = col[i];
    }
    EXPECT_LT((k - gtbg).cwiseAbs().maxCoeff(), 1e-13 * k.cwiseAbs().maxCoeff());
    EXPECT_LT((k - k.transpose()).cwiseAbs().maxCoeff(), 1e-13 * k.cwiseAbs().maxCoeff());

    // A random vector with a large gradient part: after the projection Gᵀ B x vanishes.
    const GradientProjector proj = factorize_gradient_projector(std::move(gs), SolverPreference::Faer);
    std::mt19937 rng(11);
    std::normal_distribution<double> nd;
    std::vector<cplx> x(n), z(nc);
    for (cplx& v : x) v = cplx(nd(rng), nd(rng));
    for (cplx& v : z) v = cplx(100.0 * nd(rng), 0.0);
    gradient_apply_subtract<cplx>(proj.g, z, x);
    const std::vector<cplx> before = gradient_transpose_apply<cplx>(proj.g, free_product(a.sys, a.sys.b, x));
    remove_gradients(proj, x, free_product(a.sys, a.sys.b, x));
    const std::vector<cplx> after = gradient_transpose_apply<cplx>(proj.g, free_product(a.sys, a.sys.b, x));
    double b0 = 0.0, b1 = 0.0;
    for (u64 i = 0; i < nc; ++i) {
      b0 = std::max(b0, std::abs(before[i]));
      b1 = std::max(b1, std::abs(after[i]));
    }
    EXPECT_LT(b1, 1e-12 * b0) << eps;
  }
}

}  // namespace
}  // namespace vantrel
