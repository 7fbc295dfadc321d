#include "fd/free_dofs.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "fd/tet_assembly.hpp"
#include "fd_elem_fixtures.hpp"

using namespace vantrel;
using namespace vantrel::fdtest;

namespace {

// A port that is driven or not, with an incident term only at points with x > x_min.
struct FakePort : Port {
  bool driven;
  double x_min;
  FakePort(bool d, double xm = -1e300) : driven(d), x_min(xm) {}
  cplx robin_coefficient(double) const override { return 0.0; }
  bool is_driven() const override { return driven; }
  std::optional<CVec3> incident_term(double x, double y, double z, double k0) const override {
    if (x <= x_min) return std::nullopt;
    return CVec3{cplx(x, k0), cplx(y, 0), cplx(z, 0)};
  }
};

std::vector<u64> boundary_faces(const Mesh& mesh) {
  std::vector<u64> out;
  for (u64 f = 0; f < mesh.faces.size(); ++f)
    if (mesh.face_tets[f][1] == NO_TET) out.push_back(f);
  return out;
}

}  // namespace

TEST(FreeDofs, WithoutConductorsEveryUnknownIsFree) {
  const Mesh mesh = box_mesh(2, 1, 1, {0, 0, 0}, {1, 1, 1});
  const FemBasis basis = build_basis(mesh);
  const ConstrainedSet none = build_constrained_set(basis, {});
  const FreeNumbering num = build_free_numbering(basis.n_dofs, none);
  ASSERT_EQ(num.n_free(), basis.n_dofs);
  for (u64 i = 0; i < basis.n_dofs; ++i) {
    EXPECT_EQ(num.free[i], i);
    EXPECT_EQ(num.local_of[i], i);
  }
}

// Conducting walls on the whole boundary of a box: the constrained unknowns are exactly both
// unknowns of every boundary edge and face; the free ones are numbered compactly in ascending order.
TEST(FreeDofs, BoundaryWallsConstrainTheirEdgeAndFaceUnknowns) {
  const Mesh mesh = box_mesh(3, 2, 2, {0, 0, 0}, {1, 1, 1});
  const FemBasis basis = build_basis(mesh);
  const auto walls = boundary_faces(mesh);
  const ConstrainedSet set = build_constrained_set(basis, walls);
  std::set<u64> edges;
  for (u64 f : walls)
    for (u64 e : mesh.face_edges[f]) edges.insert(e);
  EXPECT_EQ(set.size(), 2 * (edges.size() + walls.size()));
  for (u64 e : edges) EXPECT_TRUE(set.contains(e) && set.contains(basis.edge_dof_pairs[e][1]));
  const FreeNumbering num = build_free_numbering(basis.n_dofs, set);
  EXPECT_EQ(num.n_free(), basis.n_dofs - set.size());
  EXPECT_TRUE(std::is_sorted(num.free.begin(), num.free.end()));
  for (u64 i = 0; i < basis.n_dofs; ++i) {
    if (set.contains(i)) {
      EXPECT_EQ(num.local_of[i], NONE_U64);
    } else {
      EXPECT_EQ(num.free[num.local_of[i]], i);
    }
  }
  // Scatter/gather: constrained unknowns come back as zero.
  std::vector<cplx> local(num.n_free());
  for (u64 i = 0; i < local.size(); ++i) local[i] = cplx(1.0 + i, -1.0);
  const auto full = scatter_free_solution(num, basis.n_dofs, local);
  for (u64 i = 0; i < basis.n_dofs; ++i)
    if (set.contains(i)) EXPECT_EQ(full[i], cplx(0.0));
  EXPECT_EQ(gather_free(num, full), local);
}

TEST(FreeDofs, EntryAndSlotFiltersDropPairsWithAConstrainedIndex) {
  ConstrainedSet set(10);
  set.insert(3);
  EXPECT_FALSE(set.insert(3));
  set.insert(7);
  EXPECT_EQ(set.size(), 2u);
  EXPECT_EQ(set.count(7), 1u);
  EXPECT_FALSE(set.contains(1000));
  const std::vector<u64> rows = {0, 3, 1, 2, 7, 4}, cols = {0, 1, 3, 2, 5, 4};
  IndexRange range{0, rows.size()};
  std::vector<u64> kept;
  while (const auto k = next_free_entry(range, set, rows, cols)) kept.push_back(*k);
  EXPECT_EQ(kept, (std::vector<u64>{0, 3, 5}));
  EXPECT_EQ(next_free_entry(range, set, rows, cols), std::nullopt);
  EXPECT_EQ(free_entry_positions(set, rows, cols), kept);

  IndexRange dofs{2, 9};
  std::vector<u64> free;
  while (const auto i = next_free_dof(dofs, set)) free.push_back(*i);
  EXPECT_EQ(free, (std::vector<u64>{2, 4, 5, 6, 8}));

  // Surface slots: a conducting face removes every slot that touches its unknowns.
  const Mesh mesh = box_mesh(1, 1, 1, {0, 0, 0}, {1, 1, 1});
  const FemBasis basis = build_basis(mesh);
  const ConstrainedSet one = build_constrained_set(basis, std::vector<u64>{0});
  const auto slots = free_slot_positions(one, basis);
  for (u64 j = 0; j < 64; ++j) EXPECT_FALSE(std::binary_search(slots.begin(), slots.end(), j));
  for (u64 j : slots) {
    EXPECT_FALSE(one.contains(basis.face_pair_rows[j]));
    EXPECT_FALSE(one.contains(basis.face_pair_cols[j]));
  }
}

// Ports abc (not driven), coax and lumped (driven) give the driven order (1, 2).
TEST(FreeDofs, DrivenOrderFollowsCreationOrder) {
  std::vector<std::unique_ptr<Port>> ports;
  ports.push_back(std::make_unique<FakePort>(false));
  ports.push_back(std::make_unique<FakePort>(true));
  ports.push_back(std::make_unique<FakePort>(true));
  ports.push_back(std::make_unique<FakePort>(false));
  EXPECT_EQ(driven_order(ports), (std::vector<u64>{1, 2}));
  IndexRange range{2, 4};
  EXPECT_EQ(next_driven_port(range, ports), std::optional<u64>(2));
  EXPECT_EQ(next_driven_port(range, ports), std::nullopt);
  std::vector<std::unique_ptr<Port>> none;
  EXPECT_TRUE(driven_order(none).empty());
}

// Points x = λ1·V0 + λ2·V1 + λ3·V2; points without an incident term are passed over.
TEST(FreeDofs, IncidentTermAtPointsSkipsAbsentAnswers) {
  const std::vector<TriangleQuadPoint> rule = {
      {0.5, 1.0, 0.0, 0.0}, {0.25, 0.0, 1.0, 0.0}, {0.25, 0.2, 0.3, 0.5}};
  const FakePort port(true, 0.5);  // answers only where x > 0.5
  IncidentTermPoints it{port, rule, {{{0.0, 0.0, 0.0}, {1.0, 0.0, 0.0}, {0.0, 2.0, 0.0}}}, 3.0};
  const auto first = incident_term_at_points(it);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ((*first)[0], cplx(1.0, 3.0));  // the second point, V1
  EXPECT_EQ(incident_term_at_points(it), std::nullopt);  // third point: x = 0.3
  EXPECT_EQ(incident_term_at_points(it), std::nullopt);

  const FakePort everywhere(true);
  IncidentTermPoints all{everywhere, rule, {{{0.0, 0.0, 0.0}, {1.0, 0.0, 0.0}, {0.0, 2.0, 0.0}}}, 3.0};
  std::vector<CVec3> got;
  while (const auto u = incident_term_at_points(all)) got.push_back(*u);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_NEAR(got[2][0].real(), 0.3, 1e-15);
  EXPECT_NEAR(got[2][1].real(), 1.0, 1e-15);
}
