// Read-mesh inputs of the time-domain operator: materials, absorber grading, Debye records, port
// frames; and the node and port queries on small meshes.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <string>

#include "core/mesh.hpp"
#include "td/mesh_gen.hpp"
#include "td/mesh_input.hpp"
#include "td/port_queries.hpp"
#include "test_helpers.hpp"

using namespace vantrel;
using vantrel::testing::stop_message;

namespace {

// [0, 4] x [0, 1] x [0, 1] in four cells along x (24 tets); tag 1 holds every tet, tag 2 the
// cells with x > 2 (centroids at x = 2.25 ... 3.75 per tet).
Mesh tagged_bar() {
  Mesh mesh = box_mesh(4, 1, 1, 4.0, 1.0, 1.0);
  std::vector<u64> all(mesh.tets.size());
  std::iota(all.begin(), all.end(), 0);
  mesh.volume_groups[1] = all;
  for (u64 t = 0; t < mesh.tets.size(); ++t) {
    double cx = 0.0;
    for (u64 n : mesh.tets[t]) cx += 0.25 * mesh.nodes[n][0];
    if (cx > 2.0) mesh.volume_groups[2].push_back(t);
  }
  return mesh;
}

double centroid_x(const Mesh& mesh, u64 t) {
  double s = 0.0;
  for (u64 n : mesh.tets[t]) s += mesh.nodes[n][0];
  return 0.25 * s;
}

}  // namespace

TEST(MeshInput, TaggedMaterialsLaterEntryWinsUnknownTagsSkipped) {
  const Mesh mesh = tagged_bar();
  const TagMaterialEntry first{1, {2, 2, 2}, {3, 3, 3}, 0.5};
  const TagMaterialEntry second{2, {4, 5, 6}, {1, 1, 1}, 0.25};
  const TagMaterialEntry unknown{99, {7, 7, 7}, {7, 7, 7}, 7.0};
  const TagMaterialEntry list[] = {first, unknown, second};
  const auto mats = element_materials(mesh, list, {});
  for (u64 t = 0; t < mesh.tets.size(); ++t) {
    const bool in2 = centroid_x(mesh, t) > 2.0;
    EXPECT_EQ(mats[t].eps, (in2 ? Vec3{4, 5, 6} : Vec3{2, 2, 2}));
    EXPECT_EQ(mats[t].sigma, in2 ? 0.25 : 0.5);
    EXPECT_EQ(mats[t].sigma_m, 0.0);
  }
}

// nu = nu_max * x^2 with x = depth / thickness clamped to [0, 1]; sigma = nu*eps_x, sigma_m = nu*mu_x.
TEST(MeshInput, AbsorberGrading) {
  const Mesh mesh = tagged_bar();
  const TagMaterialEntry dielectric{1, {4, 2, 2}, {1, 3, 3}, 0.5};
  struct Case {
    AbsorberEntry ab;
    const char* what;
  };
  const Case cases[] = {
      {{1, 0, 2.0, 2.0, 10.0, false}, "graded toward +x"},
      {{1, 0, 2.0, 2.0, 10.0, true}, "graded toward -x"},
      {{1, 0, 2.0, 0.0, 10.0, false}, "zero thickness: nu_max beyond the face"},
      {{1, 0, 2.0, -1.0, 10.0, false}, "negative thickness: loss removed"},
      {{1, 0, 2.25, 1.0, 10.0, false}, "centroids on the inner face keep their material"},
  };
  for (const Case& c : cases) {
    const AbsorberEntry abs[] = {c.ab};
    const TagMaterialEntry mats_in[] = {dielectric};
    const auto mats = element_materials(mesh, mats_in, abs);
    for (u64 t = 0; t < mesh.tets.size(); ++t) {
      const double cx = centroid_x(mesh, t);
      const double depth = c.ab.is_low ? c.ab.inner_face - cx : cx - c.ab.inner_face;
      SCOPED_TRACE(c.what);
      if (depth <= 0.0) {
        EXPECT_EQ(mats[t].sigma, 0.5);
        EXPECT_EQ(mats[t].sigma_m, 0.0);
        continue;
      }
      double x = c.ab.thickness > 0 ? depth / c.ab.thickness : (c.ab.thickness == 0 ? 1.0 : 0.0);
      x = std::fmin(1.0, x);
      const double nu = c.ab.nu_max * x * x;
      EXPECT_DOUBLE_EQ(mats[t].sigma, 4.0 * nu);
      EXPECT_DOUBLE_EQ(mats[t].sigma_m, 1.0 * nu);
      EXPECT_EQ(mats[t].eps, (Vec3{4, 2, 2}));
    }
  }
}

TEST(MeshInput, AbsorberAxisAboveTwoIsRefusedNamingTheEntry) {
  MeshOperatorInputs in;
  in.absorbers.push_back({1, 0, 0.0, 1.0, 1.0, false});
  in.absorbers.push_back({17, 3, 0.0, 1.0, 1.0, false});
  try {
    check_mesh_operator_inputs(in);
    FAIL() << "axis 3 accepted";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()), "absorber on volume tag 17: axis 3 is not 0 (x), 1 (y) or 2 (z)");
  }
}

// A Debye region keeps the absorber's sigma (computed from eps before eps_inf replaced it).
TEST(MeshInput, DebyeRegionsAfterAbsorbers) {
  const Mesh mesh = tagged_bar();
  const TagMaterialEntry dielectric[] = {{1, {4, 4, 4}, {1, 1, 1}, 0.0}};
  const AbsorberEntry abs[] = {{2, 0, 2.0, 0.0, 3.0, false}};
  auto mats = element_materials(mesh, dielectric, abs);
  const DispersiveEntry disp[] = {{99, 1, 1, 1}, {2, 2.0, 5.0, 0.5}};
  const auto debye = dispersive_inputs(mesh, disp, mats);
  const auto& g2 = mesh.volume_groups.at(2);
  ASSERT_EQ(debye.size(), g2.size());
  for (std::size_t d = 0; d < debye.size(); ++d) {
    EXPECT_EQ(debye[d].elem, g2[d]);
    EXPECT_EQ(debye[d].eps_static, 5.0);
    EXPECT_EQ(mats[g2[d]].eps, (Vec3{2, 2, 2}));
    EXPECT_EQ(mats[g2[d]].sigma, 12.0);
    EXPECT_EQ(mats[g2[d]].sigma_m, 3.0);
  }
  // The same tetrahedra twice: the operator set-up refuses the second record.
  const DispersiveEntry twice[] = {{2, 2.0, 5.0, 0.5}, {1, 2.0, 5.0, 0.5}};
  const auto dup = dispersive_inputs(mesh, twice, mats);
  const std::string msg = stop_message([&] {
    build_dg_operator(mesh, 1, mats, {}, dup, 1.0);
  });
  EXPECT_EQ(msg.rfind("element ", 0), 0u) << msg;
  EXPECT_NE(msg.find("listed twice as dispersive"), std::string::npos);
}

TEST(MeshInput, AxisExtent) {
  const std::vector<Vec3> pts = {{1, 5, 0}, {NAN, 2, 0}, {-3, 7, 0}};
  EXPECT_EQ(axis_extent(pts, 0), (std::pair<double, double>{-3.0, 4.0}));
  EXPECT_EQ(axis_extent(pts, 1), (std::pair<double, double>{2.0, 5.0}));
  const auto empty = axis_extent({}, 2);
  EXPECT_EQ(empty.first, 1.7976931348623157e308);
  EXPECT_EQ(empty.second, -INFINITY);
}

struct FrameCase {
  const char* name;
  Vec3 normal;
  std::optional<Vec3> direction;
  Vec3 origin, u, v, w;
  double a, b;
};

TEST(MeshInput, AxisAlignedPortFrame) {
  // A 2 x 1 aperture in the plane z = 3 with corners (0..2, 0..1); the first node is (0, 0, 3).
  const std::vector<Vec3> pts = {{0, 0, 3}, {2, 0, 3}, {2, 1, 3}, {0, 1, 3}};
  const double r = 1 / std::sqrt(2.0);
  const FrameCase cases[] = {
      {"inward +z", {0, 0, 1}, {}, {0, 0, 3}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, 2, 1},
      // (u x v).w = -1: v flips and the origin moves to the max along v.
      {"inward -z", {0, 0, -1}, {}, {0, 1, 3}, {1, 0, 0}, {0, -1, 0}, {0, 0, -1}, 2, 1},
      {"lumped (1,1,0)", {0, 0, -1}, Vec3{1, 1, 0}, {0, 1, 3}, {-r, r, 0}, {r, r, 0}, {0, 0, -1},
       2, 1},
      // |d|^2 overflows: the direction is scaled before it is normalised.
      {"lumped (1e200,1e200,0)", {0, 0, -1}, Vec3{1e200, 1e200, 0}, {0, 1, 3}, {-r, r, 0},
       {r, r, 0}, {0, 0, -1}, 2, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const WaveguideMode m = axis_aligned_port_frame({pts, c.normal}, c.direction);
    EXPECT_EQ(m.origin, c.origin);
    for (int i = 0; i < 3; ++i) {
      EXPECT_NEAR(m.u[i], c.u[i], 1e-15);
      EXPECT_NEAR(m.v[i], c.v[i], 1e-15);
    }
    EXPECT_EQ(m.w, c.w);
    EXPECT_EQ(m.a, c.a);
    EXPECT_EQ(m.b, c.b);
  }
  // |N_x| = |N_y| > |N_z|: the tie goes to the later axis (y).
  const WaveguideMode tie = axis_aligned_port_frame({pts, {r, -r, 0.0}}, {});
  EXPECT_EQ(tie.w, (Vec3{0, -1, 0}));
}

// Port faces of the box x = 0 plane, tagged 7; a volume-only tag 8.
TEST(MeshInput, PortInputsAndErrors) {
  Mesh mesh = box_mesh(2, 2, 1, 1.0, 0.5, 0.25);
  for (u64 f = 0; f < mesh.faces.size(); ++f) {
    bool on = true;
    for (u64 n : mesh.faces[f]) on = on && mesh.nodes[n][0] == 0.0;
    if (on) mesh.face_groups[7].push_back(f);
  }
  mesh.volume_groups[8] = {0, 1};
  const PortEntry ok[] = {{7, 1, 0, std::nullopt}, {7, 0, 0, Vec3{0, 1, 1}}};
  const auto ports = port_inputs(mesh, ok);
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[0].kind, 1u);
  EXPECT_EQ(ports[0].faces, mesh.face_groups.at(7));
  EXPECT_EQ(ports[0].mode.w, (Vec3{1, 0, 0}));
  EXPECT_EQ(ports[0].mode.a, 0.5);   // y is the wider in-plane extent
  EXPECT_EQ(ports[0].mode.b, 0.25);
  EXPECT_EQ(ports[1].mode.m, 0u);

  const std::string port_msg =
      "port face tag {} has no triangles, or its direction is zero / parallel to the face";
  auto expect_error = [&](PortEntry e, const std::string& want) {
    const PortEntry list[] = {e};
    try {
      port_inputs(mesh, list);
      ADD_FAILURE() << "accepted " << want;
    } catch (const Error& err) {
      EXPECT_EQ(std::string(err.what()), want);
    }
  };
  auto with_tag = [&](int tag) {
    std::string s = port_msg;
    return s.replace(s.find("{}"), 2, std::to_string(tag));
  };
  expect_error({5, 1, 0, std::nullopt}, with_tag(5));
  expect_error({8, 1, 0, std::nullopt}, with_tag(8));
  expect_error({7, 0, 0, Vec3{0, 0, 0}}, with_tag(7));
  expect_error({7, 0, 0, Vec3{-2, 0, 0}}, with_tag(7));
  expect_error({7, 0, 0, Vec3{NAN, 0, 0}}, with_tag(7));
  expect_error({7, 0, 0, Vec3{0, INFINITY, 0}}, with_tag(7));

  // A first face of zero area (collinear nodes) is refused by name instead of a NaN normal.
  Mesh flat = build_topology({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {0, 0, 1}}, {{{0, 1, 2, 3}}});
  flat.face_groups[4] = {flat.find_face({0, 1, 2})};
  const PortEntry degenerate[] = {{4, 1, 0, std::nullopt}};
  try {
    port_inputs(flat, degenerate);
    ADD_FAILURE() << "zero-area port face accepted";
  } catch (const Error& err) {
    EXPECT_EQ(std::string(err.what()),
              "port face tag 4: its first triangle has zero area, so the port plane has no normal");
  }
}

TEST(PortQueries, CornersCutoffAndProbes) {
  for (u64 order = 1; order <= 4; ++order) {
    const ReferenceElement ref = new_reference_element(order);
    const auto c = corner_local_nodes(ref);
    EXPECT_EQ(c, (std::array<u64, 4>{0, ref.np - 1, ref.nfp - 1, order}));
  }
  const MaxwellOperator box = build_box_operator(1, 1, 1, 1.0, 1.0, 1.0, 1, 1.0);
  EXPECT_EQ(nearest_node_dof(box, {0.0, 0.0, 0.0}, 1, 2), 5u);
  EXPECT_EQ(nearest_node_dof(box, {NAN, 0.0, 0.0}, 1, 2), 0u);  // no node nearer than undefined
  EXPECT_EQ(node_coords(box).size(), 6u * 4u);
  EXPECT_EQ(stop_message([&] { port_cutoff(box, 0); }),
            "index out of bounds: the len is 0 but the index is 0");

  MaxwellOperator op = build_box_operator(1, 1, 1, 2.0, 1.0, 1.0, 1, 1.0);
  op.ports.resize(3);
  op.ports[0].kind = 1;
  op.ports[0].mode.m = 1;
  op.ports[0].mode.a = 2.0;
  op.ports[0].mode.b = 1.0;
  op.ports[1] = op.ports[0];
  op.ports[1].mode.n = 1;
  op.ports[1].mode.a = 1.0;
  EXPECT_DOUBLE_EQ(port_cutoff(op, 0), M_PI / 2);
  EXPECT_DOUBLE_EQ(port_cutoff(op, 1), M_PI * std::sqrt(2.0));
  EXPECT_EQ(port_cutoff(op, 2), 0.0);  // no mode
  EXPECT_EQ(port_source(op, 2), std::vector<double>(n_dof(op), 0.0));
  const std::vector<double> y(n_dof(op), 1.0);
  EXPECT_EQ(stop_message([&] { port_projections(op, y, 2); }), "port has no mode for extraction");
}
