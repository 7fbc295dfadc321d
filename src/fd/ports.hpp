#pragma once
// The eight port and boundary kinds behind Port, their aperture frames and aperture measurements.
// Time convention e^{+jwt}; k0 = omega/c0 in rad/m; lengths in metres, power in watts.
//
// Every kind is built from plain values. The constructors refuse values for which the kind's
// formulas have no finite value, with an Error that names the port ("port 2 (coax): ...") or, for
// the three boundaries, the surface tag ("lumped_element on tag 7: ...").

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/mesh.hpp"
#include "core/support.hpp"
#include "fd/port.hpp"

namespace vantrel {

using u32 = std::uint32_t;

inline constexpr double C0 = 299792458.0;              // m/s
inline constexpr double MU0 = 1.2566370612665135e-06;  // H/m
inline constexpr double ETA0 = 376.73031366857;        // ohms
inline constexpr double PI = 3.141592653589793;
inline constexpr double DEG_TO_RAD = 0.017453292519943295;

// ---- frames and apertures ----------------------------------------------------------------------

// a*u + b*v + c*w: a local direction in global components (no origin added).
Vec3 frame_to_global(const PortFrame& f, const Vec3& local);
// (u.(p-origin), v.(p-origin), w.(p-origin)).
Vec3 frame_to_local(const PortFrame& f, const Vec3& p);
// A frame from its origin and an orthonormal right-handed triple; fills both matrices.
PortFrame make_port_frame(const Vec3& origin, const Vec3& u, const Vec3& v, const Vec3& w);

// The distinct nodes of a list of faces, in order of first appearance (faces in list order, each
// face's nodes in stored order).
std::vector<u64> port_nodes(const Mesh& mesh, const std::vector<u64>& faces);

// A measured aperture: the frame and the bounding-box extents along the two in-plane global axes,
// larger first (these are global-axis extents, not extents along u and v).
struct PortAperture {
  PortFrame frame;
  double extent_major = 0.0;
  double extent_minor = 0.0;
};

// origin = area centroid of the faces; w = unit normal of the first face, turned to point away
// from that face's first tetrahedron; u = the in-plane global axis of larger extent (ties: lower
// axis) with its w component removed; v = w x u. The faces must be non-empty.
PortAperture build_port_frame(const Mesh& mesh, const std::vector<u64>& faces);

// Coaxial frame: origin and axis as configured or else the measured origin and normal; the axis
// is normalised; u = r - (w.r) w normalised with r = x (or y when |w.x| >= 0.9); v = w x u.
// A zero-length axis is refused (port_number names the port).
PortFrame build_coax_frame(const PortFrame& measured, const std::optional<Vec3>& origin,
                           const std::optional<Vec3>& z_axis, u64 port_number);

// Measured width and height of a lumped aperture along direction d (any non-zero length):
// height = max(p.d) - min(p.d) with d normalised; width = the largest bounding-box extent over the two global axes
// other than d's dominant axis (0.0 when both are 0).
struct ApertureExtents {
  double width = 0.0;
  double height = 0.0;
};
ApertureExtents aperture_extents(const Mesh& mesh, const std::vector<u64>& faces,
                                 const Vec3& direction);

// One step of the base-node search: from position `cursor` of node_set on, the next node n with
// |nodes[n].d - d_min| < tol (strictly); advances cursor past it. None when the set is exhausted.
std::optional<u64> next_lumped_base_node(const std::vector<u64>& node_set, std::size_t& cursor,
                                         const std::vector<Vec3>& nodes, const Vec3& direction,
                                         double d_min, double tol);

inline constexpr u64 LUMPED_LINE_POINTS = 21;
inline constexpr u64 LUMPED_LINE_SEGMENTS = 20;
inline constexpr double LUMPED_BASE_TOLERANCE = 1e-9;

// Voltage integration lines of a lumped port: one line per base node (the nodes lowest along the
// direction, within 1e-9*max(height, 1)), 21 points from the base node over `height` metres along
// the unit direction. The configured direction may have any non-zero length: the line length is
// the port height, not height*|direction|.
std::vector<std::vector<Vec3>> lumped_integration_lines(const Mesh& mesh,
                                                        const std::vector<u64>& faces,
                                                        const Vec3& direction, double height);

// ---- the absorbing-boundary table ---------------------------------------------------------------

struct AbcCoefficientRow {
  char32_t kind;
  double p0;
  double p2;
};
inline constexpr std::array<AbcCoefficientRow, 5> ABC_COEFFICIENTS = {{
    {U'A', 1.0, -0.5},
    {U'B', 1.00023, -0.51555},
    {U'C', 1.03084, -0.73631},
    {U'D', 1.06103, -0.84883},
    {U'E', 1.125, -1.0},
}};
// (p0, p2) by exact character match; any other character takes row 'B'.
std::pair<double, double> abc_coefficients(char32_t kind);
// The first character of an abctype text (UTF-8), or 'B' when the text is empty.
char32_t abc_kind_from_text(std::string_view abctype);

// ---- mode formulas -------------------------------------------------------------------------------

// beta = sqrt(k0^2 er - (m pi/a)^2 - (n pi/b)^2); none at or below cut-off (no real root).
std::optional<double> rect_propagation_constant(double k0, double er, u64 m, u64 n, double a,
                                                double b);
// Zc = eta0/sqrt(er)/(2 pi) * ln(ro/ri), ohms
double coax_impedance(double er, double ri, double ro);

// ---- the five port kinds -------------------------------------------------------------------------

// TE_mn mode of a rectangular waveguide aperture a x b (a along u, b along v of the port's own
// frame: facing ports have opposite v, and a straight guide gives S21 = (-1)^(n+1) exp(-j beta L),
// -exp(-j beta L) for TE10 and +exp(-j beta L) for TE01).
class RectangularPort final : public Port {
 public:
  // Refuses a, b, er or power not above 0 and the mode (0, 0).
  RectangularPort(u64 m, u64 n, double a, double b, const PortFrame& frame, u64 number,
                  double power, double er);

  u64 m, n;
  double a, b;
  PortFrame frame;
  u64 number;
  double power;
  double er;
  double scale = 1.0;

  // k_c = sqrt((m pi/a)^2 + (n pi/b)^2); cut-off f_c = c0 k_c / (2 pi sqrt(er)).
  double cutoff_wavenumber() const;
  double cutoff_frequency_hz() const;
  // beta = sqrt(k0^2 er - k_c^2). Refused (Error naming the port, the frequency and the cut-off)
  // at or below cut-off, where there is no real propagation constant.
  double propagation_constant(double k0) const;

  cplx robin_coefficient(double k0) const override;
  std::optional<CVec3> incident_term(double x, double y, double z, double k0) const override;
  bool is_driven() const override { return true; }
  std::optional<Vec3> mode_profile(double x, double y, double z, double k0) const override;
  double wave_impedance(double k0) const override;
  u64 port_number() const override { return number; }
};

// Plane wave at scan angles (theta, phi) through a periodic cell of the given area.
class FloquetPort final : public Port {
 public:
  // Refuses power or area not above 0 and a grazing or backward scan (cos(theta) <= 1e-9).
  FloquetPort(const PortFrame& frame, u64 number, double power, double er, double area,
              double theta, double phi, u32 mode);

  PortFrame frame;
  u64 number;
  double power;
  double er;  // stored, not used by the mode
  double area;
  double theta, phi;
  u32 mode;  // 1: TE (S), anything else: TM (P)

  bool is_te() const { return mode == 1; }
  Vec3 mode_field() const;

  cplx robin_coefficient(double k0) const override;
  std::optional<CVec3> incident_term(double x, double y, double z, double k0) const override;
  bool is_driven() const override { return true; }
  std::optional<Vec3> mode_profile(double x, double y, double z, double k0) const override;
  double wave_impedance(double) const override { return ETA0; }
  u64 port_number() const override { return number; }
};

class UserDefinedPort final : public Port {
 public:
  using FieldFn = std::function<Vec3(double, double, double)>;
  using PropagationFn = std::function<double(double)>;
  // Refuses power not above 0 and an empty field function.
  UserDefinedPort(FieldFn field, u64 number, double power,
                  PropagationFn propagation = PropagationFn());

  FieldFn field;               // owned
  u64 number;
  double power;                // stored, not applied
  PropagationFn propagation;   // k0 -> beta; k0 when empty

  double beta(double k0) const { return propagation ? propagation(k0) : k0; }

  cplx robin_coefficient(double k0) const override;
  std::optional<CVec3> incident_term(double x, double y, double z, double k0) const override;
  bool is_driven() const override { return true; }
  std::optional<Vec3> mode_profile(double x, double y, double z, double k0) const override;
  double wave_impedance(double) const override { return 1.0; }
  u64 port_number() const override { return number; }
};

// TEM mode of a coaxial line, radii ri < ro, filled with relative permittivity er.
class CoaxPort final : public Port {
 public:
  // Refuses ri <= 0, ro <= ri, er or power not above 0.
  CoaxPort(const PortFrame& frame, u64 number, double power, double er, double ri, double ro);

  PortFrame frame;
  u64 number;
  double power;
  double er;
  double ri, ro;

  // Zc = eta0/sqrt(er)/(2 pi) * ln(ro/ri)
  double characteristic_impedance() const;

  cplx robin_coefficient(double k0) const override;
  std::optional<CVec3> incident_term(double x, double y, double z, double k0) const override;
  bool is_driven() const override { return true; }
  std::optional<Vec3> mode_profile(double x, double y, double z, double k0) const override;
  double wave_impedance(double) const override { return characteristic_impedance(); }
  u64 port_number() const override { return number; }
};

// A lumped source of impedance z0 across a width x height aperture, field along `direction`.
class LumpedPort final : public Port {
 public:
  // Refuses z0, power, width or height not above 0 and a zero direction.
  LumpedPort(u64 number, double power, double z0, double width, double height,
             const Vec3& direction);

  u64 number;
  double power;
  double z0;
  double width, height;
  Vec3 direction;       // as configured (printed and reported by lumped_info)
  Vec3 unit_direction;  // direction/|direction|: the field and the voltage lines use this

  cplx robin_coefficient(double k0) const override;
  std::optional<CVec3> incident_term(double x, double y, double z, double k0) const override;
  bool is_driven() const override { return true; }
  std::optional<Vec3> mode_profile(double x, double y, double z, double k0) const override;
  double wave_impedance(double) const override { return z0; }
  u64 port_number() const override { return number; }
  bool is_lumped() const override { return true; }
  std::optional<LumpedPortInfo> lumped_info() const override;
  std::optional<double> lumped_height() const override { return height; }
};

// ---- the three boundary kinds ------------------------------------------------------------------

class AbcBoundary final : public Port {
 public:
  AbcBoundary(u64 order, char32_t kind);

  u64 order;
  double scale = 1.0;
  char32_t kind;

  // j k0 p0 (p0 = 1 for order 1, else from the table)
  cplx robin_coefficient(double k0) const override;
  bool is_second_order_abc() const override { return order > 1; }
  // j p2 / k0 for order >= 2
  std::optional<cplx> abc2_coefficient(double k0) const override;
};

// A series R-L-C load across a width x height aperture.
class LumpedElement final : public Port {
 public:
  // Refuses width or height not above 0 and an element with no impedance at all (r = 0, l = 0
  // and no capacitance above 0). `tag` only names the entry in messages.
  LumpedElement(std::optional<double> c, double r, double l, double width, double height,
                i32 tag);

  std::optional<double> c;
  double r, l;
  double width, height;

  // Z = r + j(omega l - 1/(omega c)), the capacitive term only for c > 0
  cplx impedance(double k0) const;
  // j k0 eta0 / (Z width/height)
  cplx robin_coefficient(double k0) const override;
};

// A surface impedance Zs given directly or from a good conductor (optionally of finite thickness).
class SurfaceImpedance final : public Port {
 public:
  // Refuses: zs = 0; without zs, a conductivity not above 0, mur not above 0, er below 0, or a
  // thickness not above 0. `tag` only names the entry in messages.
  SurfaceImpedance(std::optional<double> thickness, std::optional<cplx> zs, double conductivity,
                   double mur, double er, i32 tag);

  std::optional<double> thickness;
  std::optional<cplx> zs;
  double conductivity;  // 0.0 when zs is given
  double mur, er;

  cplx surface_impedance(double k0) const;
  // j k0 eta0 / Zs
  cplx robin_coefficient(double k0) const override;
};

// ---- checks before a sweep ---------------------------------------------------------------------

// Throws Error when the port has no propagating mode at k0 (a rectangular port at or below its
// cut-off), naming the port, the frequency and the cut-off frequency. Other kinds always pass.
void check_port_frequency(const Port& port, double k0);
// check_port_frequency for every port at every frequency (Hz), k0 = 2 pi f / c0.
void check_ports_for_frequencies(const std::vector<std::unique_ptr<Port>>& ports,
                                 const std::vector<double>& freqs_hz);

}  // namespace vantrel
