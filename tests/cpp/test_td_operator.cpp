// DGTD operator set-up, right-hand side and state-space export on small meshes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <cstring>
#include <string>

#include "core/mesh.hpp"
#include "td/geom_factors.hpp"
#include "td/mesh_gen.hpp"
#include "td/rhs.hpp"
#include "td/state_space.hpp"
#include "test_helpers.hpp"

using namespace vantrel;
using vantrel::testing::stop_message;

namespace {

std::vector<double> random_state(u64 n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> d(-1.0, 1.0);
  std::vector<double> y(n);
  for (double& v : y) v = d(rng);
  return y;
}

// CSR product, row by row in column order.
std::vector<double> csr_times(const CsrMatrix& m, const std::vector<double>& y) {
  std::vector<double> out(m.n, 0.0);
  for (u64 r = 0; r < m.n; ++r)
    for (auto k = m.row_ptr[r]; k < m.row_ptr[r + 1]; ++k) out[r] += m.values[k] * y[m.col_idx[k]];
  return out;
}

Mesh reference_tet_mesh(bool swap12) {
  std::vector<Vec3> nodes = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  std::array<u64, 4> t = {0, 1, 2, 3};
  if (swap12) std::swap(t[1], t[2]);
  return build_topology(nodes, {t});
}

}  // namespace

TEST(OperatorSetup, ReferenceTetrahedron) {
  for (bool swap : {false, true}) {
    const Mesh mesh = reference_tet_mesh(swap);
    const MaxwellOperator op = build_dg_operator(mesh, 2, {VACUUM_MATERIAL}, {}, {}, 1.0);
    const GeomFactors& g = op.geom[0];
    EXPECT_DOUBLE_EQ(g.det_j, swap ? -1.0 : 1.0);
    EXPECT_DOUBLE_EQ(g.volume, 1.0 / 6);
    if (!swap) {
      for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(g.jac[i], i % 4 == 0 ? 1.0 : 0.0);
        EXPECT_EQ(g.inv_jac[i], i % 4 == 0 ? 1.0 : 0.0);
      }
      const double s = 1 / std::sqrt(3.0);
      const Vec3 normals[4] = {{0, 0, -1}, {-1, 0, 0}, {0, -1, 0}, {s, s, s}};
      for (int f = 0; f < 4; ++f)
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(op.faces[f].normal[c], normals[f][c], 1e-15);
    }
    const double fscale[4] = {1, 1, 1, std::sqrt(3.0)};
    for (int f = 0; f < 4; ++f) {
      EXPECT_NEAR(op.faces[f].fscale, fscale[f], 1e-15);
      EXPECT_EQ(op.faces[f].neighbour, NONE_U64);
      EXPECT_TRUE(op.faces[f].node_map.empty());
      // Outward: the normal points away from the centroid.
      const Vec3 c = affine_map(op.geom[0], {0.25, 0.25, 0.25});
      const auto pts = face_node_coords(op, 0, f);
      double d = 0;
      for (int k = 0; k < 3; ++k) d += (pts[0][k] - c[k]) * op.faces[f].normal[k];
      EXPECT_GT(d, 0.0);
    }
  }
}

TEST(OperatorSetup, SharedFaceMapsAreInversePermutations) {
  // Two tetrahedra on the face (1, 2, 3), listed in different node orders.
  const std::vector<Vec3> nodes = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}};
  const Mesh mesh = build_topology(nodes, {{0, 1, 2, 3}, {4, 3, 1, 2}});
  const MaxwellOperator op =
      build_dg_operator(mesh, 3, {VACUUM_MATERIAL, VACUUM_MATERIAL}, {}, {}, 1.0);
  const u64 nfp = op.reference.nfp;
  u64 f0 = 4, f1 = 4;
  for (u64 f = 0; f < 4; ++f) {
    if (op.faces[f].neighbour == 1) f0 = f;
    if (op.faces[4 + f].neighbour == 0) f1 = f;
  }
  ASSERT_LT(f0, 4u);
  ASSERT_LT(f1, 4u);
  EXPECT_EQ(op.faces[f0].neighbour_face, f1);
  EXPECT_EQ(op.faces[4 + f1].neighbour_face, f0);
  for (int c = 0; c < 3; ++c)
    EXPECT_NEAR(op.faces[f0].normal[c], -op.faces[4 + f1].normal[c], 1e-15);
  const auto& m0 = op.faces[f0].node_map;
  const auto& m1 = op.faces[4 + f1].node_map;
  ASSERT_EQ(m0.size(), nfp);
  std::vector<u64> sorted = m0;
  std::sort(sorted.begin(), sorted.end());
  for (u64 j = 0; j < nfp; ++j) {
    EXPECT_EQ(sorted[j], j);
    EXPECT_EQ(m1[m0[j]], j);
  }
}

TEST(OperatorSetup, InputChecks) {
  const Mesh mesh = box_mesh(2, 1, 1, 1.0, 1.0, 1.0);
  const u64 K = mesh.tets.size();
  const std::vector<ElementMaterial> vac(K, VACUUM_MATERIAL);
  const std::vector<ElementMaterial> short_list(K - 1, VACUUM_MATERIAL);
  EXPECT_NE(stop_message([&] { build_dg_operator(mesh, 1, short_list, {}, {}, 1.0); })
                .find("one material per element"),
            std::string::npos);
  const DebyeInput d3{3, 2.0, 4.0, 0.5}, d5{5, 2.0, 4.0, 0.5}, d2{2, 2.0, 4.0, 0.5};
  EXPECT_EQ(stop_message([&] { build_dg_operator(mesh, 1, vac, {}, {d3, d5, d3}, 1.0); }),
            "element 3 listed twice as dispersive");
  EXPECT_EQ(stop_message(
                [&] { build_dg_operator(mesh, 1, vac, {}, {DebyeInput{K, 1, 1, 1}}, 1.0); }),
            "dispersive element index out of range");
  const MaxwellOperator op = build_dg_operator(mesh, 1, vac, {}, {d5, d2}, 1.0);
  EXPECT_EQ(op.debye_index[5], 0u);
  EXPECT_EQ(op.debye_index[2], 1u);
  EXPECT_DOUBLE_EQ(op.debye[0].a, -2.0);
  EXPECT_DOUBLE_EQ(op.debye[0].g, 4.0);
  EXPECT_DOUBLE_EQ(op.debye[0].inv_eps_inf, 0.5);
  EXPECT_EQ(n_dof(op), 4u * (6 * K + 6));
}

TEST(OperatorSetup, PortFacesAndTe10Samples) {
  // Port on the x = 0 wall of a 1x1x1 box, TE(1,0) across y (a = 1), E along z.
  const Mesh mesh = box_mesh(2, 2, 2, 1.0, 1.0, 1.0);
  std::vector<u64> wall;
  for (u64 g = 0; g < mesh.faces.size(); ++g) {
    const auto& f = mesh.faces[g];
    if (mesh.face_tets[g][1] == NO_TET && mesh.nodes[f[0]][0] == 0 && mesh.nodes[f[1]][0] == 0 &&
        mesh.nodes[f[2]][0] == 0)
      wall.push_back(g);
  }
  ASSERT_EQ(wall.size(), 8u);
  TdPortInput port;
  port.kind = 1;
  port.mode = {1, 0, {0, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 0}, 1.0, 1.0};
  port.faces = wall;
  const MaxwellOperator op = build_dg_operator(
      mesh, 2, std::vector<ElementMaterial>(mesh.tets.size(), VACUUM_MATERIAL), {port}, {}, 1.0);
  ASSERT_EQ(op.ports.size(), 1u);
  EXPECT_EQ(op.ports[0].faces.size(), 8u);
  ASSERT_EQ(op.ports[0].samples.size(), 8u * op.reference.nfp);
  u64 k = 0;
  for (const auto& [e, f] : op.ports[0].faces) {
    for (u64 j = 0; j < op.reference.nfp; ++j, ++k) {
      const Vec3 x = affine_map(op.geom[e], op.reference.nodes[op.reference.face_nodes[f][j]]);
      const PortSample& s = op.ports[0].samples[k];
      // TE10: e = -sin(pi y / a) v, h = w x e.
      EXPECT_NEAR(s.e[2], -std::sin(M_PI * x[1]), 1e-14);
      EXPECT_NEAR(s.h[1], std::sin(M_PI * x[1]), 1e-14);
    }
  }
}

TEST(BoxMesh, CountsAndNumbering) {
  const Mesh m1 = box_mesh(1, 1, 1, 1.0, 1.0, 1.0);
  EXPECT_EQ(m1.nodes.size(), 8u);
  EXPECT_EQ(m1.tets.size(), 6u);
  EXPECT_EQ(m1.edges.size(), 19u);
  EXPECT_EQ(m1.faces.size(), 18u);
  u64 boundary = 0;
  for (const auto& ft : m1.face_tets) boundary += ft[1] == NO_TET;
  EXPECT_EQ(boundary, 12u);
  const Mesh m2 = box_mesh(2, 1, 1, 1.0, 1.0, 1.0);
  EXPECT_EQ(m2.nodes.size(), 12u);
  EXPECT_EQ(m2.nodes[11], (Vec3{1.0, 1.0, 1.0}));
  EXPECT_EQ(m2.tets[6], (std::array<u64, 4>{1, 2, 5, 11}));
  EXPECT_EQ(m2.tets[7], (std::array<u64, 4>{1, 4, 5, 11}));
  for (const auto& t : m2.tets) EXPECT_TRUE(std::is_sorted(t.begin(), t.end()));
  EXPECT_EQ(stop_message([] { box_mesh(1, 0, 1, 1, 1, 1); }),
            "assertion failed: nx >= 1 && ny >= 1 && nz >= 1");
  // Conforming: every interior face matches, at every order.
  for (u64 order = 1; order <= 4; ++order) {
    const MaxwellOperator op = build_box_operator(2, 2, 1, 1.0, 0.7, 0.3, order, 1.0);
    EXPECT_EQ(n_dof(op), 6 * op.reference.np * 6 * 4);
    for (const auto& f : op.faces) EXPECT_EQ(f.port, NONE_U64);
  }
}

TEST(Rhs, VolumeCurlIsExactForLinearFields) {
  // u = (y + 2z, 3x, -x + 5y) on a skewed element: curl u = (5 - 0, 2 + 1, 3 - 1) = (5, 3, 2).
  const Mesh mesh =
      build_topology({{0.1, 0, 0}, {1.2, 0.1, 0}, {0.3, 0.9, 0.2}, {0.2, 0.3, 1.1}}, {{0, 1, 2, 3}});
  const MaxwellOperator op = build_dg_operator(mesh, 3, {VACUUM_MATERIAL}, {}, {}, 1.0);
  const u64 np = op.reference.np;
  std::vector<double> u(3 * np), out(3 * np), rd(3 * np), dv(9 * np);
  for (u64 i = 0; i < np; ++i) {
    const Vec3 x = affine_map(op.geom[0], op.reference.nodes[i]);
    u[3 * i] = x[1] + 2 * x[2];
    u[3 * i + 1] = 3 * x[0];
    u[3 * i + 2] = -x[0] + 5 * x[1];
  }
  element_curl(op.reference, op.geom[0], u, out, rd, dv);
  for (u64 i = 0; i < np; ++i) {
    EXPECT_NEAR(out[3 * i], 5, 1e-11);
    EXPECT_NEAR(out[3 * i + 1], 3, 1e-11);
    EXPECT_NEAR(out[3 * i + 2], 2, 1e-11);
  }
  // A has no source term: a zero state gives a zero derivative (every output slot is stored).
  std::vector<double> y(6 * np, 0.0), o(6 * np, 1.0);
  ElementScratch s = new_element_scratch(np, op.reference.nfp);
  element_rhs(op, 0, y, o, s);
  for (double v : o) EXPECT_EQ(v, 0.0);
}

TEST(Rhs, WallFluxAndCentralFlux) {
  // Single element, all faces walls: E normal to a face contributes nothing through that face,
  // and H never contributes to the wall flux (dH is along n).
  const MaxwellOperator op =
      build_dg_operator(reference_tet_mesh(false), 1, {VACUUM_MATERIAL}, {}, {}, 0.0);
  const u64 np = op.reference.np;
  ElementScratch s = new_element_scratch(np, op.reference.nfp);
  std::vector<double> y(6 * np, 0.0), out(6 * np);
  for (u64 i = 0; i < np; ++i) y[6 * i + 3] = 1.0;  // constant H: curl 0, no wall flux
  element_rhs(op, 0, y, out, s);
  for (double v : out) EXPECT_NEAR(v, 0.0, 1e-13);
}

TEST(Rhs, ParallelApplyMatchesElementLoopBitForBit) {
  const MaxwellOperator op = build_box_operator(3, 2, 2, 1.0, 0.8, 0.6, 3, 1.0);
  const u64 n = n_dof(op);
  const u64 block = 6 * op.reference.np;
  const auto y = random_state(n, 7);
  std::vector<double> serial(n, 0.0);
  ElementScratch s = new_element_scratch(op.reference.np, op.reference.nfp);
  for (u64 e = 0; e < op.n_elem; ++e)
    element_rhs(op, e, y, std::span<double>(serial).subspan(block * e, block), s);
  for (int rep = 0; rep < 3; ++rep) {
    const auto par = apply_operator(op, y);
    ASSERT_EQ(std::memcmp(par.data(), serial.data(), n * sizeof(double)), 0);
  }
  std::lock_guard<std::mutex> g(op.scratch_pool->lock);
  EXPECT_LE(op.scratch_pool->items.size(), worker_count());
  EXPECT_GE(op.scratch_pool->items.size(), 1u);
}

TEST(Rhs, ShortStateStops) {
  const MaxwellOperator op = build_box_operator(1, 1, 1, 1.0, 1.0, 1.0, 1, 1.0);
  std::vector<double> y(n_dof(op) - 1, 0.0);
  EXPECT_NE(stop_message([&] { apply_operator(op, y); }).find("index out of bounds"),
            std::string::npos);
  std::vector<double> out(10);
  std::vector<double> full(n_dof(op), 0.0);
  EXPECT_NE(stop_message([&] { apply_operator_parallel(op, full, out); }), "");
  // The scratch of the failed job went back to the pool.
  EXPECT_GE(op.scratch_pool->items.size(), 1u);
}

TEST(Rhs, EnergyOfUniformField) {
  // Mass entries sum to the element volume: E = (1, 0, 0) gives half the box volume.
  const MaxwellOperator op = build_box_operator(2, 3, 2, 1.0, 0.5, 0.25, 2, 1.0);
  std::vector<double> y(n_dof(op) + 5, 0.0);
  for (u64 k = 0; k < n_field(op); k += 6) y[k] = 1.0;
  EXPECT_NEAR(0.5 * element_energies(op, y), 0.5 * 0.125, 1e-15);
}

TEST(StateSpace, CsrProductEqualsApplyWithDebye) {
  const Mesh mesh = box_mesh(2, 2, 1, 1.0, 1.0, 0.5);
  std::vector<ElementMaterial> mats(mesh.tets.size(), VACUUM_MATERIAL);
  mats[3] = {{2.0, 3.0, 4.0}, {1.5, 1.0, 1.0}, 0.3, 0.1};
  const MaxwellOperator op =
      build_dg_operator(mesh, 2, mats, {}, {{5, 2.0, 6.0, 0.25}, {1, 3.0, 3.0, 1.0}}, 1.0);
  const CsrMatrix m = state_space(op);
  ASSERT_EQ(m.n, n_dof(op));
  ASSERT_EQ(m.row_ptr.size(), m.n + 1);
  EXPECT_EQ(m.row_ptr[0], 0);
  EXPECT_EQ(static_cast<std::size_t>(m.row_ptr.back()), m.col_idx.size());
  for (u64 r = 0; r < m.n; ++r)
    for (auto k = m.row_ptr[r] + 1; k < m.row_ptr[r + 1]; ++k)
      ASSERT_LT(m.col_idx[k - 1], m.col_idx[k]);
  // Debye rows: two entries each, E column first; g = 0 stored for eps_static = eps_inf.
  const u64 nf = n_field(op), np = op.reference.np;
  for (u64 r = nf; r < m.n; ++r) ASSERT_EQ(m.row_ptr[r + 1] - m.row_ptr[r], 2);
  EXPECT_EQ(m.values[m.row_ptr[nf + 3 * np]], 0.0);
  const auto y = random_state(m.n, 3);
  const auto a = apply_operator(op, y);
  const auto b = csr_times(m, y);
  for (u64 i = 0; i < m.n; ++i) ASSERT_NEAR(a[i], b[i], 1e-12 * (1 + std::fabs(a[i])));
}
