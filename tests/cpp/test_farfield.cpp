#include "fd/farfield.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/mesh.hpp"
#include "fd/config.hpp"
#include "fd/fields.hpp"
#include "fd/ports.hpp"
#include "fd/tri_geometry.hpp"
#include "td/mesh_gen.hpp"
#include "test_helpers.hpp"

using namespace vantrel;
using vantrel::testing::error_message;
using vantrel::testing::stop_message;

namespace {

constexpr double K0 = 20.0;  // rad/m

std::vector<double> angles(int n, double step) {
  std::vector<double> a(n);
  for (int i = 0; i < n; ++i) a[i] = i * step;
  return a;
}

FarFieldSample conductor_sample(Vec3 pos, double w) {
  // n̂ × H = (1, 0, 0) with n̂ = ẑ: H = (0, −1, 0)
  FarFieldSample s;
  s.position = pos;
  s.normal = {0, 0, 1};
  s.h = {cplx{}, cplx{-1, 0}, cplx{}};
  s.e = {cplx{5, 1}, cplx{2, 0}, cplx{}};  // ignored on a conductor
  s.weight = w;
  s.is_pec = true;
  return s;
}

}  // namespace

TEST(FarFieldKernel, EmptySurfaceGivesZero) {
  const auto th = angles(3, 0.5), ph = angles(2, 1.0);
  const FarFieldDirection d = farfield_direction_kernel(1, 2, th, ph, farfield_sources({}), K0);
  EXPECT_EQ(d.e_theta, cplx{});
  EXPECT_EQ(d.e_phi, cplx{});
  EXPECT_EQ(d.intensity, 0.0);
  EXPECT_EQ(d.phi_index, 1u);
  EXPECT_EQ(d.theta_index, 2u);
}

TEST(FarFieldKernel, ElectricCurrentElementClosedForm) {
  // J = x̂ at the origin: E_θ = −j·k0·η0·w·cosθ·cosφ/(4π), E_φ = j·k0·η0·w·sinφ/(4π)
  const double w = 0.3;
  const std::vector<FarFieldSample> s = {conductor_sample({0, 0, 0}, w)};
  const FarFieldSources src = farfield_sources(s);
  const auto th = angles(7, 0.5), ph = angles(9, 0.7);
  const double c = K0 * ETA0 * w / (4 * PI);
  for (u64 j = 0; j < ph.size(); ++j) {
    for (u64 i = 0; i < th.size(); ++i) {
      const FarFieldDirection d = farfield_direction_kernel(j, i, th, ph, src, K0);
      EXPECT_NEAR(std::abs(d.e_theta - cplx(0, -c * std::cos(th[i]) * std::cos(ph[j]))), 0, 1e-12 * c);
      EXPECT_NEAR(std::abs(d.e_phi - cplx(0, c * std::sin(ph[j]))), 0, 1e-12 * c);
    }
  }
  // no radiation along the current, the largest in the y-z plane
  const std::vector<double> eq = {PI / 2};
  const std::vector<double> az = {0.0, PI / 2, PI};
  EXPECT_LT(farfield_direction_kernel(0, 0, eq, az, src, K0).intensity, 1e-25);
  EXPECT_LT(farfield_direction_kernel(2, 0, eq, az, src, K0).intensity, 1e-25);
  EXPECT_NEAR(farfield_direction_kernel(1, 0, eq, az, src, K0).intensity, c * c / (2 * ETA0), 1e-9);
}

TEST(FarFieldKernel, MagneticOnlyWithoutHAndShiftOnlyChangesPhase) {
  FarFieldSample m;  // H = 0, not a conductor: radiates through M = −n̂ × E only
  m.normal = {0, 1, 0};
  m.e = {cplx{0, 0}, cplx{}, cplx{1, 2}};
  m.weight = 0.1;
  FarFieldSample m_pec = m;
  m_pec.is_pec = true;
  const auto th = angles(5, 0.7), ph = angles(4, 1.5);
  const FarFieldSources a = farfield_sources(std::vector<FarFieldSample>{m});
  const FarFieldSources b = farfield_sources(std::vector<FarFieldSample>{m_pec});
  EXPECT_GT(farfield_direction_kernel(1, 2, th, ph, a, K0).intensity, 0.0);
  EXPECT_EQ(farfield_direction_kernel(1, 2, th, ph, b, K0).intensity, 0.0);

  // moving every sample by d multiplies both components by exp(j·k0·r̂·d)
  const Vec3 shift = {0.03, -0.02, 0.05};
  std::vector<FarFieldSample> s = {conductor_sample({0.01, 0, 0}, 0.2), m};
  std::vector<FarFieldSample> moved = s;
  for (auto& x : moved)
    for (int k = 0; k < 3; ++k) x.position[k] += shift[k];
  const FarFieldSources s0 = farfield_sources(s), s1 = farfield_sources(moved);
  for (u64 j = 0; j < ph.size(); ++j) {
    for (u64 i = 0; i < th.size(); ++i) {
      const auto d0 = farfield_direction_kernel(j, i, th, ph, s0, K0);
      const auto d1 = farfield_direction_kernel(j, i, th, ph, s1, K0);
      const Vec3 r = {std::sin(th[i]) * std::cos(ph[j]), std::sin(th[i]) * std::sin(ph[j]), std::cos(th[i])};
      const cplx f = std::exp(cplx(0, K0 * (r[0] * shift[0] + r[1] * shift[1] + r[2] * shift[2])));
      EXPECT_NEAR(std::abs(d1.e_theta - f * d0.e_theta), 0, 1e-12);
      EXPECT_NEAR(std::abs(d1.e_phi - f * d0.e_phi), 0, 1e-12);
      EXPECT_NEAR(d1.intensity, d0.intensity, 1e-12 * d0.intensity + 1e-300);
    }
  }
}

TEST(FarFieldKernel, IndexOutsideTheAnglesStops) {
  const auto th = angles(2, 1.0), ph = angles(2, 1.0);
  EXPECT_EQ(stop_message([&] { farfield_direction_kernel(0, 2, th, ph, farfield_sources({}), K0); }),
            "index out of bounds: the len is 2 but the index is 2");
}

namespace {

// A pattern of one field everywhere on a 5 × 4 grid.
RadiationPattern uniform_pattern(cplx et, cplx ep, double eta) {
  const int nt = 5, np = 4;
  std::vector<FarFieldDirection> dirs;
  for (int j = np - 1; j >= 0; --j)  // any order: the indices place the values
    for (int i = 0; i < nt; ++i)
      dirs.push_back({et, ep, u64(j), u64(i), (std::norm(et) + std::norm(ep)) / (2 * ETA0)});
  return pattern_from_directions(angles(nt, PI / (nt - 1)), angles(np, 2 * PI / np), dirs, eta);
}

}  // namespace

TEST(RadiationPatternPost, LinearPolarisation) {
  const RadiationPattern p = uniform_pattern({3, 1}, {}, 0.5);
  for (std::size_t d = 0; d < p.directivity_dbi.size(); ++d) {
    EXPECT_EQ(p.axial_ratio_db[d], 99.0);
    EXPECT_NEAR(p.lcp_dbi[d] - p.directivity_dbi[d], 10 * std::log10(0.5), 1e-12);
    EXPECT_NEAR(p.rcp_dbi[d] - p.directivity_dbi[d], 10 * std::log10(0.5), 1e-12);
    EXPECT_NEAR(p.gain_dbi[d] - p.directivity_dbi[d], 10 * std::log10(0.5), 1e-12);
  }
  // U constant: the rectangle rule gives P = U·Δθ·Δφ·Σ sin θ_i·n_phi
  const double u = 10.0 / (2 * ETA0);
  double s = 0;
  for (int i = 0; i < 5; ++i) s += std::sin(i * PI / 4);
  EXPECT_NEAR(p.radiated_power, u * (PI / 4) * (2 * PI / 4) * s * 4, 1e-15);
  EXPECT_NEAR(p.directivity_dbi[0], 10 * std::log10(4 * PI * u / p.radiated_power), 1e-12);
}

TEST(RadiationPatternPost, CircularPolarisation) {
  // E_φ = j·E_θ: E_R = 0, E_L carries everything, AR = 0 dB
  const RadiationPattern p = uniform_pattern({1, 0.5}, {-0.5, 1}, 1.0);
  for (std::size_t d = 0; d < p.directivity_dbi.size(); ++d) {
    EXPECT_EQ(p.rcp_dbi[d], -100.0);
    EXPECT_NEAR(p.lcp_dbi[d], p.directivity_dbi[d], 1e-12);
    EXPECT_NEAR(p.axial_ratio_db[d], 0.0, 1e-6);
    EXPECT_EQ(p.gain_dbi[d], p.directivity_dbi[d]);
  }
}

TEST(RadiationPatternPost, ZeroFieldAndEmptyGrids) {
  const RadiationPattern z = uniform_pattern({}, {}, 0.0);
  EXPECT_EQ(z.radiated_power, 0.0);
  EXPECT_EQ(z.peak_directivity_dbi, 0.0);
  for (std::size_t d = 0; d < z.directivity_dbi.size(); ++d) {
    EXPECT_EQ(z.directivity_dbi[d], -100.0);
    EXPECT_EQ(z.gain_dbi[d], -200.0);  // efficiency 0 gives −100 dB on top
    EXPECT_EQ(z.axial_ratio_db[d], 99.0);
    EXPECT_EQ(z.lcp_dbi[d], -100.0);
  }
  const RadiationPattern e = pattern_from_directions({}, angles(3, 1.0), {}, 1.0);
  EXPECT_EQ(e.radiated_power, 0.0);
  EXPECT_EQ(e.peak_directivity_dbi, 0.0);
  EXPECT_TRUE(std::isinf(e.peak_gain_dbi) && e.peak_gain_dbi < 0);
  EXPECT_TRUE(e.directivity_dbi.empty());
}

namespace {

// Two tetrahedra sharing face (1, 2, 3), plus a node (5) that no tetrahedron lists.
Mesh two_tets() {
  std::vector<Vec3> nodes = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}, {5, 5, 5}};
  return build_topology(nodes, {{{1, 2, 3, 4}}, {{0, 1, 2, 3}}});
}

}  // namespace

TEST(FirstTetPerNode, LowestIndexAndNone) {
  const auto first = first_tet_per_node(two_tets());
  EXPECT_EQ(first, (std::vector<u64>{1, 0, 0, 0, 0, NODE_WITHOUT_TET}));
}

TEST(SurfaceClosure, ClosedBoundaryAndOpenPart) {
  const Mesh m = two_tets();
  std::vector<u64> boundary, one_tet;
  for (u64 f = 0; f < m.faces.size(); ++f) {
    if (m.face_tets[f][1] == NO_TET) boundary.push_back(f);
  }
  ASSERT_EQ(boundary.size(), 6u);
  EXPECT_TRUE(surface_is_closed(m, boundary));
  std::vector<u64> open(boundary.begin(), boundary.end() - 1);
  EXPECT_FALSE(surface_is_closed(m, open));
  const auto conductor_faces = [&](const std::vector<u64>& surface, const std::vector<u64>& pec) {
    std::vector<u64> faces;
    for (const FarFieldFace& f : farfield_surface(m, surface, pec, 2).faces) {
      if (f.is_pec) faces.push_back(f.face);
    }
    return faces;
  };
  // a closed surface takes no conductor faces; an open one takes those on its rim
  EXPECT_TRUE(conductor_faces(boundary, boundary).empty());
  const std::vector<u64> missing = {boundary.back()};
  EXPECT_EQ(conductor_faces(open, missing), missing);
  // each conductor face once: listed under two tags, or also a face of the surface itself
  const std::vector<u64> listed = {missing[0], open[0], missing[0], open[2]};
  EXPECT_EQ(conductor_faces(open, listed), missing);
}

namespace {

// Integration surfaces on a 6 × 6 × 6 box of unit cells (six tetrahedra each): the sides of
// axis-aligned boxes on cell boundaries, whose outward normals are known.
struct Box {
  Vec3 lo, hi;
};

struct SurfaceCase {
  std::string name;
  std::vector<Box> boxes;
  int open_side = -1;  // side (axis·2 + 1 on the high side) left out of the first box
  double sense = 1.0;  // expected normal relative to the side's outward one
};

bool on_side(const Mesh& m, u64 f, const Box& b, int side) {
  const int axis = side / 2;
  const double plane = side % 2 ? b.hi[axis] : b.lo[axis];
  for (u64 v : m.faces[f]) {
    const Vec3& p = m.nodes[v];
    if (p[axis] != plane) return false;
    for (int k = 0; k < 3; ++k) {
      if (k != axis && (p[k] < b.lo[k] || p[k] > b.hi[k])) return false;
    }
  }
  return true;
}

// The outward normal of the first box side that holds face f, or none.
std::optional<Vec3> side_normal(const Mesh& m, const SurfaceCase& c, u64 f) {
  for (std::size_t i = 0; i < c.boxes.size(); ++i) {
    for (int side = 0; side < 6; ++side) {
      if ((i == 0 && side == c.open_side) || !on_side(m, f, c.boxes[i], side)) continue;
      Vec3 n{};
      n[side / 2] = side % 2 ? 1.0 : -1.0;
      return n;
    }
  }
  return std::nullopt;
}

// The same mesh with the tetrahedra shuffled, each listing its nodes rotated (half of them with
// the opposite orientation).
Mesh shuffled(const Mesh& m) {
  std::vector<std::array<u64, 4>> tets = m.tets;
  std::mt19937_64 rng(11);
  std::shuffle(tets.begin(), tets.end(), rng);
  for (std::size_t t = 0; t < tets.size(); ++t)
    std::rotate(tets[t].begin(), tets[t].begin() + t % 4, tets[t].end());
  return build_topology(m.nodes, tets);
}

class SurfaceNormals : public ::testing::TestWithParam<SurfaceCase> {};

}  // namespace

TEST_P(SurfaceNormals, OutOfTheEnclosedVolumeWhateverTheTetOrder) {
  const SurfaceCase& c = GetParam();
  const Mesh base = box_mesh(6, 6, 6, 6.0, 6.0, 6.0);
  const Mesh mixed = shuffled(base);
  for (const Mesh* m : {&base, &mixed}) {
    std::vector<u64> faces;
    std::vector<Vec3> expected;
    for (u64 f = m->faces.size(); f-- > 0;) {  // the list's order does not matter
      if (const auto n = side_normal(*m, c, f)) {
        faces.push_back(f);
        expected.push_back(*n);
      }
    }
    ASSERT_FALSE(faces.empty());
    faces.push_back(faces[0]);  // nor does a face listed twice
    expected.push_back(expected[0]);
    const std::vector<Vec3> normals = integration_surface_normals(*m, faces);
    ASSERT_EQ(normals.size(), faces.size());
    int wrong = 0;
    for (std::size_t k = 0; k < faces.size(); ++k) {
      if (std::abs(dot3(normals[k], expected[k]) - c.sense) > 1e-12) ++wrong;
    }
    EXPECT_EQ(wrong, 0) << "of " << faces.size() << " faces, tetrahedra "
                        << (m == &base ? "in box order" : "shuffled");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Surfaces, SurfaceNormals,
    ::testing::Values(
        SurfaceCase{"InnerBox", {{{1, 1, 1}, {4, 4, 4}}}},
        SurfaceCase{"TwoInnerBoxes", {{{1, 1, 1}, {3, 3, 3}}, {{4, 2, 3}, {5, 5, 5}}}},
        // each closed part out of its own volume
        SurfaceCase{"NestedBoxes", {{{1, 1, 1}, {5, 5, 5}}, {{2, 2, 2}, {3, 4, 4}}}},
        // an edge shared by four faces joins nothing: each box is oriented on its own
        SurfaceCase{"BoxesMeetingAlongAnEdge", {{{1, 1, 1}, {3, 3, 3}}, {{3, 3, 1}, {5, 5, 4}}}},
        SurfaceCase{"BoxesMeetingAlongAnotherEdge", {{{1, 3, 1}, {3, 5, 3}}, {{3, 1, 2}, {5, 3, 4}}}},
        SurfaceCase{"BoxesMeetingAtACorner", {{{1, 1, 1}, {3, 3, 3}}, {{3, 3, 3}, {5, 4, 5}}}},
        SurfaceCase{"MeshBoundary", {{{0, 0, 0}, {6, 6, 6}}}},
        SurfaceCase{"MeshBoundaryOpenAtTheFloor", {{{0, 0, 0}, {6, 6, 6}}}, 4},
        // open inside the mesh: towards the convex side, here out of the box
        SurfaceCase{"InnerBoxOpenAtTheTop", {{{1, 1, 1}, {4, 4, 4}}}, 5},
        SurfaceCase{"InnerBoxOpenAtTheSide", {{{1, 2, 1}, {4, 5, 3}}}, 0},
        // flat inside the mesh: along +z, the opposite of the low side's outward normal
        SurfaceCase{"FlatSheet", {{{1, 2, 3}, {5, 4, 3}}}, -1, -1.0}),
    [](const auto& info) { return info.param.name; });
namespace {

// The radiating faces on an 8 × 8 × 8 box of unit cells with holes cut out (cells removed).
// Surfaces and conductors are flat patches on cell boundaries (lo and hi equal on one axis).

bool in_patch(const Mesh& m, u64 f, const Box& p) {
  for (u64 v : m.faces[f]) {
    for (int k = 0; k < 3; ++k) {
      if (m.nodes[v][k] < p.lo[k] || m.nodes[v][k] > p.hi[k]) return false;
    }
  }
  return true;
}

// The sides of box b as patches, without those whose bit (axis·2 + 1 on the high side) is set.
std::vector<Box> sides_of(const Box& b, int open = 0) {
  std::vector<Box> out;
  for (int side = 0; side < 6; ++side) {
    if (open & (1 << side)) continue;
    Box p = b;
    const int axis = side / 2;
    p.lo[axis] = p.hi[axis] = side % 2 ? b.hi[axis] : b.lo[axis];
    out.push_back(p);
  }
  return out;
}
constexpr int NO_FLOOR = 1 << 4, NO_TOP = 1 << 5;

// A radiating face as a test sees it: the face, its normal as ±(axis + 1), the side of its
// tetrahedron (+1 where the normal points), the conductor mark.
using Radiator = std::tuple<u64, int, int, bool>;

int axis_code(const Vec3& n) {
  for (int k = 0; k < 3; ++k) {
    if (std::abs(std::abs(n[k]) - 1.0) < 1e-12) return n[k] > 0 ? k + 1 : -(k + 1);
  }
  return 0;
}

// The faces in `patches` but in none of `except`, radiating with normal `normal` (0: out of
// `box`, or into it when `inward`) from the tetrahedron on side `tet_side`.
struct Expect {
  std::vector<Box> patches;
  std::vector<Box> except;
  int normal;
  Box box;
  int tet_side;
  bool pec;
  bool inward = false;
};

struct RegionCase {
  std::string name;
  std::vector<Box> holes;
  std::vector<Box> surface, conductor;
  std::vector<Expect> expect;
  std::string error;  // when set, the call fails with this message
};

Mesh with_holes(const std::vector<Box>& holes) {
  const Mesh full = box_mesh(8, 8, 8, 8.0, 8.0, 8.0);
  std::vector<std::array<u64, 4>> kept;
  for (const auto& t : full.tets) {
    Vec3 c{};
    for (u64 v : t)
      for (int k = 0; k < 3; ++k) c[k] += 0.25 * full.nodes[v][k];
    bool cut = false;
    for (const Box& h : holes) {
      cut = cut || (c[0] > h.lo[0] && c[0] < h.hi[0] && c[1] > h.lo[1] && c[1] < h.hi[1] &&
                    c[2] > h.lo[2] && c[2] < h.hi[2]);
    }
    if (!cut) kept.push_back(t);
  }
  return build_topology(full.nodes, kept);
}

bool in_any(const Mesh& m, u64 f, const std::vector<Box>& patches) {
  for (const Box& p : patches) {
    if (in_patch(m, f, p)) return true;
  }
  return false;
}

std::vector<u64> faces_in(const Mesh& m, const std::vector<Box>& patches) {
  std::vector<u64> out;
  for (u64 f = m.faces.size(); f-- > 0;) {  // the list's order does not matter
    if (in_any(m, f, patches)) out.push_back(f);
  }
  return out;
}

std::vector<Radiator> expected(const Mesh& m, const RegionCase& c) {
  std::vector<Radiator> out;
  for (const Expect& e : c.expect) {
    for (u64 f : faces_in(m, e.patches)) {
      if (!in_any(m, f, e.except)) {
        int normal = e.normal;
        for (int side = 0; normal == 0 && side < 6; ++side) {
          if (on_side(m, f, e.box, side)) normal = (side % 2 ? 1 : -1) * (e.inward ? -1 : 1) * (side / 2 + 1);
        }
        out.push_back({f, normal, e.tet_side, e.pec});
      }
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

class RadiatingFaces : public ::testing::TestWithParam<RegionCase> {};

}  // namespace

TEST_P(RadiatingFaces, FollowTheEnclosedRegionWhateverTheTetOrder) {
  const RegionCase& c = GetParam();
  const Mesh base = with_holes(c.holes);
  const Mesh mixed = shuffled(base);
  for (const Mesh* m : {&base, &mixed}) {
    const std::vector<u64> surface = faces_in(*m, c.surface), conductor = faces_in(*m, c.conductor);
    if (!c.error.empty()) {
      EXPECT_EQ(error_message([&] { farfield_surface(*m, surface, conductor, 7); }), c.error);
      continue;
    }
    const FarFieldSurface r = farfield_surface(*m, surface, conductor, 7);
    std::vector<Radiator> got;
    std::vector<u64> surface_faces, conductor_faces;
    for (const FarFieldFace& ff : r.faces) {
      const auto& ft = m->face_tets[ff.face];
      ASSERT_TRUE(ff.tet == ft[0] || ff.tet == ft[1]);
      Vec3 centre{}, tet{};
      for (u64 v : m->faces[ff.face])
        for (int k = 0; k < 3; ++k) centre[k] += m->nodes[v][k] / 3.0;
      for (u64 v : m->tets[ff.tet])
        for (int k = 0; k < 3; ++k) tet[k] += m->nodes[v][k] / 4.0;
      got.push_back({ff.face, axis_code(ff.normal), dot3(ff.normal, sub3(tet, centre)) > 0 ? 1 : -1,
                     ff.is_pec});
      (ff.is_pec ? conductor_faces : surface_faces).push_back(ff.face);
    }
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, expected(*m, c)) << (m == &base ? "in box order" : "shuffled");
    for (auto* v : {&surface_faces, &conductor_faces}) {
      std::sort(v->begin(), v->end());
      v->erase(std::unique(v->begin(), v->end()), v->end());
    }
    EXPECT_EQ(r.n_surface, surface_faces.size());
    EXPECT_EQ(r.n_conductor, conductor_faces.size());
  }
}

namespace {

const Box AROUND = {{2, 2, 2}, {5, 5, 5}};           // a box in the air
const Box WORLD = {{0, 0, 0}, {8, 8, 8}};            // the mesh
const Box FLOOR = {{0, 0, 0}, {8, 8, 0}};            // its face z = 0
const Box ON_FLOOR = {{2, 2, 0}, {5, 5, 3}};         // a box standing on it
const Box FOOTPRINT = {{2, 2, 0}, {5, 5, 0}};
const Box ON_THREE = {{2, 2, 3}, {5, 5, 6}};         // a box standing on the plane z = 3
const Box FOOTPRINT_THREE = {{2, 2, 3}, {5, 5, 3}};

}  // namespace

INSTANTIATE_TEST_SUITE_P(
    Region, RadiatingFaces,
    ::testing::Values(
        // a closed surface: out of it, the field beyond each face
        RegionCase{"BoxInTheAir", {}, sides_of(AROUND), {}, {{sides_of(AROUND), {}, 0, AROUND, 1, false}}},
        RegionCase{"OuterBoundary", {}, sides_of(WORLD), {}, {{sides_of(WORLD), {}, 0, WORLD, -1, false}}},
        // a sheet outside radiates n × H of both sides, n into the air
        RegionCase{"SheetOutside", {}, sides_of(AROUND), {{{2, 6, 2}, {5, 6, 5}}},
                   {{sides_of(AROUND), {}, 0, AROUND, 1, false},
                    {{{{2, 6, 2}, {5, 6, 5}}}, {}, 2, {}, 1, true},
                    {{{{2, 6, 2}, {5, 6, 5}}}, {}, -2, {}, 1, true}}},
        // a conductor meshed as a hole outside: its air side
        RegionCase{"HoleOutside", {{{3, 6, 3}, {4, 7, 4}}}, sides_of(AROUND), sides_of({{3, 6, 3}, {4, 7, 4}}),
                   {{sides_of(AROUND), {}, 0, AROUND, 1, false},
                    {sides_of({{3, 6, 3}, {4, 7, 4}}), {}, 0, {{3, 6, 3}, {4, 7, 4}}, 1, true}}},
        // a hole touching the surface: nothing where they meet (its current cancels the
        // equivalent one), its air side elsewhere
        RegionCase{"HoleOnTheSurface", {{{3, 5, 3}, {4, 6, 4}}}, sides_of(AROUND), sides_of({{3, 5, 3}, {4, 6, 4}}),
                   {{sides_of(AROUND), {{{3, 5, 3}, {4, 5, 4}}}, 0, AROUND, 1, false},
                    {sides_of({{3, 5, 3}, {4, 6, 4}}), {{{3, 5, 3}, {4, 5, 4}}}, 0, {{3, 5, 3}, {4, 6, 4}}, 1, true}}},
        // the floor closes an open box standing on it inside its rim only: n out of the region,
        // the field of its own tetrahedron
        RegionCase{"FloorInsideTheRim", {}, sides_of(ON_FLOOR, NO_FLOOR), {FLOOR},
                   {{sides_of(ON_FLOOR, NO_FLOOR), {}, 0, ON_FLOOR, 1, false}, {{FOOTPRINT}, {}, -3, {}, -1, true}}},
        // ... not the arm of a monopole on it (inside the region)
        RegionCase{"ArmOnTheFloor", {}, sides_of(WORLD, NO_FLOOR), {FLOOR, {{4, 3, 0}, {4, 5, 2}}},
                   {{sides_of(WORLD, NO_FLOOR), {}, 0, WORLD, -1, false}, {{FLOOR}, {}, -3, {}, -1, true}}},
        // ... nor across an edge of three conductor faces (the foot of a tube standing on it)
        RegionCase{"FloorInsideATube", {}, sides_of(ON_FLOOR, NO_FLOOR),
                   {FLOOR, {{3, 3, 0}, {3, 4, 2}}, {{4, 3, 0}, {4, 4, 2}}, {{3, 3, 0}, {4, 3, 2}}, {{3, 4, 0}, {4, 4, 2}}},
                   {{sides_of(ON_FLOOR, NO_FLOOR), {}, 0, ON_FLOOR, 1, false},
                    {{FOOTPRINT}, {{{3, 3, 0}, {4, 4, 0}}}, -3, {}, -1, true}}},
        // a sheet closing the surface radiates n × H of its outer side; beyond the rim, of both
        RegionCase{"BoxOnASheet", {}, sides_of(ON_THREE, NO_FLOOR), {{{1, 1, 3}, {6, 6, 3}}},
                   {{sides_of(ON_THREE, NO_FLOOR), {}, 0, ON_THREE, 1, false},
                    {{FOOTPRINT_THREE}, {}, -3, {}, 1, true},
                    {{{{1, 1, 3}, {6, 6, 3}}}, {FOOTPRINT_THREE}, 3, {}, 1, true},
                    {{{{1, 1, 3}, {6, 6, 3}}}, {FOOTPRINT_THREE}, -3, {}, 1, true}}},
        // a closed-off cavity under that sheet meets the region and the outside: it is outside
        RegionCase{"BoxOnASheetOverACavity", {}, sides_of(ON_THREE, NO_FLOOR),
                   sides_of({{1, 1, 1}, {6, 6, 3}}),  // the cavity's top is the sheet
                   {{sides_of(ON_THREE, NO_FLOOR), {}, 0, ON_THREE, 1, false},
                    {{FOOTPRINT_THREE}, {}, -3, {}, 1, true},
                    {sides_of({{1, 1, 1}, {6, 6, 3}}), {FOOTPRINT_THREE}, 0, {{1, 1, 1}, {6, 6, 3}}, 1, true},
                    {sides_of({{1, 1, 1}, {6, 6, 3}}), {FOOTPRINT_THREE}, 0, {{1, 1, 1}, {6, 6, 3}}, 1, true, true}}},
        // a hole closing the surface radiates nothing there, its air side elsewhere
        RegionCase{"BoxOnAHole", {{{1, 1, 2}, {6, 6, 3}}}, sides_of(ON_THREE, NO_FLOOR), sides_of({{1, 1, 2}, {6, 6, 3}}),
                   {{sides_of(ON_THREE, NO_FLOOR), {}, 0, ON_THREE, 1, false},
                    {sides_of({{1, 1, 2}, {6, 6, 3}}), {FOOTPRINT_THREE}, 0, {{1, 1, 2}, {6, 6, 3}}, 1, true}}},
        // a closed conducting shell inside the region adds nothing
        RegionCase{"ShellInside", {}, sides_of({{1, 1, 1}, {7, 7, 7}}), sides_of({{3, 3, 3}, {5, 5, 5}}),
                   {{sides_of({{1, 1, 1}, {7, 7, 7}}), {}, 0, {{1, 1, 1}, {7, 7, 7}}, 1, false}}},
        // the wall between two enclosed boxes is dropped: the envelope remains
        RegionCase{"WallBetweenTwoBoxes", {}, [] {
                     auto s = sides_of({{1, 1, 1}, {4, 7, 7}});
                     for (const Box& b : sides_of({{4, 1, 1}, {7, 7, 7}})) s.push_back(b);
                     return s;
                   }(), {},
                   {{sides_of({{1, 1, 1}, {7, 7, 7}}), {}, 0, {{1, 1, 1}, {7, 7, 7}}, 1, false}}},
        // an open surface in the air radiates alone, oriented by its patch (flat: along +z)
        RegionCase{"OpenInTheAir", {}, {{{2, 2, 4}, {6, 6, 4}}}, {{{2, 2, 2}, {6, 6, 2}}},
                   {{{{{2, 2, 4}, {6, 6, 4}}}, {}, 3, {}, 1, false}}},
        // a patch outside the region of a box under the same tag is refused
        RegionCase{"PatchOutsideTheBox", {}, [] {
                     auto s = sides_of({{1, 1, 1}, {3, 3, 3}});
                     s.push_back({{4, 4, 6}, {6, 6, 6}});
                     return s;
                   }(), {}, {},
                   "far-field surface (tag 7): 8 of its 56 triangles have the enclosed region "
                   "on neither side; the surface, closed by the conductors its rim lies on, must "
                   "enclose the sources"}),
    [](const auto& info) { return info.param.name; });

TEST(FarFieldPattern, FaceListedTwiceUnderTheTagIsIntegratedOnce) {
  // any coefficients will do: the same faces must give the same pattern
  const auto pattern = [](int copies) {
    Mesh mesh = box_mesh(2, 2, 2, 0.1, 0.1, 0.1);
    for (u64 f = 0; f < mesh.faces.size(); ++f) {
      if (mesh.face_tets[f][1] == NO_TET)
        for (int k = 0; k < copies; ++k) mesh.face_groups[2].push_back(f);
    }
    const Simulation sim = build_simulation(
        std::move(mesh), parse_config("[mesh]\nfile = \"box\"\n[[ports]]\ntype = \"abc\"\ntag = 2\n"
                                      "[pec]\ntags = []\n"));
    SweepResult r;
    r.frequencies = {1e9};
    r.solutions = {{std::vector<cplx>(sim.basis.n_dofs)}};
    for (u64 i = 0; i < sim.basis.n_dofs; ++i) r.solutions[0][0][i] = {std::sin(i + 1.0), std::cos(3.0 * i)};
    return *compute_farfield(sim, r, 0, 0, 5, 4);
  };
  const RadiationPattern once = pattern(1), twice = pattern(2);
  EXPECT_GT(once.radiated_power, 0.0);
  EXPECT_EQ(once.radiated_power, twice.radiated_power);
  EXPECT_EQ(once.e_theta, twice.e_theta);
}

TEST(FarFieldKernel, PhaseFactorMatchesTheStandardFunctions) {
  // the branch-free sin/cos of the direction loop, across quadrants, signs and magnitudes
  double worst = 0.0;
  for (double x : {0.0, -0.0, 1e-300, 0.5, 0.7853981633974483, 1.5707963267948966, 2.0, 3.14159,
                   -4.5, 6.283185307179586, 100.25, -12345.678, 999999.0, 1e7, -3e9}) {
    double s, c;
    sincos_for_farfield(x, s, c);
    worst = std::max({worst, std::abs(s - std::sin(x)), std::abs(c - std::cos(x))});
  }
  for (int k = -200000; k <= 200000; ++k) {
    const double x = k * 0.0123456789;
    double s, c;
    sincos_for_farfield(x, s, c);
    worst = std::max({worst, std::abs(s - std::sin(x)), std::abs(c - std::cos(x))});
  }
  EXPECT_LT(worst, 4e-16);  // a few units in the last place of values up to 1
}
