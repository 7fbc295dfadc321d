#include "core/materials.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>

using namespace vantrel;

namespace {

constexpr double TOL = 1e-12;  // closed forms evaluated in a different order: rounding only

void expect_cplx(cplx got, cplx want, double tol = TOL) {
  EXPECT_NEAR(got.real(), want.real(), tol * std::max(1.0, std::abs(want))) << "got " << got;
  EXPECT_NEAR(got.imag(), want.imag(), tol * std::max(1.0, std::abs(want))) << "got " << got;
}

void expect_diag(const Tensor3& t, cplx x, cplx y, cplx z, double tol = TOL) {
  expect_cplx(t[0], x, tol);
  expect_cplx(t[4], y, tol);
  expect_cplx(t[8], z, tol);
  for (int i : {1, 2, 3, 5, 6, 7}) EXPECT_EQ(t[i], cplx(0.0, 0.0)) << "off-diagonal " << i;
}

MaterialRegion region(std::vector<u64> tets, double er) {
  MaterialRegion r;
  r.tets = std::move(tets);
  r.er = er;
  return r;
}

// One tetrahedron whose centroid is c: nodes c + offsets that sum to zero.
Mesh single_tet_at(const Vec3& c) {
  const std::array<Vec3, 4> off = {{{1, 0, -0.25}, {-1, 0, -0.25}, {0, 1, 0.25}, {0, -1, 0.25}}};
  std::vector<Vec3> nodes;
  for (const Vec3& o : off) nodes.push_back({c[0] + 0.01 * o[0], c[1] + 0.01 * o[1], c[2] + 0.01 * o[2]});
  return build_topology(nodes, {{0, 1, 2, 3}});
}

}  // namespace

TEST(Materials, ConstantAndDiagonalRegions) {
  MaterialRegion iso = region({0, 2}, 4.0);
  MaterialRegion diag = region({1}, 9.0);
  diag.er_diag = Vec3{2.0, 3.0, 4.0};
  diag.ur_diag = Vec3{1.0, 2.0, 5.0};
  const MaterialTensors m = material_tensors_at(3, {iso, diag}, 1e9);
  ASSERT_EQ(m.eps.size(), 3u);
  expect_diag(m.eps[0], 4.0, 4.0, 4.0);
  expect_diag(m.mu[0], 1.0, 1.0, 1.0);
  expect_diag(m.eps[1], 2.0, 3.0, 4.0);
  expect_diag(m.mu[1], 1.0, 2.0, 5.0);
  EXPECT_EQ(m.eps[2][0].imag(), 0.0);
}

TEST(Materials, LossTangentAndConductivity) {
  MaterialRegion r = region({0}, 4.0);
  r.tand = 0.01;
  expect_diag(material_tensors_at(1, {r}, 2e9).eps[0], {4.0, -0.04}, {4.0, -0.04}, {4.0, -0.04});

  r.tand = 0.0;
  r.conductivity = 0.5;
  const double f = 3e9;
  const double im = -0.5 / (TWO_PI * f * 8.854187818814e-12);  // -sigma/(omega eps0)
  expect_diag(material_tensors_at(1, {r}, f).eps[0], {4.0, im}, {4.0, im}, {4.0, im});
}

TEST(Materials, DebyeMatchesClosedForm) {
  MaterialRegion r = region({0}, 9.0);
  r.er_diag = Vec3{5.0, 6.0, 7.0};  // ignored by a dispersive region
  const double tau = 1e-10;
  r.dispersion = Dispersion::debye(2.0, 4.0, tau);
  // omega*tau = 1 gives eps = 3 - 1j
  const double f1 = 1.0 / (TWO_PI * tau);
  expect_diag(material_tensors_at(1, {r}, f1).eps[0], {3.0, -1.0}, {3.0, -1.0}, {3.0, -1.0});
  // eps(w) = eps_inf + (eps_s - eps_inf)/(1 + j w tau) at several frequencies
  for (double f : {1e6, 1e8, 1e9, 5e9, 1e11}) {
    const double w = TWO_PI * f;
    const cplx want = 2.0 + 2.0 / cplx(1.0, w * tau);
    const cplx got = material_tensors_at(1, {r}, f).eps[0][4];
    expect_cplx(got, want);
    EXPECT_LT(got.imag(), 0.0) << "a Debye medium absorbs under e^{+jwt}";
  }
}

TEST(Materials, DrudeIsLossyAndMatchesClosedForm) {
  MaterialRegion r = region({0}, 1.0);
  const double fp = 2e15, fg = 1e13;
  r.dispersion = Dispersion::drude(1.0, fp, 0.0);
  // omega = omega_p without damping: eps = eps_inf - 1
  expect_diag(material_tensors_at(1, {r}, fp).eps[0], 0.0, 0.0, 0.0);

  r.dispersion = Dispersion::drude(1.0, fp, fg);
  for (double f : {1e12, 1e13, 1e14, 1e15}) {
    const double w = TWO_PI * f, wp = TWO_PI * fp, g = TWO_PI * fg;
    // eps = eps_inf - wp^2/(w (w - j g)): Im < 0, the metal absorbs
    const cplx want = 1.0 - wp * wp / (w * cplx(w, -g));
    const cplx got = material_tensors_at(1, {r}, f).eps[0][0];
    expect_cplx(got, want);
    EXPECT_LT(got.imag(), 0.0) << "f = " << f;
  }
}

TEST(Materials, OverlappingRegionsAddAndUnlistedTetsAreVacuum) {
  const MaterialTensors m = material_tensors_at(3, {region({0}, 2.0), region({0, 1}, 3.0)}, 1e9);
  expect_diag(m.eps[0], 5.0, 5.0, 5.0);
  expect_diag(m.mu[0], 2.0, 2.0, 2.0);
  expect_diag(m.eps[1], 3.0, 3.0, 3.0);
  // Tetrahedron 2 is in no region: vacuum, so the element code can invert its permeability.
  expect_diag(m.eps[2], 1.0, 1.0, 1.0);
  expect_diag(m.mu[2], 1.0, 1.0, 1.0);
  // No region at all: vacuum everywhere.
  const MaterialTensors v = material_tensors_at(2, {}, 1e9);
  expect_diag(v.eps[1], 1.0, 1.0, 1.0);
}

TEST(Materials, RegionTetOutOfRangeStops) {
  EXPECT_THROW(material_tensors_at(2, {region({2}, 2.0)}, 1e9), Panic);
  const std::vector<Tensor3> list(2);
  EXPECT_NO_THROW(tensor_at(list, 1));
  try {
    tensor_at(list, 2);
    FAIL();
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "index out of bounds: the len is 2 but the index is 2");
  }
}

TEST(Pml, WorkedLayer) {
  PmlRegion layer;
  layer.tets = {0};
  layer.er_base = 2.0;
  layer.ur_base = 3.0;
  layer.direction = {0.0, 0.0, -1.0};
  layer.inner_face = -0.1;
  layer.thickness = 0.05;
  layer.exponent = 2.0;
  layer.delta_max = 8.0;
  // centroid at z = -0.125: depth 0.5, sigma = 2, s_z = 1 - 2j
  const Mesh mesh = single_tet_at({0.3, 0.2, -0.125});
  const MaterialTensors m =
      material_tensors_with_pml(1, {region({0}, 7.0)}, {layer}, mesh, 1e9);
  const cplx sz(1.0, -2.0), inv(0.2, 0.4);
  expect_diag(m.eps[0], 2.0 * sz, 2.0 * sz, 2.0 * inv);  // replaces the er = 7 region
  expect_diag(m.mu[0], 3.0 * sz, 3.0 * sz, 3.0 * inv);

  // On the inner side of the inner face: plain er_base / ur_base medium.
  const auto lam = pml_stretch(layer, {0.0, 0.0, -0.05});
  for (const cplx& l : lam) expect_cplx(l, 1.0);
}

TEST(Pml, DominantAxisRule) {
  PmlRegion layer;
  layer.inner_face = 0.0;
  layer.thickness = 1.0;
  layer.exponent = 1.0;
  layer.delta_max = 1.0;
  struct Case {
    Vec3 dir;
    int axis;
  };
  // Strict comparisons: ties go to the later axis; a zero direction stretches z.
  for (const Case& c : {Case{{1, 0, 0}, 0}, Case{{1, 1, 0}, 1}, Case{{1, 0, 1}, 2},
                        Case{{0, 1, 1}, 2}, Case{{0, 0, 0}, 2}, Case{{0, -3, 1}, 1}}) {
    layer.direction = c.dir;
    Vec3 centroid{0.5, 0.5, 0.5};
    centroid[c.axis] = signum(c.dir[c.axis]) * 0.5;
    const auto lam = pml_stretch(layer, centroid);
    for (int i = 0; i < 3; ++i) {
      const cplx want = i == c.axis ? 1.0 / cplx(1.0, -0.5) : cplx(1.0, -0.5);
      expect_cplx(lam[i], want);
    }
  }
}

TEST(Pml, LayerTetOutOfRangeStops) {
  PmlRegion layer;
  layer.tets = {1};
  layer.thickness = 1.0;
  const Mesh mesh = single_tet_at({0, 0, 0});
  EXPECT_THROW(material_tensors_with_pml(1, {}, {layer}, mesh, 1e9), Panic);
}

TEST(Pml, RefusesLayersWithoutFiniteStretch) {
  PmlRegion layer;
  layer.thickness = 0.05;
  layer.delta_max = 8.0;
  EXPECT_NO_THROW(check_pml_region(layer, 4));
  layer.thickness = 0.0;
  try {
    check_pml_region(layer, 4);
    FAIL();
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "pml on volume tag 4: thickness must be above 0 m, got 0.0");
  }
  layer.thickness = 0.05;
  layer.delta_max = -1.0;
  EXPECT_THROW(check_pml_region(layer, 4), Error);
  layer.delta_max = 1.0;
  layer.direction = {NAN, 0.0, 1.0};
  EXPECT_THROW(check_pml_region(layer, 4), Error);
}
