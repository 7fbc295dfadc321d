#include "fd/ports.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_set>

#include "core/materials.hpp"
#include "fd/surface_kernels.hpp"
#include "fd/tri_geometry.hpp"

namespace vantrel {

namespace {

bool positive_finite(double x) { return std::isfinite(x) && x > 0.0; }

std::string port_label(u64 number, const char* kind) {
  return "port " + std::to_string(number) + " (" + kind + ")";
}
std::string boundary_label(i32 tag, const char* kind) {
  return std::string(kind) + " on tag " + std::to_string(tag);
}

void require(bool ok, const std::string& label, const std::string& what) {
  if (!ok) throw Error(label + ": " + what);
}

void require_power(double power, const std::string& label) {
  require(positive_finite(power), label, "power must be above 0 W, got " + fmt_float(power));
}

// -2j*beta*e for a real field e: each component c becomes (0, -2*beta*c).
CVec3 incident_from_mode(double beta, const Vec3& e) {
  return {cplx(0.0, -2.0 * beta * e[0]), cplx(0.0, -2.0 * beta * e[1]),
          cplx(0.0, -2.0 * beta * e[2])};
}

const Vec3& node_at(const Mesh& mesh, u64 node) {
  check_index(node, mesh.nodes.size());
  return mesh.nodes[node];
}

// Per-axis bounding-box extents of a node list (min from +inf, max from -inf).
Vec3 bounding_extents(const Mesh& mesh, const std::vector<u64>& nodes) {
  Vec3 lo{INFINITY, INFINITY, INFINITY}, hi{-INFINITY, -INFINITY, -INFINITY};
  for (u64 n : nodes) {
    const Vec3& p = node_at(mesh, n);
    for (int k = 0; k < 3; ++k) {
      lo[k] = std::fmin(lo[k], p[k]);
      hi[k] = std::fmax(hi[k], p[k]);
    }
  }
  return {hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
}

// The area centroid of the faces: the centre of a meshed rectangle or annulus whatever the
// mesh density, where the mode fields are centred. (The mean of the nodes drifts towards the
// densely meshed side, which moves the mode off the walls.) Node mean for a zero-area aperture.
Vec3 aperture_centroid(const Mesh& mesh, const std::vector<u64>& faces,
                       const std::vector<u64>& nodes) {
  Vec3 sum{0.0, 0.0, 0.0};
  double area = 0.0;
  for (u64 f : faces) {
    const Vec3& p0 = node_at(mesh, mesh.faces[f][0]);
    const Vec3& p1 = node_at(mesh, mesh.faces[f][1]);
    const Vec3& p2 = node_at(mesh, mesh.faces[f][2]);
    const Vec3 c = cross3(sub3(p1, p0), sub3(p2, p0));
    const double a = 0.5 * std::sqrt(dot3(c, c));
    for (int k = 0; k < 3; ++k) sum[k] += a * (p0[k] + p1[k] + p2[k]) / 3.0;
    area += a;
  }
  if (area > 0.0) return {sum[0] / area, sum[1] / area, sum[2] / area};
  Vec3 mean{0.0, 0.0, 0.0};
  for (u64 n : nodes) {
    const Vec3& p = node_at(mesh, n);
    for (int k = 0; k < 3; ++k) mean[k] += p[k];
  }
  for (int k = 0; k < 3; ++k) mean[k] /= static_cast<double>(nodes.size());
  return mean;
}

}  // namespace

// ---- frames ---------------------------------------------------------------------------------------

Vec3 frame_to_global(const PortFrame& f, const Vec3& l) {
  Vec3 g{};
  for (int i = 0; i < 3; ++i) g[i] = l[0] * f.u[i] + l[1] * f.v[i] + l[2] * f.w[i];
  return g;
}

Vec3 frame_to_local(const PortFrame& f, const Vec3& p) {
  const Vec3 d = sub3(p, f.origin);
  return {dot3(f.u, d), dot3(f.v, d), dot3(f.w, d)};
}

PortFrame make_port_frame(const Vec3& origin, const Vec3& u, const Vec3& v, const Vec3& w) {
  PortFrame f;
  f.origin = origin;
  f.u = u;
  f.v = v;
  f.w = w;
  const std::array<const Vec3*, 3> rows = {&f.u, &f.v, &f.w};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      f.to_local[3 * r + c] = (*rows[r])[c];
      f.to_global[3 * c + r] = (*rows[r])[c];
    }
  }
  return f;
}

std::vector<u64> port_nodes(const Mesh& mesh, const std::vector<u64>& faces) {
  std::vector<u64> out;
  std::unordered_set<u64> seen;
  for (u64 f : faces) {
    check_index(f, mesh.faces.size());
    for (u64 n : mesh.faces[f]) {
      if (seen.insert(n).second) out.push_back(n);
    }
  }
  return out;
}

PortAperture build_port_frame(const Mesh& mesh, const std::vector<u64>& faces) {
  if (faces.empty()) panic("build_port_frame: a port aperture needs at least one face");
  const std::vector<u64> nodes = port_nodes(mesh, faces);
  const Vec3 origin = aperture_centroid(mesh, faces, nodes);

  // Normal of the first face, turned away from its first tetrahedron (out of the meshed region).
  const u64 f0 = faces[0];
  const auto& fn = mesh.faces[f0];
  const Vec3& p0 = node_at(mesh, fn[0]);
  const Vec3& p1 = node_at(mesh, fn[1]);
  const Vec3& p2 = node_at(mesh, fn[2]);
  Vec3 w = normalize3(cross3(sub3(p1, p0), sub3(p2, p0)));
  check_index(f0, mesh.face_tets.size());
  const u64 t = mesh.face_tets[f0][0];
  check_index(t, mesh.tets.size());
  Vec3 c{0.0, 0.0, 0.0};
  for (u64 n : mesh.tets[t]) {
    const Vec3& p = node_at(mesh, n);
    for (int k = 0; k < 3; ++k) c[k] += p[k];
  }
  for (int k = 0; k < 3; ++k) c[k] *= 0.25;
  if (dot3(w, sub3(c, origin)) > 0.0) w = {-w[0], -w[1], -w[2]};

  const Vec3 ext = bounding_extents(mesh, nodes);
  const int normal_axis = dominant_axis(w);
  std::array<int, 2> axes{};
  int k = 0;
  for (int a = 0; a < 3; ++a) {
    if (a != normal_axis) axes[k++] = a;
  }
  // Larger extent first; equal extents keep the lower axis first.
  if (std::isnan(ext[axes[0]]) || std::isnan(ext[axes[1]])) {
    panic("called `Option::unwrap()` on a `None` value");
  }
  if (ext[axes[1]] > ext[axes[0]]) std::swap(axes[0], axes[1]);

  Vec3 e{0.0, 0.0, 0.0};
  e[axes[0]] = 1.0;
  const double we = dot3(w, e);
  const Vec3 u = normalize3({e[0] - w[0] * we, e[1] - w[1] * we, e[2] - w[2] * we});
  const Vec3 v = cross3(w, u);

  PortAperture out;
  out.frame = make_port_frame(origin, u, v, w);
  out.extent_major = ext[axes[0]];
  out.extent_minor = ext[axes[1]];
  return out;
}

PortFrame build_coax_frame(const PortFrame& measured, const std::optional<Vec3>& origin,
                           const std::optional<Vec3>& z_axis, u64 port_number) {
  const std::string label = port_label(port_number, "coax");
  const Vec3 o = origin ? *origin : measured.origin;
  const Vec3 axis = z_axis ? *z_axis : measured.w;
  const double len = std::sqrt(dot3(axis, axis));
  require(positive_finite(len), label, "z_axis must be a non-zero vector");
  for (double x : o) require(std::isfinite(x), label, "origin must be finite");
  const Vec3 w = {axis[0] / len, axis[1] / len, axis[2] / len};
  const Vec3 r = std::abs(w[0]) < 0.9 ? Vec3{1.0, 0.0, 0.0} : Vec3{0.0, 1.0, 0.0};
  const double wr = dot3(w, r);
  const Vec3 u = normalize3({r[0] - w[0] * wr, r[1] - w[1] * wr, r[2] - w[2] * wr});
  const Vec3 v = cross3(w, u);
  return make_port_frame(o, u, v, w);
}

ApertureExtents aperture_extents(const Mesh& mesh, const std::vector<u64>& faces,
                                 const Vec3& direction) {
  const std::vector<u64> nodes = port_nodes(mesh, faces);
  const Vec3 ext = bounding_extents(mesh, nodes);
  // The height is a length: measured along the unit direction, whatever length the direction
  // was given with. A zero direction measures height 0, which the lumped kinds refuse.
  const double len = std::sqrt(dot3(direction, direction));
  const Vec3 unit = len > 0.0 ? Vec3{direction[0] / len, direction[1] / len, direction[2] / len}
                              : direction;
  double dmin = INFINITY, dmax = -INFINITY;
  for (u64 n : nodes) {
    const double d = dot3(node_at(mesh, n), unit);
    dmin = std::fmin(dmin, d);
    dmax = std::fmax(dmax, d);
  }
  ApertureExtents out;
  out.height = dmax - dmin;
  const int dom = dominant_axis(direction);
  out.width = 0.0;
  for (int a = 0; a < 3; ++a) {
    if (a != dom && ext[a] > out.width) out.width = ext[a];
  }
  return out;
}

std::optional<u64> next_lumped_base_node(const std::vector<u64>& node_set, std::size_t& cursor,
                                         const std::vector<Vec3>& nodes, const Vec3& direction,
                                         double d_min, double tol) {
  while (cursor < node_set.size()) {
    const u64 n = node_set[cursor++];
    check_index(n, nodes.size());
    if (std::abs(dot3(nodes[n], direction) - d_min) < tol) return n;
  }
  return std::nullopt;
}

std::vector<std::vector<Vec3>> lumped_integration_lines(const Mesh& mesh,
                                                        const std::vector<u64>& faces,
                                                        const Vec3& direction, double height) {
  const Vec3 d = normalize3(direction);
  const std::vector<u64> set = port_nodes(mesh, faces);
  double d_min = INFINITY;
  for (u64 n : set) d_min = std::fmin(d_min, dot3(node_at(mesh, n), d));
  const double tol = LUMPED_BASE_TOLERANCE * std::fmax(height, 1.0);
  std::vector<std::vector<Vec3>> lines;
  std::size_t cursor = 0;
  while (auto base = next_lumped_base_node(set, cursor, mesh.nodes, d, d_min, tol)) {
    const Vec3& b = mesh.nodes[*base];
    std::vector<Vec3> line(LUMPED_LINE_POINTS);
    for (u64 k = 0; k < LUMPED_LINE_POINTS; ++k) {
      const double s = static_cast<double>(k) / static_cast<double>(LUMPED_LINE_SEGMENTS);
      for (int i = 0; i < 3; ++i) line[k][i] = b[i] + height * (s * d[i]);
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

// ---- absorbing-boundary table -------------------------------------------------------------------

std::pair<double, double> abc_coefficients(char32_t kind) {
  for (const AbcCoefficientRow& row : ABC_COEFFICIENTS) {
    if (row.kind == kind) return {row.p0, row.p2};
  }
  return {1.00023, -0.51555};
}

char32_t abc_kind_from_text(std::string_view s) {
  if (s.empty()) return U'B';
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c0 = b(0);
  if (c0 < 0x80) return c0;
  int len = (c0 >= 0xF0) ? 4 : (c0 >= 0xE0) ? 3 : 2;
  if (static_cast<std::size_t>(len) > s.size()) return U'\uFFFD';
  char32_t cp = c0 & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
  for (int i = 1; i < len; ++i) cp = (cp << 6) | (b(i) & 0x3F);
  return cp;
}

// ---- mode formulas -------------------------------------------------------------------------------

std::optional<double> rect_propagation_constant(double k0, double er, u64 m, u64 n, double a,
                                                double b) {
  const double kx = static_cast<double>(m) * PI / a;
  const double ky = static_cast<double>(n) * PI / b;
  const double radicand = k0 * k0 * er - kx * kx - ky * ky;
  if (!(radicand > 0.0)) return std::nullopt;
  return std::sqrt(radicand);
}

double coax_impedance(double er, double ri, double ro) {
  return ETA0 / std::sqrt(er) / (2.0 * PI) * std::log(ro / ri);
}

// ---- RectangularPort ------------------------------------------------------------------------------

RectangularPort::RectangularPort(u64 m_, u64 n_, double a_, double b_, const PortFrame& frame_,
                                 u64 number_, double power_, double er_)
    : m(m_), n(n_), a(a_), b(b_), frame(frame_), number(number_), power(power_), er(er_) {
  const std::string label = port_label(number, "rectangular");
  require(positive_finite(a), label, "aperture width a must be above 0 m, got " + fmt_float(a));
  require(positive_finite(b), label, "aperture height b must be above 0 m, got " + fmt_float(b));
  require(positive_finite(er), label, "er must be above 0, got " + fmt_float(er));
  require(m > 0 || n > 0, label, "mode (0, 0) is not a waveguide mode");
  require_power(power, label);
}

double RectangularPort::cutoff_wavenumber() const {
  const double kx = static_cast<double>(m) * PI / a;
  const double ky = static_cast<double>(n) * PI / b;
  return std::sqrt(kx * kx + ky * ky);
}

double RectangularPort::cutoff_frequency_hz() const {
  return C0 * cutoff_wavenumber() / (2.0 * PI * std::sqrt(er));
}

double RectangularPort::propagation_constant(double k0) const {
  const std::optional<double> beta = rect_propagation_constant(k0, er, m, n, a, b);
  if (!beta) {
    // Evanescent (or exactly at cut-off): no real propagation constant, so no wave to excite or
    // measure. Refused rather than handing NaN or an infinite impedance to the sweep.
    throw Error(port_label(number, "rectangular") + ": TE" + std::to_string(m) +
                std::to_string(n) + " does not propagate at " + fmt_exp(k0 * C0 / (2.0 * PI), 4) +
                " Hz (cut-off frequency " + fmt_exp(cutoff_frequency_hz(), 4) + " Hz)");
  }
  return *beta;
}

cplx RectangularPort::robin_coefficient(double k0) const {
  return {0.0, propagation_constant(k0)};
}

double RectangularPort::wave_impedance(double k0) const {
  // Z_TE = omega*mu0/beta
  return k0 * C0 * MU0 / propagation_constant(k0);
}

std::optional<Vec3> RectangularPort::mode_profile(double x, double y, double z, double k0) const {
  // Standard TE_mn field in corner coordinates (xc, yc) in [0, a] x [0, b]:
  //   E_u = -A (n pi/b)/kc cos(m pi xc/a) sin(n pi yc/b)
  //   E_v =  A (m pi/a)/kc sin(m pi xc/a) cos(n pi yc/b)
  // normalised to P = 1/(2 Z) * integral |E|^2 dS, which gives A = sqrt(2 e_m e_n P Z/(a b)),
  // e_0 = 1, e_i = 2 otherwise. TE10 is A cos(pi s/a) along v in the centred coordinate s.
  // The pattern is laid out in the port's own frame, v = n x u with n pointing out of the mesh:
  // two ports facing each other across a guide share u but have opposite v, and each measures yc
  // from its own corner. The facing port's reference field is then (-1)^(n+1) times the arriving
  // one: a matched straight section of length L gives S21 = -exp(-j beta L) for TE10 and TE20,
  // +exp(-j beta L) for TE01 and TE11.
  const double z_te = wave_impedance(k0);
  const Vec3 l = frame_to_local(frame, {x, y, z});
  const double xc = l[0] + 0.5 * a;
  const double yc = l[1] + 0.5 * b;
  const double kx = static_cast<double>(m) * PI / a;
  const double ky = static_cast<double>(n) * PI / b;
  const double kc = std::sqrt(kx * kx + ky * ky);
  const double em = m == 0 ? 1.0 : 2.0;
  const double en = n == 0 ? 1.0 : 2.0;
  const double amp = std::sqrt(2.0 * em * en * power * z_te / (a * b)) * scale;
  const double eu = -amp * (ky / kc) * std::cos(kx * xc) * std::sin(ky * yc);
  const double ev = amp * (kx / kc) * std::sin(kx * xc) * std::cos(ky * yc);
  return frame_to_global(frame, {eu, ev, 0.0});
}

std::optional<CVec3> RectangularPort::incident_term(double x, double y, double z, double k0) const {
  const double beta = propagation_constant(k0);
  return incident_from_mode(beta, *mode_profile(x, y, z, k0));
}

// ---- FloquetPort -----------------------------------------------------------------------------------

FloquetPort::FloquetPort(const PortFrame& frame_, u64 number_, double power_, double er_,
                         double area_, double theta_, double phi_, u32 mode_)
    : frame(frame_), number(number_), power(power_), er(er_), area(area_), theta(theta_),
      phi(phi_), mode(mode_) {
  const std::string label = port_label(number, "floquet");
  require_power(power, label);
  require(positive_finite(area), label, "aperture area must be above 0 m^2, got " + fmt_float(area));
  require(std::isfinite(phi), label, "scan_phi_deg must be finite");
  // cos(pi/2) is 6e-17 in f64, not 0: a grazing scan is refused with a margin.
  require(std::isfinite(theta) && std::cos(theta) > 1e-9, label,
          "scan_theta_deg must lie strictly between -90 and 90 degrees, got " +
              fmt_float(theta / DEG_TO_RAD));
}

Vec3 FloquetPort::mode_field() const {
  // P = |A|^2 cos(theta) area / (2 eta0)
  const double amp = std::sqrt(power * 753.46062733714 / (std::cos(theta) * area));
  const double te = is_te() ? 1.0 : 0.0;
  const double tm = 1.0 - te;
  const Vec3 local = {
      amp * (-te * std::sin(phi) - tm * std::cos(theta) * std::cos(phi)),
      amp * (te * std::cos(phi) - tm * std::cos(theta) * std::sin(phi)),
      amp * (-tm * std::sin(theta)),
  };
  return frame_to_global(frame, local);
}

cplx FloquetPort::robin_coefficient(double k0) const { return {0.0, k0 * std::cos(theta)}; }

std::optional<CVec3> FloquetPort::incident_term(double, double, double, double k0) const {
  return incident_from_mode(k0 * std::cos(theta), mode_field());
}

std::optional<Vec3> FloquetPort::mode_profile(double, double, double, double) const {
  return mode_field();
}

// ---- UserDefinedPort -------------------------------------------------------------------------------

UserDefinedPort::UserDefinedPort(FieldFn field_, u64 number_, double power_,
                                 PropagationFn propagation_)
    : field(std::move(field_)), number(number_), power(power_),
      propagation(std::move(propagation_)) {
  const std::string label = port_label(number, "user_defined");
  require(static_cast<bool>(field), label, "no field function");
  require_power(power, label);
}

cplx UserDefinedPort::robin_coefficient(double k0) const { return {0.0, beta(k0)}; }

std::optional<CVec3> UserDefinedPort::incident_term(double x, double y, double z, double k0) const {
  return incident_from_mode(beta(k0), field(x, y, z));
}

std::optional<Vec3> UserDefinedPort::mode_profile(double x, double y, double z, double) const {
  return field(x, y, z);
}

// ---- CoaxPort --------------------------------------------------------------------------------------

CoaxPort::CoaxPort(const PortFrame& frame_, u64 number_, double power_, double er_, double ri_,
                   double ro_)
    : frame(frame_), number(number_), power(power_), er(er_), ri(ri_), ro(ro_) {
  const std::string label = port_label(number, "coax");
  require(positive_finite(ri) && std::isfinite(ro) && ro > ri, label,
          "ro must exceed ri > 0 (ri = " + fmt_float(ri) + " m, ro = " + fmt_float(ro) + " m)");
  require(positive_finite(er), label, "er must be above 0, got " + fmt_float(er));
  require_power(power, label);
}

double CoaxPort::characteristic_impedance() const { return coax_impedance(er, ri, ro); }

cplx CoaxPort::robin_coefficient(double k0) const { return {0.0, k0 * std::sqrt(er)}; }

std::optional<Vec3> CoaxPort::mode_profile(double x, double y, double z, double) const {
  // TEM: E_rho = sqrt(2 Zc P)/(rho ln(ro/ri)), so that P = 1/(2 eta) * integral |E|^2 dS.
  const Vec3 l = frame_to_local(frame, {x, y, z});
  const double rho = std::sqrt(l[0] * l[0] + l[1] * l[1]);
  if (rho < 1e-30) return Vec3{0.0, 0.0, 0.0};
  const double psi = std::atan2(l[1], l[0]);
  const double zc = characteristic_impedance();
  const double e = std::sqrt(2.0 * zc * power) / (rho * std::log(ro / ri));
  return frame_to_global(frame, {e * std::cos(psi), e * std::sin(psi), 0.0});
}

std::optional<CVec3> CoaxPort::incident_term(double x, double y, double z, double k0) const {
  return incident_from_mode(k0 * std::sqrt(er), *mode_profile(x, y, z, k0));
}

// ---- LumpedPort ------------------------------------------------------------------------------------

LumpedPort::LumpedPort(u64 number_, double power_, double z0_, double width_, double height_,
                       const Vec3& direction_)
    : number(number_), power(power_), z0(z0_), width(width_), height(height_),
      direction(direction_) {
  const std::string label = port_label(number, "lumped");
  require(positive_finite(z0), label, "z0 must be above 0 Ohm, got " + fmt_float(z0));
  // Checked before the sizes: a zero direction measures a height of 0, and the height's message
  // would send the user to the wrong key.
  const double len = std::sqrt(dot3(direction, direction));
  require(positive_finite(len), label, "direction must be a non-zero vector");
  require(positive_finite(width), label,
          "aperture width must be above 0 m, got " + fmt_float(width) +
              " (set width, or give the port an aperture across the direction)");
  require(positive_finite(height), label,
          "aperture height must be above 0 m, got " + fmt_float(height) +
              " (set height, or give the port an aperture along the direction)");
  require_power(power, label);
  unit_direction = {direction[0] / len, direction[1] / len, direction[2] / len};
}

cplx LumpedPort::robin_coefficient(double k0) const {
  // j k0 eta0 / (z0 w/h): a sheet of impedance z0 spread over the aperture
  return {0.0, k0 * (ETA0 / (z0 * width / height))};
}

std::optional<CVec3> LumpedPort::incident_term(double, double, double, double k0) const {
  // -2j k0 (eta0 h/(z0 w)) E0 d, E0 = V/h with V = sqrt(2 P z0) along the unit direction
  const double e0 = std::sqrt(2.0 * power * z0) / height;
  const double s = -2.0 * k0 * (ETA0 / (z0 * width / height)) * e0;
  return CVec3{cplx(0.0, s * unit_direction[0]), cplx(0.0, s * unit_direction[1]),
               cplx(0.0, s * unit_direction[2])};
}

std::optional<Vec3> LumpedPort::mode_profile(double, double, double, double) const {
  return unit_direction;
}

std::optional<LumpedPortInfo> LumpedPort::lumped_info() const {
  return LumpedPortInfo{direction, z0, std::sqrt(2.0 * power * z0)};
}

// ---- AbcBoundary -----------------------------------------------------------------------------------

AbcBoundary::AbcBoundary(u64 order_, char32_t kind_) : order(order_), kind(kind_) {}

cplx AbcBoundary::robin_coefficient(double k0) const {
  const double p0 = order == 1 ? 1.0 : abc_coefficients(kind).first;
  return {0.0, k0 * p0 * scale};
}

std::optional<cplx> AbcBoundary::abc2_coefficient(double k0) const {
  if (order < 2) return std::nullopt;
  return cplx(0.0, abc_coefficients(kind).second / k0);
}

// ---- LumpedElement ---------------------------------------------------------------------------------

LumpedElement::LumpedElement(std::optional<double> c_, double r_, double l_, double width_,
                             double height_, i32 tag)
    : c(c_), r(r_), l(l_), width(width_), height(height_) {
  const std::string label = boundary_label(tag, "lumped_element");
  require(positive_finite(width), label,
          "aperture width must be above 0 m, got " + fmt_float(width));
  require(positive_finite(height), label,
          "aperture height must be above 0 m, got " + fmt_float(height));
  require(std::isfinite(r) && std::isfinite(l) && (!c || std::isfinite(*c)), label,
          "r, l and c must be finite");
  const bool has_c = c && *c > 0.0;
  require(r != 0.0 || l != 0.0 || has_c, label,
          "no impedance: give r, l or a capacitance c above 0");
}

cplx LumpedElement::impedance(double k0) const {
  const double omega = k0 * C0;
  double x = omega * l;
  if (c && *c > 0.0) x -= 1.0 / (omega * *c);
  return {r, x};
}

cplx LumpedElement::robin_coefficient(double k0) const {
  const cplx z = impedance(k0);
  return cdiv(cplx(0.0, k0 * ETA0), cplx(z.real() * width / height, z.imag() * width / height));
}

// ---- SurfaceImpedance ------------------------------------------------------------------------------

SurfaceImpedance::SurfaceImpedance(std::optional<double> thickness_, std::optional<cplx> zs_,
                                   double conductivity_, double mur_, double er_, i32 tag)
    : thickness(thickness_), zs(zs_), conductivity(conductivity_), mur(mur_), er(er_) {
  const std::string label = boundary_label(tag, "surface_impedance");
  if (zs) {
    require(std::isfinite(zs->real()) && std::isfinite(zs->imag()), label, "zs must be finite");
    require(zs->real() != 0.0 || zs->imag() != 0.0, label,
            "zs must not be 0 (use a pec tag for a perfect conductor)");
    return;
  }
  require(positive_finite(conductivity), label,
          "needs zs or a conductivity above 0 S/m, got conductivity " + fmt_float(conductivity));
  require(positive_finite(mur), label, "mur must be above 0, got " + fmt_float(mur));
  require(std::isfinite(er) && er >= 0.0, label, "er must not be negative, got " + fmt_float(er));
  if (thickness) {
    require(positive_finite(*thickness), label,
            "thickness must be above 0 m, got " + fmt_float(*thickness));
  }
}

cplx SurfaceImpedance::surface_impedance(double k0) const {
  if (zs) return *zs;
  const double omega = k0 * C0;
  const double eps = er * EPS0;
  const double mu = mur * MU0;
  const double sigma = conductivity;
  // Good-conductor skin depth with the displacement-current correction x = omega eps/sigma.
  const double x = omega * eps / sigma;
  const double delta = std::sqrt((2.0 / sigma) / (omega * mu) * (x + std::sqrt(x * x + 1.0)));
  const double r = (1.0 / sigma) / delta;
  cplx z(r, r);
  if (thickness) {
    // A layer of thickness t: Zs coth(gamma t), gamma = j omega sqrt(mu eps_c), eps_c = eps -
    // j sigma/omega. It tends to Zs many skin depths thick and to the sheet resistance 1/(sigma t)
    // for a film much thinner than one.
    const cplx k = omega * csqrt_principal(cplx(mu * eps, -mu * sigma / omega));
    const cplx gt = cplx(-k.imag(), k.real()) * *thickness;
    const double a2 = 2.0 * gt.real(), b2 = 2.0 * gt.imag();
    const double den = std::cosh(a2) + std::cos(b2);
    // tanh(a + jb) = (sinh 2a + j sin 2b)/(cosh 2a + cos 2b); for a sheet many skin depths thick
    // cosh overflows and tanh is +-1 to machine precision.
    const cplx tanh_gt = std::isfinite(den) ? cplx(std::sinh(a2) / den, std::sin(b2) / den)
                                            : cplx(std::copysign(1.0, a2), 0.0);
    z = cdiv(z, tanh_gt);
  }
  return z;
}

cplx SurfaceImpedance::robin_coefficient(double k0) const {
  return cdiv(cplx(0.0, k0 * ETA0), surface_impedance(k0));
}

// ---- checks ------------------------------------------------------------------------------------------

void check_port_frequency(const Port& port, double k0) {
  if (const auto* rect = dynamic_cast<const RectangularPort*>(&port)) {
    (void)rect->propagation_constant(k0);
  }
}

void check_ports_for_frequencies(const std::vector<std::unique_ptr<Port>>& ports,
                                 const std::vector<double>& freqs_hz) {
  for (const auto& port : ports) {
    for (double f : freqs_hz) check_port_frequency(*port, (f * 2.0 * PI) / C0);
  }
}

}  // namespace vantrel
