#include "fd/ports.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>

#include "core/materials.hpp"
#include "fd/tri_geometry.hpp"

using namespace vantrel;

namespace {

double k0_of(double f) { return 2.0 * PI * f / C0; }

void expect_vec(const Vec3& got, const Vec3& want, double tol = 1e-12) {
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(got[i], want[i], tol) << "component " << i;
}

// The Error message of f(), or "" when it does not throw.
std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

// A box [0,lx] x [0,ly] x [0,lz] of n^3 cubes, six tetrahedra per cube along the main diagonal.
Mesh box_mesh(double lx, double ly, double lz, int n) {
  std::vector<Vec3> nodes;
  const auto id = [n](int i, int j, int k) { return static_cast<u64>((i * (n + 1) + j) * (n + 1) + k); };
  for (int i = 0; i <= n; ++i)
    for (int j = 0; j <= n; ++j)
      for (int k = 0; k <= n; ++k) nodes.push_back({lx * i / n, ly * j / n, lz * k / n});
  std::vector<std::array<u64, 4>> tets;
  const int perms[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j)
      for (int k = 0; k < n; ++k)
        for (const auto& p : perms) {
          int c[3] = {i, j, k};
          std::array<u64, 4> t{};
          t[0] = id(c[0], c[1], c[2]);
          for (int s = 0; s < 2; ++s) {
            c[p[s]] += 1;
            t[s + 1] = id(c[0], c[1], c[2]);
          }
          t[3] = id(i + 1, j + 1, k + 1);
          tets.push_back(t);
        }
  return build_topology(std::move(nodes), std::move(tets));
}

// The boundary faces whose three nodes have coordinate `axis` equal to `value`.
std::vector<u64> faces_on_plane(const Mesh& m, int axis, double value) {
  std::vector<u64> out;
  for (u64 f = 0; f < m.faces.size(); ++f) {
    bool on = true;
    for (u64 n : m.faces[f]) on = on && std::abs(m.nodes[n][axis] - value) < 1e-12;
    if (on) out.push_back(f);
  }
  return out;
}

PortFrame xy_frame(const Vec3& origin = {0, 0, 0}) {
  return make_port_frame(origin, {1, 0, 0}, {0, 1, 0}, {0, 0, 1});
}

// Midpoint-rule integral of |E_t|^2 over the rectangle [-a/2, a/2] x [-b/2, b/2] of an xy frame.
double integral_e2_rect(const Port& p, double a, double b, double k0, int n = 400) {
  double sum = 0.0;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      const double x = -0.5 * a + (i + 0.5) * a / n, y = -0.5 * b + (j + 0.5) * b / n;
      const Vec3 e = *p.mode_profile(x, y, 0.0, k0);
      sum += e[0] * e[0] + e[1] * e[1] + e[2] * e[2];
    }
  return sum * (a / n) * (b / n);
}

}  // namespace

// ---- rectangular waveguide ------------------------------------------------------------------------

TEST(RectangularPort, Wr90Te10At10GHz) {
  const double a = 22.86e-3, b = 10.16e-3, f = 10e9;
  const RectangularPort p(1, 0, a, b, xy_frame(), 1, 1.0, 1.0);
  const double k0 = k0_of(f);
  const double beta = std::sqrt(k0 * k0 - (PI / a) * (PI / a));
  EXPECT_NEAR(beta, 158.24, 0.01);  // textbook WR-90 value, rad/m
  EXPECT_NEAR(p.robin_coefficient(k0).imag(), beta, 1e-10 * beta);
  EXPECT_EQ(p.robin_coefficient(k0).real(), 0.0);
  // Z_TE = k0 eta0 / beta (c0 mu0 = eta0 to 1e-11)
  EXPECT_NEAR(p.wave_impedance(k0), k0 * ETA0 / beta, 1e-9 * ETA0);
  EXPECT_NEAR(p.wave_impedance(k0), 499.0, 1.0);
  EXPECT_NEAR(p.cutoff_frequency_hz(), 6.557e9, 1e6);
  // The incident term is -2j beta e(p).
  const Vec3 e = *p.mode_profile(0.003, -0.002, 0.0, k0);
  const CVec3 u = *p.incident_term(0.003, -0.002, 0.0, k0);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(u[i].real(), 0.0);
    EXPECT_NEAR(u[i].imag(), -2.0 * beta * e[i], 1e-12 * std::abs(beta * e[1]));
  }
}

TEST(RectangularPort, Te10KeepsItsCentredCosineForm) {
  const double a = 0.02, b = 0.01, power = 2.5, k0 = k0_of(12e9);
  const RectangularPort p(1, 0, a, b, xy_frame({0.1, 0.2, 0.3}), 1, power, 1.0);
  const double z = p.wave_impedance(k0);
  const double s0 = std::sqrt(4.0 * power * ETA0 / (a * b)) * std::sqrt(z / ETA0);
  for (double s : {-0.01, -0.004, 0.0, 0.0071}) {
    const Vec3 e = *p.mode_profile(0.1 + s, 0.2 + 0.003, 0.3, k0);
    EXPECT_NEAR(e[0], 0.0, 1e-12 * s0);
    EXPECT_NEAR(e[1], s0 * std::cos(PI * s / a), 1e-12 * s0);
    EXPECT_EQ(e[2], 0.0);
  }
}

struct ModeCase {
  u64 m, n;
};
class RectangularModes : public ::testing::TestWithParam<ModeCase> {};

TEST_P(RectangularModes, PowerNormalisationAndWalls) {
  const auto [m, n] = GetParam();
  const double a = 0.03, b = 0.017, power = 1.7, er = 2.2;
  const RectangularPort p(m, n, a, b, xy_frame(), 4, power, er);
  const double k0 = 1.2 * k0_of(p.cutoff_frequency_hz());
  // P = 1/(2 Z_TE) * integral |E_t|^2 dS; the midpoint rule on whole half-periods is exact
  // up to rounding for these trigonometric products.
  const double z = p.wave_impedance(k0);
  EXPECT_NEAR(integral_e2_rect(p, a, b, k0) / (2.0 * z), power, 1e-9 * power);
  // PEC walls: E_v vanishes on u = +-a/2, E_u vanishes on v = +-b/2.
  const double scale = std::sqrt(power * z / (a * b));
  for (double t : {-0.3, 0.1, 0.45}) {
    EXPECT_NEAR((*p.mode_profile(0.5 * a, t * b, 0, k0))[1], 0.0, 1e-12 * scale);
    EXPECT_NEAR((*p.mode_profile(-0.5 * a, t * b, 0, k0))[1], 0.0, 1e-12 * scale);
    EXPECT_NEAR((*p.mode_profile(t * a, 0.5 * b, 0, k0))[0], 0.0, 1e-12 * scale);
    EXPECT_NEAR((*p.mode_profile(t * a, -0.5 * b, 0, k0))[0], 0.0, 1e-12 * scale);
  }
  // A TE mode is divergence-free in the aperture plane.
  const double h = 1e-6, x = 0.0031, y = -0.0023;
  const double div = ((*p.mode_profile(x + h, y, 0, k0))[0] - (*p.mode_profile(x - h, y, 0, k0))[0] +
                      (*p.mode_profile(x, y + h, 0, k0))[1] - (*p.mode_profile(x, y - h, 0, k0))[1]) /
                     (2 * h);
  EXPECT_NEAR(div, 0.0, 1e-6 * scale / h);
}

INSTANTIATE_TEST_SUITE_P(Modes, RectangularModes,
                         ::testing::Values(ModeCase{1, 0}, ModeCase{0, 1}, ModeCase{2, 0},
                                           ModeCase{1, 1}, ModeCase{2, 1}, ModeCase{3, 2}),
                         [](const auto& info) {
                           return "TE" + std::to_string(info.param.m) + std::to_string(info.param.n);
                         });

TEST(RectangularPort, BelowCutoffIsRefusedNotNaN) {
  const RectangularPort p(1, 0, 22.86e-3, 10.16e-3, xy_frame(), 3, 1.0, 1.0);
  const double k0 = k0_of(5e9);  // TE10 cut-off 6.557 GHz
  const std::string msg = error_of([&] { check_port_frequency(p, k0); });
  EXPECT_NE(msg.find("port 3 (rectangular)"), std::string::npos) << msg;
  EXPECT_NE(msg.find("5.0000e9 Hz"), std::string::npos) << msg;
  EXPECT_NE(msg.find("cut-off frequency 6.5571e9 Hz"), std::string::npos) << msg;
  EXPECT_THROW(p.robin_coefficient(k0), Error);
  EXPECT_THROW(p.incident_term(0, 0, 0, k0), Error);
  EXPECT_THROW(p.wave_impedance(k0), Error);
  EXPECT_THROW(check_port_frequency(p, k0_of(p.cutoff_frequency_hz())), Error);
  EXPECT_NO_THROW(check_port_frequency(p, k0_of(7e9)));
  const AbcBoundary abc(1, U'B');
  EXPECT_NO_THROW(check_port_frequency(abc, k0));
  EXPECT_FALSE(rect_propagation_constant(k0, 1.0, 1, 0, 22.86e-3, 10.16e-3).has_value());
  // The whole sweep is checked before it starts: one frequency below cut-off is enough.
  std::vector<std::unique_ptr<Port>> ports;
  ports.push_back(std::make_unique<AbcBoundary>(1, U'B'));
  ports.push_back(std::make_unique<RectangularPort>(p));
  EXPECT_NO_THROW(check_ports_for_frequencies(ports, {7e9, 10e9}));
  EXPECT_THROW(check_ports_for_frequencies(ports, {7e9, 6e9, 10e9}), Error);
}

TEST(RectangularPort, RefusesApertureWithoutFiniteFormulas) {
  EXPECT_EQ(error_of([] { RectangularPort(1, 0, 0.0, 0.01, xy_frame(), 2, 1.0, 1.0); }),
            "port 2 (rectangular): aperture width a must be above 0 m, got 0.0");
  EXPECT_NE(error_of([] { RectangularPort(1, 0, 0.02, 0.01, xy_frame(), 2, 0.0, 1.0); }).find("power"),
            std::string::npos);
  EXPECT_NE(error_of([] { RectangularPort(0, 0, 0.02, 0.01, xy_frame(), 2, 1.0, 1.0); }), "");
}

// ---- coax and Floquet ---------------------------------------------------------------------------

TEST(CoaxPort, ImpedanceAndPower) {
  const double ri = 0.5e-3, ro = 1.15e-3, er = 2.1, power = 0.8;
  const CoaxPort p(xy_frame({0.01, 0.0, 0.0}), 2, power, er, ri, ro);
  const double zc = ETA0 / (2.0 * PI * std::sqrt(er)) * std::log(ro / ri);
  EXPECT_NEAR(p.wave_impedance(1.0), zc, 1e-12 * zc);
  EXPECT_NEAR(CoaxPort(xy_frame(), 1, 1.0, 1.0, ri, ro).wave_impedance(0.0), 49.94, 0.01);  // eta0/(2 pi) ln 2.3
  const double k0 = k0_of(3e9);
  EXPECT_NEAR(p.robin_coefficient(k0).imag(), k0 * std::sqrt(er), 1e-12 * k0);
  // P = sqrt(er)/(2 eta0) * integral over the annulus of |E|^2 (midpoint in rho, exact in phi)
  const int n = 20000;
  double sum = 0.0;
  for (int i = 0; i < n; ++i) {
    const double rho = ri + (i + 0.5) * (ro - ri) / n;
    const Vec3 e = *p.mode_profile(0.01 + rho * std::cos(0.7), rho * std::sin(0.7), 0.0, k0);
    sum += (e[0] * e[0] + e[1] * e[1] + e[2] * e[2]) * 2.0 * PI * rho * (ro - ri) / n;
    EXPECT_NEAR(e[0] * std::sin(0.7) - e[1] * std::cos(0.7), 0.0, 1e-9 * std::abs(e[0]));  // radial
  }
  EXPECT_NEAR(sum * std::sqrt(er) / (2.0 * ETA0), power, 1e-7 * power);
  expect_vec(*p.mode_profile(0.01, 0.0, 0.0, k0), {0, 0, 0});  // on the axis
}

TEST(CoaxPort, RefusesImpossibleRadii) {
  const auto make = [](double ri, double ro) {
    return error_of([=] { CoaxPort(xy_frame(), 2, 1.0, 1.0, ri, ro); });
  };
  EXPECT_EQ(make(0.0, 1e-3).rfind("port 2 (coax): ro must exceed ri > 0", 0), 0u) << make(0.0, 1e-3);
  EXPECT_NE(make(-1e-3, 1e-3), "");
  EXPECT_NE(make(1e-3, 1e-3), "");
  EXPECT_NE(make(2e-3, 1e-3), "");
  EXPECT_EQ(make(0.5e-3, 1e-3), "");
  EXPECT_NE(error_of([] { CoaxPort(xy_frame(), 2, -1.0, 1.0, 1e-3, 2e-3); }), "");
}

TEST(FloquetPort, PolarisationAndPower) {
  const double theta = 30.0 * DEG_TO_RAD, phi = 40.0 * DEG_TO_RAD, area = 2e-4, power = 1.0;
  const FloquetPort te(xy_frame(), 1, power, 1.0, area, theta, phi, 1);
  const FloquetPort tm(xy_frame(), 2, power, 1.0, area, theta, phi, 7);
  const Vec3 e_te = te.mode_field(), e_tm = tm.mode_field();
  const double k0 = k0_of(5e9);
  EXPECT_NEAR(te.robin_coefficient(k0).imag(), k0 * std::cos(theta), 1e-12 * k0);
  // TE: power through the cell |A|^2 cos(theta) area/(2 eta0); the field lies in the aperture.
  EXPECT_NEAR(dot3(e_te, e_te) * std::cos(theta) * area / (2.0 * ETA0), power, 1e-12);
  EXPECT_EQ(e_te[2], 0.0);
  // Both polarisations are transverse to the wave travelling into the cell and orthogonal.
  const Vec3 k_in = {std::sin(theta) * std::cos(phi), std::sin(theta) * std::sin(phi), -std::cos(theta)};
  EXPECT_NEAR(dot3(e_te, k_in), 0.0, 1e-9);
  EXPECT_NEAR(dot3(e_tm, k_in), 0.0, 1e-9);
  EXPECT_NEAR(dot3(e_te, e_tm), 0.0, 1e-9);
  EXPECT_EQ(te.wave_impedance(k0), ETA0);
  EXPECT_NE(error_of([] { FloquetPort(xy_frame(), 1, 1.0, 1.0, 1e-4, PI / 2, 0.0, 1); }), "");
  EXPECT_NE(error_of([] { FloquetPort(xy_frame(), 1, 1.0, 1.0, 0.0, 0.0, 0.0, 1); }), "");
}

// ---- lumped port and lumped element --------------------------------------------------------------

TEST(LumpedPort, UnitDirectionForThePhysics) {
  const double k0 = k0_of(1e9), w = 2e-3, h = 1e-3;
  const LumpedPort p(1, 1.0, 50.0, w, h, {0.0, 0.0, 2.0});
  const LumpedPort q(1, 1.0, 50.0, w, h, {0.0, 0.0, 1.0});
  const auto info = *p.lumped_info();
  EXPECT_EQ(info.direction, (Vec3{0.0, 0.0, 2.0}));  // as configured
  EXPECT_EQ(info.z0, 50.0);
  EXPECT_NEAR(info.v_peak, 10.0, 1e-12);
  EXPECT_EQ(*p.lumped_height(), h);
  EXPECT_TRUE(p.is_lumped());
  EXPECT_EQ(p.wave_impedance(k0), 50.0);
  // The incident field does not grow with |direction|: E0 = V/h along the unit direction.
  const CVec3 up = *p.incident_term(0, 0, 0, k0), uq = *q.incident_term(0, 0, 0, k0);
  EXPECT_EQ(up, uq);
  const double g = k0 * ETA0 * h / (50.0 * w);
  EXPECT_NEAR(up[2].imag(), -2.0 * g * 10.0 / h, 1e-9 * std::abs(up[2].imag()));
  EXPECT_NEAR(p.robin_coefficient(k0).imag(), g, 1e-12 * g);
  expect_vec(*p.mode_profile(0, 0, 0, k0), {0, 0, 1});
}

TEST(LumpedPort, RefusesZeroAperture) {
  EXPECT_EQ(error_of([] { LumpedPort(3, 1.0, 50.0, 0.0, 1e-3, {0, 0, 1}); })
                .rfind("port 3 (lumped): aperture width must be above 0 m", 0),
            0u);
  EXPECT_NE(error_of([] { LumpedPort(3, 1.0, 50.0, 1e-3, 0.0, {0, 0, 1}); }), "");
  EXPECT_NE(error_of([] { LumpedPort(3, 1.0, 50.0, 1e-3, 1e-3, {0, 0, 0}); }), "");
  EXPECT_NE(error_of([] { LumpedPort(3, 0.0, 50.0, 1e-3, 1e-3, {0, 0, 1}); }), "");
}

TEST(LumpedElement, SeriesRlc) {
  const double k0 = k0_of(2e9), w = 1e-3, h = 2e-3, omega = k0 * C0;
  const LumpedElement r50(std::nullopt, 50.0, 0.0, w, h, 4);
  const cplx g = r50.robin_coefficient(k0);
  EXPECT_NEAR(g.real(), 0.0, 1e-12);
  EXPECT_NEAR(g.imag(), k0 * ETA0 / (50.0 * w / h), 1e-9);
  const LumpedElement rlc(1e-12, 10.0, 2e-9, w, h, 4);
  const cplx z = rlc.impedance(k0);
  EXPECT_NEAR(z.imag(), omega * 2e-9 - 1.0 / (omega * 1e-12), 1e-9);
  const cplx want = cplx(0.0, k0 * ETA0) / (z * w / h);
  EXPECT_NEAR(std::abs(rlc.robin_coefficient(k0) - want), 0.0, 1e-12 * std::abs(want));
  // c absent or c <= 0: no capacitive term
  EXPECT_EQ(LumpedElement(-1.0, 10.0, 2e-9, w, h, 4).impedance(k0), cplx(10.0, omega * 2e-9));
  EXPECT_EQ(error_of([] { LumpedElement(std::nullopt, 0.0, 0.0, 1e-3, 1e-3, 7); }),
            "lumped_element on tag 7: no impedance: give r, l or a capacitance c above 0");
  EXPECT_NE(error_of([] { LumpedElement(0.0, 0.0, 0.0, 1e-3, 1e-3, 7); }), "");
  EXPECT_NE(error_of([] { LumpedElement(std::nullopt, 50.0, 0.0, 0.0, 1e-3, 7); }), "");
}

// ---- boundaries ------------------------------------------------------------------------------------

TEST(AbcBoundary, CoefficientTable) {
  const double k0 = 40.0;
  struct Case {
    u64 order;
    char32_t kind;
    double p0;
    std::optional<double> p2;
  };
  for (const Case& c : {Case{1, U'E', 1.0, std::nullopt}, Case{1, U'b', 1.0, std::nullopt},
                        Case{2, U'C', 1.03084, -0.73631}, Case{2, U'b', 1.00023, -0.51555},
                        Case{2, U'X', 1.00023, -0.51555}, Case{3, U'A', 1.0, -0.5},
                        Case{0, U'D', 1.06103, std::nullopt}, Case{0, U'Z', 1.00023, std::nullopt}}) {
    const AbcBoundary abc(c.order, c.kind);
    EXPECT_EQ(abc.robin_coefficient(k0), cplx(0.0, k0 * c.p0)) << c.order << " " << int(c.kind);
    EXPECT_EQ(abc.is_second_order_abc(), c.order >= 2);
    const auto a2 = abc.abc2_coefficient(k0);
    ASSERT_EQ(a2.has_value(), c.p2.has_value());
    if (a2) EXPECT_EQ(*a2, cplx(0.0, *c.p2 / k0));
  }
  EXPECT_EQ(abc_kind_from_text(""), U'B');
  EXPECT_EQ(abc_kind_from_text("Cx"), U'C');
  EXPECT_EQ(abc_kind_from_text("\xc3\xa9t\xc3\xa9"), U'\u00e9');
}

TEST(Boundaries, DefaultAnswers) {
  const AbcBoundary abc(2, U'B');
  const LumpedElement le(std::nullopt, 50.0, 0.0, 1e-3, 1e-3, 1);
  const SurfaceImpedance si(std::nullopt, cplx(1.0, 1.0), 0.0, 1.0, 1.0, 1);
  for (const Port* p : {static_cast<const Port*>(&abc), static_cast<const Port*>(&le),
                        static_cast<const Port*>(&si)}) {
    EXPECT_FALSE(p->is_driven());
    EXPECT_EQ(p->port_number(), 0u);
    EXPECT_EQ(p->wave_impedance(10.0), 0.0);
    EXPECT_FALSE(p->incident_term(0, 0, 0, 10.0).has_value());
    EXPECT_FALSE(p->mode_profile(0, 0, 0, 10.0).has_value());
    EXPECT_FALSE(p->is_lumped());
    EXPECT_FALSE(p->lumped_info().has_value());
  }
}

TEST(SurfaceImpedance, MatchedSheetIsFirstOrderAbc) {
  const double k0 = k0_of(4e9);
  const SurfaceImpedance s(0.01, cplx(ETA0, 0.0), 0.0, 1.0, 1.0, 3);  // thickness ignored with zs
  const cplx g = s.robin_coefficient(k0);
  EXPECT_NEAR(g.real(), 0.0, 1e-12);
  EXPECT_NEAR(g.imag(), k0, 1e-12 * k0);
}

TEST(SurfaceImpedance, GoodConductor) {
  const double sigma = 5.8e7, f = 10e9, k0 = k0_of(f), omega = 2.0 * PI * f;
  const SurfaceImpedance cu(std::nullopt, std::nullopt, sigma, 1.0, 1.0, 3);
  // Rs = sqrt(omega mu0 / (2 sigma)): about 26 mOhm for copper at 10 GHz
  const double rs = std::sqrt(omega * MU0 / (2.0 * sigma));
  const cplx zs = cu.surface_impedance(k0);
  // the displacement-current correction omega eps0/sigma ~ 1e-8 is the only difference
  EXPECT_NEAR(zs.real(), rs, 1e-7 * rs);
  EXPECT_NEAR(zs.imag(), rs, 1e-7 * rs);
  EXPECT_NEAR(rs, 0.0261, 1e-4);
  // A sheet many skin depths thick is the bulk conductor (cosh(2a) overflows on the way).
  const SurfaceImpedance thick(1e-3, std::nullopt, sigma, 1.0, 1.0, 3);
  const cplx zt = thick.surface_impedance(k0);
  EXPECT_TRUE(std::isfinite(zt.real()) && std::isfinite(zt.imag()));
  EXPECT_NEAR(std::abs(zt - zs), 0.0, 1e-12 * rs);
  // A film much thinner than the skin depth: Zs -> 1/(sigma t), the sheet resistance.
  const double delta = 1.0 / (rs * sigma), t = delta / 200.0;
  const cplx zf = SurfaceImpedance(t, std::nullopt, sigma, 1.0, 1.0, 3).surface_impedance(k0);
  EXPECT_NEAR(zf.real(), 1.0 / (sigma * t), 1e-4 / (sigma * t));
  EXPECT_NEAR(zf.imag(), 0.0, 1e-2 / (sigma * t));
}

TEST(SurfaceImpedance, FiniteSheetMatchesComplexTanh) {
  // Zs(t) = Zs(inf)/tanh(gamma t) with gamma = j omega sqrt(mu (eps - j sigma/omega)), through
  // the skin-depth range; std::tanh of the complex argument is the reference.
  const double sigma = 1e6, er = 3.0, mur = 2.0, f = 5e9, k0 = k0_of(f), omega = 2.0 * PI * f;
  const SurfaceImpedance bulk(std::nullopt, std::nullopt, sigma, mur, er, 1);
  const cplx gamma = cplx(0.0, omega) * std::sqrt(cplx(mur * MU0 * er * EPS0, -mur * MU0 * sigma / omega));
  for (double t : {1e-7, 1e-6, 3e-6, 1e-5, 1e-4}) {
    const cplx want = bulk.surface_impedance(k0) / std::tanh(gamma * t);
    const cplx got = SurfaceImpedance(t, std::nullopt, sigma, mur, er, 1).surface_impedance(k0);
    EXPECT_NEAR(std::abs(got - want), 0.0, 1e-12 * std::abs(want)) << "t = " << t;
  }
}

TEST(SurfaceImpedance, RefusesEntriesWithoutAValue) {
  EXPECT_EQ(error_of([] { SurfaceImpedance(std::nullopt, std::nullopt, 0.0, 1.0, 1.0, 9); }),
            "surface_impedance on tag 9: needs zs or a conductivity above 0 S/m, got conductivity 0.0");
  EXPECT_NE(error_of([] { SurfaceImpedance(std::nullopt, cplx(0.0, 0.0), 0.0, 1.0, 1.0, 9); }), "");
  EXPECT_NE(error_of([] { SurfaceImpedance(0.0, std::nullopt, 1e6, 1.0, 1.0, 9); }), "");
  EXPECT_NE(error_of([] { SurfaceImpedance(std::nullopt, std::nullopt, 1e6, 0.0, 1.0, 9); }), "");
  EXPECT_EQ(error_of([] { SurfaceImpedance(std::nullopt, cplx(50.0, 0.0), 0.0, 1.0, 1.0, 9); }), "");
}

// ---- frames on a small mesh ------------------------------------------------------------------------

TEST(Aperture, AxisAlignedApertures) {
  const double lx = 0.04, ly = 0.02, lz = 0.05;
  const Mesh m = box_mesh(lx, ly, lz, 3);
  // Top face z = lz: outward normal +z, larger extent along x -> u = x, v = y.
  const PortAperture top = build_port_frame(m, faces_on_plane(m, 2, lz));
  expect_vec(top.frame.w, {0, 0, 1});
  expect_vec(top.frame.u, {1, 0, 0});
  expect_vec(top.frame.v, {0, 1, 0});
  expect_vec(top.frame.origin, {0.5 * lx, 0.5 * ly, lz});
  EXPECT_DOUBLE_EQ(top.extent_major, lx);
  EXPECT_DOUBLE_EQ(top.extent_minor, ly);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) EXPECT_EQ(top.frame.to_local[3 * r + c], top.frame.to_global[3 * c + r]);
  // Bottom face z = 0: outward normal -z, so v = w x u = -y.
  const PortAperture bottom = build_port_frame(m, faces_on_plane(m, 2, 0.0));
  expect_vec(bottom.frame.w, {0, 0, -1});
  expect_vec(bottom.frame.v, {0, -1, 0});
  // Face x = lx: in-plane axes y (0.02) and z (0.05): u = z, v = x cross z = -y.
  const PortAperture side = build_port_frame(m, faces_on_plane(m, 0, lx));
  expect_vec(side.frame.w, {1, 0, 0});
  expect_vec(side.frame.u, {0, 0, 1});
  expect_vec(side.frame.v, {0, -1, 0});
  EXPECT_DOUBLE_EQ(side.extent_major, lz);
  // Larger extent along y in a z = const plane: u = y, v = z x y = -x.
  const Mesh tall = box_mesh(0.02, 0.04, 0.01, 2);
  const PortAperture t2 = build_port_frame(tall, faces_on_plane(tall, 2, 0.01));
  expect_vec(t2.frame.u, {0, 1, 0});
  expect_vec(t2.frame.v, {-1, 0, 0});
  // Equal extents: the lower global axis is u.
  const Mesh cube = box_mesh(0.02, 0.02, 0.02, 2);
  expect_vec(build_port_frame(cube, faces_on_plane(cube, 1, 0.0)).frame.u, {1, 0, 0});
}

TEST(Aperture, CoaxFrame) {
  const Mesh m = box_mesh(0.02, 0.02, 0.02, 2);
  const PortAperture ap = build_port_frame(m, faces_on_plane(m, 2, 0.0));
  const PortFrame f = build_coax_frame(ap.frame, std::nullopt, std::nullopt, 1);
  expect_vec(f.w, {0, 0, -1});
  expect_vec(f.origin, {0.01, 0.01, 0.0});
  expect_vec(f.u, {1, 0, 0});
  expect_vec(cross3(f.u, f.v), f.w);
  // |z_x| >= 0.9 takes y as the reference vector.
  const PortFrame g = build_coax_frame(ap.frame, Vec3{1, 2, 3}, Vec3{-2.0, 0.0, 0.0}, 1);
  expect_vec(g.w, {-1, 0, 0});
  expect_vec(g.u, {0, 1, 0});
  expect_vec(g.origin, {1, 2, 3});
  EXPECT_EQ(error_of([&] { build_coax_frame(ap.frame, std::nullopt, Vec3{0, 0, 0}, 4); }),
            "port 4 (coax): z_axis must be a non-zero vector");
}

TEST(Aperture, LumpedApertureAndLines) {
  const double lx = 0.004, ly = 0.003, lz = 0.001;
  const Mesh m = box_mesh(lx, ly, lz, 2);
  const std::vector<u64> faces = faces_on_plane(m, 0, 0.0);  // the x = 0 side, spanning y and z
  const ApertureExtents e = aperture_extents(m, faces, {0.0, 0.0, 1.0});
  EXPECT_DOUBLE_EQ(e.height, lz);
  EXPECT_DOUBLE_EQ(e.width, ly);  // largest extent off the z axis (x extent is 0)
  // The height is a length, not scaled by |direction|.
  EXPECT_DOUBLE_EQ(aperture_extents(m, faces, {0.0, 0.0, 2.0}).height, lz);
  EXPECT_EQ(aperture_extents(m, faces, {0.0, 0.0, 0.0}).height, 0.0);
  // Lines start at the nodes lowest along the direction and run `height` metres along it, also
  // for a configured direction of length 2.
  const auto lines = lumped_integration_lines(m, faces, {0.0, 0.0, 2.0}, lz);
  ASSERT_EQ(lines.size(), 3u);  // the three nodes of x = 0, z = 0
  for (const auto& line : lines) {
    ASSERT_EQ(line.size(), LUMPED_LINE_POINTS);
    EXPECT_EQ(line.front()[2], 0.0);
    EXPECT_NEAR(line.back()[2], lz, 1e-15);
    EXPECT_EQ(line.back()[1], line.front()[1]);
  }
  // The search step itself: every base node once, then none.
  const std::vector<u64> set = port_nodes(m, faces);
  std::size_t cursor = 0;
  int found = 0;
  while (next_lumped_base_node(set, cursor, m.nodes, {0, 0, 1}, 0.0, 1e-9)) ++found;
  EXPECT_EQ(found, 3);
  EXPECT_FALSE(next_lumped_base_node(set, cursor, m.nodes, {0, 0, 1}, 0.0, 1e-9).has_value());
}
